// tavrel-plcsim: a PLC simulator on Modbus TCP or Modbus RTU.
//
//   tavrel-plcsim --tcp ADDRESS:PORT [--unit N] [--family q40] [--map FILE] [--profile meter] [--delay-ms N]
//   tavrel-plcsim --rtu DEVICE [--baud N] [--parity N|E|O] [--stop-bits 1|2] [--unit N] [--family q40] [--map FILE]
//                 [--profile meter] [--delay-ms N]
//
// Without --profile it is a PLC of the operand map; --profile meter makes it an energy meter instead, with the
// register layout that --help prints (kMeterLayout).
// Port 0 lets the system choose a free port. The first line on standard output says where the simulator
// listens; SIGINT or SIGTERM stops it with exit code 0, after a last line saying how many requests it answered.
// --delay-ms holds every answer back that long, as a slow PLC or a long line would. Several PLCs are several
// simulators, one process each, so that one's delay never holds up another's answers.

#include "MeterSimulator.h"
#include "PlcSimulator.h"

#include "comm/modbus/ModbusContext.h"
#include "comm/modbus/OperandMap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using tavrel::comm::modbus::ModbusContext;
using tavrel::comm::modbus::OperandMap;
using tavrel::comm::modbus::TimerFormat;
using tavrel::plcsim::MeterSimulator;
using tavrel::plcsim::PlcSimulator;
using tavrel::plcsim::SimulatedDevice;

constexpr int kPollMilliseconds = 10; // the timers' resolution
constexpr int kListenBacklog = 16;

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void RequestStop(int)
{
    g_stopRequested = 1;
}

struct Options
{
    std::string tcpAddress;
    int tcpPort = -1;
    std::string rtuDevice;
    int baud = 57600;
    char parity = 'N';
    int stopBits = 1;
    std::optional<int> unit;
    TimerFormat timers = TimerFormat::Ticks;
    std::string mapFile;
    bool meter = false;
    int delayMs = 0;
};

std::uint64_t g_answered = 0;

const char* const kUsage
    = "usage: tavrel-plcsim --tcp ADDRESS:PORT [--unit N] [--family q40] [--map FILE] [--profile meter]\n"
      "                     [--delay-ms N]\n"
      "       tavrel-plcsim --rtu DEVICE [--baud N] [--parity N|E|O] [--stop-bits 1|2]\n"
      "                     [--unit N] [--family q40] [--map FILE] [--profile meter] [--delay-ms N]\n";

std::optional<int> Number(std::string_view text, int minimum, int maximum)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc {} || end != text.data() + text.size() || value < minimum
        || value > maximum) {
        return std::nullopt;
    }
    return value;
}

