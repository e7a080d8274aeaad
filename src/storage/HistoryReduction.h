#pragma once

#include "storage/HistorySample.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tavrel::storage {

/// Reduces the points of a range, given oldest first, to at most `maxPoints`: every point when there are no more
/// than that, else the range cut into buckets of equal time, each keeping its first, last, lowest and highest point
/// and its first point without a value (so that neither a spike nor a gap vanishes from a chart). Memory stays
/// bounded by `maxPoints` whatever the number of points added.
class HistoryReduction
{
public:
    /// Points from `fromMs` to `toMs` (both included), at most `maxPoints` (at least 5 when reducing).
    HistoryReduction(std::int64_t fromMs, std::int64_t toMs, std::size_t maxPoints);

    /// Adds the next point; points outside the range are left out.
    void Add(const StoredPoint& point);
    /// The points kept, oldest first.
    std::vector<StoredPoint> Take();

private:
    struct Bucket
    {
        std::optional<StoredPoint> first, last, lowest, highest, gap;
    };
    void Fold(const StoredPoint& point);

    std::int64_t m_fromMs;
    std::int64_t m_toMs;
    std::size_t m_maxPoints;
    std::int64_t m_bucketMs;
    std::vector<StoredPoint> m_all; ///< every point, while there are no more than maxPoints
    bool m_reducing = false;
    std::vector<Bucket> m_buckets;
};

} // namespace tavrel::storage
