#include "common/DeviceValues.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using namespace tavrel::common;

namespace {

using Registers = std::vector<std::uint16_t>;

DataType Type(std::string_view text)
{
    return ParseDataType(text).value();
}

// One value, the registers that hold it worked out by hand from its bytes, and its value text.
struct RegisterCase
{
    std::string_view type;
    ByteOrder order;
    Registers registers;
    std::string_view text;
    bool decodeOnly = false; ///< the text encodes to other registers (blanks cut, any nonzero bool)
};

const RegisterCase kRegisterCases[] = {
    { "bool", ByteOrder::ABCD, { 0x0000 }, "0" },
    { "bool", ByteOrder::ABCD, { 0x0001 }, "1" },
    { "bool", ByteOrder::ABCD, { 0x0700 }, "1", true },
    { "bit(0)", ByteOrder::ABCD, { 0x0001 }, "1" },
    { "bit(0)", ByteOrder::ABCD, { 0xFFFE }, "0", true },
    { "bit(15)", ByteOrder::ABCD, { 0x8000 }, "1" },
    { "bit(15)", ByteOrder::DCBA, { 0x7FFF }, "0", true },
    { "int16", ByteOrder::ABCD, { 0x04D2 }, "1234" },
    { "int16", ByteOrder::CDAB, { 0x04D2 }, "1234" },
    { "int16", ByteOrder::BADC, { 0xD204 }, "1234" },
    { "int16", ByteOrder::DCBA, { 0xFEFF }, "-2" },
    { "int16", ByteOrder::ABCD, { 0x8000 }, "-32768" },
    { "uint16", ByteOrder::ABCD, { 0x9C40 }, "40000" },
    { "int32", ByteOrder::ABCD, { 0x1234, 0x5678 }, "305419896" },
    { "int32", ByteOrder::CDAB, { 0x5678, 0x1234 }, "305419896" },
    { "int32", ByteOrder::BADC, { 0x3412, 0x7856 }, "305419896" },
    { "int32", ByteOrder::DCBA, { 0x7856, 0x3412 }, "305419896" },
    { "int32", ByteOrder::DCBA, { 0xFEFF, 0xFFFF }, "-2" },
    { "uint32", ByteOrder::CDAB, { 0xFFFF, 0xFFFF }, "4294967295" },
    { "int64", ByteOrder::ABCD, { 0x0102, 0x0304, 0x0506, 0x0708 }, "72623859790382856" },
    { "int64", ByteOrder::CDAB, { 0x0708, 0x0506, 0x0304, 0x0102 }, "72623859790382856" },
    { "int64", ByteOrder::BADC, { 0x0201, 0x0403, 0x0605, 0x0807 }, "72623859790382856" },
    { "int64", ByteOrder::DCBA, { 0x0807, 0x0605, 0x0403, 0x0201 }, "72623859790382856" },
    { "int64", ByteOrder::ABCD, { 0x8000, 0x0000, 0x0000, 0x0000 }, "-9223372036854775808" },
    { "uint64", ByteOrder::ABCD, { 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF }, "18446744073709551615" },
    { "float32", ByteOrder::ABCD, { 0x3FC0, 0x0000 }, "1.5" },
    { "float32", ByteOrder::CDAB, { 0x0000, 0x3FC0 }, "1.5" },
    { "float32", ByteOrder::BADC, { 0xC03F, 0x0000 }, "1.5" },
    { "float32", ByteOrder::DCBA, { 0x0000, 0xC03F }, "1.5" },
    { "float32", ByteOrder::ABCD, { 0x42F6, 0xE979 }, "123.456" },
    { "float32", ByteOrder::ABCD, { 0x3DCC, 0xCCCD }, "0.1" },
    { "float32", ByteOrder::ABCD, { 0x7F7F, 0xFFFF }, "3.402823E+38", true },
    { "float32", ByteOrder::ABCD, { 0x7FC0, 0x0000 }, "NaN" },
    { "float32", ByteOrder::CDAB, { 0x0000, 0x7F80 }, "Inf" },
    { "float32", ByteOrder::ABCD, { 0xFF80, 0x0000 }, "-Inf" },
    { "float64", ByteOrder::ABCD, { 0x3FF8, 0x0000, 0x0000, 0x0000 }, "1.5" },
    { "float64", ByteOrder::CDAB, { 0x0000, 0x0000, 0x0000, 0x3FF8 }, "1.5" },
    { "float64", ByteOrder::BADC, { 0xF83F, 0x0000, 0x0000, 0x0000 }, "1.5" },
    { "float64", ByteOrder::DCBA, { 0x0000, 0x0000, 0x0000, 0xF83F }, "1.5" },
    { "float64", ByteOrder::ABCD, { 0x3FB9, 0x9999, 0x9999, 0x999A }, "0.1" },
    { "float64", ByteOrder::ABCD, { 0x3FD5, 0x5555, 0x5555, 0x5555 }, "0.333333333333333", true },
    { "float64", ByteOrder::ABCD, { 0x7FEF, 0xFFFF, 0xFFFF, 0xFFFF }, "1.79769313486232E+308", true },
    { "float64", ByteOrder::ABCD, { 0x7FF8, 0x0000, 0x0000, 0x0000 }, "NaN" },
    { "float64", ByteOrder::ABCD, { 0x7FF0, 0x0000, 0x0000, 0x0000 }, "Inf" },
    { "float64", ByteOrder::DCBA, { 0x0000, 0x0000, 0x0000, 0xF0FF }, "-Inf" },
    { "string(5)", ByteOrder::ABCD, { 0x4865, 0x6C6C, 0x6F00 }, "Hello" },
    { "string(5)", ByteOrder::BADC, { 0x6548, 0x6C6C, 0x006F }, "Hello" },
    { "string(6)", ByteOrder::ABCD, { 0x41FF, 0x4220, 0x0000 }, "A\\xFFB", true },
    { "string(4)", ByteOrder::ABCD, { 0xC3A9, 0x2100 }, "\xC3\xA9!" },
    { "string(4)", ByteOrder::ABCD, { 0x5C41, 0x0A42 }, "\\\\A\\x0AB" },
    { "string(3)", ByteOrder::ABCD, { 0x0000, 0x0000 }, "" },
};

std::string Describe(const tl::expected<Registers, Refusal>& result)
{
    if (!result) {
        return "refused: " + result.error().reason;
    }
    std::string text;
    for (std::uint16_t word : *result) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "%04X ", word);
        text += buffer;
    }
    return text;
}

} // namespace

