#include "comm/DeviceExchange.h"

#include "common/DeviceItems.h"
#include "common/NumberText.h"

#include <bit>
#include <cmath>

namespace tavrel::comm {

namespace {

using common::BaseType;
using common::DataType;
using common::Refusal;

// The raw type a scaled operand of families 0-5 is written as, by the kind of its write.
std::optional<DataType> RawTypeOf(common::ExchangeKind kind)
{
    switch (kind) {
    case common::ExchangeKind::Int16:
        return DataType { BaseType::Int16, 0 };
    case common::ExchangeKind::Int32:
        return DataType { BaseType::Int32, 0 };
    case common::ExchangeKind::Float32:
        return DataType { BaseType::Float32, 0 };
    case common::ExchangeKind::Currency:
        return DataType { BaseType::UInt32, 0 }; // double words and counters hold 0 to 4294967295
    default:
        return std::nullopt;
    }
}

std::uint32_t JoinedWords(const std::vector<std::uint16_t>& words)
{
    return (std::uint32_t { words[0] } << 16) | words[1];
}

} // namespace

common::ItemValue EngineeringValue(const model::ItemDetails& details, const common::ItemValue& raw)
{
    if (!details.scaling || raw.IsEmpty()) {
        return raw;
    }
    const auto number = common::ParseDouble(raw.ToText('.'));
    if (!number) {
        return raw;
    }
    return common::ItemValue(common::DoubleToText(common::ScaledValue(*details.scaling, *number), 7));
}

tl::expected<OperandWriteValue, Refusal> ScaledWriteValue(common::ExchangeKind kind, const model::ItemDetails& details,
                                                          std::string_view text)
{
    const auto type = RawTypeOf(kind);
    if (!type || !details.scaling) {
        return tl::make_unexpected(Refusal { Refusal::Kind::NotWritable, "this operand has no scaled value" });
    }
    auto words = common::EncodeValue(text, *type, common::ByteOrder::ABCD, details.scaling, details.units);
    if (!words) {
        return tl::make_unexpected(std::move(words.error()));
    }
    switch (type->base) {
    case BaseType::Int16:
        return OperandWriteValue(static_cast<std::int16_t>(words->front()));
    case BaseType::Int32:
        return OperandWriteValue(static_cast<std::int32_t>(JoinedWords(*words)));
    case BaseType::Float32:
        return OperandWriteValue(std::bit_cast<float>(JoinedWords(*words)));
    default:
        return OperandWriteValue(common::Currency::FromWhole(std::int64_t { JoinedWords(*words) }));
    }
}

std::vector<DeviceValue> DecodeDeviceEntry(const model::Clsitem& item, const common::BinaryMixEntry& entry)
{
    const DataType type = common::DeviceDataType(item.OperandType, item.Details);
    const auto width = static_cast<std::size_t>(common::DeviceValueWidth(item.OperandType, item.Details));
    const auto operands = item.Operands();
    std::vector<DeviceValue> values(operands.size());
    for (std::size_t k = 0; k < operands.size(); ++k) {
        DeviceValue& value = values[k];
        if (k < entry.Problems.size() && !entry.Problems[k].empty()) {
            value.problem = entry.Problems[k];
            continue;
        }
        if (entry.Words.size() < (k + 1) * width) {
            value.problem = "the device's answer held no value for it";
            continue;
        }
        const std::span<const std::uint16_t> registers(entry.Words.data() + k * width, width);
        // A coil or discrete input arrives as one word 0 or 1, which the bool type reads as it is.
        auto decoded = common::DecodeValue(registers, type, item.Details.byteOrder, item.Details.scaling);
        if (!decoded) {
            value.problem = decoded.error();
            continue;
        }
        value.value = common::ItemValue(std::move(decoded->text));
    }
    return values;
}

tl::expected<DeviceWords, Refusal> EncodeDevicePoke(std::int32_t operandType, const model::ItemDetails& details,
                                                    std::string_view text)
{
    if (!common::IsWritableTable(operandType)) {
        return tl::make_unexpected(Refusal {
            Refusal::Kind::NotWritable, "a " + std::string(common::OperandTypeName(operandType)) + " is read-only" });
    }
    const DataType type = common::DeviceDataType(operandType, details);
    auto words = common::EncodeValue(text, type, details.byteOrder, details.scaling, details.units);
    if (!words) {
        return tl::make_unexpected(std::move(words.error()));
    }
    DeviceWords result { std::move(*words), 0 };
    if (type.base == BaseType::Bit) {
        result.bitMask = static_cast<std::uint16_t>(1U << type.size);
    }
    return result;
}

} // namespace tavrel::comm
