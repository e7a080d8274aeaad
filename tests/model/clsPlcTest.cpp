#include "model/clsPlc.h"

#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

using namespace tavrel::model;
using namespace tavrel::common;

namespace {

constexpr std::int32_t kNextFree = -1;

// Adds an item of `count` "MI" operands from address 10 with the next free labels; returns its key.
std::int32_t AddReadItems(clsPlc& plc, std::int32_t count)
{
    std::int32_t startLabel = kNextFree;
    EXPECT_TRUE(plc.AddItems(count, 10, operand::MI, direction::Read, true, startLabel));
    return plc.colItems().back()->Key;
}

// Adds an item of `count` "MB" operands with labels from `startLabel` on; returns the first label's index.
std::int32_t AddItemsFromLabel(clsPlc& plc, std::int32_t count, std::int32_t startLabel)
{
    EXPECT_TRUE(plc.AddItems(count, 0, operand::MB, direction::Read, true, startLabel));
    return startLabel;
}

} // namespace

TEST(clsPlc, CommParamsTextNamesTheChannel)
{
    struct Case
    {
        PathWay pathWay;
        std::int16_t comPort;
        std::int32_t baudRate;
        std::string_view remoteIp;
        std::int32_t remotePort;
        std::string_view text;
    };
    const Case cases[] = {
        { PathWay::Serial, 3, 9600, "", 0, "COM 3 ; 9600" },
        { PathWay::Serial, 12, 115200, "10.0.0.1", 502, "COM 12 ; 115200" },
        { PathWay::TcpIp, 1, 57600, "", 0, "TCP/IP ;  ; 0" },
        { PathWay::TcpIp, 1, 57600, "192.168.1.10", 5000, "TCP/IP ; 192.168.1.10 ; 5000" },
        { PathWay { 0 }, 1, 57600, "192.168.1.10", 5000, "" },
        { PathWay { 3 }, 1, 57600, "", 0, "" },
    };
    LabelArray labels;
    clsPlc plc(labels);
    EXPECT_EQ(plc.GetCommParamsAsString(), "COM 1 ; 57600"); // a new PLC's serial defaults
    for (const Case& c : cases) {
        CommParams params;
        params.PathWay = c.pathWay;
        params.SerialComPort = c.comPort;
        params.SerialBaudRate = c.baudRate;
        params.EthRemoteIP = std::string(c.remoteIp);
        params.EthRemotePort = c.remotePort;
        plc.SetCommParams(params);
        EXPECT_EQ(plc.GetCommParamsAsString(), c.text) << "path way " << static_cast<int>(c.pathWay);
    }
}

TEST(clsPlc, ItemKeysStartAt2AndFollowTheLargestKeyIncludingVectors)
{
    LabelArray labels;
    clsPlc plc(labels);
    EXPECT_EQ(AddReadItems(plc, 3), 2);
    for (const Clsitem& child : plc.colItems().back()->colItems()) {
        EXPECT_EQ(child.Key, 2);
    }
    EXPECT_EQ(AddReadItems(plc, 1), 3);
    ASSERT_TRUE(plc.RemoveItem(3));
    EXPECT_EQ(AddReadItems(plc, 1), 3);
    ASSERT_TRUE(plc.RemoveItem(2));
    EXPECT_EQ(AddReadItems(plc, 2), 4);
}

TEST(clsPlc, LabelIndexesFollowTheHighestLoadedLabelAndGapsStayFree)
{
    LabelArray labels;
    clsPlc plc(labels);
    EXPECT_EQ(AddItemsFromLabel(plc, 5, kNextFree), 1);
    EXPECT_EQ(plc.colItems().back()->colItems().back().Label.Index(), 5);
    EXPECT_EQ(AddItemsFromLabel(plc, 1, kNextFree), 6);

    LabelArray storedLabels;
    clsPlc stored(storedLabels);
    AddItemsFromLabel(stored, 1, 1);
    AddItemsFromLabel(stored, 1, 10);
    EXPECT_EQ(AddItemsFromLabel(stored, 1, kNextFree), 11);
    EXPECT_FALSE(storedLabels.IsLoaded(5));
}

TEST(clsPlc, AddItemsRefusesWhatCannotBeAddedWithoutLoadingALabel)
{
    LabelArray labels;
    clsPlc plc(labels);
    constexpr std::int32_t kLargest = std::numeric_limits<std::int32_t>::max();
    const struct
    {
        std::int32_t count;
        std::int32_t address;
        std::int32_t startLabel;
    } refused[] = {
        { 0, 0, kNextFree },
        { -1, 0, kNextFree },
        { std::numeric_limits<std::int32_t>::min(), 0, kNextFree },
        { 3, 0, 32766 },
        { kLargest, 0, 32767 },
        { 1, 0, 0 }, // labels past 32767, or label 0
        { 2, kLargest, kNextFree }, // addresses past the largest whole number
    };
    for (const auto& c : refused) {
        std::int32_t startLabel = c.startLabel;
        EXPECT_FALSE(plc.AddItems(c.count, c.address, operand::MI, direction::Read, true, startLabel))
            << c.count << " from address " << c.address << " and label " << c.startLabel;
        EXPECT_EQ(labels.LoadedCount(), 1U);
    }
    EXPECT_TRUE(plc.colItems().empty());

    std::int32_t startLabel = 32766;
    ASSERT_TRUE(plc.AddItems(2, kLargest - 1, operand::MI, direction::Read, true, startLabel));
    EXPECT_EQ(plc.colItems().back()->colItems().back().OperandAddress, kLargest);
    startLabel = kNextFree;
    EXPECT_FALSE(plc.AddItems(1, 0, operand::MI, direction::Read, true, startLabel)) << "no label after 32767";
    EXPECT_EQ(plc.colItems().size(), 1U);
}

TEST(clsPlc, AddItemsThatMeetsALoadedLabelUnloadsWhatItLoaded)
{
    LabelArray labels;
    clsPlc plc(labels);
    ASSERT_TRUE(labels.Load(3)); // another item's label
    ASSERT_TRUE(labels.SetText(3, "theirs"));

    std::int32_t startLabel = 1;
    const auto added = plc.AddItems(5, 0, operand::MI, direction::Read, true, startLabel);
    ASSERT_FALSE(added);
    EXPECT_NE(added.error().find("lblDDE(3)"), std::string::npos) << added.error();
    EXPECT_FALSE(labels.IsLoaded(1));
    EXPECT_FALSE(labels.IsLoaded(2));
    EXPECT_EQ(labels.Text(3), "theirs");
    EXPECT_EQ(labels.LoadedCount(), 2U);
    EXPECT_TRUE(plc.colItems().empty());
}

TEST(clsPlc, RemovingAVectorUnloadsAllItsLabelsAndLeavesOthers)
{
    LabelArray labels;
    clsPlc plc(labels);
    const std::int32_t single = AddReadItems(plc, 1);
    const std::int32_t vector = AddReadItems(plc, 4);
    ASSERT_TRUE(plc.RemoveItem(vector));
    EXPECT_EQ(labels.HighestIndex(), 1);
    EXPECT_EQ(labels.LoadedCount(), 2U);
    ASSERT_EQ(plc.colItems().size(), 1U);
    EXPECT_EQ(plc.colItems().front()->Key, single);

    const auto missing = plc.RemoveItem(vector);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find(std::to_string(vector)), std::string::npos) << missing.error();
    EXPECT_EQ(plc.colItems().size(), 1U);
}