TEST(DeviceValues, RegistersDecodeToTheirValueTextAndBack)
{
    for (const RegisterCase& c : kRegisterCases) {
        SCOPED_TRACE(std::string(c.type) + " " + ByteOrderText(c.order, Type(c.type)) + " " + std::string(c.text));
        const auto decoded = DecodeValue(c.registers, Type(c.type), c.order);
        ASSERT_TRUE(decoded.has_value()) << decoded.error();
        EXPECT_EQ(decoded->text, c.text);
        if (!c.decodeOnly) {
            EXPECT_EQ(Describe(EncodeValue(c.text, Type(c.type), c.order)), Describe(c.registers));
        }
    }
}

TEST(DeviceValues, TextsThatAreNoValueOfTheTypeAreRefused)
{
    const struct
    {
        std::string_view type;
        std::string_view text;
        Refusal::Kind kind;
    } cases[] = {
        { "int16", "", Refusal::Kind::BadValue },
        { "int16", "abc", Refusal::Kind::BadValue },
        { "int16", "12.5", Refusal::Kind::BadValue },
        { "int16", "32768", Refusal::Kind::OutOfRange },
        { "int16", "-32769", Refusal::Kind::OutOfRange },
        { "uint16", "-1", Refusal::Kind::OutOfRange },
        { "int64", "-9223372036854775809", Refusal::Kind::OutOfRange },
        { "uint64", "18446744073709551616", Refusal::Kind::OutOfRange },
        { "uint64", "1E+30", Refusal::Kind::OutOfRange },
        { "float32", "1E+39", Refusal::Kind::OutOfRange },
        { "float32", "1,5", Refusal::Kind::BadValue },
        { "int32", "NaN", Refusal::Kind::BadValue },
        { "bool", "2", Refusal::Kind::OutOfRange },
        { "bit(3)", "on", Refusal::Kind::BadValue },
        { "string(3)", "abcd", Refusal::Kind::OutOfRange },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " '" + std::string(c.text) + "'");
        const auto encoded = EncodeValue(c.text, Type(c.type), ByteOrder::ABCD);
        ASSERT_FALSE(encoded.has_value()) << Describe(encoded);
        EXPECT_EQ(encoded.error().kind, c.kind);
    }
    EXPECT_EQ(EncodeValue("70000", Type("int16"), ByteOrder::ABCD).error().reason,
              "'70000' is beyond int16's -32768 to 32767");
}

