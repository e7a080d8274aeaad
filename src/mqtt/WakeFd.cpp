#include "mqtt/WakeFd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace tavrel::mqtt {

WakeFd::WakeFd()
    : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    , m_error(m_fd == -1 ? errno : 0)
{
}

WakeFd::WakeFd(WakeFd&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_error(std::exchange(other.m_error, 0))
{
}

WakeFd& WakeFd::operator=(WakeFd&& other) noexcept
{
    if (this != &other) {
        if (m_fd != -1) {
            ::close(m_fd);
        }
        m_fd = std::exchange(other.m_fd, -1);
        m_error = std::exchange(other.m_error, 0);
    }
    return *this;
}

WakeFd::~WakeFd()
{
    if (m_fd != -1) {
        ::close(m_fd);
    }
}

void WakeFd::Wake() const
{
    // An eventfd adds what is written to its count: it cannot fill up the way a pipe does.
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_fd, &one, sizeof one);
}

void WakeFd::Drain() const
{
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(m_fd, &count, sizeof count);
}

} // namespace tavrel::mqtt
