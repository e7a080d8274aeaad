#pragma once

#include "LinkMessages.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrel::dde {

/// The items the gateway's DDE clients have linked, with the number of DDE links on each, its newest value and
/// the order in which values changed. Links are known by a key: lblDDE(key) of the topic Items for a key from 0,
/// a System item (named by SystemKey) for a negative one. Not thread-safe: LinkClient guards it.
class LinkTable
{
public:
    /// The most System items linked at once: their names come from clients.
    static constexpr std::size_t kMaxSystemLinks = 1024;

    /// The key of the System item `name` (without regard to case): the key of its links, or with `add` a new one
    /// for a name not linked yet, which Add must take at once; nothing when there is none, or with `add` when
    /// kMaxSystemLinks names are linked already.
    std::optional<std::int32_t> SystemKey(const std::string& name, bool add);
    /// The key of an item named in a message; nothing for a System item that is not linked.
    std::optional<std::int32_t> KeyOf(const LinkItem& item) const;
    /// The item of a key, for the messages about it.
    LinkItem Item(std::int32_t key) const;
    /// "lblDDE(7)" or "System!NAME", for log lines.
    std::string KeyName(std::int32_t key) const;

    /// One more DDE link on a key; true for its first.
    bool Add(std::int32_t key);
    /// One DDE link fewer on a linked key; after its last, forgets the key and gives its item, for the unadvise.
    std::optional<LinkItem> Release(std::int32_t key);
    /// Every linked key with its item.
    std::vector<std::pair<std::int32_t, LinkItem>> Linked() const;

    /// Sets the value of a linked key (nothing: not current) and queues the key as changed; ignores other keys.
    void SetValue(std::int32_t key, std::optional<std::string> value);
    /// Makes every linked value not current.
    void ForgetValues();
    /// The value of a linked key; nothing while it is not current or for a key not linked.
    std::optional<std::string> Value(std::int32_t key) const;
    /// True when a value changed since the last TakeChanged.
    bool HasChanged() const { return !m_changed.empty(); }
    /// The keys whose value changed since the last call, in the order they first changed.
    std::vector<std::int32_t> TakeChanged();

private:
    struct Link
    {
        int refs = 0;
        std::optional<std::string> value;
        bool queued = false; ///< in m_changed
    };

    std::map<std::int32_t, Link> m_links;
    /// The linked System items: keys by name in upper case, and names (as first linked) by key.
    std::map<std::wstring, std::int32_t> m_systemKeys;
    std::map<std::int32_t, std::string> m_systemNames;
    std::int32_t m_nextSystemKey = -1;
    std::vector<std::int32_t> m_changed;
};

} // namespace tavrel::dde
