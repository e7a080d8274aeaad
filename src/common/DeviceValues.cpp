#include "common/DeviceValues.h"

#include "common/NumberText.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

namespace tavrel::common {

namespace {

struct TypeInfo
{
    std::string_view name;
    BaseType base;
    std::size_t registers;
    bool isSigned;
    std::string_view range; ///< for refusals: "-32768 to 32767"
};

constexpr std::array kTypes = {
    TypeInfo { "bool", BaseType::Bool, 1, false, "0 to 1" },
    TypeInfo { "int16", BaseType::Int16, 1, true, "-32768 to 32767" },
    TypeInfo { "uint16", BaseType::UInt16, 1, false, "0 to 65535" },
    TypeInfo { "int32", BaseType::Int32, 2, true, "-2147483648 to 2147483647" },
    TypeInfo { "uint32", BaseType::UInt32, 2, false, "0 to 4294967295" },
    TypeInfo { "int64", BaseType::Int64, 4, true, "-9223372036854775808 to 9223372036854775807" },
    TypeInfo { "uint64", BaseType::UInt64, 4, false, "0 to 18446744073709551615" },
    TypeInfo { "float32", BaseType::Float32, 2, true, "-3.402823E+38 to 3.402823E+38" },
    TypeInfo { "float64", BaseType::Float64, 4, true, "-1.79769313486232E+308 to 1.79769313486232E+308" },
    TypeInfo { "string", BaseType::String, 0, false, "" },
    TypeInfo { "bit", BaseType::Bit, 1, false, "0 to 1" },
};

const TypeInfo& Info(BaseType base)
{
    return kTypes[static_cast<std::size_t>(base)];
}

bool IsInteger(BaseType base)
{
    return base >= BaseType::Int16 && base <= BaseType::UInt64;
}
bool IsFloat(BaseType base)
{
    return base == BaseType::Float32 || base == BaseType::Float64;
}

std::string_view Trimmed(std::string_view text)
{
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

std::uint16_t SwapBytes(std::uint16_t word)
{
    return static_cast<std::uint16_t>((word << 8) | (word >> 8));
}
bool SwapsWords(ByteOrder order)
{
    return order == ByteOrder::CDAB || order == ByteOrder::DCBA;
}
bool SwapsBytes(ByteOrder order)
{
    return order == ByteOrder::BADC || order == ByteOrder::DCBA;
}

// The value's bit pattern, most significant word first, from registers laid out in `order`.
std::uint64_t PatternFromRegisters(std::span<const std::uint16_t> registers, ByteOrder order)
{
    std::uint64_t pattern = 0;
    for (std::size_t i = 0; i < registers.size(); ++i) {
        std::uint16_t word = registers[SwapsWords(order) ? registers.size() - 1 - i : i];
        pattern = (pattern << 16) | (SwapsBytes(order) ? SwapBytes(word) : word);
    }
    return pattern;
}

std::vector<std::uint16_t> RegistersFromPattern(std::uint64_t pattern, std::size_t count, ByteOrder order)
{
    std::vector<std::uint16_t> registers(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto word = static_cast<std::uint16_t>(pattern >> (16 * (count - 1 - i)));
        registers[SwapsWords(order) ? count - 1 - i : i] = SwapsBytes(order) ? SwapBytes(word) : word;
    }
    return registers;
}

// "NaN", "Inf" and "-Inf" for the floats that are no numbers, else the program's float text.
std::string FloatText(double value, int significantDigits)
{
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-Inf" : "Inf";
    }
    return DoubleToText(value, significantDigits);
}

// The float of "NaN", "Inf", "+Inf" or "-Inf" in any case, if the text is one of them.
std::optional<double> SpecialFloat(std::string_view text)
{
    const std::string lower = Lower(Trimmed(text));
    if (lower == "nan") {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (lower == "inf" || lower == "+inf") {
        return std::numeric_limits<double>::infinity();
    }
    if (lower == "-inf") {
        return -std::numeric_limits<double>::infinity();
    }
    return std::nullopt;
}

// The length of the well-formed UTF-8 sequence at `pos` (Unicode 15, table 3-7), 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view bytes, std::size_t pos)
{
    const auto lead = static_cast<unsigned char>(bytes[pos]);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned lowest = 0x80;
    unsigned highest = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        lowest = lead == 0xE0 ? 0xA0 : 0x80;
        highest = lead == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        lowest = lead == 0xF0 ? 0x90 : 0x80;
        highest = lead == 0xF4 ? 0x8F : 0xBF; // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (pos + length > bytes.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[pos + i]);
        if (next < (i == 1 ? lowest : 0x80) || next > (i == 1 ? highest : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// The bytes as text that any JSON or WebSocket message carries: "\xNN" for bytes that are not UTF-8 and for
// control characters, "\\" for the backslash, so that EncodeValue reads the same bytes back.
std::string EscapedText(std::string_view bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t pos = 0; pos < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[pos]);
        const std::size_t length = Utf8SequenceLength(bytes, pos);
        if (byte == '\\') {
            text += "\\\\";
        } else if (length == 0 || byte < 0x20 || byte == 0x7F) {
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0xF];
        } else {
            text.append(bytes.substr(pos, length));
            pos += length;
            continue;
        }
        ++pos;
    }
    return text;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The bytes of a text written as EscapedText writes it; a backslash before anything else stands for itself.
std::string UnescapedBytes(std::string_view text)
{
    std::string bytes;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        if (text[pos] == '\\' && pos + 1 < text.size() && text[pos + 1] == '\\') {
            bytes += '\\';
            ++pos;
        } else if (text[pos] == '\\' && pos + 3 < text.size() && (text[pos + 1] == 'x' || text[pos + 1] == 'X')
                   && HexDigit(text[pos + 2]) >= 0 && HexDigit(text[pos + 3]) >= 0) {
            bytes += static_cast<char>(HexDigit(text[pos + 2]) * 16 + HexDigit(text[pos + 3]));
            pos += 3;
        } else {
            bytes += text[pos];
        }
    }
    return bytes;
}

std::string DecodeString(std::span<const std::uint16_t> registers, ByteOrder order)
{
    std::string bytes;
    for (std::uint16_t word : registers) {
        if (SwapsBytes(order)) {
            word = SwapBytes(word);
        }
        bytes += static_cast<char>(word >> 8);
        bytes += static_cast<char>(word & 0xFF);
    }
    while (!bytes.empty() && (bytes.back() == '\0' || bytes.back() == ' ')) {
        bytes.pop_back();
    }
    return EscapedText(bytes);
}

Refusal Refuse(Refusal::Kind kind, std::string reason)
{
    return Refusal { kind, std::move(reason) };
}

std::string Quoted(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

std::string Beyond(const DataType& type)
{
    return "beyond " + DataTypeText(type) + "'s " + std::string(Info(type.base).range);
}

// The two's complement pattern of sign and magnitude in the type's width, or why the type cannot hold it.
tl::expected<std::uint64_t, Refusal> IntegerPattern(bool negative, std::uint64_t magnitude, const DataType& type,
                                                    std::string_view text)
{
    const TypeInfo& info = Info(type.base);
    const std::size_t bits = 16 * info.registers;
    const std::uint64_t unsignedMax
        = bits == 64 ? std::numeric_limits<std::uint64_t>::max() : (std::uint64_t { 1 } << bits) - 1;
    const bool fits = info.isSigned ? magnitude <= (unsignedMax >> 1) + (negative ? 1 : 0)
                                    : (!negative || magnitude == 0) && magnitude <= unsignedMax;
    if (!fits) {
        return tl::make_unexpected(Refuse(Refusal::Kind::OutOfRange, Quoted(text) + " is " + Beyond(type)));
    }
    const std::uint64_t pattern = negative ? ~magnitude + 1 : magnitude;
    return pattern & unsignedMax;
}

tl::expected<std::uint64_t, Refusal> ParseIntegerPattern(std::string_view text, const DataType& type)
{
    const auto number = DecimalText::Parse(text);
    if (!number) {
        return tl::make_unexpected(Refuse(Refusal::Kind::BadValue, Quoted(text) + " is no number"));
    }
    if (number->digits.empty()) {
        return 0;
    }
    if (number->exponent < static_cast<std::int64_t>(number->digits.size())) {
        return tl::make_unexpected(
            Refuse(Refusal::Kind::BadValue, Quoted(text) + " is no whole number for " + DataTypeText(type)));
    }
    if (number->exponent > 20) {
        return tl::make_unexpected(Refuse(Refusal::Kind::OutOfRange, Quoted(text) + " is " + Beyond(type)));
    }
    std::uint64_t magnitude = 0;
    for (std::int64_t i = 0; i < number->exponent; ++i) {
        const auto index = static_cast<std::size_t>(i);
        const unsigned digit = index < number->digits.size() ? static_cast<unsigned>(number->digits[index] - '0') : 0U;
        if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return tl::make_unexpected(Refuse(Refusal::Kind::OutOfRange, Quoted(text) + " is " + Beyond(type)));
        }
        magnitude = magnitude * 10 + digit;
    }
    return IntegerPattern(number->negative, magnitude, type, text);
}

// The engineering value (or, unscaled, the float) of a text: a number or NaN, Inf, -Inf.
tl::expected<double, Refusal> ParseFloatText(std::string_view text, const DataType& type, bool single)
{
    if (const auto special = SpecialFloat(text)) {
        return *special;
    }
    const auto value
        = single ? ParseSingle(text).map([](float f) { return static_cast<double>(f); }) : ParseDouble(text);
    if (value) {
        return *value;
    }
    if (value.error() == NumberError::NotANumber) {
        return tl::make_unexpected(Refuse(Refusal::Kind::BadValue, Quoted(text) + " is no number"));
    }
    return tl::make_unexpected(Refuse(Refusal::Kind::OutOfRange, Quoted(text) + " is " + Beyond(type)));
}

std::uint64_t FloatPattern(double value, BaseType base)
{
    if (base == BaseType::Float32) {
        return std::bit_cast<std::uint32_t>(static_cast<float>(value));
    }
    return std::bit_cast<std::uint64_t>(value);
}

// The raw pattern of a scaled engineering value: rounded half away from zero for the integer types.
tl::expected<std::uint64_t, Refusal> ScaledPattern(std::string_view text, const DataType& type, const Scaling& scaling,
                                                   std::string_view units)
{
    const auto value = ParseFloatText(text, DataType { BaseType::Float64, 0 }, false);
    if (!value) {
        return tl::make_unexpected(value.error());
    }
    double raw = RawValue(scaling, *value);
    if (IsInteger(type.base)) {
        if (std::isnan(raw)) {
            return tl::make_unexpected(
                Refuse(Refusal::Kind::BadValue, Quoted(text) + " is no number for " + DataTypeText(type)));
        }
        raw = std::round(raw);
    }
    const std::string shown = std::string(Trimmed(text)) + (units.empty() ? "" : " " + std::string(units));
    const auto refuse = [&] {
        return tl::make_unexpected(
            Refuse(Refusal::Kind::OutOfRange, shown + " is raw " + FloatText(raw, 15) + ", " + Beyond(type)));
    };
    if (type.base == BaseType::Float32) {
        if (std::isfinite(raw) && std::fabs(raw) > static_cast<double>(std::numeric_limits<float>::max())) {
            return refuse();
        }
        return FloatPattern(raw, type.base);
    }
    if (type.base == BaseType::Float64) {
        return FloatPattern(raw, type.base);
    }
    constexpr double kTwoTo64 = 18446744073709551616.0;
    if (!(std::fabs(raw) < kTwoTo64)) {
        return refuse();
    }
    const bool negative = raw < 0;
    const auto magnitude = static_cast<std::uint64_t>(std::fabs(raw));
    auto pattern = IntegerPattern(negative, magnitude, type, text);
    if (!pattern) {
        return refuse();
    }
    return pattern;
}

} // namespace

tl::expected<DataType, std::string> ParseDataType(std::string_view text)
{
    const std::string lower = Lower(Trimmed(text));
    for (const TypeInfo& info : kTypes) {
        if (info.base != BaseType::String && info.base != BaseType::Bit && lower == info.name) {
            return DataType { info.base, 0 };
        }
    }
    for (const auto& [name, base, low, high] :
         { std::tuple { std::string_view("string("), BaseType::String, 1, kMaxStringCharacters },
           std::tuple { std::string_view("bit("), BaseType::Bit, 0, 15 } }) {
        if (lower.starts_with(name) && lower.ends_with(')')) {
            const auto size = ParseWholeNumber(
                std::string_view(lower).substr(name.size(), lower.size() - name.size() - 1), low, high);
            if (lower.find('.') == std::string::npos && size) {
                return DataType { base, static_cast<int>(*size) };
            }
            return tl::make_unexpected(Quoted(text) + " is no data type: " + std::string(name)
                                       + "N) takes a whole N from " + std::to_string(low) + " to "
                                       + std::to_string(high));
        }
    }
    return tl::make_unexpected(Quoted(text)
                               + " is no data type; the types are bool, int16, uint16, int32, uint32, int64, uint64, "
                                 "float32, float64, string(N) with N 1 to 250 and bit(K) with K 0 to 15");
}

std::string DataTypeText(const DataType& type)
{
    const std::string name(Info(type.base).name);
    if (type.base == BaseType::String || type.base == BaseType::Bit) {
        return name + "(" + std::to_string(type.size) + ")";
    }
    return name;
}

std::size_t RegisterCount(const DataType& type)
{
    if (type.base == BaseType::String) {
        return (static_cast<std::size_t>(type.size) + 1) / 2;
    }
    return Info(type.base).registers;
}

tl::expected<ByteOrder, std::string> ParseByteOrder(std::string_view text, const DataType& type)
{
    const std::string upper = [&] {
        std::string result(Trimmed(text));
        for (char& c : result) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return result;
    }();
    if (type.base == BaseType::String) {
        if (upper.empty() || upper == "AB") {
            return ByteOrder::ABCD;
        }
        if (upper == "BA") {
            return ByteOrder::BADC;
        }
        return tl::make_unexpected(Quoted(text) + " is no byte order of a string; strings take AB or BA");
    }
    constexpr std::array kOrders = { std::pair { "ABCD", ByteOrder::ABCD }, std::pair { "CDAB", ByteOrder::CDAB },
                                     std::pair { "BADC", ByteOrder::BADC }, std::pair { "DCBA", ByteOrder::DCBA } };
    if (upper.empty()) {
        return ByteOrder::ABCD;
    }
    for (const auto& [name, order] : kOrders) {
        if (upper == name) {
            return order;
        }
    }
    return tl::make_unexpected(Quoted(text) + " is no byte order; the orders are ABCD, CDAB, BADC and DCBA");
}

std::string ByteOrderText(ByteOrder order, const DataType& type)
{
    if (type.base == BaseType::String) {
        return SwapsBytes(order) ? "BA" : "AB";
    }
    constexpr std::array kNames = { "ABCD", "CDAB", "BADC", "DCBA" };
    return kNames[static_cast<std::size_t>(order)];
}

tl::expected<Scaling, std::string> MakeScaling(double rawLow, double rawHigh, double low, double high)
{
    if (!std::isfinite(rawLow) || !std::isfinite(rawHigh) || !std::isfinite(low) || !std::isfinite(high)) {
        return tl::make_unexpected(std::string("a scaling takes four finite numbers"));
    }
    if (rawLow == rawHigh) {
        return tl::make_unexpected("a scaling needs two different raw values; both are " + DoubleToText(rawLow));
    }
    if (low == high) {
        return tl::make_unexpected("a scaling needs two different values; both are " + DoubleToText(low)
                                   + ", which could never be written back");
    }
    return Scaling { rawLow, rawHigh, low, high };
}

double ScaledValue(const Scaling& scaling, double raw)
{
    return scaling.low + (raw - scaling.rawLow) * (scaling.high - scaling.low) / (scaling.rawHigh - scaling.rawLow);
}

double RawValue(const Scaling& scaling, double value)
{
    return scaling.rawLow + (value - scaling.low) * (scaling.rawHigh - scaling.rawLow) / (scaling.high - scaling.low);
}

tl::expected<DecodedValue, std::string> DecodeValue(std::span<const std::uint16_t> registers, const DataType& type,
                                                    ByteOrder order, const std::optional<Scaling>& scaling)
{
    const std::size_t count = RegisterCount(type);
    if (registers.size() != count) {
        return tl::make_unexpected(DataTypeText(type) + " takes " + std::to_string(count) + " registers, not "
                                   + std::to_string(registers.size()));
    }
    if (type.base == BaseType::String) {
        return DecodedValue { DecodeString(registers, order), std::nullopt };
    }
    if (type.base == BaseType::Bool || type.base == BaseType::Bit) {
        const bool on = type.base == BaseType::Bool ? registers[0] != 0 : ((registers[0] >> type.size) & 1U) != 0;
        return DecodedValue { on ? "1" : "0", on ? 1.0 : 0.0 };
    }
    const std::uint64_t pattern = PatternFromRegisters(registers, order);
    std::string text;
    double number = 0;
    if (type.base == BaseType::Float32) {
        number = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(pattern)));
        text = std::isfinite(number) ? SingleToText(static_cast<float>(number)) : FloatText(number, 7);
    } else if (type.base == BaseType::Float64) {
        number = std::bit_cast<double>(pattern);
        text = FloatText(number, 15);
    } else if (Info(type.base).isSigned) {
        const int unused = 64 - static_cast<int>(16 * count);
        const std::int64_t value = static_cast<std::int64_t>(pattern << unused) >> unused;
        number = static_cast<double>(value);
        text = std::to_string(value);
    } else {
        number = static_cast<double>(pattern);
        text = std::to_string(pattern);
    }
    if (scaling) {
        number = ScaledValue(*scaling, number);
        text = FloatText(number, 7);
    }
    return DecodedValue { std::move(text), number };
}

