#include "comm/modbus/BatchedRead.h"

#include "comm/modbus/OperandText.h"
#include "comm/modbus/RawTimerWord.h"
#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"

namespace tavrel::comm::modbus {

namespace {

namespace op = common::operand;

std::size_t TableIndex(Table table)
{
    return static_cast<std::size_t>(table);
}

} // namespace

BatchedRead::BatchedRead(const OperandMap& map, TimerFormat timers)
    : m_timers(timers)
    , m_runCoil(map.RunCoil())
    , m_maxBits(map.MaxBitsPerRequest())
    , m_maxRegisters(map.MaxRegistersPerRequest())
{
    for (const std::int32_t bit : { op::MB, op::SB, op::I, op::O, op::XB }) {
        Layout(map, bit, Decoding::Bit, { bit });
    }
    for (const std::int32_t word : { op::MI, op::SI, op::XI }) {
        Layout(map, word, Decoding::Word, { word });
    }
    for (const std::int32_t longWord : { op::ML, op::SL, op::XL }) {
        Layout(map, longWord, Decoding::Long, { longWord });
    }
    Layout(map, op::MF, Decoding::SwappedFloat, { op::MF });
    for (const std::int32_t doubleWord : { op::DW, op::SDW, op::XDW }) {
        Layout(map, doubleWord, Decoding::DoubleWord, { doubleWord });
    }
    Layout(map, op::TBit, Decoding::Timer, { op::TBit, op::TCurrent, op::TPreset });
    Layout(map, op::CBit, Decoding::Counter, { op::CBit, op::CCurrent, op::CPreset });
}

void BatchedRead::Layout(const OperandMap& map, std::int32_t mixType, Decoding decoding,
                         std::initializer_list<std::int32_t> parts)
{
    MixLayout& mix = m_layouts[static_cast<std::size_t>(mixType)];
    mix.decoding = decoding;
    mix.partCount = 0;
    for (const std::int32_t part : parts) {
        const auto place = map.Locate(part, 0, m_timers);
        if (!place) {
            mix.decoding = Decoding::None; // every mapped type has a place for operand 0
            return;
        }
        mix.parts[mix.partCount] = part;
        mix.places[mix.partCount] = *place;
        ++mix.partCount;
    }
}

void BatchedRead::ClearPlanners()
{
    for (ReadPlanner& planner : m_planners) {
        planner.Clear();
    }
}

void BatchedRead::PlanAdded(RequestsPerTable& requests)
{
    for (const Table table : { Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters }) {
        ReadPlanner& planner = m_planners[TableIndex(table)];
        std::vector<ReadRequest>& planned = requests[TableIndex(table)];
        if (planner.Empty()) {
            planned.clear();
            continue;
        }
        planned = planner.Plan(table == Table::HoldingRegisters ? m_maxRegisters : m_maxBits);
    }
}

bool BatchedRead::IsPlannedFor(const std::vector<common::BinaryMixEntry>& entries) const
{
    if (!m_planValid || entries.size() != m_signature.size()) {
        return false;
    }
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const MixSignature& signature = m_signature[k];
        if (entries[k].MixType != signature.mixType || entries[k].StartAddress != signature.startAddress
            || entries[k].Count != signature.count) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> BatchedRead::Plan(const std::vector<common::BinaryMixEntry>& entries)
{
    m_planValid = false;
    ClearPlanners();
    m_signature.clear();
    m_steps.clear();
    for (const common::BinaryMixEntry& entry : entries) {
        m_signature.push_back({ entry.MixType, entry.StartAddress, entry.Count });
        if (entry.MixType == 0 && entry.Count == 0) {
            continue; // the zeroed entry of an empty list
        }
        const MixLayout* layout = entry.MixType >= 0 && entry.MixType < kMixTypeCount
            ? &m_layouts[static_cast<std::size_t>(entry.MixType)]
            : nullptr;
        if (layout == nullptr || layout->decoding == Decoding::None) {
            return "mix type " + std::to_string(entry.MixType) + " is not a batched request code";
        }
        if (entry.Count < 0 || entry.StartAddress < 0) {
            return "a batched read of " + std::to_string(entry.Count) + " operands from address "
                + std::to_string(entry.StartAddress) + " cannot be made";
        }
        std::array<std::int64_t, 3> first {};
        for (std::size_t p = 0; p < layout->partCount; ++p) {
            const OperandLocation& place = layout->places[p];
            first[p] = place.address + std::int64_t { entry.StartAddress } * place.width;
            if (first[p] + std::int64_t { entry.Count } * place.width - 1 > 65535) {
                return OperandRun(layout->parts[p], entry.StartAddress, entry.Count)
                    + " lies outside the Modbus addresses of the operand map";
            }
        }
        for (std::int64_t i = 0; i < entry.Count; ++i) {
            DecodeStep step { layout->decoding, layout->places[0].table == Table::Coils, {} };
            for (std::size_t p = 0; p < layout->partCount; ++p) {
                const OperandLocation& place = layout->places[p];
                step.addresses[p] = static_cast<std::uint16_t>(first[p] + i * place.width);
                m_planners[TableIndex(place.table)].Add(ReadSpan { step.addresses[p], place.width });
            }
            m_steps.push_back(step);
        }
    }
    m_planners[TableIndex(Table::Coils)].Add(ReadSpan { m_runCoil, 1 });
    PlanAdded(m_mixRequests);
    m_planValid = true;
    return std::nullopt;
}

const RequestsPerTable& BatchedRead::PlanRun(const OperandLocation& first, std::int32_t count)
{
    ClearPlanners();
    ReadPlanner& planner = m_planners[TableIndex(first.table)];
    for (std::int64_t i = 0; i < count; ++i) {
        planner.Add(ReadSpan { static_cast<std::uint16_t>(first.address + i * first.width), first.width });
    }
    PlanAdded(m_runRequests);
    return m_runRequests;
}

std::int32_t BatchedRead::TimerTicks(const ReadImage& image, std::uint16_t address) const
{
    return m_timers == TimerFormat::RawWord ? TicksFromRawTimerWord(image.Word(address))
                                            : static_cast<std::int32_t>(image.Long(address));
}

void BatchedRead::Decode(std::vector<common::BinaryMixEntry>& entries, const ReadImage& image) const
{
    const DecodeStep* step = m_steps.data();
    for (common::BinaryMixEntry& entry : entries) {
        if (entry.Count <= 0) {
            entry.Values.clear();
            continue;
        }
        entry.Values.resize(static_cast<std::size_t>(entry.Count));
        for (common::OperandValue& value : entry.Values) {
            const auto& at = step->addresses;
            value = common::OperandValue {};
            switch (step->decoding) {
            case Decoding::Bit:
                value.LongValue = image.Bit(step->coils, at[0]);
                break;
            case Decoding::Word:
                value.LongValue = static_cast<std::int16_t>(image.Word(at[0]));
                break;
            case Decoding::Long:
                value.LongValue = static_cast<std::int32_t>(image.Long(at[0]));
                break;
            case Decoding::SwappedFloat: {
                std::uint32_t word = image.Long(at[0]);
                common::SwapWordHalves(word);
                value.LongValue = static_cast<std::int32_t>(word);
                break;
            }
            case Decoding::DoubleWord:
                value.CurrencyValue = common::Currency::FromWhole(image.Long(at[0]));
                break;
            case Decoding::Timer:
                value.LongValue = image.Bit(step->coils, at[0]);
                value.TimerCurrent = TimerTicks(image, at[1]);
                value.TimerPreset = TimerTicks(image, at[2]);
                break;
            case Decoding::Counter:
                value.LongValue = image.Bit(step->coils, at[0]);
                value.CurrencyValue = common::Currency::FromWhole(image.Long(at[1]));
                value.CounterPreset = common::Currency::FromWhole(image.Long(at[2]));
                break;
            case Decoding::None:
                break;
            }
            ++step;
        }
    }
}

} // namespace tavrel::comm::modbus
