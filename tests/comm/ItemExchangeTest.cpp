#include "comm/ItemExchange.h"

#include "comm/PlcComm.h"
#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"
#include "support/CommFixture.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace tavrel;
using namespace tavrel::test;
using Calls = std::vector<std::string>;
namespace op = common::operand;
namespace dir = common::direction;

class ItemExchangeTest : public CommFixture
{
protected:
    ItemExchangeTest()
        : plc(AddPlc("Line_1"))
    {
        driver = script.Factory()(plc);
        script.Clear();
    }

    bool Read(model::Clsitem& item, std::int32_t longValue)
    {
        common::OperandValue value;
        value.LongValue = longValue;
        return comm::UpdateValues(item, std::span(&value, 1));
    }
    bool Write(model::Clsitem& item) { return comm::WriteToPlcAndUpdateItem(item, *driver, '.', refusal); }

    model::clsPlc& plc;
    std::shared_ptr<comm::CommDriver> driver;
    std::vector<std::string> refused;
    std::function<void(const comm::RefusedPoke&)> refusal
        = [this](const comm::RefusedPoke& r) { refused.push_back(r.reason); };
};

TEST_F(ItemExchangeTest, ReadWriteItemPublishesNotesAPokeThenWritesIt)
{
    auto& item = AddItem(plc, op::MI, 10, dir::ReadWrite);
    ASSERT_TRUE(Read(item, 5));
    EXPECT_EQ(item.Label.Text(), "5");
    EXPECT_EQ(item.PrevValue.ToText(), "5");
    ASSERT_TRUE(Write(item));
    EXPECT_EQ(script.Calls(), (Calls { "ReadMI(0,1)" })) << "nothing to write";

    script.Clear();
    item.Label.SetText("9"); // a client's poke
    ASSERT_TRUE(Read(item, 5));
    EXPECT_EQ(item.Label.Text(), "9") << "the read pass leaves a poke alone";
    EXPECT_EQ(item.PrevValue.ToText(), "9");

    ASSERT_TRUE(Write(item));
    EXPECT_EQ(script.Calls(), (Calls { "WriteMI(10,1,9)" }));

    ASSERT_TRUE(Read(item, 9));
    EXPECT_EQ(item.Label.Text(), "9");
    EXPECT_EQ(item.Currentvalue.ToText(), "9");
}

TEST_F(ItemExchangeTest, WriteOnlyItemWritesEachPokeInItsOperandsFormAndClearsItsLabel)
{
    auto& longs = AddItem(plc, op::ML, 3, dir::Write);
    auto& words = AddItem(plc, op::MI, 1, dir::Write);
    auto& timer = AddItem(plc, op::TCurrent, 4, dir::Write);
    // The same poke twice is written twice; whole numbers round halves to even; a timer text goes as ticks.
    const std::pair<model::Clsitem*, const char*> pokes[]
        = { { &longs, "123" }, { &longs, "123" },    { &words, "2.5" },
            { &words, "3.5" }, { &words, " -1.5 " }, { &timer, "00:00:10.00" } };
    for (const auto& [item, poke] : pokes) {
        item->Label.SetText(poke);
        ASSERT_TRUE(Write(*item)) << poke;
        EXPECT_EQ(item->Label.Text(), "") << poke;
    }
    EXPECT_EQ(script.Calls(),
              (Calls { "WriteML(3,1,123)", "WriteML(3,1,123)", "WriteMI(1,1,2)", "WriteMI(1,1,4)", "WriteMI(1,1,-2)",
                       "WriteTCurrent(4,1,1000)" }));
}

TEST_F(ItemExchangeTest, FailedWriteKeepsThePokeForTheNextPass)
{
    auto& item = AddItem(plc, op::ML, 3, dir::Write);
    item.Label.SetText("123");
    script.Queue("WriteML", { DriverAnswer::Fails() });
    EXPECT_FALSE(Write(item));
    EXPECT_EQ(item.Label.Text(), "123");
    script.Queue("WriteML", { DriverAnswer::Throws() });
    EXPECT_FALSE(Write(item)) << "a driver that throws fails like one that returns false";
    EXPECT_EQ(item.Label.Text(), "123");
}