TEST(DeviceValues, EncodingTakesEveryWayOfWritingANumber)
{
    const struct
    {
        std::string_view type;
        std::string_view text;
        Registers registers;
    } cases[] = {
        { "int16", " 1.5E+2 ", { 0x0096 } },
        { "int16", "-0", { 0x0000 } },
        { "bit(15)", "1", { 0x8000 } },
        { "bit(3)", "1.0", { 0x0008 } },
        { "float32", "inf", { 0x7F80, 0x0000 } },
        { "float32", "3.4028235E+38", { 0x7F7F, 0xFFFF } },
        { "string(3)", "\\x41\\q", { 0x415C, 0x7100 } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " '" + std::string(c.text) + "'");
        EXPECT_EQ(Describe(EncodeValue(c.text, Type(c.type), ByteOrder::ABCD)), Describe(c.registers));
    }
}

TEST(DeviceValues, ScalingMapsRawToEngineeringValuesAndBackRoundingHalfAwayFromZero)
{
    const struct
    {
        std::string_view type;
        Scaling scaling;
        Registers registers;
        std::string_view text;
        double number;
    } cases[] = {
        { "int16", { 0, 27648, 0, 100 }, { 0x3600 }, "50", 50 },
        { "int16", { 0, 27648, 0, 100 }, { 0x6C00 }, "100", 100 },
        { "int16", { 0, 10, 0, 1 }, { 0x0901 }, "230.5", 230.5 },
        { "uint16", { 0, 65535, -10, 10 }, { 0x0000 }, "-10", -10 },
        { "float32", { 0, 1, 0, 1000 }, { 0x3FC0, 0x0000 }, "1500", 1500 },
        { "int32", { 0, 3, 0, 1 }, { 0x0000, 0x0001 }, "0.3333333", 1.0 / 3 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + std::string(c.text));
        const auto decoded = DecodeValue(c.registers, Type(c.type), ByteOrder::ABCD, c.scaling);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->text, c.text);
        EXPECT_DOUBLE_EQ(decoded->number.value(), c.number);
        EXPECT_EQ(Describe(EncodeValue(c.text, Type(c.type), ByteOrder::ABCD, c.scaling)), Describe(c.registers));
    }

    const Scaling twice { 0, 2, 0, 1 };
    const struct
    {
        std::string_view text;
        std::string_view expected;
    } rounding[] = { { "1.25", "0003 " }, { "-1.25", "FFFD " }, { "1.2", "0002 " }, { "-0.2", "0000 " } };
    for (const auto& r : rounding) {
        EXPECT_EQ(Describe(EncodeValue(r.text, Type("int16"), ByteOrder::ABCD, twice)), r.expected) << r.text;
    }
}

