// One Tavrel of the MQTT benchmark: a program whose simulated PLCs hold, in every operand, the moment they were
// read (microseconds of the monotonic clock modulo 10^9), publishing through the MQTT bridge. A subscriber that
// reads the same clock knows how long each change took to reach it. Run by bench/mqtt_bench.py.
//
//   tavrel-bench-mqtt-instance --broker HOST:PORT --prefix P [--plcs N] [--items-per-plc K] [--pass-ms M]
//                              [--seconds S]
//
// Prints "connected" once the broker took it, runs S seconds, then "published N" (the values published by the
// passes: every value changes in every pass) and ends.
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

namespace {

constexpr std::int64_t kWrap = 1000000000;

std::int64_t NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A PLC whose every operand holds the time it was read, after a round trip of `passMs`.
class ClockPlc : public comm::CommDriver
{
public:
    explicit ClockPlc(int passMs)
        : m_passMs(passMs)
    {
    }

    void SetUnitId(std::uint8_t) override { }
    bool OpenSerial(std::int32_t&, comm::SerialSettings&) override { return true; }
    void SetEthernetMode(std::int32_t) override { }
    void SetRemoteHost(const std::string&) override { }
    void SetRemotePort(std::int32_t) override { }
    void SetTimeOut(std::int32_t) override { }
    void SetRetries(std::int16_t) override { }
    std::int32_t ConnectEthernet() override { return 0; }
    bool OpenEthernet() override { return true; }
    void CloseSerial() override { }
    void CloseEthernet() override { }
    bool PlcStop(std::uint8_t&) override { return true; }
    bool PlcRun(std::uint8_t&) override { return true; }
    bool ReadBinaryMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t&) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(m_passMs));
        const auto stamp = static_cast<std::int32_t>(NowMicros() % kWrap);
        for (auto& entry : entries) {
            entry.Values.assign(static_cast<std::size_t>(entry.Count), common::OperandValue {});
            for (auto& value : entry.Values) {
                value.LongValue = stamp;
            }
        }
        return true;
    }
#define TAVREL_BENCH_OPERATION(Name, Element)                                                                          \
    bool Name(std::int16_t, std::int16_t, std::span<Element>, std::uint8_t&) override                                  \
    {                                                                                                                  \
        return true;                                                                                                   \
    }
    TAVREL_BENCH_OPERATION(ReadMB, std::uint8_t)
    TAVREL_BENCH_OPERATION(ReadSB, std::uint8_t)
    TAVREL_BENCH_OPERATION(ReadI, std::uint8_t)
    TAVREL_BENCH_OPERATION(ReadO, std::uint8_t)
    TAVREL_BENCH_OPERATION(ReadCBit, std::uint8_t)
    TAVREL_BENCH_OPERATION(ReadXB, std::uint8_t)
    TAVREL_BENCH_OPERATION(ReadMI, std::int16_t)
    TAVREL_BENCH_OPERATION(ReadSI, std::int16_t)
    TAVREL_BENCH_OPERATION(ReadXI, std::int16_t)
    TAVREL_BENCH_OPERATION(ReadML, std::int32_t)
    TAVREL_BENCH_OPERATION(ReadSL, std::int32_t)
    TAVREL_BENCH_OPERATION(ReadXL, std::int32_t)
    TAVREL_BENCH_OPERATION(ReadMF, float)
    TAVREL_BENCH_OPERATION(ReadDW, common::Currency)
    TAVREL_BENCH_OPERATION(ReadXDW, common::Currency)
    TAVREL_BENCH_OPERATION(ReadCCurrent, common::Currency)
    TAVREL_BENCH_OPERATION(ReadCPreset, common::Currency)
    TAVREL_BENCH_OPERATION(ReadTPreset, std::int16_t)
    TAVREL_BENCH_OPERATION(ReadTCurrent, std::int16_t)
    TAVREL_BENCH_OPERATION(WriteMB, std::uint8_t)
    TAVREL_BENCH_OPERATION(WriteSB, std::uint8_t)
    TAVREL_BENCH_OPERATION(WriteO, std::uint8_t)
    TAVREL_BENCH_OPERATION(WriteXB, std::uint8_t)
    TAVREL_BENCH_OPERATION(WriteMI, std::int16_t)
    TAVREL_BENCH_OPERATION(WriteSI, std::int16_t)
    TAVREL_BENCH_OPERATION(WriteXI, std::int16_t)
    TAVREL_BENCH_OPERATION(WriteML, std::int32_t)
    TAVREL_BENCH_OPERATION(WriteSL, std::int32_t)
    TAVREL_BENCH_OPERATION(WriteXL, std::int32_t)
    TAVREL_BENCH_OPERATION(WriteMF, float)
    TAVREL_BENCH_OPERATION(WriteDW, common::Currency)
    TAVREL_BENCH_OPERATION(WriteSDW, common::Currency)
    TAVREL_BENCH_OPERATION(WriteXDW, common::Currency)
    TAVREL_BENCH_OPERATION(WriteCCurrent, common::Currency)
    TAVREL_BENCH_OPERATION(WriteCPreset, common::Currency)
    TAVREL_BENCH_OPERATION(WriteTPreset, common::Currency)
    TAVREL_BENCH_OPERATION(WriteTCurrent, common::Currency)
#undef TAVREL_BENCH_OPERATION

private:
    int m_passMs;
};

struct Options
{
    std::string broker;
    std::string prefix;
    int plcs = 1;
    int itemsPerPlc = 1000;
    int passMs = 100;
    int seconds = 10;
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
        params.PathWay = 2;
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
    mqtt::MqttBridge bridge(program);
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
    QObject::connect(&bridge, &mqtt::MqttBridge::stateChanged, [&](mqtt::BrokerState state, const QString& text) {
        if (state == mqtt::BrokerState::Connected && !program.IsRunning()) {
            std::printf("connected\n");
            std::fflush(stdout);
            counting = true;
            program.ToggleRun();
            QTimer::singleShot(options.seconds * 1000, [&] {
                counting = false;
                program.Stop();
                // The last pass's values leave before the bridge does.
                QTimer::singleShot(1000, [] { QCoreApplication::quit(); });
            });
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
