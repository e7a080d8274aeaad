#include "model/clsConfig.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace tavrel::model;

namespace {

std::int32_t AddNamedPlc(clsConfig& config, const std::string& name)
{
    auto plc = config.NewPlc();
    plc->Name = name;
    return config.AddPLC(std::move(plc)).Key;
}

} // namespace

TEST(clsConfig, PlcKeysStartAt2AndFollowTheLargestKey)
{
    LabelArray labels;
    clsConfig config(labels);
    EXPECT_EQ(AddNamedPlc(config, "Line_1"), 2);
    EXPECT_EQ(AddNamedPlc(config, "Line_2"), 3);
    ASSERT_TRUE(config.RemovePLC(3));
    EXPECT_EQ(AddNamedPlc(config, "Line_3"), 3);
    ASSERT_TRUE(config.RemovePLC(2));
    EXPECT_EQ(AddNamedPlc(config, "Line_4"), 4);

    ASSERT_EQ(config.colPlcs().size(), 2U);
    EXPECT_EQ(config.colPlcs()[0]->Name, "Line_3");
    EXPECT_EQ(config.colPlcs()[1]->Name, "Line_4");
    EXPECT_EQ(config.FindPlc(4), config.colPlcs()[1].get());
    EXPECT_EQ(config.FindPlc(2), nullptr);

    const auto removed = config.RemovePLC(7);
    ASSERT_FALSE(removed);
    EXPECT_NE(removed.error().find('7'), std::string::npos) << removed.error();
    EXPECT_EQ(config.colPlcs().size(), 2U);
}

TEST(clsConfig, RemovingAPlcLeavesTheLabelsOfItsItemsLoaded)
{
    LabelArray labels;
    clsConfig config(labels);
    clsPlc& plc = config.AddPLC(config.NewPlc());
    std::int32_t startLabel = -1;
    ASSERT_TRUE(plc.AddItems(3, 0, 3, 0, true, startLabel));
    ASSERT_TRUE(config.RemovePLC(2));
    EXPECT_EQ(labels.HighestIndex(), 3);
}
