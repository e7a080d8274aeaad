// The link server under load: K WebSocket clients, each advising on every one of 1,000 items whose values
// change in every pass. Every value is the moment it was read, so a client knows how long each change took
// to reach it. Prints the change-to-client latency (p50, p99) and the notifications delivered per second.
// With --idle I, I of the K clients advise like the others and then never read: the others must keep their
// latency, and the server its memory (printed as its resident size at the end of the run).
//
//   tavrel-bench-link [--clients K] [--idle I] [--seconds S] [--pass-ms M] [--items N]
//
// The server (the program with a simulated PLC that answers after M ms) runs in this process; the clients
// run in a child process, so neither slows the other's event loop.
#include "ClockPlc.h"
#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "link/LinkServer.h"

#include <QCoreApplication>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tavrel;
using bench::ClockPlc;
using bench::kWrap;
using bench::NowMicros;

namespace {

constexpr double kTargetP99Ms = 20;
constexpr double kRssBoundMb = 256; // the server with 100 clients, 10 of them never reading

struct Options
{
    int clients = 10;
    int idle = 0;
    int seconds = 5;
    int passMs = 100;
    int items = 1000;
};

struct Result
{
    double p50Ms = 0;
    double p99Ms = 0;
    double perSecond = 0;
    long long notifications = 0;
};

// The resident size of this process, in MB.
double ResidentMb()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return 0;
    }
    char line[256];
    double mb = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        long kb = 0;
        if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) {
            mb = static_cast<double>(kb) / 1024.0;
        }
    }
    std::fclose(status);
    return mb;
}

// A client that advises on every item and then never reads: a plain socket with a small receive buffer, so the
// server soon holds what it cannot hand over. The descriptor, kept open for the run; -1 when it could not connect.
int OpenIdleClient(quint16 port, int items)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string upgrade = "GET /dde/Tavrel/Items HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    // A client waits for the answer to its upgrade before it sends frames; the server reads none sent earlier.
    std::string answer;
    if (::send(fd, upgrade.data(), upgrade.size(), 0) != static_cast<ssize_t>(upgrade.size())) {
        ::close(fd);
        return -1;
    }
    while (answer.find("\r\n\r\n") == std::string::npos) {
        char byte = 0;
        if (::recv(fd, &byte, 1, 0) != 1) {
            ::close(fd);
            return -1;
        }
        answer += byte;
    }
    std::string frames;
    for (int item = 1; item <= items; ++item) {
        const std::string text = "{\"op\":\"advise\",\"item\":\"lblDDE(" + std::to_string(item) + ")\"}";
        frames += '\x81';
        frames += static_cast<char>(0x80 | text.size()); // masked, under 126 bytes; the mask is zero
        frames.append(4, '\0');
        frames += text;
    }
    // Everything after the upgrade's answer stays unread.
    for (std::size_t sent = 0; sent < frames.size();) {
        const ssize_t n = ::send(fd, frames.data() + sent, frames.size() - sent, 0);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    return fd;
}

