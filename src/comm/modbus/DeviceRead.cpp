#include "comm/modbus/DeviceRead.h"

#include "common/OperandCatalogue.h"

#include <algorithm>

namespace tavrel::comm::modbus {

namespace {

namespace op = common::operand;

constexpr std::size_t kTables = 4;
constexpr std::array<Table, kTables> kReadOrder { Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters,
                                                  Table::InputRegisters };

std::size_t TableIndex(Table table)
{
    return static_cast<std::size_t>(table);
}

bool IsBitTable(Table table)
{
    return table == Table::Coils || table == Table::DiscreteInputs;
}

} // namespace

std::optional<Table> DeviceTable(std::int32_t operandType)
{
    switch (operandType) {
    case op::Coil:
        return Table::Coils;
    case op::DiscreteInput:
        return Table::DiscreteInputs;
    case op::InputRegister:
        return Table::InputRegisters;
    case op::HoldingRegister:
        return Table::HoldingRegisters;
    default:
        return std::nullopt;
    }
}

DeviceRead::DeviceRead(int maxBits, int maxRegisters)
    : m_maxBits(std::min(maxBits, kMaxReadBits))
    , m_maxRegisters(std::min(maxRegisters, kMaxReadRegisters))
{
}

bool DeviceRead::IsPlannedFor(const std::vector<common::BinaryMixEntry>& entries) const
{
    return m_planValid
        && std::equal(entries.begin(), entries.end(), m_signature.begin(), m_signature.end(),
                      [](const common::BinaryMixEntry& entry, const Signature& planned) {
                          return planned == Signature { entry.MixType, entry.StartAddress, entry.Count, entry.Width };
                      });
}

std::optional<std::string> DeviceRead::Plan(const std::vector<common::BinaryMixEntry>& entries)
{
    m_planValid = false;
    m_requests.clear();
    m_signature.clear();
    for (std::size_t t = 0; t < kTables; ++t) {
        m_planners[t].Clear();
        m_spans[t].clear();
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const common::BinaryMixEntry& entry = entries[i];
        const std::string which = "entry " + std::to_string(i + 1) + " of the read";
        const auto table = DeviceTable(entry.MixType);
        if (!table) {
            return which + " is no Modbus device table (mix type " + std::to_string(entry.MixType) + ")";
        }
        const std::int32_t widest = IsBitTable(*table) ? 1 : kMaxReadRegisters;
        if (entry.Count < 1 || entry.Width < 1 || entry.Width > widest) {
            return which + " has " + std::to_string(entry.Count) + " values of " + std::to_string(entry.Width)
                + " each; a value takes 1 to " + std::to_string(widest);
        }
        const std::int64_t last = std::int64_t { entry.StartAddress } + std::int64_t { entry.Count } * entry.Width - 1;
        if (entry.StartAddress < 0 || last > 65535) {
            return which + " reaches address " + std::to_string(last) + ", past 65535";
        }
        const std::size_t t = TableIndex(*table);
        for (std::int32_t k = 0; k < entry.Count; ++k) {
            const ReadSpan span { static_cast<std::uint16_t>(entry.StartAddress + k * entry.Width),
                                  static_cast<std::uint16_t>(entry.Width) };
            if (BadReason(*table, span) == nullptr) {
                m_planners[t].Add(span);
                m_spans[t].push_back(span);
            }
        }
        m_signature.push_back({ entry.MixType, entry.StartAddress, entry.Count, entry.Width });
    }
    for (const Table table : kReadOrder) {
        const std::size_t t = TableIndex(table);
        auto& spans = m_spans[t];
        std::sort(spans.begin(), spans.end(), [](const ReadSpan& a, const ReadSpan& b) {
            return a.start != b.start ? a.start < b.start : a.width < b.width;
        });
        spans.erase(
            std::unique(spans.begin(), spans.end(),
                        [](const ReadSpan& a, const ReadSpan& b) { return a.start == b.start && a.width == b.width; }),
            spans.end());
        if (m_planners[t].Empty()) {
            continue;
        }
        for (const ReadRequest& request : m_planners[t].Plan(IsBitTable(table) ? m_maxBits : m_maxRegisters)) {
            m_requests.push_back({ table, request.start, request.count });
        }
    }
    m_planValid = true;
    return std::nullopt;
}

void DeviceRead::ReplaceRequest(std::size_t index, const std::vector<DeviceRequest>& replacement)
{
    if (index >= m_requests.size()) {
        return;
    }
    m_requests.erase(m_requests.begin() + static_cast<std::ptrdiff_t>(index));
    m_requests.insert(m_requests.begin() + static_cast<std::ptrdiff_t>(index), replacement.begin(), replacement.end());
}

std::vector<ReadSpan> DeviceRead::SpansWithin(const DeviceRequest& request) const
{
    const auto& spans = m_spans[TableIndex(request.table)];
    const auto first = std::lower_bound(spans.begin(), spans.end(), request.start,
                                        [](const ReadSpan& span, std::uint16_t start) { return span.start < start; });
    std::vector<ReadSpan> within;
    for (auto it = first; it != spans.end() && it->start < request.start + request.count; ++it) {
        within.push_back(*it);
    }
    return within;
}

DeviceRequest DeviceRead::Cover(Table table, std::span<const ReadSpan> spans)
{
    std::int32_t end = spans.front().start;
    for (const ReadSpan& span : spans) {
        end = std::max<std::int32_t>(end, span.start + span.width);
    }
    return { table, spans.front().start, static_cast<std::uint16_t>(end - spans.front().start) };
}

void DeviceRead::MarkBad(Table table, ReadSpan span, std::string reason)
{
    m_bad[{ table, span.start, span.width }] = std::move(reason);
    auto& spans = m_spans[TableIndex(table)];
    spans.erase(std::remove_if(spans.begin(), spans.end(),
                               [&](const ReadSpan& s) { return s.start == span.start && s.width == span.width; }),
                spans.end());
}

const std::string* DeviceRead::BadReason(Table table, ReadSpan span) const
{
    const auto it = m_bad.find({ table, span.start, span.width });
    return it == m_bad.end() ? nullptr : &it->second;
}

std::uint16_t* DeviceRead::Into(const DeviceRequest& request)
{
    auto& image = m_image[TableIndex(request.table)];
    if (image.empty()) {
        image.resize(65536);
    }
    return image.data() + request.start;
}

void DeviceRead::Decode(std::vector<common::BinaryMixEntry>& entries) const
{
    for (common::BinaryMixEntry& entry : entries) {
        entry.Problems.clear();
        const auto table = DeviceTable(entry.MixType);
        if (!table || entry.Count < 1 || entry.Width < 1) {
            continue;
        }
        const auto& image = m_image[TableIndex(*table)];
        const auto size = static_cast<std::size_t>(entry.Count) * static_cast<std::size_t>(entry.Width);
        entry.Words.assign(size, 0);
        for (std::int32_t k = 0; k < entry.Count; ++k) {
            const std::int32_t start = entry.StartAddress + k * entry.Width;
            const ReadSpan span { static_cast<std::uint16_t>(start), static_cast<std::uint16_t>(entry.Width) };
            if (const std::string* reason = BadReason(*table, span)) {
                entry.Problems.resize(static_cast<std::size_t>(entry.Count));
                entry.Problems[static_cast<std::size_t>(k)] = *reason;
            } else if (!image.empty()) {
                std::copy_n(image.begin() + start, entry.Width,
                            entry.Words.begin() + static_cast<std::ptrdiff_t>(k) * entry.Width);
            }
        }
    }
}

} // namespace tavrel::comm::modbus