TEST(DeviceValues, ScaledValuesBeyondTheRawTypeAreRefusedWithTheRawValue)
{
    const Scaling tenths { 0, 10, 0, 1 };
    const auto refused = EncodeValue("3276.8", Type("int16"), ByteOrder::ABCD, tenths, "V");
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, Refusal::Kind::OutOfRange);
    EXPECT_EQ(refused.error().reason, "3276.8 V is raw 32768, beyond int16's -32768 to 32767");
    EXPECT_EQ(EncodeValue("-0.1", Type("uint16"), ByteOrder::ABCD, tenths).error().reason,
              "-0.1 is raw -1, beyond uint16's 0 to 65535");
    EXPECT_EQ(EncodeValue("1E+38", Type("float32"), ByteOrder::ABCD, tenths).error().kind, Refusal::Kind::OutOfRange);
    EXPECT_EQ(EncodeValue("volts", Type("int16"), ByteOrder::ABCD, tenths).error().kind, Refusal::Kind::BadValue);
}

TEST(DeviceValues, AScalingNeedsTwoDifferentRawValuesAndTwoDifferentValues)
{
    EXPECT_TRUE(MakeScaling(0, 27648, 0, 100).has_value());
    EXPECT_FALSE(MakeScaling(5, 5, 0, 100).has_value());
    EXPECT_FALSE(MakeScaling(0, 10, 2, 2).has_value());
    EXPECT_FALSE(MakeScaling(0, std::numeric_limits<double>::quiet_NaN(), 0, 1).has_value());
}

TEST(DeviceValues, DataTypesReadAndWriteTheirStoredText)
{
    const struct
    {
        std::string_view text;
        std::string_view stored; ///< empty: refused
        std::size_t registers;
    } cases[] = {
        { "bool", "bool", 1 },
        { "bit(0)", "bit(0)", 1 },
        { " Bit(15) ", "bit(15)", 1 },
        { "int16", "int16", 1 },
        { "int32", "int32", 2 },
        { "float32", "float32", 2 },
        { "int64", "int64", 4 },
        { "float64", "float64", 4 },
        { "string(1)", "string(1)", 1 },
        { "string(5)", "string(5)", 3 },
        { "string(250)", "string(250)", 125 },
        { "int24", "", 0 },
        { "", "", 0 },
        { "string(0)", "", 0 },
        { "string(251)", "", 0 },
        { "bit(16)", "", 0 },
        { "bit", "", 0 },
    };
    for (const auto& c : cases) {
        const auto type = ParseDataType(c.text);
        if (c.stored.empty()) {
            EXPECT_FALSE(type.has_value()) << c.text;
            continue;
        }
        ASSERT_TRUE(type.has_value()) << type.error();
        EXPECT_EQ(DataTypeText(*type), c.stored);
        EXPECT_EQ(RegisterCount(*type), c.registers) << c.text;
    }
    EXPECT_EQ(ParseDataType("int24").error().substr(0, 40), "'int24' is no data type; the types are b");
}

TEST(DeviceValues, ByteOrdersReadAndWriteTheirStoredTextPerType)
{
    const struct
    {
        std::string_view type;
        std::string_view text;
        std::string_view stored; ///< empty: refused
    } cases[] = {
        { "int32", "", "ABCD" },   { "int32", "cdab", "CDAB" }, { "int32", "AB", "" },       { "int32", "ACBD", "" },
        { "string(4)", "", "AB" }, { "string(4)", "ba", "BA" }, { "string(4)", "CDAB", "" },
    };
    for (const auto& c : cases) {
        const auto order = ParseByteOrder(c.text, Type(c.type));
        if (c.stored.empty()) {
            EXPECT_FALSE(order.has_value()) << c.type << " " << c.text;
        } else {
            ASSERT_TRUE(order.has_value()) << order.error();
            EXPECT_EQ(ByteOrderText(*order, Type(c.type)), c.stored);
        }
    }
}

TEST(DeviceValues, DecodingRefusesACountOfRegistersThatDoesNotFitTheType)
{
    const Registers one { 0x0001 };
    EXPECT_EQ(DecodeValue(one, Type("int32"), ByteOrder::ABCD).error(), "int32 takes 2 registers, not 1");
}