TEST_F(ItemExchangeTest, VectorGivenTheWrongNumberOfValuesChangesNothing)
{
    auto& item = AddItem(plc, op::MB, 0, dir::Read, 3);
    std::vector<common::OperandValue> values(2);
    values[0].LongValue = 1;
    EXPECT_FALSE(comm::UpdateValues(item, values));
    for (const auto& child : item.colItems()) {
        EXPECT_EQ(child.Label.Text(), "");
    }
}

TEST_F(ItemExchangeTest, VectorStopsPublishingAtAChildHoldingAPoke)
{
    auto& item = AddItem(plc, op::MI, 0, dir::ReadWrite, 3);
    item.colItems()[1].Label.SetText("77");
    std::vector<common::OperandValue> values(3);
    values[0].LongValue = 1;
    values[1].LongValue = 2;
    values[2].LongValue = 3;
    ASSERT_TRUE(comm::UpdateValues(item, values));
    EXPECT_EQ(item.colItems()[0].Label.Text(), "1");
    EXPECT_EQ(item.colItems()[1].Label.Text(), "77");
    EXPECT_EQ(item.colItems()[2].Label.Text(), "") << "children after a noted poke wait for the next pass";
}

TEST_F(ItemExchangeTest, BatchedValuesTakeTheFieldAndTextOfTheirOperandType)
{
    struct Case
    {
        std::int32_t operandType;
        common::OperandValue value;
        std::string text;
    };
    common::OperandValue timer;
    timer.TimerCurrent = 366123;
    timer.TimerPreset = 100;
    common::OperandValue counter;
    counter.CurrencyValue = common::Currency::FromWhole(4000000000);
    counter.CounterPreset = common::Currency::FromWhole(12);
    common::OperandValue real;
    real.LongValue = common::SwappedWordFromFloat(1.5f);
    common::OperandValue negative;
    negative.LongValue = -7;

    const std::vector<Case> cases {
        { op::TCurrent, timer, "01:01:01.23" },
        { op::TPreset, timer, "00:00:01.00" },
        { op::DW, counter, "4000000000" },
        { op::CCurrent, counter, "4000000000" },
        { op::CPreset, counter, "12" },
        { op::MF, real, "1.5" },
        { op::SI, negative, "-7" },
        { op::XB, negative, "-7" },
        { 8, negative, "" },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(comm::ToOperandValueVariant(c.operandType, c.value).ToText(), c.text) << c.operandType;
    }
}

TEST_F(ItemExchangeTest, PerItemReadsUseTheDriverOperationOfTheirType)
{
    struct Case
    {
        std::int32_t operandType;
        std::string call;
        double answer;
        std::string text;
    };
    const std::vector<Case> cases {
        { op::MB, "ReadMB(1,1)", 1, "1" },
        { op::CBit, "ReadCBit(1,1)", 0, "0" },
        { op::SI, "ReadSI(1,1)", -12, "-12" },
        { op::XL, "ReadXL(1,1)", 70000, "70000" },
        { op::MF, "ReadMF(1,1)", 2.25, "2.25" },
        { op::XDW, "ReadXDW(1,1)", 5, "5" },
        { op::TPreset, "ReadTPreset(1,1)", 0x4005, "5000" },
    };
    for (const Case& c : cases) {
        script.Clear();
        auto& item = AddItem(plc, c.operandType, 1, dir::Read);
        script.Queue(c.call.substr(0, c.call.find('(')), { DriverAnswer::Value(c.answer) });
        ASSERT_TRUE(comm::ReadAsciiFromPlcAndUpdateItem(item, *driver));
        EXPECT_EQ(script.Calls(), (Calls { c.call }));
        EXPECT_EQ(item.Label.Text(), c.text) << c.call;
    }
}

TEST_F(ItemExchangeTest, TimerBitIsNeverReadOneAtATime)
{
    auto& item = AddItem(plc, op::TBit, 1, dir::Read);
    item.Label.SetText("1");
    EXPECT_TRUE(comm::ReadAsciiFromPlcAndUpdateItem(item, *driver));
    EXPECT_TRUE(script.Calls().empty());
    EXPECT_EQ(item.Label.Text(), "1");
}

