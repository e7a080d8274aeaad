#include "common/NumberText.h"

#include <gtest/gtest.h>

using namespace tavrel::common;

TEST(NumberText, WholeNumbersRoundHalvesToEven)
{
    EXPECT_EQ(ParseWholeNumber("2.5", -10, 10), 2);
    EXPECT_EQ(ParseWholeNumber(" 3.5 ", -10, 10), 4);
}
