// Modbus device items against an independent Modbus implementation: pymodbus encodes and decodes the values.

#include "support/CommProject.h"
#include "support/ModbusPeers.h"

#include "comm/ItemExchange.h"
#include "comm/PlcComm.h"
#include "common/DeviceItems.h"
#include "common/NumberText.h"
#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace tavrel;
using namespace tavrel::test;
namespace op = tavrel::common::operand;
using Value = PymodbusDevicePeer::Value;

namespace {

using namespace std::chrono_literals;

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Whether our text of a value is the value pymodbus wrote as `python`: strings and integers as they are, floats to
// their precision (seven significant digits of a float32 need not give back its every bit), NaN and the infinities
// by name.
bool SameValue(const std::string& ours, const Value& theirs)
{
    if (theirs.value.size() >= 2 && theirs.value.front() == '\'') {
        return ours == theirs.value.substr(1, theirs.value.size() - 2);
    }
    if (!theirs.type.starts_with("float")) {
        return ours == theirs.value;
    }
    const auto a = common::ParseDouble(ours);
    const auto b = common::ParseDouble(theirs.value);
    if (!a || !b) {
        return Lower(ours) == Lower(theirs.value);
    }
    const double tolerance = theirs.type == "float32" ? 1e-6 : 1e-14;
    return std::fabs(*a - *b) <= tolerance * std::fabs(*b);
}

class DevicePeerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        project.env.CreateDriver = ModbusDrivers();
        model::CommParams params = TcpParams(peer.Port());
        params.PlcType = common::plctype::ModbusDevice;
        params.TimeOut = 2000;
        plc = &project.AddPlc("Meter", params);
    }

    // An item for the value, of its data type and byte order.
    model::Clsitem& Add(const Value& value, std::int32_t direction)
    {
        model::ItemDetails details;
        details.dataType = common::ParseDataType(value.type).value();
        details.byteOrder = common::ParseByteOrder(value.order == "AB" ? "" : value.order, *details.dataType).value();
        const std::map<std::string, std::int32_t> tables {
            { "ir", op::InputRegister }, { "hr", op::HoldingRegister }, { "co", op::Coil }, { "di", op::DiscreteInput }
        };
        return Add(tables.at(value.table), value.address, details, direction);
    }
    model::Clsitem& Add(std::int32_t table, std::int32_t address, const model::ItemDetails& details,
                        std::int32_t direction)
    {
        std::int32_t label = -1;
        EXPECT_TRUE(plc->AddItems(1, address, table, direction, true, label, details));
        return *plc->colItems().back();
    }

    bool Read()
    {
        comm::BuildBinaryMix(*plc);
        return comm::ReadItemValuesAndUpdateItems(*plc, project.env);
    }

    PymodbusDevicePeer peer;
    CommProject project;
    model::clsPlc* plc = nullptr;
};

} // namespace

// Every type and byte order as pymodbus encodes them, in both register tables, and the bits of the coils and
// discrete inputs, read in one batched pass; the one input register the device has not makes its item bad, and the
// device's other values, in the same span of registers, are served.
TEST_F(DevicePeerTest, EveryTypeAndOrderReadsAsPymodbusEncodedItAndAMissingRegisterSpoilsOnlyItsItem)
{
    ASSERT_GT(peer.Values().size(), 190U);
    for (const Value& value : peer.Values()) {
        Add(value, common::direction::Read);
    }
    model::ItemDetails int16;
    const model::Clsitem& missing = Add(op::InputRegister, peer.Missing(), int16, common::direction::Read);
    const model::Clsitem& after = Add(op::InputRegister, peer.Missing() + 2, int16, common::direction::Read);

    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(Read()) << plc->LastError;
        for (std::size_t i = 0; i < peer.Values().size(); ++i) {
            const Value& value = peer.Values()[i];
            const model::Clsitem& item = *plc->colItems()[i];
            EXPECT_TRUE(SameValue(item.Label.Text(), value))
                << value.table << " " << value.address << " " << value.type << " " << value.order << ": read "
                << item.Label.Text() << ", pymodbus wrote " << value.value;
            EXPECT_EQ(item.BadReason, "");
        }
        EXPECT_EQ(missing.BadReason,
                  "input register " + std::to_string(peer.Missing()) + " does not exist on the device");
        EXPECT_EQ(missing.Label.Text(), "");
        EXPECT_EQ(after.Label.Text(), "7");
    }
}

