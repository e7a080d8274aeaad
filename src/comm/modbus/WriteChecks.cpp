#include "comm/modbus/WriteChecks.h"

#include "comm/modbus/OperandText.h"
#include "comm/modbus/RawTimerWord.h"
#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"

#include <limits>

namespace tavrel::comm::modbus {

namespace {

namespace op = common::operand;

// A whole number of a currency within [0, maximum], or nothing.
std::optional<std::int64_t> WholeWithin(common::Currency value, std::int64_t maximum)
{
    if (value.scaled % common::Currency::kScale != 0) {
        return std::nullopt;
    }
    const std::int64_t whole = value.scaled / common::Currency::kScale;
    if (whole < 0 || whole > maximum) {
        return std::nullopt;
    }
    return whole;
}

} // namespace

std::optional<std::string> BitRefusal(std::int32_t operandType, std::int64_t address, std::uint8_t value)
{
    if (value > 1) {
        return OperandRun(operandType, address, 1) + " is a bit: it takes 0 or 1, not " + std::to_string(value);
    }
    return std::nullopt;
}

std::optional<std::string> DoubleWordRefusal(std::int32_t operandType, std::int64_t address, common::Currency value)
{
    if (!WholeWithin(value, std::numeric_limits<std::uint32_t>::max())) {
        return OperandRun(operandType, address, 1) + " takes a whole number from 0 to 4294967295, not "
            + common::CurrencyToText(value);
    }
    return std::nullopt;
}

std::optional<std::string> TimerRefusal(std::int32_t operandType, std::int64_t address, common::Currency value,
                                        TimerFormat timers)
{
    const bool raw = timers == TimerFormat::RawWord;
    const auto ticks = WholeWithin(value, common::kMaxTimerTicks);
    if (!ticks || (raw && !RawTimerWordFromTicks(*ticks))) {
        // The raw word's longest value: a count of 16383 on the 10 s base.
        const std::int32_t longest = raw ? 16383 * 1000 : common::kMaxTimerTicks;
        return OperandRun(operandType, address, 1) + " holds " + common::TimerTicksToText(0) + " to "
            + common::TimerTicksToText(longest) + (raw ? " on this PLC type" : "") + ", not "
            + (ticks ? common::TimerTicksToText(static_cast<std::int32_t>(*ticks))
                     : common::CurrencyToText(value) + " ticks");
    }
    return std::nullopt;
}

std::optional<common::Refusal> CheckWrite(const OperandMap& map, TimerFormat timers, std::int32_t operandType,
                                          std::int32_t address, const OperandWriteValue& value)
{
    using Kind = common::Refusal::Kind;
    const auto location = map.Locate(operandType, address, timers);
    if (!location) {
        return common::Refusal { Kind::NotWritable,
                                 OperandRun(operandType, address, 1)
                                     + " lies outside the Modbus addresses of the operand map" };
    }
    const bool bit = std::holds_alternative<std::uint8_t>(value);
    if (location->table != (bit ? Table::Coils : Table::HoldingRegisters)) {
        return common::Refusal { Kind::NotWritable,
                                 OperandName(operandType) + " lives in read-only " + TableNoun(location->table, 2) };
    }
    std::optional<std::string> refusal;
    if (bit) {
        refusal = BitRefusal(operandType, address, std::get<std::uint8_t>(value));
    } else if (const auto* currency = std::get_if<common::Currency>(&value)) {
        refusal = operandType == op::TPreset || operandType == op::TCurrent
            ? TimerRefusal(operandType, address, *currency, timers)
            : DoubleWordRefusal(operandType, address, *currency);
    }
    if (refusal) {
        return common::Refusal { Kind::OutOfRange, std::move(*refusal) };
    }
    return std::nullopt;
}

} // namespace tavrel::comm::modbus
