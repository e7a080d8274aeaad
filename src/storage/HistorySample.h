#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrel::storage {

/// One recorded change of an item: its label index, when it was read (milliseconds since 1970-01-01 UTC), its value
/// as a number (none for a text that holds no number, or while its quality has no value), the text of a value that
/// is no number, and its quality as the program numbers it (0 is good).
struct HistorySample
{
    std::int32_t item = 0;
    std::int64_t timeMs = 0;
    std::optional<double> value;
    std::string text;
    std::uint8_t quality = 0;

    friend bool operator==(const HistorySample&, const HistorySample&) = default;
};

/// A sample read back for an item: when, its number and its quality.
struct StoredPoint
{
    std::int64_t timeMs = 0;
    std::optional<double> value;
    std::uint8_t quality = 0;

    friend bool operator==(const StoredPoint&, const StoredPoint&) = default;
};

/// Milliseconds in a day.
inline constexpr std::int64_t kDayMs = 86'400'000;

/// The UTC day of a time, counted from 1970-01-01 (day 0); days before it are negative.
constexpr std::int64_t DayOf(std::int64_t timeMs)
{
    return timeMs >= 0 ? timeMs / kDayMs : -((-timeMs + kDayMs - 1) / kDayMs);
}

/// "2026-12-07" for a day counted from 1970-01-01.
std::string DayName(std::int64_t day);

/// The day that a name as DayName writes it stands for; none for any other text.
std::optional<std::int64_t> ParseDayName(const std::string& name);

} // namespace tavrel::storage
