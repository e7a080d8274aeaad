#include "common/DeviceItems.h"

#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tavrel::common;
using namespace tavrel::common::operand;

namespace {

DataType Type(const char* text)
{
    return ParseDataType(text).value();
}

} // namespace

TEST(DeviceItems, AddressesAndReferencesNameTheirTable)
{
    struct Case
    {
        const char* text;
        std::int32_t chosen;
        std::int32_t table; ///< -1: refused
        std::int32_t address;
    };
    const Case cases[] = {
        { "0", HoldingRegister, HoldingRegister, 0 },
        { " 9999 ", Coil, Coil, 9999 },
        { "65535", InputRegister, InputRegister, 65535 },
        { "65536", InputRegister, -1, 0 },
        { "00001", HoldingRegister, Coil, 0 },
        { "09999", HoldingRegister, Coil, 9998 },
        { "10001", Coil, DiscreteInput, 0 },
        { "30001", HoldingRegister, InputRegister, 0 },
        { "40001", Coil, HoldingRegister, 0 },
        { "49999", Coil, HoldingRegister, 9998 },
        { "000001", InputRegister, Coil, 0 },
        { "065536", InputRegister, Coil, 65535 },
        { "165536", Coil, DiscreteInput, 65535 },
        { "365536", Coil, InputRegister, 65535 },
        { "412346", Coil, HoldingRegister, 12345 },
        { "20000", Coil, Coil, 20000 }, // no table starts with 2: a protocol address
        { "40000", Coil, -1, 0 },
        { "00000", Coil, -1, 0 },
        { "465537", Coil, -1, 0 },
        { "-1", Coil, -1, 0 },
        { "4x0001", Coil, -1, 0 },
        { "", Coil, -1, 0 },
        { "1", MI, -1, 0 },
    };
    for (const Case& c : cases) {
        const auto parsed = ParseDeviceAddress(c.text, c.chosen);
        if (c.table < 0) {
            EXPECT_FALSE(parsed) << c.text;
            continue;
        }
        ASSERT_TRUE(parsed) << c.text << ": " << parsed.error();
        EXPECT_EQ(*parsed, (DeviceAddress { c.table, c.address })) << c.text;
    }
    EXPECT_EQ(ModbusReferenceText({ HoldingRegister, 0 }), "400001");
    EXPECT_EQ(ModbusReferenceText({ DiscreteInput, 65535 }), "165536");
}