TEST_F(ItemExchangeTest, VectorReadAndWriteStopAtTheFirstFailingChild)
{
    auto& vector = AddItem(plc, op::MI, 20, dir::ReadWrite, 3);
    script.Queue("ReadMI", { DriverAnswer::Value(1), DriverAnswer::Fails(), DriverAnswer::Value(3) });
    EXPECT_FALSE(comm::ReadAsciiFromPlcAndUpdateItem(vector, *driver));
    EXPECT_EQ(script.Calls(), (Calls { "ReadMI(20,1)", "ReadMI(21,1)" }));

    script.Clear();
    for (auto& child : vector.colItems()) {
        child.Label.SetText("4");
    }
    script.Queue("WriteMI", { DriverAnswer::Fails() });
    EXPECT_FALSE(Write(vector));
    EXPECT_EQ(script.Calls(), (Calls { "WriteMI(20,1,4)" }));
}

TEST_F(ItemExchangeTest, APokeThatCannotBeWrittenIsRefusedWithoutADriverCallAndTheReadPublishesAgain)
{
    auto& item = AddItem(plc, op::MI, 1, dir::ReadWrite);
    ASSERT_TRUE(Read(item, 4));
    item.Label.SetText("abc");
    ASSERT_TRUE(Read(item, 4)); // notes the poke

    EXPECT_TRUE(Write(item)) << "a refused poke is no failure of the PLC";
    EXPECT_TRUE(script.Calls().empty());
    EXPECT_EQ(refused, (std::vector<std::string> { "'abc' is not a number" }));
    EXPECT_EQ(item.Label.Text(), "4") << "the label goes back to the published value";
    EXPECT_EQ(item.PrevValue.ToText(), "4");
    ASSERT_TRUE(Read(item, 5));
    EXPECT_EQ(item.Label.Text(), "5") << "and the next read publishes again";
}

TEST_F(ItemExchangeTest, ADriverRefusalAtWriteTimeDropsThatPokeAloneAndIsNoFailure)
{
    auto& vector = AddItem(plc, op::MB, 0, dir::ReadWrite, 3);
    for (auto& child : vector.colItems()) {
        child.Label.SetText("1");
    }
    script.Queue("WriteMB", { DriverAnswer::Refuses() });
    EXPECT_TRUE(Write(vector)) << "the PLC did nothing wrong";
    EXPECT_EQ(script.Calls(), (Calls { "WriteMB(0,1,1)", "WriteMB(1,1,1)", "WriteMB(2,1,1)" }));
    EXPECT_EQ(refused, (std::vector<std::string> { "scripted refusal" }));
    EXPECT_EQ(vector.colItems()[0].Label.Text(), vector.colItems()[0].Currentvalue.ToText()) << "dropped, not pending";

    script.Clear();
    EXPECT_TRUE(Write(vector));
    EXPECT_EQ(script.Calls().front(), "ReadMI(0,1)") << "the dropped poke is not tried again";
}

