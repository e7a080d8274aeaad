#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

using namespace tavrel::common;

TEST(OperandCatalogue, OnlyTheListedCodesAreFound)
{
    for (const OperandInfo& info : Operands()) {
        EXPECT_EQ(FindOperand(info.code), &info) << info.name;
    }
    for (const std::int32_t code : { -1, 0, 8, 13, 43, 47, 1000 }) {
        EXPECT_EQ(FindOperand(code), nullptr) << "code " << code;
        EXPECT_EQ(OperandTypeName(code), "") << "code " << code;
    }
}

namespace {

struct RangeCase
{
    std::int32_t plcType;
    std::int32_t operandType;
    std::string_view start;
    std::string_view length;
    bool legal;
};

} // namespace

TEST(OperandCatalogue, ARunIsLegalWhenItsLastAddressIsWithinTheLimit)
{
    using namespace operand;
    const RangeCase cases[] = {
        {0, MB, "8190", "2", true}, {0, MB, "8190", "3", false}, {3, MB, "4095", "1", true},
        {4, MB, "4096", "1", false}, {5, MB, "511", "1", true}, {3, XB, "0", "1", false},
        {4, XDW, "0", "1", false}, {5, XB, "63", "1", true}, {5, XB, "64", "1", false},
        {0, SL, "55", "1", true}, {0, SL, "55", "2", false}, {1, MF, "255", "1", true},
        {2, MF, "256", "1", false}, {1, TCurrent, "63", "1", true}, {1, TCurrent, "64", "1", false},
        {2, TBit, "60", "4", true}, {2, CBit, "255", "1", true},
        {1, 8, "255", "1", true}, // that family checks every code against its general limit
        {0, 8, "0", "1", false}, {5, 0, "0", "1", false}, {6, MB, "0", "1", false}, {-1, MB, "0", "1", false},
        // Only the last address counts, fractions and all.
        {0, MB, "-3", "5", true}, {0, MB, "-3", "3", false}, {0, MB, "0", "0", false},
        {0, MB, "0.5", "1", true}, {0, MB, "8191.5", "1", false}, {0, MB, "8190.5", "1.5", true},
        // Texts that are not numbers, or too large for any address.
        {0, MB, "0", "abc", false}, {0, MB, "", "1", false}, {0, MB, " 10 ", " 1 ", true},
        {0, MB, "0", "1e10", false}, {0, MB, "1e400", "1", false}, {0, MB, "-1e400", "1e400", false},
    };
    for (const RangeCase& c : cases) {
        SCOPED_TRACE("PLC type " + std::to_string(c.plcType) + ", operand " + std::to_string(c.operandType)
                     + ", start \"" + std::string(c.start) + "\", length \"" + std::string(c.length) + "\"");
        EXPECT_EQ(IsOperandRangeLegal(c.plcType, c.operandType, c.start, c.length), c.legal);
    }
}