TEST(DeviceItems, TheCheckRefusesWhatCannotBeWithTheReason)
{
    ItemDetails none;
    ItemDetails float32;
    float32.dataType = Type("float32");
    ItemDetails float64;
    float64.dataType = Type("float64");
    ItemDetails text;
    text.dataType = Type("string(10)");
    ItemDetails swappedText = text;
    swappedText.byteOrder = ByteOrder::CDAB;
    ItemDetails bit;
    bit.dataType = Type("bit(3)");
    bit.byteOrder = ByteOrder::DCBA;
    ItemDetails scaled;
    scaled.scaling = Scaling { 0, 1000, 0, 100 };
    ItemDetails scaledText = text;
    scaledText.scaling = scaled.scaling;
    ItemDetails flatScale;
    flatScale.scaling = Scaling { 5, 5, 0, 100 };
    ItemDetails named;
    named.name = "Boiler1.Temp";
    ItemDetails labelNamed;
    labelNamed.name = "LBLdde(7)";
    ItemDetails negativeDeadband;
    negativeDeadband.deadband = -0.5;

    constexpr std::int32_t device = plctype::ModbusDevice;
    constexpr std::int32_t orbis = plctype::OrbisA;
    constexpr std::int32_t r = direction::Read;
    constexpr std::int32_t rw = direction::ReadWrite;
    struct Case
    {
        std::int32_t plcType;
        std::int32_t operandType;
        std::int32_t address;
        std::int32_t length;
        std::int32_t direction;
        const ItemDetails& details;
        const char* refusal; ///< a part of the reason; nullptr: accepted
    };
    const Case cases[] = {
        { device, HoldingRegister, 65534, 1, rw, float32, nullptr },
        { device, InputRegister, 65532, 1, r, float64, nullptr },
        { device, HoldingRegister, 0, 50, rw, scaled, nullptr },
        { device, HoldingRegister, 100, 2, rw, bit, "no byte order" },
        { device, InputRegister, 0, 1, r, text, nullptr },
        { device, InputRegister, 0, 1, r, swappedText, "AB or BA" },
        { device, Coil, 0, 1, rw, float32, "only be bool" },
        { device, DiscreteInput, 0, 1, r, text, "only be bool" },
        { device, InputRegister, 0, 1, rw, none, "read-only" },
        { device, DiscreteInput, 0, 1, direction::Write, none, "read-only" },
        { device, HoldingRegister, 65535, 1, rw, float32, "past 65535" },
        { device, InputRegister, 65520, 10, r, float32, "would end at 65539" },
        { device, InputRegister, 65530, 10, r, float32, "past 65535" },
        { device, InputRegister, 65536, 1, r, none, "0-65535" },
        { device, HoldingRegister, 0, 51, r, none, "Length" },
        { device, MI, 0, 1, r, none, "has no MI" },
        { device, InputRegister, 0, 1, r, scaledText, "numeric" },
        { device, Coil, 0, 1, r, scaled, "numeric" },
        { device, HoldingRegister, 0, 1, r, flatScale, "" },
        { device, HoldingRegister, 0, 1, r, named, nullptr },
        { device, HoldingRegister, 0, 1, r, labelNamed, "label name" },
        { orbis, MI, 0, 1, rw, scaled, nullptr },
        { orbis, MF, 0, 1, rw, named, nullptr },
        { orbis, MB, 0, 1, rw, scaled, "numeric" },
        { orbis, TPreset, 0, 1, rw, scaled, "numeric" },
        { orbis, MI, 0, 1, rw, float32, "Modbus device" },
        { orbis, InputRegister, 0, 1, r, none, "Modbus device" },
        { orbis, MI, 0, 1, rw, negativeDeadband, "deadband" },
        { 9, 77, -3, 1, 8, none, nullptr }, // what families 0-5 and unknown codes allow is not this check's
    };
    for (const Case& c : cases) {
        const auto checked
            = CheckItemDefinition({ c.plcType, c.operandType, c.address, c.length, c.direction, c.details });
        const std::string what = std::string(OperandTypeName(c.operandType)) + " " + std::to_string(c.address);
        if (c.refusal == nullptr) {
            EXPECT_TRUE(checked) << what << ": " << checked.error();
        } else {
            ASSERT_FALSE(checked) << what;
            EXPECT_NE(checked.error().find(c.refusal), std::string::npos) << what << ": " << checked.error();
        }
    }
}

TEST(DeviceItems, TagNamesAreShapedAndUniqueWithoutRegardToCase)
{
    const std::pair<std::string, bool> names[] = {
        { "", true },
        { "Boiler1.Temp", true },
        { "pump_2-flow", true },
        { std::string(kMaxTagNameLength, 'a'), true },
        { std::string(kMaxTagNameLength + 1, 'a'), false },
        { "lblDDE(7)", false },
        { "LblDde7", true },
        { "two words", false },
        { "Temp[1]", false },
        { "Kühlung", false },
        { "a/b", false },
    };
    for (const auto& [name, good] : names) {
        EXPECT_EQ(!TagNameProblem(name).has_value(), good) << name;
    }
    const std::vector<std::string> taken { "Boiler1.Temp", "Pump" };
    EXPECT_TRUE(TagNameClash("boiler1.TEMP", taken));
    EXPECT_FALSE(TagNameClash("Boiler1.Temp2", taken));
    EXPECT_FALSE(TagNameClash("", taken));
    EXPECT_EQ(ElementTagName("Volts", 0), "Volts");
    EXPECT_EQ(ElementTagName("Volts", 2), "Volts[2]");
    EXPECT_EQ(ElementTagName("", 2), "");
}
