#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tavrel::comm::modbus {

/// The bits or registers of one operand, which belong in one request so that a value is never torn.
struct ReadSpan
{
    std::uint16_t start;
    std::uint16_t width; ///< at least 1
};

/// One read request of one table.
struct ReadRequest
{
    std::uint16_t start;
    std::uint16_t count;

    friend bool operator==(const ReadRequest&, const ReadRequest&) = default;
};

/// Plans the reads of one table: the fewest requests of at most `cap` bits or registers that cover every span
/// added, each span within one request (only a span wider than the cap, or than 255, may be cut); among plans with
/// that many requests, one that reads the fewest bits or registers, so a gap is bridged only when that saves a
/// request. Requests come in address order.
///
/// Spans are marked in a map of the 65536 addresses rather than sorted, so a batched read of thousands of operands
/// in any order costs a few passes over memory. The map is kept from one plan to the next.
class ReadPlanner
{
public:
    /// Adds one operand's span; spans may repeat, overlap and come in any order.
    void Add(ReadSpan span)
    {
        // Inline for the common case: a batched read adds thousands of spans of one or two addresses.
        if (span.width == 0 || span.width > kWidestMark || m_widths.empty() || span.start + span.width > kAddresses) {
            AddSlowly(span);
            return;
        }
        std::uint8_t& mark = m_widths[span.start];
        mark = std::max(mark, static_cast<std::uint8_t>(span.width));
        m_lowest = std::min<std::int32_t>(m_lowest, span.start);
        m_highest = std::max<std::int32_t>(m_highest, span.start);
    }
    /// Forgets every span added since the last plan.
    void Clear();
    /// True when nothing was added since the last plan.
    bool Empty() const { return m_lowest > m_highest; }
    /// The requests for every span added since the last plan, which are then forgotten. Valid until the next call.
    const std::vector<ReadRequest>& Plan(int cap);

private:
    struct Unit
    {
        std::int32_t start;
        std::int32_t end;
    };
    struct Cost
    {
        std::int32_t requests;
        std::int32_t width;
        friend auto operator<=>(const Cost&, const Cost&) = default;
    };

    static constexpr std::int32_t kAddresses = 65536;
    static constexpr std::int32_t kWidestMark = 255;

    void AddSlowly(ReadSpan span);
    void CollectUnits(std::int32_t cap);

    std::vector<std::uint8_t> m_widths; ///< per address: the widest span starting there, 0 for none
    std::int32_t m_lowest = 65536;
    std::int32_t m_highest = -1;
    std::vector<Unit> m_units;
    std::vector<Cost> m_best;
    std::vector<std::uint32_t> m_from;
    std::vector<std::uint32_t> m_candidates;
    std::vector<ReadRequest> m_requests;
};

/// The plan of a fresh planner for `spans`.
std::vector<ReadRequest> PlanReads(const std::vector<ReadSpan>& spans, int cap);

} // namespace tavrel::comm::modbus
