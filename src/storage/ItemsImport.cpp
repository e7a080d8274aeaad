#include "storage/ItemsCsv.h"

#include "common/DeviceItems.h"
#include "common/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

namespace tavrel::storage {

namespace {

std::string LineName(const ListedItem& listed)
{
    return "line " + std::to_string(listed.line);
}

std::string Labels(std::int32_t first, std::int32_t count)
{
    return count == 1 ? "label " + model::LabelName(first)
                      : "labels " + model::LabelName(first) + " to " + model::LabelName(first + count - 1);
}

// An item of the PLC as a record, to put it back should the replacement fail.
ItemRecord RecordOf(const model::Clsitem& item)
{
    return ItemRecord { item.OperandType, item.OperandAddress,    item.Length(), item.IoDirection,
                        item.IsEnable,    item.FirstLabelIndex(), item.Details };
}

// Adds the records to the PLC on their labels; the first that fails ends it, with the reason.
tl::expected<void, std::string> AddRecords(model::clsPlc& plc, const std::vector<ItemRecord>& records)
{
    for (const ItemRecord& record : records) {
        std::int32_t label = record.LabelIndex;
        auto added = plc.AddItems(record.Oprndlength, record.OprndAddr, record.OprndType, record.CommDirection,
                                  record.IsEnabled, label, record.Details);
        if (!added) {
            return added;
        }
    }
    return {};
}

void RemoveAll(model::clsPlc& plc)
{
    while (!plc.colItems().empty()) {
        (void)plc.RemoveItem(plc.colItems().back()->Key);
    }
}

} // namespace

tl::expected<ItemsImport, std::string> ReplaceItems(model::clsConfig& project, model::clsPlc& plc,
                                                    const std::vector<ListedItem>& items)
{
    // The labels and names of the other PLCs' items stay; the PLC's own are given back by the replacement.
    std::map<std::int32_t, const model::clsPlc*> otherLabels;
    std::vector<std::string> otherNames;
    for (const auto& other : project.colPlcs()) {
        if (other.get() == &plc) {
            continue;
        }
        for (const auto& item : other->colItems()) {
            for (const model::Clsitem& operand : item->Operands()) {
                otherLabels.emplace(operand.Label.Index(), other.get());
            }
            if (!item->Details.name.empty()) {
                otherNames.push_back(item->Details.name);
            }
        }
    }
    std::int32_t highest = otherLabels.empty() ? 0 : otherLabels.rbegin()->first;
    std::map<std::int32_t, const ListedItem*> listLabels;
    for (const ListedItem& listed : items) {
        if (auto clash = common::TagNameClash(listed.item.Details.name, otherNames)) {
            return tl::make_unexpected(LineName(listed) + ": " + *clash);
        }
        if (!listed.labelGiven) {
            continue;
        }
        const std::int32_t first = listed.item.LabelIndex;
        const std::int32_t count = listed.item.Oprndlength;
        if (std::int64_t { first } + count - 1 > model::LabelArray::kMaxIndex) {
            return tl::make_unexpected(LineName(listed) + ": " + Labels(first, count) + " run past "
                                       + model::LabelName(model::LabelArray::kMaxIndex));
        }
        for (std::int32_t label = first; label < first + count; ++label) {
            if (const auto owner = otherLabels.find(label); owner != otherLabels.end()) {
                return tl::make_unexpected(LineName(listed) + ": " + model::LabelName(label)
                                           + " belongs to an item of PLC \"" + owner->second->Name + "\"");
            }
            if (const auto [place, added] = listLabels.emplace(label, &listed); !added) {
                return tl::make_unexpected(LineName(listed) + ": " + model::LabelName(label) + " is already "
                                           + LineName(*place->second) + "'s");
            }
        }
        highest = std::max(highest, first + count - 1);
    }

    std::vector<ItemRecord> records;
    for (const ListedItem& listed : items) {
        ItemRecord record = listed.item;
        if (!listed.labelGiven) {
            if (std::int64_t { highest } + record.Oprndlength > model::LabelArray::kMaxIndex) {
                return tl::make_unexpected(LineName(listed) + ": no free labels are left after "
                                           + model::LabelName(highest));
            }
            record.LabelIndex = highest + 1;
            highest += record.Oprndlength;
        }
        records.push_back(std::move(record));
    }

    std::vector<ItemRecord> before;
    for (const auto& item : plc.colItems()) {
        before.push_back(RecordOf(*item));
    }
    RemoveAll(plc);
    if (auto added = AddRecords(plc, records); !added) {
        // What the checks above let through and the model still refused: the PLC gets its items back.
        RemoveAll(plc);
        (void)AddRecords(plc, before);
        return tl::make_unexpected(added.error());
    }
    return ItemsImport { records.size(), before.size() };
}

tl::expected<std::size_t, std::string> ExportItemsFile(const model::clsPlc& plc, const std::filesystem::path& path)
{
    const auto fail = [&path](const std::string& problem) {
        return tl::make_unexpected("Cannot export the items to " + common::QuotedPath(path) + ": " + problem);
    };
    auto file = common::ReplacementFile::Create(path);
    if (!file) {
        return fail(file.error());
    }
    const std::string text = ItemsCsvText(plc);
    if (auto written = file->Write(text.data(), text.size()); !written) {
        return fail(written.error());
    }
    if (auto committed = file->Commit(); !committed) {
        return fail(committed.error());
    }
    return plc.colItems().size();
}

tl::expected<ItemsImport, std::string> ImportItemsFile(model::clsConfig& project, model::clsPlc& plc,
                                                       const std::filesystem::path& path)
{
    const auto fail = [&path](const std::string& problem) {
        return tl::make_unexpected("Cannot import the items of " + common::QuotedPath(path) + ": " + problem);
    };
    auto text = common::ReadWholeFile(path);
    if (!text) {
        return fail(std::strerror(text.error()));
    }
    auto items = ReadItemsCsv(*text, plc.Params().PlcType);
    if (!items) {
        return fail(items.error());
    }
    auto replaced = ReplaceItems(project, plc, *items);
    if (!replaced) {
        return fail(replaced.error());
    }
    return replaced;
}

} // namespace tavrel::storage
