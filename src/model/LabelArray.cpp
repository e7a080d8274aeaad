#include "model/LabelArray.h"

#include "common/LinkProtocol.h"

#include <algorithm>
#include <array>
#include <span>

namespace tavrel::model {

// Clients name the labels in the link protocol, whose names reach exactly as far as the array.
static_assert(LabelArray::kMaxIndex == protocol::kMaxLabelIndex);

namespace {

const std::string kEmpty;

// Tells every observer registered now. An observer may add or remove observers, itself included, while it
// is told: the walk is over a copy, and one removed meanwhile is not told any more.
template<typename Notify> void NotifyObservers(const std::vector<LabelObserver*>& observers, Notify notify)
{
    // This runs for every label a pass changes: the copy stays on the stack for the usual few observers.
    constexpr std::size_t kUsual = 8;
    std::array<LabelObserver*, kUsual> onStack {};
    std::vector<LabelObserver*> onHeap;
    std::span<LabelObserver* const> registered;
    if (observers.size() <= kUsual) {
        std::copy(observers.begin(), observers.end(), onStack.begin());
        registered = std::span(onStack.data(), observers.size());
    } else {
        onHeap = observers;
        registered = onHeap;
    }
    for (LabelObserver* observer : registered) {
        if (std::find(observers.begin(), observers.end(), observer) != observers.end()) {
            notify(*observer);
        }
    }
}

} // namespace

LabelArray::LabelArray()
{
    m_labels.emplace_back(std::string());
}

tl::expected<void, std::string> LabelArray::Load(std::int32_t index)
{
    if (index < 1 || index > kMaxIndex) {
        return tl::make_unexpected("label index " + std::to_string(index) + " is outside 1 to "
                                   + std::to_string(kMaxIndex));
    }
    const auto position = static_cast<std::size_t>(index);
    if (position < m_labels.size() && m_labels[position]) {
        return tl::make_unexpected("label " + LabelName(index) + " is already loaded");
    }
    if (position >= m_labels.size()) {
        m_labels.resize(position + 1);
    }
    m_labels[position] = std::string();
    ++m_loadedCount;
    NotifyObservers(m_observers, [index](LabelObserver& observer) { observer.LabelLoaded(index); });
    return {};
}

tl::expected<void, std::string> LabelArray::Unload(std::int32_t index)
{
    if (index == 0) {
        return tl::make_unexpected(std::string("label lblDDE(0) cannot be unloaded"));
    }
    if (!IsLoaded(index)) {
        return tl::make_unexpected("label " + LabelName(index) + " is not loaded");
    }
    m_labels[static_cast<std::size_t>(index)].reset();
    --m_loadedCount;
    while (m_labels.size() > 1 && !m_labels.back()) {
        m_labels.pop_back();
    }
    NotifyObservers(m_observers, [index](LabelObserver& observer) { observer.LabelUnloaded(index); });
    return {};
}

void LabelArray::UnloadAll()
{
    for (std::int32_t index = HighestIndex(); index >= 1; --index) {
        if (IsLoaded(index)) {
            (void)Unload(index);
        }
    }
}

bool LabelArray::IsLoaded(std::int32_t index) const
{
    return index >= 0 && static_cast<std::size_t>(index) < m_labels.size()
        && m_labels[static_cast<std::size_t>(index)].has_value();
}

std::int32_t LabelArray::HighestIndex() const
{
    return static_cast<std::int32_t>(m_labels.size()) - 1;
}

const std::string& LabelArray::Text(std::int32_t index) const
{
    return IsLoaded(index) ? *m_labels[static_cast<std::size_t>(index)] : kEmpty;
}

bool LabelArray::SetText(std::int32_t index, std::string text)
{
    if (!IsLoaded(index)) {
        return false;
    }
    std::string& current = *m_labels[static_cast<std::size_t>(index)];
    if (current == text) {
        return true;
    }
    current = std::move(text);
    if (m_observers.empty()) {
        return true;
    }
    // A copy: an observer may unload the label, and with it the text, while it is told.
    const std::string changed = current;
    NotifyObservers(m_observers,
                    [index, &changed](LabelObserver& observer) { observer.LabelTextChanged(index, changed); });
    return true;
}

bool LabelArray::Touch(std::int32_t index)
{
    if (!IsLoaded(index)) {
        return false;
    }
    const std::string text = *m_labels[static_cast<std::size_t>(index)];
    NotifyObservers(m_observers, [index, &text](LabelObserver& observer) { observer.LabelTextChanged(index, text); });
    return true;
}

void LabelArray::AddObserver(LabelObserver* observer)
{
    if (std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end()) {
        m_observers.push_back(observer);
    }
}

void LabelArray::RemoveObserver(LabelObserver* observer)
{
    std::erase(m_observers, observer);
}

const std::string& Label::Text() const
{
    return m_array ? m_array->Text(m_index) : kEmpty;
}

void Label::SetText(std::string text) const
{
    if (m_array) {
        m_array->SetText(m_index, std::move(text));
    }
}

void Label::Touch() const
{
    if (m_array) {
        m_array->Touch(m_index);
    }
}

std::string LabelName(std::int32_t index)
{
    return protocol::LabelName(index);
}

std::optional<std::int32_t> ParseLabelName(std::string_view name)
{
    return protocol::ParseLabelName(name);
}

} // namespace tavrel::model
