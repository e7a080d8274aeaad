#include "common/DeviceItems.h"

#include "common/ItemRules.h"
#include "common/OperandCatalogue.h"
#include "common/PlcFamilies.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>

namespace tavrel::common {

namespace {

using namespace operand;

// The first digit of a reference and the table it names (the Modicon reference convention).
struct ReferenceTable
{
    char digit;
    std::int32_t operandType;
};
constexpr std::array<ReferenceTable, 4> kReferenceTables { {
    { '0', Coil },
    { '1', DiscreteInput },
    { '3', InputRegister },
    { '4', HoldingRegister },
} };

// The operand types of families 0-5 whose values are numbers (not bits, not timer texts).
constexpr std::array<std::int32_t, 12> kNumericOperands { MI, SI, XI, ML, SL, XL, MF, DW, SDW, XDW, CCurrent, CPreset };

bool AllDigits(std::string_view text)
{
    return !text.empty()
        && std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::string_view Trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char AsciiLower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string TableName(std::int32_t operandType)
{
    const std::string_view name = OperandTypeName(operandType);
    return name.empty() ? "operand type " + std::to_string(operandType) : std::string(name);
}

tl::expected<void, std::string> Refuse(std::string reason)
{
    return tl::make_unexpected(std::move(reason));
}

tl::expected<void, std::string> CheckDeviceOperands(const ItemDefinition& item)
{
    const ItemDetails& details = item.details;
    if (!IsDeviceOperand(item.operandType)) {
        return Refuse("A Modbus device has no " + TableName(item.operandType)
                      + ": its items are coils, discrete inputs, input registers or holding registers.");
    }
    const std::string table = TableName(item.operandType);
    if (item.length < 1 || item.length > kMaxItemLength) {
        return Refuse("Length must be between 1 - " + std::to_string(kMaxItemLength));
    }
    if (item.address < 0 || item.address > kHighestDeviceAddress) {
        return Refuse("The address of a " + table + " is 0-" + std::to_string(kHighestDeviceAddress) + ", not "
                      + std::to_string(item.address) + ".");
    }
    const DataType type = DeviceDataType(item.operandType, details);
    if (!IsRegisterTable(item.operandType) && type.base != BaseType::Bool) {
        return Refuse("A " + table + " holds one bit: its data type can only be bool, not " + DataTypeText(type) + ".");
    }
    if (details.byteOrder != ByteOrder::ABCD) {
        if (type.base == BaseType::Bool || type.base == BaseType::Bit) {
            return Refuse("A " + DataTypeText(type) + " value has no byte order.");
        }
        if (type.base == BaseType::String && details.byteOrder != ByteOrder::BADC) {
            return Refuse("A string's byte order is AB or BA, not " + ByteOrderText(details.byteOrder, {}) + ".");
        }
    }
    if (item.direction != direction::Read && !IsWritableTable(item.operandType)) {
        return Refuse("A " + table + " is read-only: its direction can only be Read.");
    }
    const std::int64_t width = DeviceValueWidth(item.operandType, details);
    // Modbus Application Protocol V1.1b3, 6.12: one write request carries at most 123 registers.
    constexpr std::int64_t kMostWrittenRegisters = 123;
    if (item.direction != direction::Read && width > kMostWrittenRegisters) {
        return Refuse("A " + DataTypeText(type) + " takes " + std::to_string(width) + " registers, more than one write "
                      + "request carries (" + std::to_string(kMostWrittenRegisters)
                      + "): make it read-only or shorter.");
    }
    const std::int64_t last = std::int64_t { item.address } + std::int64_t { item.length } * width - 1;
    if (last > kHighestDeviceAddress) {
        return Refuse(std::to_string(item.length) + " x " + DataTypeText(type) + " from " + table + " "
                      + std::to_string(item.address) + " would end at " + std::to_string(last) + ", past "
                      + std::to_string(kHighestDeviceAddress) + ".");
    }
    return {};
}

} // namespace

bool IsDeviceOperand(std::int32_t operandType)
{
    return operandType >= Coil && operandType <= HoldingRegister;
}

bool IsRegisterTable(std::int32_t operandType)
{
    return operandType == InputRegister || operandType == HoldingRegister;
}

bool IsWritableTable(std::int32_t operandType)
{
    return operandType == Coil || operandType == HoldingRegister;
}

DataType DeviceDataType(std::int32_t operandType, const ItemDetails& details)
{
    if (details.dataType) {
        return *details.dataType;
    }
    return IsRegisterTable(operandType) ? DataType { BaseType::Int16, 0 } : DataType { BaseType::Bool, 0 };
}

std::int32_t DeviceValueWidth(std::int32_t operandType, const ItemDetails& details)
{
    return static_cast<std::int32_t>(RegisterCount(DeviceDataType(operandType, details)));
}

tl::expected<std::optional<DeviceAddress>, std::string> ParseModbusReference(std::string_view text)
{
    text = Trimmed(text);
    if ((text.size() != 5 && text.size() != 6) || !AllDigits(text)) {
        return std::nullopt;
    }
    const auto table = std::find_if(kReferenceTables.begin(), kReferenceTables.end(),
                                    [&](const ReferenceTable& t) { return t.digit == text.front(); });
    if (table == kReferenceTables.end()) {
        return std::nullopt;
    }
    std::int32_t number = 0;
    for (const char c : text.substr(1)) {
        number = number * 10 + (c - '0');
    }
    const std::int32_t highest = text.size() == 5 ? 9999 : kHighestDeviceAddress + 1;
    if (number < 1 || number > highest) {
        return tl::make_unexpected("Reference " + std::string(text) + " names no " + TableName(table->operandType)
                                   + ": after its first digit come 1-" + std::to_string(highest) + ".");
    }
    return DeviceAddress { table->operandType, number - 1 };
}

tl::expected<DeviceAddress, std::string> ParseDeviceAddress(std::string_view text, std::int32_t operandType)
{
    text = Trimmed(text);
    auto reference = ParseModbusReference(text);
    if (!reference) {
        return tl::make_unexpected(reference.error());
    }
    if (*reference) {
        return **reference;
    }
    if (!IsDeviceOperand(operandType)) {
        return tl::make_unexpected("A Modbus device has no " + TableName(operandType) + ".");
    }
    const std::string problem = "The address is a number 0-" + std::to_string(kHighestDeviceAddress)
        + " or a reference such as 40001, not \"" + std::string(text) + "\".";
    if (!AllDigits(text) || text.size() > 5) {
        return tl::make_unexpected(problem);
    }
    std::int32_t number = 0;
    for (const char c : text) {
        number = number * 10 + (c - '0');
    }
    if (number > kHighestDeviceAddress) {
        return tl::make_unexpected(problem);
    }
    return DeviceAddress { operandType, number };
}

std::string ModbusReferenceText(const DeviceAddress& place)
{
    const auto table = std::find_if(kReferenceTables.begin(), kReferenceTables.end(),
                                    [&](const ReferenceTable& t) { return t.operandType == place.operandType; });
    const std::string number = std::to_string(place.address + 1);
    const char digit = table == kReferenceTables.end() ? '?' : table->digit;
    return digit + std::string(number.size() < 5 ? 5 - number.size() : 0, '0') + number;
}

bool IsNumericItem(std::int32_t plcType, std::int32_t operandType, const ItemDetails& details)
{
    if (plcType == plctype::ModbusDevice || IsDeviceOperand(operandType)) {
        if (!IsRegisterTable(operandType)) {
            return false;
        }
        const BaseType base = DeviceDataType(operandType, details).base;
        return base != BaseType::String && base != BaseType::Bool && base != BaseType::Bit;
    }
    return std::find(kNumericOperands.begin(), kNumericOperands.end(), operandType) != kNumericOperands.end();
}

std::optional<std::string> TagNameProblem(std::string_view name)
{
    if (name.empty()) {
        return std::nullopt;
    }
    if (name.size() > kMaxTagNameLength) {
        return "A tag name has at most " + std::to_string(kMaxTagNameLength) + " characters.";
    }
    constexpr std::string_view kLabelStart = "lbldde(";
    const bool labelShaped = name.size() > kLabelStart.size()
        && std::equal(kLabelStart.begin(), kLabelStart.end(), name.begin(),
                      [](char a, char b) { return a == AsciiLower(b); });
    if (labelShaped) {
        return "The tag name \"" + std::string(name)
            + "\" is shaped like a label name; give the item a name of its own.";
    }
    const auto allowed
        = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-'; };
    if (!std::all_of(name.begin(), name.end(), allowed)) {
        return "The tag name \"" + std::string(name) + "\" may hold only letters A-Z, digits and _ . -";
    }
    return std::nullopt;
}

std::string FoldedTagName(std::string_view name)
{
    std::string folded(name);
    std::transform(folded.begin(), folded.end(), folded.begin(), AsciiLower);
    return folded;
}

bool SameTagName(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

std::optional<std::string> TagNameClash(std::string_view name, std::span<const std::string> taken)
{
    if (name.empty()) {
        return std::nullopt;
    }
    const auto clash
        = std::find_if(taken.begin(), taken.end(), [&](const std::string& other) { return SameTagName(name, other); });
    if (clash == taken.end()) {
        return std::nullopt;
    }
    return "The tag name \"" + std::string(name) + "\" is taken by another item (\"" + *clash
        + "\"); names are unique in the project, whatever their case.";
}

std::string ElementTagName(std::string_view name, std::int32_t k)
{
    if (name.empty() || k == 0) {
        return std::string(name);
    }
    return std::string(name) + "[" + std::to_string(k) + "]";
}

ValueKind ItemValueKind(std::int32_t plcType, std::int32_t operandType, const ItemDetails& details)
{
    if (details.scaling && IsNumericItem(plcType, operandType, details)) {
        return ValueKind::Double;
    }
    if (plcType == plctype::ModbusDevice || IsDeviceOperand(operandType)) {
        switch (DeviceDataType(operandType, details).base) {
        case BaseType::Bool:
        case BaseType::Bit:
            return ValueKind::Bit;
        case BaseType::Int16:
            return ValueKind::Int16;
        case BaseType::UInt16:
            return ValueKind::UInt16;
        case BaseType::Int32:
            return ValueKind::Int32;
        case BaseType::UInt32:
            return ValueKind::UInt32;
        case BaseType::Int64:
            return ValueKind::Int64;
        case BaseType::UInt64:
            return ValueKind::UInt64;
        case BaseType::Float32:
            return ValueKind::Float;
        case BaseType::Float64:
            return ValueKind::Double;
        case BaseType::String:
            return ValueKind::Text;
        }
        return ValueKind::Text;
    }
    switch (operandType) {
    case MI:
    case SI:
    case XI:
        return ValueKind::Int16;
    case ML:
    case SL:
    case XL:
        return ValueKind::Int32;
    case MF:
        return ValueKind::Float;
    case DW:
    case SDW:
    case XDW:
    case CCurrent:
    case CPreset:
        return ValueKind::Double;
    case TPreset:
    case TCurrent:
        return ValueKind::Timer;
    case MB:
    case SB:
    case XB:
    case I:
    case O:
    case TBit:
    case CBit:
        return ValueKind::Bit;
    default:
        return ValueKind::Text;
    }
}

tl::expected<void, std::string> CheckItemDefinition(const ItemDefinition& item)
{
    const ItemDetails& details = item.details;
    const bool device = item.plcType == plctype::ModbusDevice;
    if (device) {
        if (auto checked = CheckDeviceOperands(item); !checked) {
            return checked;
        }
    } else {
        if (IsDeviceOperand(item.operandType)) {
            return Refuse(
                "A " + TableName(item.operandType) + " item belongs to a Modbus device, not to a "
                + std::string(PlcTypeName(item.plcType).empty() ? "PLC of this type" : PlcTypeName(item.plcType))
                + ".");
        }
        if (details.dataType || details.byteOrder != ByteOrder::ABCD) {
            return Refuse("Only the items of a Modbus device have a data type and byte order.");
        }
    }
    const bool numeric = IsNumericItem(item.plcType, item.operandType, details);
    if (details.scaling) {
        const Scaling& s = details.scaling.value();
        if (!numeric) {
            return Refuse("Only a numeric item can be scaled.");
        }
        if (auto made = MakeScaling(s.rawLow, s.rawHigh, s.low, s.high); !made) {
            return Refuse(made.error());
        }
    }
    if (details.deadband) {
        if (!numeric) {
            return Refuse("Only a numeric item has a deadband.");
        }
        if (!std::isfinite(*details.deadband) || *details.deadband < 0) {
            return Refuse("A deadband is a number from 0 up.");
        }
    }
    if (auto problem = TagNameProblem(details.name)) {
        return Refuse(*problem);
    }
    return {};
}

} // namespace tavrel::common
