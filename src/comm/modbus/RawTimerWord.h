#pragma once

#include <cstdint>
#include <optional>

namespace tavrel::comm::modbus {

/// The raw timer word for a count of 10 ms ticks: the finest time base (10 ms, 100 ms, 1 s, 10 s) whose 14-bit
/// count can hold the value, the count rounded to that base (half up). Nothing for a negative count or one
/// beyond 16383 x 10 s.
std::optional<std::uint16_t> RawTimerWordFromTicks(std::int64_t ticks);

/// The 10 ms ticks a raw timer word stands for: its count times its time base.
std::int32_t TicksFromRawTimerWord(std::uint16_t word);

} // namespace tavrel::comm::modbus