int Refuse(const std::string& message)
{
    std::fprintf(stderr, "tavrel-plcsim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// 0 when the options were read, else the exit code for a usage error.
int ReadOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(tavrel::plcsim::kMeterLayout, stdout);
            std::exit(0);
        }
        if (i + 1 >= argc) {
            return Refuse(std::string(name) + " needs a value");
        }
        const std::string_view value = argv[++i];
        if (name == "--tcp") {
            const auto colon = value.rfind(':');
            const auto port
                = colon == std::string_view::npos ? std::nullopt : Number(value.substr(colon + 1), 0, 65535);
            if (!port || colon == 0) {
                return Refuse("--tcp takes ADDRESS:PORT, such as 127.0.0.1:0, not " + std::string(value));
            }
            options.tcpAddress = std::string(value.substr(0, colon));
            options.tcpPort = *port;
        } else if (name == "--rtu") {
            options.rtuDevice = std::string(value);
        } else if (name == "--baud") {
            const auto baud = Number(value, 1, 4000000);
            if (!baud) {
                return Refuse("--baud takes a baud rate, not " + std::string(value));
            }
            options.baud = *baud;
        } else if (name == "--parity") {
            if (value != "N" && value != "E" && value != "O") {
                return Refuse("--parity takes N, E or O, not " + std::string(value));
            }
            options.parity = value.front();
        } else if (name == "--stop-bits") {
            const auto bits = Number(value, 1, 2);
            if (!bits) {
                return Refuse("--stop-bits takes 1 or 2, not " + std::string(value));
            }
            options.stopBits = *bits;
        } else if (name == "--unit") {
            const auto unit = Number(value, 0, 255);
            if (!unit) {
                return Refuse("--unit takes a unit ID from 0 to 255, not " + std::string(value));
            }
            options.unit = *unit;
        } else if (name == "--family") {
            if (value != "q40") {
                return Refuse("--family knows only q40 (raw timer words), not " + std::string(value));
            }
            options.timers = TimerFormat::RawWord;
        } else if (name == "--delay-ms") {
            const auto delay = Number(value, 0, 60000);
            if (!delay) {
                return Refuse("--delay-ms takes milliseconds from 0 to 60000, not " + std::string(value));
            }
            options.delayMs = *delay;
        } else if (name == "--map") {
            options.mapFile = std::string(value);
        } else if (name == "--profile") {
            if (value != "meter") {
                return Refuse("--profile knows only meter, not " + std::string(value));
            }
            options.meter = true;
        } else {
            return Refuse("unknown option " + std::string(name));
        }
    }
    if (options.tcpPort < 0 && options.rtuDevice.empty()) {
        return Refuse("say where to listen: --tcp ADDRESS:PORT or --rtu DEVICE");
    }
    if (options.tcpPort >= 0 && !options.rtuDevice.empty()) {
        return Refuse("--tcp and --rtu exclude each other");
    }
    if (options.meter && (options.timers != TimerFormat::Ticks || !options.mapFile.empty())) {
        return Refuse("--profile meter has a register layout of its own: no --family or --map");
    }
    if (!options.rtuDevice.empty() && options.unit && (*options.unit < 1 || *options.unit > 247)) {
        return Refuse("a serial slave has a unit ID from 1 to 247");
    }
    return 0;
}

// Holds an answer back; a stop signal cuts the wait short.
void Delay(int milliseconds)
{
    if (milliseconds <= 0) {
        return;
    }
    timespec wait { milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L };
    while (g_stopRequested == 0 && nanosleep(&wait, &wait) == -1 && errno == EINTR) { }
}

// Answers one request; a TCP request for another unit than ours, when we have one, gets the gateway exception.
void Serve(modbus_t* context, SimulatedDevice& device, const std::uint8_t* query, int length,
           std::optional<int> tcpUnit, int delayMs)
{
    Delay(delayMs);
    ++g_answered;
    device.Advance(SimulatedDevice::Clock::now());
    const int header = modbus_get_header_length(context);
    if (tcpUnit && query[header - 1] != *tcpUnit) {
        modbus_reply_exception(context, query, MODBUS_EXCEPTION_GATEWAY_TARGET);
        return;
    }
    device.BeforeReply(std::span(query + header, static_cast<std::size_t>(length - header)));
    modbus_reply(context, query, length, device.Mapping());
}

