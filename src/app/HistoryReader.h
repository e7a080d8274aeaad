#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::app {

enum class Quality;

/// One point of an item's history: when it was read (milliseconds since 1970-01-01 UTC, the source time), its
/// value (none for a text that holds no number, or while the quality had no value) and its quality.
struct HistoryPoint
{
    std::int64_t timeMs = 0;
    std::optional<double> value;
    Quality quality {};

    friend bool operator==(const HistoryPoint&, const HistoryPoint&) = default;
};

/// What an item's history holds between two times, as charts and exports read it. Reads run on the caller's thread
/// and are bounded: a read never returns more than it is asked for, whatever the range.
class HistoryReader
{
public:
    virtual ~HistoryReader() = default;

    /// Whether item `index` is recorded (its Record flag is set in the open project).
    virtual bool IsRecorded(std::int32_t index) const = 0;

    /// Up to `maxPoints` points of item `index` from `fromMs` to `toMs` (both included), oldest first: every sample
    /// when there are no more than that, else the range cut into buckets of equal time, each keeping its first,
    /// last, lowest and highest point (so a spike never vanishes from a chart). The reason when the history cannot
    /// be read.
    virtual tl::expected<std::vector<HistoryPoint>, std::string>
    Read(std::int32_t index, std::int64_t fromMs, std::int64_t toMs, std::size_t maxPoints) const = 0;

    /// The samples of item `index` from `fromMs` to `toMs` as recorded, oldest first, at most `maxRows` of them
    /// (the first ones); the reason when the history cannot be read.
    virtual tl::expected<std::vector<HistoryPoint>, std::string>
    ReadRaw(std::int32_t index, std::int64_t fromMs, std::int64_t toMs, std::size_t maxRows) const = 0;
};

} // namespace tavrel::app
