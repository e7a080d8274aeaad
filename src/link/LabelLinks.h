#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tavrel::link {

class LinkSession;

/// The sessions advising each label, by label index: whom a change of a label goes to.
class LabelLinks
{
public:
    /// Links `session` to label `index`; the caller makes sure it is not linked yet.
    void Link(std::int32_t index, LinkSession* session);
    /// Ends the link of `session` to label `index`, if there is one.
    void Unlink(std::int32_t index, LinkSession* session);
    /// The sessions linked to label `index`.
    std::span<LinkSession* const> Sessions(std::int32_t index) const;
    /// Ends every link to label `index`; the sessions that were linked.
    std::vector<LinkSession*> Take(std::int32_t index);

private:
    std::vector<std::vector<LinkSession*>> m_sessions;
};

} // namespace tavrel::link
