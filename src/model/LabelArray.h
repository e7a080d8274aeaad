#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::model {

/// Told of every change of the label array, on the thread that made it.
class LabelObserver
{
public:
    virtual ~LabelObserver() = default;
    /// The text of a loaded label changed (by a read, a poke or a clear).
    virtual void LabelTextChanged(std::int32_t index, const std::string& text) = 0;
    /// A label was loaded; its text is empty.
    virtual void LabelLoaded(std::int32_t /*index*/) { }
    /// A label was unloaded; links to it end.
    virtual void LabelUnloaded(std::int32_t /*index*/) { }
};

/// The DDE labels `lblDDE`: element 0 always there, elements 1 to 32767 loaded and unloaded by index, each
/// with a text that clients read and poke. It is the one seam between the model and its surfaces.
class LabelArray
{
public:
    static constexpr std::int32_t kMaxIndex = 32767;

    LabelArray();
    LabelArray(const LabelArray&) = delete;
    LabelArray& operator=(const LabelArray&) = delete;

    /// Loads element `index` with an empty text; fails for an index outside 1..32767 or one already loaded.
    [[nodiscard]] tl::expected<void, std::string> Load(std::int32_t index);

    /// Unloads element `index`; fails for element 0 and for an index that is not loaded.
    [[nodiscard]] tl::expected<void, std::string> Unload(std::int32_t index);

    /// Unloads every element from 1 up; element 0 stays.
    void UnloadAll();

    bool IsLoaded(std::int32_t index) const;

    /// The highest loaded index; 0 when only element 0 is loaded.
    std::int32_t HighestIndex() const;

    /// The number of loaded elements, element 0 included.
    std::size_t LoadedCount() const { return m_loadedCount; }

    /// The text of a loaded element; empty for an index that is not loaded.
    const std::string& Text(std::int32_t index) const;

    /// Replaces the text of a loaded element and tells the observers when it changed. Returns false, and
    /// does nothing, for an index that is not loaded.
    bool SetText(std::int32_t index, std::string text);

    /// Tells the observers of a loaded element that it changed though its text did not (its value went bad, or
    /// came back), as a change of its text would. Returns false, and does nothing, for an index that is not loaded.
    bool Touch(std::int32_t index);

    void AddObserver(LabelObserver* observer);
    void RemoveObserver(LabelObserver* observer);

private:
    std::vector<std::optional<std::string>> m_labels;
    std::size_t m_loadedCount = 1;
    std::vector<LabelObserver*> m_observers;
};

/// An item's reference to one element of the label array; the item does not own the element.
class Label
{
public:
    Label() = default;
    Label(LabelArray& array, std::int32_t index)
        : m_array(&array)
        , m_index(index)
    {
    }

    bool IsSet() const { return m_array != nullptr; }
    std::int32_t Index() const { return m_index; }
    LabelArray* Array() const { return m_array; }

    const std::string& Text() const;
    void SetText(std::string text) const;
    void Touch() const;

private:
    LabelArray* m_array = nullptr;
    std::int32_t m_index = -1;
};

/// "lblDDE(7)": the DDE item name of a label index.
std::string LabelName(std::int32_t index);

/// An item name "lblDDE(7)", matched without regard to case, as its label index; nothing for a name of
/// another form (leading zeros, blanks, an index beyond kMaxIndex included).
std::optional<std::int32_t> ParseLabelName(std::string_view name);

} // namespace tavrel::model
