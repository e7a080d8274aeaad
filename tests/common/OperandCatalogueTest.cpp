#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

using namespace tavrel::common;

TEST(OperandCatalogue, OnlyTheListedCodesHaveNames)
{
    EXPECT_EQ(OperandTypeName(44), "T (Current)");
    EXPECT_EQ(OperandTypeName(39), "T (Preset)");
    for (const std::int32_t code : {-1, 0, 8, 13, 15, 17, 35, 37, 38, 40, 43, 47, 63, 68, 1000}) {
        EXPECT_EQ(OperandTypeName(code), "") << "code " << code;
        EXPECT_EQ(FindOperand(code), nullptr) << "code " << code;
    }
    std::set<std::string_view> names;
    for (const OperandInfo& info : Operands()) {
        EXPECT_EQ(FindOperand(info.code), &info);
        EXPECT_TRUE(names.insert(info.name).second) << "name " << info.name << " twice";
    }
    EXPECT_EQ(names.size(), 21U);
}

TEST(OperandCatalogue, TimersAndCountersAreBatchedAsOneRequestEach)
{
    for (const OperandInfo& info : Operands()) {
        SCOPED_TRACE(std::string(info.name));
        const bool timer = info.code == operand::TBit || info.code == operand::TPreset
            || info.code == operand::TCurrent;
        const bool counter = info.code == operand::CBit || info.code == operand::CPreset
            || info.code == operand::CCurrent;
        EXPECT_EQ(info.batchCode, timer ? 11 : counter ? 12 : info.code);
    }
    EXPECT_EQ(FindOperand(operand::MF)->field, ValueField::SwappedFloatWord);
    EXPECT_EQ(FindOperand(operand::TPreset)->field, ValueField::TimerPreset);
    EXPECT_EQ(FindOperand(operand::TCurrent)->field, ValueField::TimerCurrent);
    EXPECT_EQ(FindOperand(operand::CPreset)->field, ValueField::CounterPreset);
    EXPECT_EQ(FindOperand(operand::CCurrent)->field, ValueField::CurrencyValue);
}

TEST(OperandCatalogue, OnlyInputsAndTimerAndCounterBitsAreNeverWritten)
{
    for (const OperandInfo& info : Operands()) {
        SCOPED_TRACE(std::string(info.name));
        const bool readOnly = info.code == operand::I || info.code == operand::TBit || info.code == operand::CBit;
        const bool neverReadAlone = info.code == operand::TBit || info.code == operand::SDW;
        EXPECT_EQ(info.write == ExchangeKind::None, readOnly);
        EXPECT_EQ(info.read == ExchangeKind::None, neverReadAlone);
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
