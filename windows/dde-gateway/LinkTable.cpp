#include "LinkTable.h"

#include "Text.h"

#include <algorithm>
#include <limits>

namespace tavrel::dde {

namespace {

/// A name as it is compared: the link server matches System item names without regard to case.
std::wstring Upper(std::string_view utf8)
{
    std::wstring wide = Widen(utf8);
    if (!wide.empty()) {
        CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    }
    return wide;
}

} // namespace

std::optional<std::int32_t> LinkTable::SystemKey(const std::string& name, bool add)
{
    const std::wstring upper = Upper(name);
    if (const auto known = m_systemKeys.find(upper); known != m_systemKeys.end()) {
        return known->second;
    }
    if (!add || m_systemKeys.size() >= kMaxSystemLinks || m_nextSystemKey == std::numeric_limits<std::int32_t>::min()) {
        return std::nullopt;
    }
    const std::int32_t key = m_nextSystemKey--;
    m_systemKeys.emplace(upper, key);
    m_systemNames.emplace(key, name);
    return key;
}

std::optional<std::int32_t> LinkTable::KeyOf(const LinkItem& item) const
{
    if (!item.IsSystem()) {
        return item.index;
    }
    const auto known = m_systemKeys.find(Upper(item.systemName));
    return known == m_systemKeys.end() ? std::nullopt : std::optional(known->second);
}

LinkItem LinkTable::Item(std::int32_t key) const
{
    if (key >= 0) {
        return { key, {} };
    }
    const auto name = m_systemNames.find(key);
    return { -1, name == m_systemNames.end() ? std::string() : name->second };
}

std::string LinkTable::KeyName(std::int32_t key) const
{
    if (key >= 0) {
        return protocol::LabelName(key);
    }
    const auto name = m_systemNames.find(key);
    return "System!" + (name == m_systemNames.end() ? std::string("?") : name->second);
}

bool LinkTable::Add(std::int32_t key)
{
    return ++m_links[key].refs == 1;
}

std::optional<LinkItem> LinkTable::Release(std::int32_t key)
{
    const auto link = m_links.find(key);
    if (link == m_links.end() || --link->second.refs > 0) {
        return std::nullopt;
    }
    LinkItem item = Item(key);
    std::erase(m_changed, key);
    m_links.erase(link);
    if (const auto name = m_systemNames.find(key); name != m_systemNames.end()) {
        m_systemKeys.erase(Upper(name->second));
        m_systemNames.erase(name);
    }
    return item;
}

std::vector<std::pair<std::int32_t, LinkItem>> LinkTable::Linked() const
{
    std::vector<std::pair<std::int32_t, LinkItem>> linked;
    for (const auto& entry : m_links) {
        linked.emplace_back(entry.first, Item(entry.first));
    }
    return linked;
}

void LinkTable::SetValue(std::int32_t key, std::optional<std::string> value)
{
    const auto link = m_links.find(key);
    if (link == m_links.end()) {
        return;
    }
    link->second.value = std::move(value);
    if (!link->second.queued) {
        link->second.queued = true;
        m_changed.push_back(key);
    }
}

void LinkTable::ForgetValues()
{
    for (const auto& entry : m_links) {
        SetValue(entry.first, std::nullopt);
    }
}

std::optional<std::string> LinkTable::Value(std::int32_t key) const
{
    const auto link = m_links.find(key);
    return link == m_links.end() ? std::nullopt : link->second.value;
}

std::vector<std::int32_t> LinkTable::TakeChanged()
{
    for (const std::int32_t key : m_changed) {
        if (const auto link = m_links.find(key); link != m_links.end()) {
            link->second.queued = false;
        }
    }
    return std::exchange(m_changed, {});
}

} // namespace tavrel::dde
