#include "common/ItemRules.h"

#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <string>

using namespace tavrel::common;

namespace {

constexpr const char* kAccepted = "";
constexpr const char* kNotOnQ40 = "Q40 does not supports the selected Operand type.";
constexpr const char* kQ40Timers = "Timers cannot be writen in Q40.";

struct RuleCase
{
    std::int32_t plcType;
    std::int32_t operandType;
    std::int32_t direction;
    const char* start;
    const char* length;
    const char* message; ///< kAccepted when the draft passes
};

std::string Outcome(const ItemDraft& draft)
{
    const auto run = CheckItemDraft(draft);
    return run ? std::string(kAccepted) : run.error();
}

} // namespace

TEST(ItemRules, TheFirstBrokenRuleIsTheOneReported)
{
    using namespace operand;
    constexpr auto R = direction::Read;
    constexpr auto W = direction::Write;
    constexpr auto RW = direction::ReadWrite;
    const RuleCase cases[] = {
        // The length comes first, whatever else is wrong.
        { 1, DW, W, "x", "ab", "Length must be positive numeric value." },
        { 0, MI, R, "0", "-1", "Length must be positive numeric value." },
        { 0, MI, R, "0", "0", "Length must be between 1 - 50" },
        { 0, MI, R, "0", "51", "Length must be between 1 - 50" },
        { 0, MI, R, "0", "50", kAccepted },
        // The Q40 family refuses some operand types whatever the address, and writes to its timers.
        { 1, DW, R, "9999", "1", kNotOnQ40 },
        { 2, CBit, W, "0", "1", kNotOnQ40 },
        { 1, TCurrent, RW, "9999", "1", kQ40Timers },
        { 2, TPreset, W, "0", "1", kQ40Timers },
        { 1, TCurrent, R, "0", "1", kAccepted },
        { 0, TCurrent, RW, "0", "1", kAccepted },
        { 3, DW, W, "0", "1", kAccepted },
        // The addresses: the last one within the family's limit, the first not negative.
        { 0, MB, R, "8190", "2", kAccepted },
        { 0, MB, R, "8191", "2", "Operand address is not legal. Address 0\u20138191 for MB on this PLC type." },
        { 1, MI, W, "255", "1", kAccepted },
        { 1, MI, W, "250", "10", "Operand address is not legal. Address 0\u2013255 for MI on this PLC type." },
        { 0, MI, R, "-1", "2", "Operand address is not legal. Address 0\u20134095 for MI on this PLC type." },
        { 0, MI, R, "", "1", "Operand address is not legal. Address 0\u20134095 for MI on this PLC type." },
        { 3, XB, R, "0", "1",
          "Operand address is not legal. XB has no legal address on this PLC type." }, // offered on Orbis-B, but legal
                                                                                       // nowhere there
        { 5, XB, R, "63", "1", kAccepted },
        { 9, MI, R, "0", "1",
          "Operand address is not legal. MI has no legal address on this PLC type." }, // no family, no legal address
        // Bits of timers and counters are never written.
        { 0, TBit, W, "0", "1", "Timer Bit cannot be writen." },
        { 2, TBit, RW, "0", "1", "Timer Bit cannot be writen." },
        { 5, CBit, RW, "0", "1", "Counter Bit cannot be writen." },
        { 4, CBit, R, "0", "1", kAccepted },
        { 1, TBit, R, "0", "1", kAccepted },
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE("PLC type " + std::to_string(c.plcType) + ", operand " + std::to_string(c.operandType)
                     + ", direction " + std::to_string(c.direction) + ", start \"" + c.start + "\", length \""
                     + c.length + "\"");
        EXPECT_EQ(Outcome({ c.plcType, c.operandType, c.direction, c.start, c.length }), c.message);
    }
}

TEST(ItemRules, AnAcceptedDraftGivesItsRunInWholeNumbers)
{
    const auto run = CheckItemDraft({ 0, operand::MI, direction::Read, "10", "3" });
    ASSERT_TRUE(run);
    EXPECT_EQ(run->start, 10);
    EXPECT_EQ(run->length, 3);
    // Halves go to the even neighbour, as everywhere a text becomes a whole number.
    const auto rounded = CheckItemDraft({ 0, operand::MI, direction::Read, "2.5", "1.5" });
    ASSERT_TRUE(rounded);
    EXPECT_EQ(rounded->start, 2);
    EXPECT_EQ(rounded->length, 2);
}
