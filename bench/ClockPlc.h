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
#define TAVREL_BENCH_OPERATION(Direction, Operand, Element)                                                            \
    bool Direction##Operand(std::int16_t, std::int16_t, std::span<Element>, std::uint8_t&) override                    \
    {                                                                                                                  \
        return true;                                                                                                   \
    }
    TAVREL_COMM_DRIVER_OPERATIONS(TAVREL_BENCH_OPERATION)
#undef TAVREL_BENCH_OPERATION

private:
    int m_passMs;
};

} // namespace tavrel::bench
