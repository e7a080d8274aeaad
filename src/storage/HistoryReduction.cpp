#include "storage/HistoryReduction.h"

#include <algorithm>

namespace tavrel::storage {

namespace {

/// The points a bucket keeps at most: its first, highest, lowest and last, and its first without a value.
constexpr std::size_t kPointsPerBucket = 5;

} // namespace

std::string DayName(std::int64_t day)
{
    // Days to a civil date (proleptic Gregorian), after Howard Hinnant's days_from_civil inverse.
    const std::int64_t z = day + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const std::int64_t dayOfMonth = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const std::int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    std::string text(10, '0');
    const auto put = [&text](std::size_t at, std::size_t width, std::int64_t value) {
        for (std::size_t i = 0; i < width; ++i) {
            text[at + width - 1 - i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
    };
    put(0, 4, year);
    text[4] = '-';
    put(5, 2, month);
    text[7] = '-';
    put(8, 2, dayOfMonth);
    return text;
}

std::optional<std::int64_t> ParseDayName(const std::string& name)
{
    if (name.size() != 10 || name[4] != '-' || name[7] != '-') {
        return std::nullopt;
    }
    const auto number = [&name](std::size_t at, std::size_t width) -> std::optional<std::int64_t> {
        std::int64_t value = 0;
        for (std::size_t i = at; i < at + width; ++i) {
            if (name[i] < '0' || name[i] > '9') {
                return std::nullopt;
            }
            value = value * 10 + (name[i] - '0');
        }
        return value;
    };
    const auto year = number(0, 4);
    const auto month = number(5, 2);
    const auto dayOfMonth = number(8, 2);
    if (!year || !month || !dayOfMonth || *month < 1 || *month > 12 || *dayOfMonth < 1 || *dayOfMonth > 31) {
        return std::nullopt;
    }
    // days_from_civil
    const std::int64_t y = *year - (*month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (*month > 2 ? *month - 3 : *month + 9) + 2) / 5 + *dayOfMonth - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t day = era * 146097 + dayOfEra - 719468;
    if (DayName(day) != name) {
        return std::nullopt; // a day the month has not: 2026-02-30
    }
    return day;
}

HistoryReduction::HistoryReduction(std::int64_t fromMs, std::int64_t toMs, std::size_t maxPoints)
    : m_fromMs(fromMs)
    , m_toMs(toMs)
    , m_maxPoints(maxPoints)
{
    const std::size_t buckets = std::max<std::size_t>(1, maxPoints / kPointsPerBucket);
    const std::int64_t span = std::max<std::int64_t>(1, toMs - fromMs + 1);
    const auto count = static_cast<std::int64_t>(buckets);
    m_bucketMs = std::max<std::int64_t>(1, (span + count - 1) / count);
    m_all.reserve(std::min<std::size_t>(maxPoints, 4096));
}

void HistoryReduction::Add(const StoredPoint& point)
{
    if (point.timeMs < m_fromMs || point.timeMs > m_toMs || m_maxPoints == 0) {
        return;
    }
    if (!m_reducing) {
        if (m_all.size() < m_maxPoints) {
            m_all.push_back(point);
            return;
        }
        m_reducing = true;
        m_buckets.resize(static_cast<std::size_t>((m_toMs - m_fromMs) / m_bucketMs) + 1);
        for (const StoredPoint& earlier : m_all) {
            Fold(earlier);
        }
        m_all.clear();
        m_all.shrink_to_fit();
    }
    Fold(point);
}

void HistoryReduction::Fold(const StoredPoint& point)
{
    Bucket& bucket = m_buckets[static_cast<std::size_t>((point.timeMs - m_fromMs) / m_bucketMs)];
    if (!bucket.first) {
        bucket.first = point;
    }
    bucket.last = point;
    if (!point.value) {
        if (!bucket.gap) {
            bucket.gap = point;
        }
        return;
    }
    if (!bucket.lowest || *point.value < *bucket.lowest->value) {
        bucket.lowest = point;
    }
    if (!bucket.highest || *point.value > *bucket.highest->value) {
        bucket.highest = point;
    }
}

std::vector<StoredPoint> HistoryReduction::Take()
{
    if (!m_reducing) {
        return std::move(m_all);
    }
    const std::size_t perBucket = std::min(kPointsPerBucket, m_maxPoints);
    std::vector<StoredPoint> points;
    for (const Bucket& bucket : m_buckets) {
        std::vector<StoredPoint> kept;
        for (const auto* candidate : { &bucket.first, &bucket.highest, &bucket.lowest, &bucket.last, &bucket.gap }) {
            if (kept.size() == perBucket || !*candidate) {
                continue;
            }
            // An item has one sample per millisecond: the same time is the same point.
            const bool seen = std::any_of(kept.begin(), kept.end(),
                                          [&](const StoredPoint& one) { return one.timeMs == (*candidate)->timeMs; });
            if (!seen) {
                kept.push_back(**candidate);
            }
        }
        std::sort(kept.begin(), kept.end(),
                  [](const StoredPoint& a, const StoredPoint& b) { return a.timeMs < b.timeMs; });
        points.insert(points.end(), kept.begin(), kept.end());
    }
    m_buckets.clear();
    return points;
}

} // namespace tavrel::storage
