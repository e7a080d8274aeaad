// A simulated PLC for the benchmarks that time a change from the PLC to a client: every operand holds the moment
// it was read, so whoever reads the same clock knows how long the value took to reach it.
#pragma once

#include "comm/CommDriver.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace tavrel::bench {

/// Values carry microseconds of the monotonic clock modulo this, to fit 32 bits.
inline constexpr std::int64_t kWrap = 1000000000;

/// Microseconds of the monotonic clock.
inline std::int64_t NowMicros()
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

} // namespace tavrel::bench
