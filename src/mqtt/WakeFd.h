#pragma once

namespace tavrel::mqtt {

/// An eventfd that wakes a thread waiting in poll(): move-only, closed with the object.
class WakeFd
{
public:
    /// A new non-blocking eventfd; an empty one, with Error() set, when the system cannot make one.
    WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;
    WakeFd(WakeFd&& other) noexcept;
    WakeFd& operator=(WakeFd&& other) noexcept;
    ~WakeFd(); // close

    /// The descriptor to poll for POLLIN; -1 when empty.
    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd != -1; }
    /// Why it could not be made (an errno value); 0 when it was.
    int Error() const { return m_error; }
    /// Makes the descriptor readable; safe from any thread.
    void Wake() const;
    /// Makes it unreadable again, however often it was woken.
    void Drain() const;

private:
    int m_fd = -1;
    int m_error = 0;
};

} // namespace tavrel::mqtt
