#pragma once

#include "app/HistoryReader.h"

#include <QByteArray>
#include <QString>
#include <QUrlQuery>

#include <cstddef>
#include <cstdint>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::link {

/// The history route's limits, each with its reason.
struct HistoryRouteLimits
{
    /// Points a reduced answer holds by default, and at most: a chart of a few thousand pixels.
    static constexpr std::size_t kDefaultPoints = 1000;
    static constexpr std::size_t kMaxPoints = 10'000;
    /// The longest range asked for: a year, leap day included.
    static constexpr std::int64_t kMaxRangeMs = 366LL * 86'400'000;
    /// The range when from= is not given: the last hour.
    static constexpr std::int64_t kDefaultRangeMs = 3'600'000;
    /// Samples a raw (CSV) answer holds at most: a few megabytes.
    static constexpr std::size_t kMaxRawRows = 100'000;
};

/// What a request for an item's history asks for.
struct HistoryQuery
{
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    std::size_t points = HistoryRouteLimits::kDefaultPoints;
};

/// A time as from= and to= take it: milliseconds since 1970-01-01 UTC, or ISO 8601 ("2026-12-07T13:45:01.123Z",
/// UTC without an offset); none for any other text.
std::optional<std::int64_t> ParseHistoryTime(const QString& text);

/// from=, to= and points= of a request, with their defaults (to: `nowMs`; from: an hour before to; points: 1000), or
/// why they cannot be answered: a time that is none, from after to, a range over kMaxRangeMs, points 0 or over
/// kMaxPoints.
tl::expected<HistoryQuery, QString> ParseHistoryQuery(const QUrlQuery& query, std::int64_t nowMs);

/// {"item":…,"units":…,"points":[[ms,value,quality],…]}, a value without a number as null.
QByteArray HistoryJson(const QString& item, const QString& units, const std::vector<app::HistoryPoint>& points);

/// "time,ms,value,quality" and a line per point, the time in ISO 8601 UTC.
QByteArray HistoryCsv(const std::vector<app::HistoryPoint>& points);

} // namespace tavrel::link