int ServeTcp(const Options& options, SimulatedDevice& plc)
{
    ModbusContext context(modbus_new_tcp(options.tcpAddress.c_str(), options.tcpPort));
    if (!context) {
        std::fprintf(stderr, "tavrel-plcsim: cannot prepare TCP on %s: %s\n", options.tcpAddress.c_str(),
                     modbus_strerror(errno));
        return 1;
    }
    const int server = modbus_tcp_listen(context.Get(), kListenBacklog);
    if (server == -1) {
        std::fprintf(stderr, "tavrel-plcsim: cannot listen on %s:%d: %s\n", options.tcpAddress.c_str(), options.tcpPort,
                     modbus_strerror(errno));
        return 1;
    }
    sockaddr_in bound {};
    socklen_t boundLength = sizeof bound;
    getsockname(server, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    std::printf("tavrel-plcsim listening on tcp %s:%d\n", options.tcpAddress.c_str(), ntohs(bound.sin_port));
    std::fflush(stdout);

    std::vector<pollfd> sockets { { server, POLLIN, 0 } };
    std::vector<std::uint8_t> query(MODBUS_TCP_MAX_ADU_LENGTH);
    int result = 0;
    while (g_stopRequested == 0) {
        const int ready = poll(sockets.data(), sockets.size(), kPollMilliseconds);
        plc.Advance(SimulatedDevice::Clock::now());
        if (ready == -1) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "tavrel-plcsim: poll: %s\n", std::strerror(errno));
            result = 1;
            break;
        }
        for (std::size_t i = 1; i < sockets.size(); ++i) {
            if ((sockets[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            modbus_set_socket(context.Get(), sockets[i].fd);
            const int length = modbus_receive(context.Get(), query.data());
            if (length > 0) {
                Serve(context.Get(), plc, query.data(), length, options.unit, options.delayMs);
            } else if (length == -1) {
                close(sockets[i].fd); // the client left, or sent what is no Modbus request
                sockets[i].fd = -1;
            }
        }
        std::erase_if(sockets, [](const pollfd& socket) { return socket.fd == -1; });
        if ((sockets.front().revents & POLLIN) != 0) {
            const int client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
            if (client != -1) {
                const int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                sockets.push_back({ client, POLLIN, 0 });
            }
        }
    }
    for (const pollfd& socket : sockets) {
        close(socket.fd);
    }
    modbus_set_socket(context.Get(), -1); // every socket is closed already
    return result;
}

int ServeRtu(const Options& options, SimulatedDevice& plc)
{
    const int unit = options.unit.value_or(1);
    ModbusContext context(modbus_new_rtu(options.rtuDevice.c_str(), options.baud, options.parity, 8, options.stopBits));
    if (!context) {
        std::fprintf(stderr, "tavrel-plcsim: cannot prepare RTU on %s: %s\n", options.rtuDevice.c_str(),
                     modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(context.Get(), unit);
    if (modbus_connect(context.Get()) == -1) {
        std::fprintf(stderr, "tavrel-plcsim: cannot open %s: %s\n", options.rtuDevice.c_str(), modbus_strerror(errno));
        return 1;
    }
    std::printf("tavrel-plcsim listening on rtu %s at %d baud, unit %d\n", options.rtuDevice.c_str(), options.baud,
                unit);
    std::fflush(stdout);

    pollfd line { modbus_get_socket(context.Get()), POLLIN, 0 };
    std::vector<std::uint8_t> query(MODBUS_RTU_MAX_ADU_LENGTH);
    while (g_stopRequested == 0) {
        const int ready = poll(&line, 1, kPollMilliseconds);
        plc.Advance(SimulatedDevice::Clock::now());
        if (ready == -1) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "tavrel-plcsim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if ((line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (line.revents & POLLIN) == 0) {
            std::fprintf(stderr, "tavrel-plcsim: the serial line %s closed\n", options.rtuDevice.c_str());
            return 1;
        }
        if ((line.revents & POLLIN) == 0) {
            continue;
        }
        const int length = modbus_receive(context.Get(), query.data());
        if (length > 0) {
            Serve(context.Get(), plc, query.data(), length, std::nullopt, options.delayMs);
        } else if (length == -1) {
            modbus_flush(context.Get()); // a broken frame: wait for the next one
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int refused = ReadOptions(argc, argv, options); refused != 0) {
        return refused;
    }
    OperandMap map;
    if (!options.mapFile.empty()) {
        if (!std::filesystem::exists(options.mapFile)) {
            std::fprintf(stderr, "tavrel-plcsim: the map file %s does not exist\n", options.mapFile.c_str());
            return 2;
        }
        auto read = tavrel::comm::modbus::ReadOperandMapFile(options.mapFile);
        if (!read) {
            std::fprintf(stderr, "tavrel-plcsim: %s\n", read.error().c_str());
            return 2;
        }
        map = std::move(*read);
    }

    struct sigaction stop
    {
    };
    stop.sa_handler = RequestStop; // no SA_RESTART: poll returns at once
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        const auto now = SimulatedDevice::Clock::now();
        std::unique_ptr<SimulatedDevice> device;
        if (options.meter) {
            device = std::make_unique<MeterSimulator>(now);
        } else {
            device = std::make_unique<PlcSimulator>(map, options.timers, now);
        }
        const int code = options.rtuDevice.empty() ? ServeTcp(options, *device) : ServeRtu(options, *device);
        std::printf("tavrel-plcsim answered %llu requests\n", static_cast<unsigned long long>(g_answered));
        std::fflush(stdout);
        return code;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavrel-plcsim: %s\n", error.what());
        return 1;
    }
}
