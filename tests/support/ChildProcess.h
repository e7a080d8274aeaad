#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::test {

/// A program the test starts: its standard output is read line by line, and it is killed when this object goes,
/// or when the test process dies.
class ChildProcess
{
public:
    /// Starts `argv[0]` (a path) with the rest as arguments; throws std::runtime_error when that fails.
    explicit ChildProcess(const std::vector<std::string>& argv);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    /// The next line of standard output, without its newline; nothing when none comes within `timeout` or the
    /// output ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

    /// Sends `signal` and waits up to `timeout` for the end; the wait status, or nothing when it did not end.
    std::optional<int> Stop(int signal, std::chrono::milliseconds timeout);

    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_output = -1;
    std::string m_pending;
};

} // namespace tavrel::test
