#pragma once

#include "Handles.h"
#include "Log.h"
#include "Options.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavrel::dde {

/// The link server's answer to one transaction.
struct Answer
{
    bool ok = false;
    std::string value; ///< a request's value
    std::string error; ///< why it failed
    bool refused = false; ///< failed because the link server said no (not for want of an answer)
};

/// The conversation with a Tavrel link server over one WebSocket (WinHTTP), kept on a thread of its own:
/// it connects, renews every link when the server is back (backoff up to 5 s), and keeps the newest value of
/// every linked item. The calls below are made from the DDE thread; none waits longer than kAnswerTimeout.
class LinkClient
{
public:
    /// The longest a transaction waits for the link server's answer.
    static constexpr std::chrono::milliseconds kAnswerTimeout { 3000 };
    /// The longest message the link server takes (its limit on a WebSocket message).
    static constexpr std::size_t kMaxMessageBytes = 64 * 1024;

    /// `notify` is called on the link thread whenever linked values or the connection state changed; it must
    /// only hand the news to the DDE thread (TakeChanged and Connected tell the rest).
    LinkClient(const Options& options, std::string token, Log& log, std::function<void()> notify);
    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;
    ~LinkClient();

    /// Starts the link thread.
    void Start();

    /// The current text of an item; fails at once while the link server is away.
    Answer Request(std::int32_t index);
    /// Pokes a text into an item; ok only when the link server took it.
    Answer Poke(std::int32_t index, const std::string& text);
    /// Sends an execute command; ok when the link server received it.
    Answer Execute(const std::string& command);

    /// One more DDE link on an item; the first one asks the link server to advise. Fails only when the link
    /// server refuses the item; a link made while it is away is kept and advised when it is back.
    Answer AddLink(std::int32_t index);
    /// One DDE link fewer on an item; the last one ends the link server's advise.
    void RemoveLink(std::int32_t index);

    /// The newest value of a linked item; nothing while it is not known to be current (link server away,
    /// item refused or removed).
    std::optional<std::string> LinkedValue(std::int32_t index) const;
    /// The linked items whose value (or freshness) changed since the last call, in the order they changed.
    std::vector<std::int32_t> TakeChanged();
    /// True while the WebSocket to the link server is open.
    bool Connected() const;
    /// True once after each change of Connected().
    bool TakeConnectionChanged();

    /// The server's address as a URL, for messages.
    std::string Url() const;

private:
    enum class Op { Request, Poke, Execute, Advise, Unadvise };

    struct Pending
    {
        Op op = Op::Request;
        std::int32_t index = -1;
        bool done = false;
        bool renewal = false; ///< an advise renewed after a reconnection, which no one waits for
        Answer answer;
    };

    struct Link
    {
        int refs = 0;
        std::optional<std::string> value;
        bool queued = false; ///< in m_changed
    };

    struct Socket
    {
        InternetHandle connection;
        InternetHandle socket;
    };

    void Run();
    std::optional<Socket> Connect(std::string& error);
    void Converse(HINTERNET socket);
    bool Handle(const std::string& message);
    void Disconnected();
    std::shared_ptr<Pending> Send(Op op, std::int32_t index, const std::string& message, bool renewal = false);
    Answer Transact(Op op, std::int32_t index, const std::string& message);
    Answer Wait(const std::shared_ptr<Pending>& pending);
    void SetValueLocked(std::int32_t index, std::optional<std::string> value);
    void Notify();

    Options m_options;
    std::string m_token;
    Log& m_log;
    std::function<void()> m_notify;
    KernelHandle m_stop;
    KernelHandle m_finished;
    std::thread m_thread;

    std::mutex m_sendMutex; ///< one sender at a time; guards m_socket
    HINTERNET m_socket = nullptr; ///< the open WebSocket (owned by the link thread), or null

    mutable std::mutex m_mutex; ///< guards everything below
    std::condition_variable m_answered;
    std::deque<std::shared_ptr<Pending>> m_pending; ///< sent and not yet answered, in order
    std::map<std::int32_t, Link> m_links;
    std::vector<std::int32_t> m_changed;
    bool m_connected = false;
    bool m_connectionChanged = false;
    bool m_notified = false; ///< the DDE thread has news it has not taken yet
};

} // namespace tavrel::dde