tl::expected<std::vector<std::uint16_t>, Refusal> EncodeValue(std::string_view text, const DataType& type,
                                                              ByteOrder order, const std::optional<Scaling>& scaling,
                                                              std::string_view units)
{
    const std::size_t count = RegisterCount(type);
    if (type.base == BaseType::String) {
        const std::string bytes = UnescapedBytes(text);
        if (bytes.size() > static_cast<std::size_t>(type.size)) {
            return tl::make_unexpected(Refuse(Refusal::Kind::OutOfRange,
                                              Quoted(text) + " is " + std::to_string(bytes.size()) + " bytes; "
                                                  + DataTypeText(type) + " holds " + std::to_string(type.size)));
        }
        std::vector<std::uint16_t> registers(count);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const auto byte = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[i]));
            registers[i / 2] = static_cast<std::uint16_t>(registers[i / 2] | (i % 2 == 0 ? byte << 8 : byte));
        }
        if (SwapsBytes(order)) {
            std::ranges::transform(registers, registers.begin(), SwapBytes);
        }
        return registers;
    }
    if (type.base == BaseType::Bool || type.base == BaseType::Bit) {
        const auto pattern = ParseIntegerPattern(text, DataType { BaseType::UInt16, 0 });
        if (!pattern || *pattern > 1) {
            const auto kind = pattern || pattern.error().kind == Refusal::Kind::OutOfRange ? Refusal::Kind::OutOfRange
                                                                                           : Refusal::Kind::BadValue;
            return tl::make_unexpected(
                Refuse(kind, Quoted(text) + " is no value of " + DataTypeText(type) + ", which takes 0 or 1"));
        }
        const int shift = type.base == BaseType::Bit ? type.size : 0;
        return std::vector<std::uint16_t> { static_cast<std::uint16_t>(*pattern << shift) };
    }
    tl::expected<std::uint64_t, Refusal> pattern = 0;
    if (scaling) {
        pattern = ScaledPattern(text, type, *scaling, units);
    } else if (IsFloat(type.base)) {
        pattern = ParseFloatText(text, type, type.base == BaseType::Float32).map([&](double value) {
            return FloatPattern(value, type.base);
        });
    } else {
        pattern = ParseIntegerPattern(text, type);
    }
    if (!pattern) {
        return tl::make_unexpected(pattern.error());
    }
    return RegistersFromPattern(*pattern, count, order);
}

} // namespace tavrel::common
