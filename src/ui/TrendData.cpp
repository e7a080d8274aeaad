#include "ui/TrendData.h"

#include "app/ItemService.h"
#include "common/NumberText.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include <cmath>

namespace tavrel::ui {

namespace {

constexpr std::int64_t kMinuteMs = 60'000;
constexpr std::int64_t kHourMs = 60 * kMinuteMs;

} // namespace

std::int64_t RangeSpanMs(TrendRange range)
{
    switch (range) {
    case TrendRange::Minutes10:
        return 10 * kMinuteMs;
    case TrendRange::Hour1:
        return kHourMs;
    case TrendRange::Hours8:
        return 8 * kHourMs;
    case TrendRange::Hours24:
        return 24 * kHourMs;
    case TrendRange::Days7:
        return 7 * 24 * kHourMs;
    case TrendRange::FromTo:
        break;
    }
    return 0;
}

std::int64_t TickStepMs(TrendRange range)
{
    switch (range) {
    case TrendRange::Minutes10:
        return 2 * kMinuteMs;
    case TrendRange::Hour1:
        return 10 * kMinuteMs;
    case TrendRange::Hours8:
        return kHourMs;
    case TrendRange::Hours24:
        return 4 * kHourMs;
    case TrendRange::Days7:
        return 24 * kHourMs;
    case TrendRange::FromTo:
        break;
    }
    return 0;
}

std::int64_t AlignedEndMs(TrendRange range, std::int64_t nowMs, std::int64_t utcOffsetMs)
{
    const std::int64_t step = TickStepMs(range);
    if (step == 0) {
        return nowMs;
    }
    const std::int64_t local = nowMs + utcOffsetMs;
    const std::int64_t steps = local / step + (local % step > 0 ? 1 : 0);
    return steps * step - utcOffsetMs;
}

QString RangeCaption(TrendRange range)
{
    switch (range) {
    case TrendRange::Minutes10:
        return QStringLiteral("10 min");
    case TrendRange::Hour1:
        return QStringLiteral("1 h");
    case TrendRange::Hours8:
        return QStringLiteral("8 h");
    case TrendRange::Hours24:
        return QStringLiteral("24 h");
    case TrendRange::Days7:
        return QStringLiteral("7 days");
    case TrendRange::FromTo:
        break;
    }
    return QStringLiteral("From\u2013to");
}

std::vector<std::vector<QPointF>> SplitAtGaps(const std::vector<app::HistoryPoint>& points)
{
    std::vector<std::vector<QPointF>> lines;
    bool open = false;
    for (const app::HistoryPoint& point : points) {
        if (point.quality != app::Quality::Good || !point.value || !std::isfinite(*point.value)) {
            open = false;
            continue;
        }
        if (!open) {
            lines.emplace_back();
            open = true;
        }
        lines.back().emplace_back(static_cast<qreal>(point.timeMs), *point.value);
    }
    return lines;
}

std::optional<double> ChartNumber(std::string_view text, char decimalSeparator)
{
    if (text == "True") {
        return 1.0;
    }
    if (text == "False") {
        return 0.0;
    }
    for (const char separator : { decimalSeparator, '.' }) {
        if (const auto number = common::ParseDouble(text, separator); number && std::isfinite(*number)) {
            return *number;
        }
    }
    return std::nullopt;
}

QString IsoUtcTime(std::int64_t timeMs)
{
    return QDateTime::fromMSecsSinceEpoch(timeMs, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

QString HistoryCsvLine(const QString& itemName, const app::HistoryPoint& point)
{
    QString name = itemName;
    if (name.contains(QLatin1Char(',')) || name.contains(QLatin1Char('"'))) {
        name = QLatin1Char('"') + name.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
    }
    const QString value = point.value ? QString::number(*point.value, 'g', QLocale::FloatingPointShortest) : QString();
    const std::string_view quality = app::QualityName(point.quality);
    return QStringLiteral("%1,%2,%3,%4")
        .arg(IsoUtcTime(point.timeMs), name, value,
             QString::fromLatin1(quality.data(), static_cast<qsizetype>(quality.size())));
}

} // namespace tavrel::ui
