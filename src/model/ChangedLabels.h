#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tavrel::model {

/// The label indexes that changed since they were last taken, each once, in the order of their first change: what
/// an observer sends at the end of a pass, whatever number of times a label changed during it.
class ChangedLabels
{
public:
    /// Notes a change of `index`; false when it was already noted.
    bool Add(std::int32_t index)
    {
        const auto position = static_cast<std::size_t>(index);
        if (m_isChanged.size() <= position) {
            m_isChanged.resize(position + 1, false);
        }
        if (m_isChanged[position]) {
            return false;
        }
        m_isChanged[position] = true;
        m_order.push_back(index);
        return true;
    }

    /// The changes noted so far; none are noted afterwards.
    std::vector<std::int32_t> Take()
    {
        for (const std::int32_t index : m_order) {
            m_isChanged[static_cast<std::size_t>(index)] = false;
        }
        return std::exchange(m_order, {});
    }

    [[nodiscard]] bool Empty() const { return m_order.empty(); }

private:
    std::vector<std::int32_t> m_order;
    std::vector<bool> m_isChanged;
};

} // namespace tavrel::model
