#include "link/LabelLinks.h"

#include <algorithm>
#include <utility>

namespace tavrel::link {

void LabelLinks::Link(std::int32_t index, LinkSession* session)
{
    const auto position = static_cast<std::size_t>(index);
    if (m_sessions.size() <= position) {
        m_sessions.resize(position + 1);
    }
    m_sessions[position].push_back(session);
}

void LabelLinks::Unlink(std::int32_t index, LinkSession* session)
{
    if (const auto position = static_cast<std::size_t>(index); position < m_sessions.size()) {
        std::erase(m_sessions[position], session);
    }
}

std::span<LinkSession* const> LabelLinks::Sessions(std::int32_t index) const
{
    const auto position = static_cast<std::size_t>(index);
    return position < m_sessions.size() ? std::span<LinkSession* const>(m_sessions[position])
                                        : std::span<LinkSession* const>();
}

std::vector<LinkSession*> LabelLinks::Take(std::int32_t index)
{
    const auto position = static_cast<std::size_t>(index);
    return position < m_sessions.size() ? std::exchange(m_sessions[position], {}) : std::vector<LinkSession*>();
}

} // namespace tavrel::link
