#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tavrel::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv)
{
    if (argv.empty()) {
        throw std::runtime_error("ChildProcess needs a program");
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) == -1) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    // Everything the child needs is prepared before fork: between fork and exec only plain system calls run.
    std::vector<char*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == -1) {
        const int error = errno;
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(error));
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the test
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(pipeEnds[1], STDOUT_FILENO);
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    m_pid = pid;
    m_output = pipeEnds[0];
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        Stop(SIGKILL, std::chrono::seconds(5));
    }
    if (m_output != -1) {
        close(m_output);
    }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (const auto newline = m_pending.find('\n'); newline != std::string::npos) {
            std::string line = m_pending.substr(0, newline);
            m_pending.erase(0, newline + 1);
            return line;
        }
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd output{m_output, POLLIN, 0};
        if (poll(&output, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t got = read(m_output, buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        m_pending.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<int> ChildProcess::Stop(int signal, std::chrono::milliseconds timeout)
{
    if (m_pid <= 0) {
        return std::nullopt;
    }
    kill(m_pid, signal);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_pid = -1;
            return status;
        }
        if (done == -1 || std::chrono::steady_clock::now() >= deadline) {
            if (signal != SIGKILL) {
                return std::nullopt; // the destructor kills it
            }
            waitpid(m_pid, &status, 0);
            m_pid = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace tavrel::test
