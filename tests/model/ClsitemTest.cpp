#include "model/Clsitem.h"

#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

using namespace tavrel::model;
using namespace tavrel::common;

namespace {

// Loads labels first..first+count-1 and gives references to them.
std::vector<Label> LoadLabels(LabelArray& labels, std::int32_t first, std::int32_t count)
{
    std::vector<Label> loaded;
    for (std::int32_t index = first; index < first + count; ++index) {
        EXPECT_TRUE(labels.Load(index));
        loaded.emplace_back(labels, index);
    }
    return loaded;
}

Clsitem VectorParent()
{
    Clsitem parent;
    parent.OperandType = operand::ML;
    parent.OperandAddress = 100;
    parent.IoDirection = direction::ReadWrite;
    parent.IsEnable = false;
    parent.IsArray = true;
    parent.Key = 7;
    return parent;
}

} // namespace

TEST(Clsitem, ChildrenTakeTheParentsTypeDirectionAndConsecutiveAddresses)
{
    LabelArray labels;
    Clsitem parent = VectorParent();
    // The start address and type arguments are not used: the parent's own fields are.
    parent.AddIChildItems(5, 999, operand::MB, LoadLabels(labels, 20, 5), true, 7);

    ASSERT_EQ(parent.colItems().size(), 5U);
    for (std::int32_t i = 0; i < 5; ++i) {
        SCOPED_TRACE("child " + std::to_string(i));
        const Clsitem& child = parent.colItems()[static_cast<std::size_t>(i)];
        EXPECT_EQ(child.OperandAddress, 100 + i);
        EXPECT_EQ(child.OperandType, operand::ML);
        EXPECT_EQ(child.IoDirection, direction::ReadWrite);
        EXPECT_TRUE(child.IsEnable);
        EXPECT_FALSE(child.IsArray);
        EXPECT_EQ(child.Key, 7);
        EXPECT_EQ(child.Label.Index(), 20 + i);
        EXPECT_TRUE(child.colItems().empty());
    }
    EXPECT_EQ(parent.Length(), 5);
    EXPECT_EQ(parent.FirstLabelIndex(), 20);

    const std::vector<Label> oneLabel = LoadLabels(labels, 30, 1);
    for (const std::int32_t count : { 0, -1 }) {
        Clsitem empty = VectorParent();
        empty.AddIChildItems(count, 100, operand::ML, oneLabel, true, 7);
        EXPECT_TRUE(empty.colItems().empty()) << "count " << count;
    }
}

TEST(Clsitem, UnloadingUnloadsTheLabelsOfTheItemOrOfEveryChildAndKeepsTheReferences)
{
    LabelArray labels;
    ASSERT_TRUE(labels.Load(4));
    Clsitem parent = VectorParent();
    parent.AddIChildItems(3, 100, operand::ML, LoadLabels(labels, 1, 3), true, 7);
    Clsitem single;
    single.Label = LoadLabels(labels, 6, 1).front();

    parent.UnloadLabels();
    single.UnloadLabels();
    EXPECT_EQ(labels.HighestIndex(), 4);
    EXPECT_EQ(labels.LoadedCount(), 2U);
    ASSERT_EQ(parent.colItems().size(), 3U);
    EXPECT_EQ(parent.colItems()[2].Label.Index(), 3);
    EXPECT_EQ(single.Label.Index(), 6);
}

TEST(Clsitem, NoChildIsMadePastTheLargestAddress)
{
    LabelArray labels;
    Clsitem parent = VectorParent();
    parent.OperandAddress = std::numeric_limits<std::int32_t>::max() - 1;
    parent.AddIChildItems(3, 0, operand::ML, LoadLabels(labels, 1, 3), true, 7);
    ASSERT_EQ(parent.colItems().size(), 2U);
    EXPECT_EQ(parent.colItems().back().OperandAddress, std::numeric_limits<std::int32_t>::max());
}

TEST(Clsitem, ASingleItemIsItsOwnOperandAndAVectorsOperandsAreItsChildren)
{
    LabelArray labels;
    Clsitem single;
    ASSERT_EQ(single.Operands().size(), 1U);
    EXPECT_EQ(&single.Operands().front(), &single);

    Clsitem vector = VectorParent();
    vector.AddIChildItems(3, 100, operand::ML, LoadLabels(labels, 1, 3), true, 7);
    const Clsitem& readOnly = vector;
    ASSERT_EQ(readOnly.Operands().size(), 3U);
    EXPECT_EQ(readOnly.Operands().data(), vector.colItems().data());

    vector.colItems().clear();
    EXPECT_TRUE(vector.Operands().empty()); // never the vector itself
}
