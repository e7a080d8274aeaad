#include "support/PostgresServer.h"

#include <libpq-fe.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace tavrel::test {

namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin/";

std::uint16_t FreePort()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), length) == 0
        && ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(probe);
    return port;
}

/// Runs `arguments` as a child, as the user postgres when this process is root, its output into `log`; dies with
/// this process.
pid_t Spawn(const std::vector<std::string>& arguments, const std::filesystem::path& log)
{
    const passwd* postgres = ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr;
    std::fflush(nullptr); // the child must not write out what this process has buffered
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (postgres != nullptr && (::setgid(postgres->pw_gid) != 0 || ::setuid(postgres->pw_uid) != 0)) {
        ::_exit(126);
    }
    if (FILE* out = std::freopen(log.c_str(), "a", stdout); out != nullptr) {
        ::dup2(::fileno(out), STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

PostgresServer::PostgresServer(const std::filesystem::path& folder)
    : m_folder(folder)
{
    if (::geteuid() == 0) {
        if (const passwd* postgres = ::getpwnam("postgres")) {
            (void)::chown(folder.c_str(), postgres->pw_uid, postgres->pw_gid);
        }
    }
    const pid_t initdb = Spawn({ kBin + "initdb", "-D", (folder / "data").string(), "-U", "postgres", "-A", "trust",
                                 "--no-sync", "-E", "UTF8" },
                               folder / "initdb.log");
    int status = 0;
    if (initdb < 0 || ::waitpid(initdb, &status, 0) != initdb || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        m_problem = "initdb failed: see " + (folder / "initdb.log").string();
        return;
    }
    for (int attempt = 0; attempt < 3 && !Start(); ++attempt) { }
}

PostgresServer::~PostgresServer()
{
    Stop();
}

std::string PostgresServer::ConnectionString() const
{
    return "host=127.0.0.1 port=" + std::to_string(m_port) + " user=postgres dbname=postgres connect_timeout=2";
}

bool PostgresServer::Start()
{
    if (m_port == 0) {
        m_port = FreePort();
    }
    m_pid = Spawn({ kBin + "postgres", "-D", (m_folder / "data").string(), "-k", m_folder.string(), "-p",
                    std::to_string(m_port), "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off" },
                  m_folder / "server.log");
    const std::string ping = ConnectionString();
    for (int i = 0; i < 200 && m_pid > 0; ++i) {
        if (PQping(ping.c_str()) == PQPING_OK) {
            m_ready = true;
            m_problem.clear();
            return true;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1; // ended: the port was taken, most likely
            m_port = 0;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    m_problem = "PostgreSQL did not start: see " + (m_folder / "server.log").string();
    Stop();
    return false;
}

void PostgresServer::Stop()
{
    m_ready = false;
    if (m_pid <= 0) {
        return;
    }
    ::kill(m_pid, SIGINT); // a fast shutdown
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
}

} // namespace tavrel::test
