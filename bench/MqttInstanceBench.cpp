// One Tavrel of the MQTT benchmark: a program whose simulated PLCs hold, in every operand, the moment they were
// read (microseconds of the monotonic clock modulo 10^9), publishing through the MQTT bridge. A subscriber that
// reads the same clock knows how long each change took to reach it. Run by bench/mqtt_bench.py.
//
//   tavrel-bench-mqtt-instance --broker HOST:PORT --prefix P [--plcs N] [--items-per-plc K] [--pass-ms M]
//                              [--seconds S] [--payload plain|json] [--queue FILE]
//
// Prints "connected" once the broker took it, runs S seconds, then "published N" (the values published by the
// passes: every value changes in every pass) and ends. With --queue (json payloads kept in FILE while the broker
// is away) the run starts at once, whether the broker is there or not: "running" then, and "connected BUFFERED"
// (the changes kept so far) once the broker took it.
#include "ClockPlc.h"
#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "mqtt/MqttBridge.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

using namespace tavrel;
using bench::ClockPlc;
using bench::kWrap;
using bench::NowMicros;

namespace {

struct Options
{
    std::string broker;
    std::string prefix;
    int plcs = 1;
    int itemsPerPlc = 1000;
    int passMs = 100;
    int seconds = 10;
    std::string payload = "plain";
    std::string queue;
};

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--broker") {
            options.broker = value;
        } else if (name == "--prefix") {
            options.prefix = value;
        } else if (name == "--plcs") {
            options.plcs = std::atoi(value.c_str());
        } else if (name == "--items-per-plc") {
            options.itemsPerPlc = std::atoi(value.c_str());
        } else if (name == "--pass-ms") {
            options.passMs = std::atoi(value.c_str());
        } else if (name == "--seconds") {
            options.seconds = std::atoi(value.c_str());
        } else if (name == "--payload") {
            options.payload = value;
        } else if (name == "--queue") {
            options.queue = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 2;
        }
    }
    QCoreApplication application(argc, argv);
    char folder[] = "/tmp/tavrel-bench-mqtt-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    app::Program program(
        common::Settings(std::filesystem::path(folder) / "bench.ini", "tavrel"),
        [&options](const model::clsPlc&) { return std::make_shared<ClockPlc>(options.passMs); },
        std::filesystem::path(folder) / "none.tvb");
    for (int p = 0; p < options.plcs; ++p) {
        auto plc = program.Project().NewPlc();
        plc->Name = "Clock_" + std::to_string(p + 1);
        // A channel of its own for each PLC, so that they are read side by side.
        model::CommParams params = plc->GetCommParams();
        params.PathWay = model::PathWay::TcpIp;
        params.EthRemoteIP = "127.0.0.1";
        params.EthRemotePort = 20000 + p;
        plc->SetCommParams(params);
        auto& added = program.Project().AddPLC(std::move(plc));
        constexpr int kVectorLength = 50;
        for (int first = 0; first < options.itemsPerPlc; first += kVectorLength) {
            std::int32_t label = -1;
            (void)added.AddItems(std::min(kVectorLength, options.itemsPerPlc - first), first, common::operand::ML,
                                 common::direction::Read, true, label);
        }
    }
    common::MqttOptions mqttOptions;
    mqttOptions.Broker = options.broker;
    mqttOptions.TopicPrefix = options.prefix;
    mqttOptions.Payload = options.payload;
    mqttOptions.BufferFile = options.queue;
    mqtt::MqttBridge bridge(program.Service());
    if (const auto started = mqtt::ApplyMqttOptions(bridge, mqttOptions); !started) {
        std::fprintf(stderr, "%s\n", started.error().c_str());
        return 1;
    }
    long long passes = 0;
    bool counting = false;
    QObject::connect(&program, &app::Program::passFinished, [&] {
        if (counting) {
            ++passes;
        }
    });
    const auto run = [&] {
        counting = true;
        program.ToggleRun();
        QTimer::singleShot(options.seconds * 1000, [&] {
            counting = false;
            program.Stop();
            // The last pass's values leave before the bridge does.
            QTimer::singleShot(1000, [] { QCoreApplication::quit(); });
        });
    };
    if (!options.queue.empty()) {
        std::printf("running\n");
        std::fflush(stdout);
        run();
    }
    QObject::connect(&bridge, &mqtt::MqttBridge::stateChanged, [&](mqtt::BrokerState state, const QString& text) {
        if (state == mqtt::BrokerState::Connected && !options.queue.empty()) {
            const auto buffered = program.Service().System().Find(QStringLiteral("MqttBuffered"));
            std::printf("connected %s\n", buffered ? buffered->second.toUtf8().constData() : "0");
            std::fflush(stdout);
        } else if (state == mqtt::BrokerState::Connected && !program.IsRunning()) {
            std::printf("connected\n");
            std::fflush(stdout);
            run();
        } else if (state == mqtt::BrokerState::Disconnected || state == mqtt::BrokerState::Refused) {
            std::fprintf(stderr, "%s\n", text.toUtf8().constData());
        }
    });
    QCoreApplication::exec();
    std::printf("published %lld\n", passes * options.plcs * options.itemsPerPlc);
    std::fflush(stdout);
    bridge.Stop();
    std::filesystem::remove_all(folder);
    return 0;
}
