#include "common/PlcFamilies.h"

#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>

using namespace tavrel::common;

TEST(PlcFamilies, OnlyTheListedCodesAreFound)
{
    std::set<std::int32_t> codes;
    for (const PlcFamily& family : PlcFamilies()) {
        EXPECT_TRUE(codes.insert(family.code).second) << "code " << family.code << " is listed twice";
        EXPECT_EQ(FindPlcFamily(family.code), &family) << family.name;
        EXPECT_EQ(PlcTypeName(family.code), family.name);
    }
    for (const std::int32_t code : { -1, 7, 100 }) {
        EXPECT_EQ(FindPlcFamily(code), nullptr) << "code " << code;
        EXPECT_EQ(PlcTypeName(code), "") << "code " << code;
        EXPECT_FALSE(IsBatchedPlcType(code)) << "code " << code;
        EXPECT_FALSE(OperandAddressLimit(code, operand::MB)) << "code " << code;
    }
}

TEST(PlcFamilies, EveryFamilyNamesOnlyOperandsOfTheCatalogueAndRefusesOnlyWhatItOffers)
{
    for (const PlcFamily& family : PlcFamilies()) {
        SCOPED_TRACE(std::string(family.name));
        const auto offered = [&](std::int32_t code) {
            return std::find(family.offered.begin(), family.offered.end(), code) != family.offered.end();
        };
        std::set<std::int32_t> listed;
        for (const std::int32_t code : family.offered) {
            EXPECT_NE(FindOperand(code), nullptr) << "offered code " << code;
            EXPECT_TRUE(listed.insert(code).second) << "code " << code << " is offered twice";
        }
        for (const std::int32_t code : family.unsupported) {
            EXPECT_TRUE(offered(code)) << "refused code " << code << " is not offered";
        }
        for (const OperandLimit& limit : family.limits) {
            EXPECT_NE(FindOperand(limit.operandType), nullptr) << "limited code " << limit.operandType;
            EXPECT_GE(limit.highest, 0) << "code " << limit.operandType;
            EXPECT_EQ(OperandAddressLimit(family.code, limit.operandType), limit.highest);
        }
    }
}
