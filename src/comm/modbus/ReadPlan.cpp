#include "comm/modbus/ReadPlan.h"

#include <algorithm>
#include <cstring>

namespace tavrel::comm::modbus {

void ReadPlanner::AddSlowly(ReadSpan span)
{
    if (m_widths.empty()) {
        m_widths.resize(kAddresses);
    }
    std::int32_t start = span.start;
    const std::int32_t end = std::min(start + std::max<std::int32_t>(span.width, 1), kAddresses);
    // A span wider than a mark holds is marked as touching pieces.
    for (; start < end; start += kWidestMark) {
        const auto width = static_cast<std::uint8_t>(std::min(end - start, kWidestMark));
        std::uint8_t& mark = m_widths[static_cast<std::size_t>(start)];
        mark = std::max(mark, width);
        m_lowest = std::min(m_lowest, start);
        m_highest = std::max(m_highest, start);
    }
}

void ReadPlanner::Clear()
{
    if (!Empty()) {
        std::memset(m_widths.data() + m_lowest, 0, static_cast<std::size_t>(m_highest - m_lowest + 1));
    }
    m_lowest = kAddresses;
    m_highest = -1;
}

// Turns the marks into units in address order, merging spans that overlap, and clears the marks.
void ReadPlanner::CollectUnits(std::int32_t cap)
{
    m_units.clear();
    std::uint8_t* widths = m_widths.data();
    for (std::int32_t address = m_lowest; address <= m_highest; ++address) {
        // Skip eight unmarked addresses at a time.
        std::uint64_t eight = 0;
        while (address + 8 <= m_highest + 1 && (std::memcpy(&eight, widths + address, 8), eight == 0)) {
            address += 8;
        }
        const std::uint8_t width = widths[address];
        if (width == 0) {
            continue;
        }
        widths[address] = 0;
        const std::int32_t end = address + width;
        if (!m_units.empty() && address < m_units.back().end) {
            m_units.back().end = std::max(m_units.back().end, end);
        } else {
            m_units.push_back({ address, end });
        }
    }
    m_lowest = kAddresses;
    m_highest = -1;
    // Overlapping operands can chain into a unit no request can hold; only such a unit is cut.
    if (std::any_of(m_units.begin(), m_units.end(), [cap](const Unit& u) { return u.end - u.start > cap; })) {
        std::vector<Unit> cut;
        for (const Unit& unit : m_units) {
            for (std::int32_t start = unit.start; start < unit.end; start += cap) {
                cut.push_back({ start, std::min(unit.end, start + cap) });
            }
        }
        m_units.swap(cut);
    }
}

const std::vector<ReadRequest>& ReadPlanner::Plan(int cap)
{
    const std::int32_t limit = std::max(cap, 1);
    CollectUnits(limit);
    const std::size_t n = m_units.size();

    // m_best[i]: the cheapest plan for the first i units; m_from[i]: the first unit of its last request. The last
    // request of a plan for i units holds units j..i-1 and costs (1, end[i-1] - start[j]); the candidates j form
    // a window that slides right as i grows, so a queue ordered by best[j] - start[j] gives each minimum.
    m_best.assign(n + 1, Cost { 0, 0 });
    m_from.assign(n + 1, 0);
    m_candidates.clear();
    std::size_t head = 0;
    const auto key = [&](std::uint32_t j) { return Cost { m_best[j].requests, m_best[j].width - m_units[j].start }; };
    for (std::size_t i = 1; i <= n; ++i) {
        const auto newest = static_cast<std::uint32_t>(i - 1);
        while (m_candidates.size() > head && key(m_candidates.back()) >= key(newest)) {
            m_candidates.pop_back();
        }
        m_candidates.push_back(newest);
        const std::int32_t end = m_units[i - 1].end;
        while (end - m_units[m_candidates[head]].start > limit) {
            ++head;
        }
        const std::uint32_t j = m_candidates[head];
        m_best[i] = Cost { m_best[j].requests + 1, m_best[j].width + end - m_units[j].start };
        m_from[i] = j;
    }

    m_requests.resize(static_cast<std::size_t>(m_best[n].requests));
    for (std::size_t i = n, k = m_requests.size(); i > 0; i = m_from[i]) {
        const Unit& first = m_units[m_from[i]];
        m_requests[--k] = ReadRequest { static_cast<std::uint16_t>(first.start),
                                        static_cast<std::uint16_t>(m_units[i - 1].end - first.start) };
    }
    return m_requests;
}

std::vector<ReadRequest> PlanReads(const std::vector<ReadSpan>& spans, int cap)
{
    ReadPlanner planner;
    for (const ReadSpan& span : spans) {
        planner.Add(span);
    }
    return planner.Plan(cap);
}

} // namespace tavrel::comm::modbus
