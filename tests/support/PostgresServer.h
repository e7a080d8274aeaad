#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tavrel::test {

/// Debian's PostgreSQL 15 in a folder of its own on a free loopback port, for the history's tests and measurements:
/// initdb on making, the server started and stopped as asked, and killed if the process that started it dies. Run as
/// the user postgres when started by root (PostgreSQL refuses root).
class PostgresServer
{
public:
    /// Makes a cluster in `folder`/data and starts it; Ready() says whether it answers.
    explicit PostgresServer(const std::filesystem::path& folder);
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;
    ~PostgresServer();

    /// Starts the server on its port again; true once it answers.
    bool Start();
    /// Stops it (a fast shutdown: the clients' connections end).
    void Stop();
    bool Ready() const { return m_ready; }
    /// What libpq connects with: host, port, user and database.
    std::string ConnectionString() const;
    /// Why it is not ready; empty while it is.
    const std::string& Problem() const { return m_problem; }

private:
    std::filesystem::path m_folder;
    std::uint16_t m_port = 0;
    pid_t m_pid = -1;
    bool m_ready = false;
    std::string m_problem;
};

} // namespace tavrel::test