TEST_F(ItemExchangeTest, CheckPokeAsksTheItemTheKindAndTheDriverInThatOrder)
{
    using Kind = common::Refusal::Kind;
    auto& readOnly = AddItem(plc, op::MI, 1, dir::Read);
    auto& disabled = AddItem(plc, op::MI, 2, dir::ReadWrite, 1, false);
    auto& inputs = AddItem(plc, op::I, 3, dir::ReadWrite);
    auto& coil = AddItem(plc, op::MB, 4, dir::ReadWrite);
    script.WriteCheck = [](std::int32_t, std::int32_t, const comm::OperandWriteValue& value) {
        return std::get<std::uint8_t>(value) > 1
            ? std::optional(common::Refusal { Kind::OutOfRange, "a bit takes 0 or 1" })
            : std::nullopt;
    };
    const auto check = [&](const model::Clsitem& item, std::string_view text) {
        const auto problem = comm::CheckPoke(item, text, driver.get());
        return problem ? std::optional(std::make_pair(problem->kind, problem->reason)) : std::nullopt;
    };
    using Answer = std::optional<std::pair<Kind, std::string>>;
    EXPECT_EQ(check(readOnly, "1"), Answer({ Kind::NotWritable, "the item is read-only" }));
    EXPECT_EQ(check(disabled, "1"), Answer({ Kind::NotWritable, "the item is disabled" }));
    EXPECT_EQ(check(inputs, "1"), Answer({ Kind::NotWritable, "operand type I cannot be written" }));
    EXPECT_EQ(check(coil, ""), Answer({ Kind::BadValue, "an empty text is no value to write" }));
    EXPECT_EQ(check(coil, "2"), Answer({ Kind::OutOfRange, "a bit takes 0 or 1" }));
    EXPECT_EQ(comm::CheckPoke(coil, "2", nullptr), std::nullopt) << "without a driver only the kind's rules apply";
    EXPECT_EQ(check(coil, "1"), std::nullopt);

    // What the kinds' rules refuse before any driver is asked, and the reason each gives.
    const std::tuple<std::int32_t, const char*, Kind, const char*> refusals[] = {
        { op::MB, "256", Kind::OutOfRange, "'256' is out of range for MB (0 to 255)" },
        { op::MI, "32767.5", Kind::OutOfRange, "'32767.5' is out of range for MI (-32768 to 32767)" },
        { op::ML, "1e12", Kind::OutOfRange, "'1e12' is out of range for ML (-2147483648 to 2147483647)" },
        { op::MF, "1e39", Kind::OutOfRange, "'1e39' is out of range for MF (a single-precision number)" },
        { op::DW, "-", Kind::BadValue, "'-' is not a number" },
        { op::TPreset, "10", Kind::BadValue, "'10' is not a timer text (hh:mm:ss.cc, such as 00:01:30.00)" },
        { op::TCurrent, "99:99:99.99", Kind::OutOfRange,
          "'99:99:99.99' is longer than the longest T (Current), 99:59:59.99" },
    };
    for (const auto& [operandType, text, kind, reason] : refusals) {
        EXPECT_EQ(check(AddItem(plc, operandType, 1, dir::ReadWrite), text), Answer({ kind, reason }));
    }
}

// A scaled item of families 0-5 shows the engineering value and takes pokes in it, converted back and rounded half
// away from zero to the operand's raw type; a value whose raw value the operand cannot hold is refused, naming the
// units, and nothing is written.
TEST_F(ItemExchangeTest, AScaledItemShowsAndTakesEngineeringValues)
{
    struct Case
    {
        std::int32_t operandType;
        std::int32_t raw;
        const char* shown;
        const char* poke;
        const char* outcome; ///< the write call, or a part of the refusal
    };
    const Case cases[] = {
        { op::MI, 2000, "50", "25.01", "WriteMI(10,1,1000)" },
        { op::MI, -4000, "-100", "900", "900 % is raw 36000" },
        { op::SI, 1, "0.025", "abc", "no number" },
        { op::ML, 4000, "100", "-0.0125", "WriteML(10,1,-1)" },
        { op::ML, 7, "0.175", "1E9", "beyond int32" },
    };
    for (const Case& c : cases) {
        auto& item = AddItem(plc, c.operandType, 10, dir::ReadWrite);
        item.Details.scaling = common::Scaling { 0, 4000, 0, 100 };
        item.Details.units = "%";
        ASSERT_TRUE(Read(item, c.raw));
        EXPECT_EQ(item.Label.Text(), c.shown) << c.raw;
        script.Clear();
        const auto answer = comm::CheckPoke(item, c.poke, driver.get());
        if (std::string(c.outcome).starts_with("Write")) {
            ASSERT_EQ(answer, std::nullopt) << c.poke << ": " << answer->reason;
            item.Label.SetText(c.poke);
            ASSERT_TRUE(Write(item));
            EXPECT_EQ(script.Calls(), (Calls { c.outcome }));
        } else {
            ASSERT_TRUE(answer) << c.poke;
            EXPECT_NE(answer->reason.find(c.outcome), std::string::npos) << answer->reason;
        }
    }
}
