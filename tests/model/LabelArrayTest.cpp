#include "model/LabelArray.h"

#include <gtest/gtest.h>

using namespace tavrel::model;

TEST(LabelArray, LoadingALoadedIndexFails)
{
    LabelArray labels;
    ASSERT_TRUE(labels.Load(3));
    EXPECT_FALSE(labels.Load(3));
}
