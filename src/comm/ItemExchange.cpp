#include "comm/ItemExchange.h"

#include "comm/DeviceExchange.h"
#include "comm/DriverOperations.h"
#include "common/DeviceItems.h"
#include "common/NumberText.h"
#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"

#include <limits>

namespace tavrel::comm {

namespace {

using common::ItemValue;
using model::Clsitem;

template<class... Ts> struct Overloaded : Ts...
{
    using Ts::operator()...;
};
// Spelled out for compilers without deduction for aggregates (clang 14).
template<class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

bool FitsDriverAddress(std::int32_t address)
{
    return address >= std::numeric_limits<std::int16_t>::min() && address <= std::numeric_limits<std::int16_t>::max();
}

} // namespace

std::optional<bool> ReadOperand(CommDriver& driver, std::int32_t operandType, std::int32_t address, ItemValue& value)
{
    const DriverOperation read = OperationsOf(operandType).read;
    if (std::holds_alternative<std::monostate>(read)) {
        return std::nullopt;
    }
    if (!FitsDriverAddress(address)) {
        return false;
    }
    const auto where = static_cast<std::int16_t>(address);
    const bool timer = operandType == common::operand::TPreset || operandType == common::operand::TCurrent;
    try {
        std::uint8_t status = 0;
        return std::visit(Overloaded {
                              [](std::monostate) { return false; },
                              [&](ByteOperation op) {
                                  std::uint8_t buffer[1] = {};
                                  const bool ok = (driver.*op)(where, 1, std::span(buffer), status);
                                  value = ItemValue(buffer[0]);
                                  return ok;
                              },
                              [&](WordOperation op) {
                                  std::int16_t buffer[1] = {};
                                  const bool ok = (driver.*op)(where, 1, std::span(buffer), status);
                                  value = timer
                                      ? ItemValue(common::TimerWordToNumber(static_cast<std::uint16_t>(buffer[0])))
                                      : ItemValue(buffer[0]);
                                  return ok;
                              },
                              [&](LongOperation op) {
                                  std::int32_t buffer[1] = {};
                                  const bool ok = (driver.*op)(where, 1, std::span(buffer), status);
                                  value = ItemValue(buffer[0]);
                                  return ok;
                              },
                              [&](FloatOperation op) {
                                  float buffer[1] = {};
                                  const bool ok = (driver.*op)(where, 1, std::span(buffer), status);
                                  value = ItemValue(buffer[0]);
                                  return ok;
                              },
                              [&](CurrencyOperation op) {
                                  common::Currency buffer[1] = {};
                                  const bool ok = (driver.*op)(where, 1, std::span(buffer), status);
                                  value = ItemValue(buffer[0]);
                                  return ok;
                              },
                          },
                          read);
    } catch (...) {
        return false; // a driver that throws has failed like one that returns false
    }
}

namespace {

using WriteValue = OperandWriteValue;

std::string RangeText(common::ExchangeKind kind)
{
    switch (kind) {
    case common::ExchangeKind::UInt8:
        return "0 to 255";
    case common::ExchangeKind::Int16:
        return "-32768 to 32767";
    case common::ExchangeKind::Int32:
        return "-2147483648 to 2147483647";
    case common::ExchangeKind::Float32:
        return "a single-precision number";
    default:
        return "-922337203685477.5808 to 922337203685477.5807";
    }
}

std::string Quoted(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

// The value a text stands for in the element kind of the operand type's write, by the kind's own rules.
tl::expected<WriteValue, common::Refusal> ConvertForWrite(const common::OperandInfo& info, std::string_view text,
                                                          char separator)
{
    using Kind = common::Refusal::Kind;
    if (text.empty()) {
        return tl::make_unexpected(common::Refusal { Kind::BadValue, "an empty text is no value to write" });
    }
    const auto refuse = [&](common::NumberError error) {
        if (error == common::NumberError::NotANumber) {
            return tl::make_unexpected(common::Refusal { Kind::BadValue, Quoted(text) + " is not a number" });
        }
        return tl::make_unexpected(common::Refusal { Kind::OutOfRange,
                                                     Quoted(text) + " is out of range for " + std::string(info.name)
                                                         + " (" + RangeText(info.write) + ")" });
    };
    const auto whole
        = [&](std::int64_t low, std::int64_t high) { return common::ParseWholeNumber(text, low, high, separator); };

    switch (info.write) {
    case common::ExchangeKind::UInt8:
        if (auto v = whole(0, 255)) {
            return WriteValue(static_cast<std::uint8_t>(*v));
        } else {
            return refuse(v.error());
        }
    case common::ExchangeKind::Int16:
        if (auto v = whole(std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max())) {
            return WriteValue(static_cast<std::int16_t>(*v));
        } else {
            return refuse(v.error());
        }
    case common::ExchangeKind::Int32:
        if (auto v = whole(std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max())) {
            return WriteValue(static_cast<std::int32_t>(*v));
        } else {
            return refuse(v.error());
        }
    case common::ExchangeKind::Float32:
        if (auto v = common::ParseSingle(text, separator)) {
            return WriteValue(*v);
        } else {
            return refuse(v.error());
        }
    case common::ExchangeKind::Currency:
        if (auto v = common::ParseCurrency(text, separator)) {
            return WriteValue(*v);
        } else {
            return refuse(v.error());
        }
    case common::ExchangeKind::TimerTicks:
        if (auto ticks = common::ParseTimerText(text)) {
            return WriteValue(common::Currency::FromWhole(*ticks));
        } else if (ticks.error() == common::NumberError::OutOfRange) {
            return tl::make_unexpected(common::Refusal { Kind::OutOfRange,
                                                         Quoted(text) + " is longer than the longest "
                                                             + std::string(info.name) + ", 99:59:59.99" });
        } else {
            return tl::make_unexpected(common::Refusal {
                Kind::BadValue, Quoted(text) + " is not a timer text (hh:mm:ss.cc, such as 00:01:30.00)" });
        }
    default:
        return tl::make_unexpected(
            common::Refusal { Kind::NotWritable, "operand type " + std::string(info.name) + " cannot be written" });
    }
}

// The value a text stands for on the operand: the kind's rules (an engineering value converted back for a scaled
// item), then what the driver's operand can hold.
tl::expected<WriteValue, common::Refusal> WritableValue(std::int32_t operandType, std::int32_t address,
                                                        std::string_view text, const CommDriver* driver, char separator,
                                                        const model::ItemDetails& details)
{
    const common::OperandInfo* info = common::FindOperand(operandType);
    if (info == nullptr) {
        return tl::make_unexpected(common::Refusal { common::Refusal::Kind::NotWritable,
                                                     "operand type " + std::to_string(operandType) + " is unknown" });
    }
    if (info->write == common::ExchangeKind::None) {
        return tl::make_unexpected(common::Refusal {
            common::Refusal::Kind::NotWritable, "operand type " + std::string(info->name) + " cannot be written" });
    }
    if (!FitsDriverAddress(address)) {
        return tl::make_unexpected(common::Refusal { common::Refusal::Kind::NotWritable,
                                                     std::string(info->name) + " " + std::to_string(address)
                                                         + " lies beyond the addresses a driver can reach" });
    }
    auto value
        = details.scaling ? ScaledWriteValue(info->write, details, text) : ConvertForWrite(*info, text, separator);
    if (!value || driver == nullptr) {
        return value;
    }
    std::optional<common::Refusal> refusal;
    try {
        refusal = driver->CheckWrite(operandType, address, *value);
    } catch (const std::exception& error) {
        refusal = common::Refusal { common::Refusal::Kind::OutOfRange, error.what() };
    } catch (...) {
        refusal = common::Refusal { common::Refusal::Kind::OutOfRange, "the driver cannot write " + Quoted(text) };
    }
    if (refusal) {
        return tl::make_unexpected(std::move(*refusal));
    }
    return value;
}

enum class WriteOutcome { Written, Failed, Refused };

WriteOutcome WriteOne(CommDriver& driver, std::int32_t operandType, std::int32_t address, const WriteValue& value)
{
    const auto where = static_cast<std::int16_t>(address);
    const DriverOperation write = OperationsOf(operandType).write;
    std::uint8_t status = 0;
    const auto call = [&]<class Element, class Operation>(Operation op) {
        if (!std::holds_alternative<Element>(value)) {
            return false;
        }
        Element buffer[1] = { std::get<Element>(value) };
        return (driver.*op)(where, 1, std::span(buffer), status);
    };
    try {
        const bool written = std::visit(Overloaded {
                                            [](std::monostate) { return false; },
                                            [&](ByteOperation op) { return call.operator()<std::uint8_t>(op); },
                                            [&](WordOperation op) { return call.operator()<std::int16_t>(op); },
                                            [&](LongOperation op) { return call.operator()<std::int32_t>(op); },
                                            [&](FloatOperation op) { return call.operator()<float>(op); },
                                            [&](CurrencyOperation op) { return call.operator()<common::Currency>(op); },
                                        },
                                        write);
        if (written) {
            return WriteOutcome::Written;
        }
        return driver.LastFailureKind() == FailureKind::Refused ? WriteOutcome::Refused : WriteOutcome::Failed;
    } catch (...) {
        return WriteOutcome::Failed;
    }
}

// Publishes a value on a single item or child of a vector whose parent has `direction`: a Read/Write label
// holding an unnoticed poke is left alone and the poke noted. Returns false when a poke was noted.
bool Publish(Clsitem& target, const ItemValue& value, std::int32_t direction, char separator)
{
    const std::string& labelText = target.Label.Text();
    if (direction == common::direction::ReadWrite && !labelText.empty() && !(target.PrevValue == labelText)) {
        target.PrevValue = ItemValue(labelText);
        return false;
    }
    std::string text = value.ToText(separator);
    if (direction == common::direction::ReadWrite) {
        target.PrevValue = ItemValue(text);
    }
    target.Label.SetText(std::move(text));
    return true;
}

} // namespace

bool PublishOperandRead(Clsitem& item, const std::optional<bool>& result, const ItemValue& rawRead, char separator)
{
    const ItemValue read = EngineeringValue(item.Details, rawRead);
    const std::string labelText = item.Label.Text();
    item.Currentvalue = ItemValue(labelText);
    if (result.has_value()) {
        if (!*result) {
            return false;
        }
        if (read.ToText(separator) != labelText) {
            item.Currentvalue = read;
        }
    }
    if (item.IoDirection != common::direction::Write) {
        if (item.IoDirection == common::direction::ReadWrite && !labelText.empty() && !(item.PrevValue == labelText)) {
            item.PrevValue = ItemValue(labelText);
            return true;
        }
        item.Label.SetText(item.Currentvalue.ToText(separator));
    }
    if (item.IoDirection == common::direction::ReadWrite) {
        item.PrevValue = common::ItemValue(item.Currentvalue.ToText(separator));
    }
    return true;
}

namespace {

bool ReadSingle(Clsitem& item, CommDriver& driver, char separator)
{
    ItemValue read;
    const std::optional<bool> result = ReadOperand(driver, item.OperandType, item.OperandAddress, read);
    return PublishOperandRead(item, result, read, separator);
}

// Drops a poke that can never be written: the label shows the last published value again, and the poker is told.
void DropPoke(Clsitem& item, std::string reason, char separator, const std::function<void(const RefusedPoke&)>& refused)
{
    std::string published = item.Currentvalue.ToText(separator);
    if (item.IoDirection == common::direction::ReadWrite) {
        item.PrevValue = ItemValue(published);
    }
    item.Label.SetText(std::move(published));
    if (refused) {
        refused(RefusedPoke { &item, std::move(reason) });
    }
}

} // namespace

// Writes a pending poke to a Modbus device item: the words of its data type in one request.
OperandWrite WriteDeviceOperand(CommDriver& driver, std::int32_t operandType, std::int32_t address,
                                const std::string& labelText, const model::ItemDetails& details)
{
    const auto words = EncodeDevicePoke(operandType, details, labelText);
    if (!words) {
        return { OperandWrite::Outcome::Dropped, words.error().reason };
    }
    try {
        std::uint8_t status = 0;
        if (driver.WriteDeviceValue(operandType, address, words->words, words->bitMask, status)) {
            return { OperandWrite::Outcome::Written, {} };
        }
        if (driver.LastFailureKind() == FailureKind::Refused) {
            std::string reason = driver.LastError();
            return { OperandWrite::Outcome::Dropped,
                     reason.empty() ? "the driver refused " + Quoted(labelText) : std::move(reason) };
        }
    } catch (...) {
    }
    return { OperandWrite::Outcome::Failed, {} };
}

OperandWrite WriteOperand(CommDriver& driver, std::int32_t operandType, std::int32_t address,
                          const std::string& labelText, const std::string& publishedText, char separator,
                          const model::ItemDetails& details)
{
    const bool device = common::IsDeviceOperand(operandType);
    if (device && (labelText.empty() || labelText == publishedText)) {
        return { OperandWrite::Outcome::Idle, {} };
    }
    if (device) {
        return WriteDeviceOperand(driver, operandType, address, labelText, details);
    }
    if (labelText.empty() || labelText == publishedText) {
        // A request whose answer is not used: it keeps an idle channel busy on every write pass.
        try {
            std::int16_t buffer[1] = {};
            std::uint8_t status = 0;
            (void)driver.ReadMI(0, 1, std::span(buffer), status);
        } catch (...) {
        }
        return { OperandWrite::Outcome::Idle, {} };
    }
    // Never write some other value in its place, and never count a value the PLC cannot hold as a failed
    // exchange: the PLC is fine, the poke is not.
    const auto value = WritableValue(operandType, address, labelText, &driver, separator, details);
    if (!value) {
        return { OperandWrite::Outcome::Dropped, value.error().reason };
    }
    switch (WriteOne(driver, operandType, address, *value)) {
    case WriteOutcome::Written:
        return { OperandWrite::Outcome::Written, {} };
    case WriteOutcome::Refused: {
        std::string reason;
        try {
            reason = driver.LastError();
        } catch (...) {
        }
        return { OperandWrite::Outcome::Dropped,
                 reason.empty() ? "the driver refused " + Quoted(labelText) : std::move(reason) };
    }
    case WriteOutcome::Failed:
        break;
    }
    return { OperandWrite::Outcome::Failed, {} };
}

bool FinishOperandWrite(Clsitem& item, const OperandWrite& write, char separator,
                        const std::function<void(const RefusedPoke&)>& refused)
{
    switch (write.outcome) {
    case OperandWrite::Outcome::Dropped:
        DropPoke(item, write.reason, separator, refused);
        return true;
    case OperandWrite::Outcome::Failed:
        // The poke stays on the label and is written again in a later pass.
        KeepPokesPending(item, separator);
        return false;
    case OperandWrite::Outcome::Written:
    case OperandWrite::Outcome::Idle:
        break;
    }
    if (item.IoDirection == common::direction::Write) {
        item.Label.SetText(std::string());
    }
    return true;
}

namespace {

bool WriteSingle(Clsitem& item, CommDriver& driver, char separator,
                 const std::function<void(const RefusedPoke&)>& refused)
{
    const OperandWrite write = WriteOperand(driver, item.OperandType, item.OperandAddress, item.Label.Text(),
                                            item.Currentvalue.ToText(separator), separator, item.Details);
    return FinishOperandWrite(item, write, separator, refused);
}

} // namespace

ItemValue ToOperandValueVariant(std::int32_t operandType, const common::OperandValue& value, char decimalSeparator)
{
    const common::OperandInfo* info = common::FindOperand(operandType);
    if (info == nullptr) {
        return {};
    }
    switch (info->field) {
    case common::ValueField::LongValue:
        return ItemValue(value.LongValue);
    case common::ValueField::SwappedFloatWord:
        return ItemValue(common::FloatTextFromSwappedWord(value.LongValue, decimalSeparator));
    case common::ValueField::CurrencyValue:
        return ItemValue(value.CurrencyValue);
    case common::ValueField::CounterPreset:
        return ItemValue(value.CounterPreset);
    case common::ValueField::TimerPreset:
        return ItemValue(common::TimerTicksToText(value.TimerPreset));
    case common::ValueField::TimerCurrent:
        return ItemValue(common::TimerTicksToText(value.TimerCurrent));
    }
    return {};
}

namespace {

// The value an item shows for a batched-read record: the engineering value of a scaled item, whose number is read
// with '.' whatever the separator.
ItemValue ReadValue(const Clsitem& item, const common::OperandValue& record, char separator)
{
    if (!item.Details.scaling) {
        return ToOperandValueVariant(item.OperandType, record, separator);
    }
    return EngineeringValue(item.Details, ToOperandValueVariant(item.OperandType, record, '.'));
}

} // namespace

bool UpdateValues(Clsitem& item, std::span<const common::OperandValue> pValues, char decimalSeparator)
{
    if (item.IsArray) {
        if (pValues.size() != item.colItems().size()) {
            return false;
        }
        for (std::size_t i = 0; i < pValues.size(); ++i) {
            Clsitem& child = item.colItems()[i];
            const ItemValue value = ReadValue(item, pValues[i], decimalSeparator);
            child.Currentvalue = value;
            if (item.IoDirection == common::direction::Write) {
                continue;
            }
            if (!Publish(child, value, item.IoDirection, decimalSeparator)) {
                return true; // the children after a noted poke are updated in the next pass
            }
        }
        return true;
    }
    if (pValues.size() != 1) {
        return false;
    }
    const ItemValue value = ReadValue(item, pValues[0], decimalSeparator);
    if (item.IoDirection == common::direction::Write) {
        return true;
    }
    const std::string& labelText = item.Label.Text();
    if (item.IoDirection == common::direction::ReadWrite && !labelText.empty() && !(item.PrevValue == labelText)) {
        item.PrevValue = ItemValue(labelText);
        return true;
    }
    item.Currentvalue = value;
    Publish(item, value, item.IoDirection, decimalSeparator);
    return true;
}

void UpdateDeviceValues(Clsitem& item, const common::BinaryMixEntry& entry)
{
    const std::vector<DeviceValue> values = DecodeDeviceEntry(item, entry);
    const auto operands = item.Operands();
    bool noted = false; // the elements after a noted poke are updated in the next pass
    for (std::size_t i = 0; i < operands.size() && i < values.size(); ++i) {
        Clsitem& target = operands[i];
        const bool wasBad = !target.BadReason.empty();
        target.BadReason = values[i].problem;
        if (!values[i].value) {
            target.Label.Touch();
            continue;
        }
        target.Currentvalue = *values[i].value;
        if (item.IoDirection != common::direction::Write && !noted) {
            const std::string before = target.Label.Text();
            noted = !Publish(target, *values[i].value, item.IoDirection, '.');
            if (wasBad && target.Label.Text() == before) {
                target.Label.Touch(); // good again with the same text
            }
        }
    }
}

bool ReadAsciiFromPlcAndUpdateItem(Clsitem& item, CommDriver& pCommDrv, char decimalSeparator)
{
    for (Clsitem& operand : item.Operands()) {
        if (!ReadSingle(operand, pCommDrv, decimalSeparator)) {
            return false;
        }
    }
    return true;
}

std::optional<common::Refusal> CheckPoke(const Clsitem& item, std::string_view text, const CommDriver* driver,
                                         char decimalSeparator)
{
    using Kind = common::Refusal::Kind;
    if (item.IsArray) {
        return common::Refusal { Kind::NotWritable, "a vector has no value of its own; poke its elements" };
    }
    if (item.IoDirection == common::direction::Read) {
        return common::Refusal { Kind::NotWritable, "the item is read-only" };
    }
    if (!item.IsEnable) {
        return common::Refusal { Kind::NotWritable, "the item is disabled" };
    }
    if (common::IoDirectionName(item.IoDirection).empty()) {
        return common::Refusal { Kind::NotWritable, "direction " + std::to_string(item.IoDirection) + " is unknown" };
    }
    if (common::IsDeviceOperand(item.OperandType)) {
        auto words = EncodeDevicePoke(item.OperandType, item.Details, text);
        return words ? std::nullopt : std::optional<common::Refusal>(std::move(words.error()));
    }
    auto value = WritableValue(item.OperandType, item.OperandAddress, text, driver, decimalSeparator, item.Details);
    if (!value) {
        return std::move(value.error());
    }
    return std::nullopt;
}

void KeepPokesPending(Clsitem& item, char decimalSeparator)
{
    for (Clsitem& operand : item.Operands()) {
        const std::string& labelText = operand.Label.Text();
        std::string published = operand.Currentvalue.ToText(decimalSeparator);
        if (operand.IoDirection == common::direction::ReadWrite && !labelText.empty() && labelText != published) {
            operand.PrevValue = ItemValue(std::move(published));
        }
    }
}

bool WriteToPlcAndUpdateItem(Clsitem& item, CommDriver& pCommDrv, char decimalSeparator,
                             const std::function<void(const RefusedPoke&)>& refused)
{
    const auto operands = item.Operands();
    for (auto operand = operands.begin(); operand != operands.end(); ++operand) {
        if (!WriteSingle(*operand, pCommDrv, decimalSeparator, refused)) {
            // The elements after a failed one are not written in this pass; their pokes wait as well.
            for (auto rest = std::next(operand); rest != operands.end(); ++rest) {
                KeepPokesPending(*rest, decimalSeparator);
            }
            return false;
        }
    }
    return true;
}

} // namespace tavrel::comm