// A missing input register in a gap the plan bridges belongs to no item: after the split, every item is served.
TEST_F(DevicePeerTest, AMissingRegisterInABridgedGapSpoilsNoItem)
{
    model::ItemDetails int16;
    const model::Clsitem& before = Add(op::InputRegister, peer.Missing() - 1, int16, common::direction::Read);
    const model::Clsitem& after = Add(op::InputRegister, peer.Missing() + 1, int16, common::direction::Read);
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(Read()) << plc->LastError;
        EXPECT_EQ(before.Label.Text(), "0");
        EXPECT_EQ(after.Label.Text(), "7");
        EXPECT_EQ(before.BadReason + after.BadReason, "");
    }
}

// A poke of each type and order lands in one write, as pymodbus decodes it, and so does a coil's; a bit(K) poke keeps
// the register's other bits.
TEST_F(DevicePeerTest, PokesOfEveryTypeLandAsPymodbusDecodesThem)
{
    const std::map<std::string, std::string> pokes {
        { "int16", "-1234" },          { "uint16", "54321" },
        { "int32", "-70000" },         { "uint32", "4000000000" },
        { "int64", "-9000000000000" }, { "uint64", "18000000000000000000" },
        { "float32", "-1.5" },         { "float64", "3.14159265358979" },
        { "string(14)", "AB-12" },
    };
    std::map<std::pair<std::string, std::int32_t>, Value> expected;
    for (Value value : peer.Values()) {
        const auto poke = pokes.find(value.type);
        if (value.table == "co") {
            value.value = value.value == "1" ? "0" : "1"; // each coil the other way
        } else if (value.table == "hr" && poke != pokes.end()) {
            value.value = poke->second;
        } else {
            continue;
        }
        model::Clsitem& item = Add(value, common::direction::Write);
        ASSERT_EQ(comm::CheckPoke(item, value.value, nullptr), std::nullopt) << value.type;
        item.Label.SetText(value.value);
        expected[{ value.table, value.address }] = value;
    }
    ASSERT_GT(expected.size(), 30U);
    ASSERT_TRUE(comm::WriteItemValuesAndUpdateItems(*plc, project.env)) << plc->LastError;
    // One decoded line a value: each was written in one request.
    const std::size_t writes = expected.size();
    for (std::size_t i = 0; i < writes; ++i) {
        const auto decoded = peer.NextDecoded(5s);
        ASSERT_TRUE(decoded) << "write " << i + 1 << " of " << writes << " not seen";
        const auto wanted = expected.find({ decoded->table, decoded->address });
        ASSERT_NE(wanted, expected.end()) << "a write landed at " << decoded->table << " " << decoded->address;
        EXPECT_TRUE(SameValue(wanted->second.value, *decoded))
            << decoded->type << " " << decoded->order << ": poked " << wanted->second.value << ", pymodbus decoded "
            << decoded->value;
        expected.erase(wanted);
    }

    // Holding register 0 now holds int16 -1234 (0xFB2E): setting its bit 0 makes it -1233, its other bits kept.
    model::ItemDetails bit0;
    bit0.dataType = common::ParseDataType("bit(0)").value();
    model::Clsitem& bit = Add(op::HoldingRegister, 0, bit0, common::direction::Write);
    bit.Label.SetText("1");
    ASSERT_TRUE(comm::WriteItemValuesAndUpdateItems(*plc, project.env)) << plc->LastError;
    const auto decoded = peer.NextDecoded(5s);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->address, 0);
    EXPECT_EQ(decoded->value, "-1233");
}
