#include "comm/modbus/RawTimerWord.h"

#include "common/ValueConversions.h"

#include <array>

namespace tavrel::comm::modbus {

namespace {

constexpr std::int64_t kMaxCount = 0x3FFF;

struct TimeBase
{
    std::int64_t ticksPerCount;
    std::uint16_t bits; // bit 15 alone: 100 ms; bit 14 alone: 1 s; both: 10 s
};

constexpr std::array<TimeBase, 4> kTimeBases { {
    { 1, 0x0000 },
    { 10, 0x8000 },
    { 100, 0x4000 },
    { 1000, 0xC000 },
} };

} // namespace

std::optional<std::uint16_t> RawTimerWordFromTicks(std::int64_t ticks)
{
    if (ticks < 0) {
        return std::nullopt;
    }
    for (const TimeBase& base : kTimeBases) {
        const std::int64_t count = (ticks + base.ticksPerCount / 2) / base.ticksPerCount;
        if (count <= kMaxCount) {
            return static_cast<std::uint16_t>(base.bits | static_cast<std::uint16_t>(count));
        }
    }
    return std::nullopt;
}

std::int32_t TicksFromRawTimerWord(std::uint16_t word)
{
    // The word's number counts milliseconds; every time base is a whole number of 10 ms ticks.
    return common::TimerWordToNumber(word) / 10;
}

} // namespace tavrel::comm::modbus