// The clients: advise on every item, count and time every change after a warm-up second.
Result RunClients(quint16 port, const Options& options)
{
    int argc = 1;
    char name[] = "clients";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    std::vector<std::int32_t> latencies;
    latencies.reserve(static_cast<std::size_t>(options.clients) * static_cast<std::size_t>(options.items) * 20
                      * static_cast<std::size_t>(options.seconds));
    bool measuring = false;
    long long counted = 0;
    std::int64_t measureStart = 0;

    std::vector<int> idle;
    for (int i = 0; i < options.idle; ++i) {
        idle.push_back(OpenIdleClient(port, options.items));
    }
    // Measuring starts a second after every reading client has had the first answer to all its links, so the
    // flood of link set-ups is not counted.
    const long long expectedAnswers = static_cast<long long>(options.clients - options.idle) * options.items;
    long long answers = 0;
    const auto onMessage = [&](const QString& text) {
        if (!measuring) {
            if (answers < expectedAnswers) {
                answers += text.count(QStringLiteral("\"value\":"));
                if (answers >= expectedAnswers) {
                    QTimer::singleShot(1000, [&] {
                        measuring = true;
                        measureStart = NowMicros();
                        QTimer::singleShot(options.seconds * 1000, [] { QCoreApplication::quit(); });
                    });
                }
            }
            return;
        }
        const std::int64_t now = NowMicros() % kWrap;
        static const QString kKey = QStringLiteral("\"value\":\"");
        const QStringView view(text);
        for (qsizetype at = view.indexOf(kKey); at >= 0; at = view.indexOf(kKey, at)) {
            at += kKey.size();
            std::int64_t value = 0;
            while (at < view.size() && view[at].isDigit()) {
                value = value * 10 + (view[at++].unicode() - '0');
            }
            latencies.push_back(static_cast<std::int32_t>(((now - value) % kWrap + kWrap) % kWrap));
            ++counted;
        }
    };
    for (int i = options.idle; i < options.clients; ++i) {
        auto socket = std::make_unique<QWebSocket>();
        QWebSocket* raw = socket.get();
        QObject::connect(raw, &QWebSocket::connected, raw, [raw, &options] {
            for (int item = 1; item <= options.items; ++item) {
                raw->sendTextMessage(QStringLiteral("{\"op\":\"advise\",\"item\":\"lblDDE(%1)\"}").arg(item));
            }
        });
        QObject::connect(raw, &QWebSocket::textMessageReceived, raw, onMessage);
        raw->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/dde/Tavrel/Items").arg(port)));
        sockets.push_back(std::move(socket));
    }
    // A server that never answers every link ends the run all the same.
    QTimer::singleShot(60000 + options.seconds * 1000, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    const double elapsed = static_cast<double>(NowMicros() - measureStart) / 1e6;
    for (const int fd : idle) {
        ::close(fd);
    }

    Result result;
    result.notifications = counted;
    result.perSecond = static_cast<double>(counted) / elapsed;
    if (!latencies.empty()) {
        const auto at = [&](double fraction) {
            auto nth = latencies.begin() + static_cast<std::ptrdiff_t>(fraction * static_cast<double>(latencies.size() - 1));
            std::nth_element(latencies.begin(), nth, latencies.end());
            return static_cast<double>(*nth) / 1000.0;
        };
        result.p50Ms = at(0.50);
        result.p99Ms = at(0.99);
    }
    return result;
}

int Serve(const Options& options, int portPipe, pid_t child, double& residentMb, link::LinkStats& stats)
{
    int argc = 1;
    char name[] = "server";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    char folder[] = "/tmp/tavrel-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    app::Program program(common::Settings(std::filesystem::path(folder) / "bench.ini", "tavrel"),
                         [&options](const model::clsPlc&) { return std::make_shared<ClockPlc>(options.passMs); },
                         std::filesystem::path(folder) / "none.tvb");
    auto plc = program.Project().NewPlc();
    plc->Name = "Clock";
    auto& added = program.Project().AddPLC(std::move(plc));
    constexpr int kVectorLength = 50;
    for (int first = 0; first < options.items; first += kVectorLength) {
        std::int32_t label = -1;
        (void)added.AddItems(std::min(kVectorLength, options.items - first), first, common::operand::ML,
                             common::direction::Read, true, label);
    }
    link::LinkServer server(program.Service());
    const auto port = server.Listen(QHostAddress::LocalHost, 0);
    if (!port) {
        std::fprintf(stderr, "%s\n", port.error().c_str());
        return 1;
    }
    const quint16 bound = *port;
    (void)!::write(portPipe, &bound, sizeof bound);
    program.ToggleRun();
    // Serve until the clients are done.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            QCoreApplication::quit();
        }
    });
    poll.start(50);
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] { residentMb = std::max(residentMb, ResidentMb()); });
    sample.start(200);
    QCoreApplication::exec();
    stats = server.Stats();
    program.Stop();
    std::filesystem::remove_all(folder);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> clientCounts;
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--clients") {
            clientCounts.push_back(value);
        } else if (name == "--idle") {
            options.idle = value;
        } else if (name == "--seconds") {
            options.seconds = value;
        } else if (name == "--pass-ms") {
            options.passMs = value;
        } else if (name == "--items") {
            options.items = value;
        } else {
            std::fprintf(
                stderr,
                "usage: tavrel-bench-link [--clients K]... [--idle I] [--seconds S] [--pass-ms M] [--items N]\n");
            return 2;
        }
    }
    double worstP99AtHundred = -1;
    bool rssMet = true;
    if (clientCounts.empty()) {
        clientCounts = {1, 10, 100};
    }
    std::printf("Link server: %d items changing every pass, a pass every %d ms (simulated PLC), %d s measured\n",
                options.items, options.passMs, options.seconds);
    std::printf("%8s  %12s  %12s  %16s\n", "clients", "p50 (ms)", "p99 (ms)", "notifications/s");
    for (const int clients : clientCounts) {
        options.clients = clients;
        // The clients' process is made before any Qt object, and learns the port through a pipe.
        int portPipe[2];
        int resultPipe[2];
        if (::pipe(portPipe) != 0 || ::pipe(resultPipe) != 0) {
            return 1;
        }
        std::fflush(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            quint16 port = 0;
            if (::read(portPipe[0], &port, sizeof port) != static_cast<ssize_t>(sizeof port)) {
                ::_exit(1);
            }
            const Result result = RunClients(port, options);
            (void)!::write(resultPipe[1], &result, sizeof result);
            ::_exit(0);
        }
        double residentMb = 0;
        link::LinkStats stats;
        if (Serve(options, portPipe[1], child, residentMb, stats) != 0) {
            ::kill(child, SIGKILL);
            return 1;
        }
        Result result;
        if (::read(resultPipe[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) {
            std::fprintf(stderr, "the clients gave no result\n");
            return 1;
        }
        for (const int end : {portPipe[0], portPipe[1], resultPipe[0], resultPipe[1]}) {
            ::close(end);
        }
        std::printf("%8d  %12.2f  %12.2f  %16.0f", clients, result.p50Ms, result.p99Ms, result.perSecond);
        if (options.idle > 0) {
            std::printf("   (%d of them never reading: server RSS at most %.0f MB, bound %.0f MB; fell behind %llu "
                        "times, closed %llu)",
                        options.idle, residentMb, kRssBoundMb, static_cast<unsigned long long>(stats.conflated),
                        static_cast<unsigned long long>(stats.closedSlow));
            if (residentMb >= kRssBoundMb) {
                rssMet = false;
            }
        }
        std::printf("\n");
        std::fflush(stdout);
        if (clients == 100) {
            worstP99AtHundred = std::max(worstP99AtHundred, result.p99Ms);
        }
    }
    if (worstP99AtHundred >= 0) {
        const bool met = worstP99AtHundred < kTargetP99Ms && rssMet;
        std::printf("target: p99 under %.0f ms with 100 clients (those reading), server RSS under %.0f MB with 10 "
                    "never reading: %s\n",
                    kTargetP99Ms, kRssBoundMb, met ? "met" : "missed");
        return met ? 0 : 1;
    }
    return 0;
}
