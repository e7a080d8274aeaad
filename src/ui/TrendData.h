#pragma once

#include "app/HistoryReader.h"

#include <QPointF>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tavrel::ui {

/// An item drawn on a trend: its label index, the name it is shown by (its tag name, else its label name), its
/// units (the value axis it is drawn against) and whether its history is kept.
struct TrendItem
{
    std::int32_t index = 0;
    QString name;
    QString units;
    bool recorded = false;
};

/// The times a trend shows: a span back from now, or the times the user gives.
enum class TrendRange { Minutes10, Hour1, Hours8, Hours24, Days7, FromTo };

/// Every range, in the order the window offers them.
inline constexpr std::array<TrendRange, 6> kTrendRanges {
    TrendRange::Minutes10, TrendRange::Hour1, TrendRange::Hours8,
    TrendRange::Hours24,   TrendRange::Days7, TrendRange::FromTo
};

/// How far back from now a range reaches, in milliseconds; 0 for FromTo, which has no span of its own.
std::int64_t RangeSpanMs(TrendRange range);
/// The time between two ticks of a range's time axis: 2 min, 10 min, 1 h, 4 h, 1 day; 0 for FromTo.
std::int64_t TickStepMs(TrendRange range);
/// The end of a range back from `nowMs` whose ticks fall on whole steps of local time (`utcOffsetMs` ahead of UTC):
/// `nowMs` rounded up to the next step.
std::int64_t AlignedEndMs(TrendRange range, std::int64_t nowMs, std::int64_t utcOffsetMs);
/// "10 min", "1 h", "8 h", "24 h", "7 days", "From–to".
QString RangeCaption(TrendRange range);

/// The lines a chart draws for an item's points, oldest first: a point whose quality is not good, or which holds no
/// number, ends a line, so that the time the value was not known shows as a gap. Lines of no point are left out.
std::vector<std::vector<QPointF>> SplitAtGaps(const std::vector<app::HistoryPoint>& points);

/// The number a value text draws as: a decimal number (with the program's decimal separator, or a point), or
/// True/False as 1/0; nothing for any other text.
std::optional<double> ChartNumber(std::string_view text, char decimalSeparator);

/// A time as ISO 8601 in UTC with milliseconds: "2026-12-07T13:45:01.123Z".
QString IsoUtcTime(std::int64_t timeMs);

/// The first line of a history export.
inline constexpr std::string_view kHistoryCsvHeader = "time,item,value,quality";
/// One line of a history export (no line end): the time, the item's name, the value (empty for none) and the
/// quality, the name quoted when it holds a comma or a quote.
QString HistoryCsvLine(const QString& itemName, const app::HistoryPoint& point);

} // namespace tavrel::ui
