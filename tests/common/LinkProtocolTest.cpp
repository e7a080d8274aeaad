#include "common/LinkProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using namespace tavrel::protocol;

namespace {

// One table for both widths: the link server reads UTF-8 names, the DDE gateway UTF-16 ones, and a name must mean
// the same to both.
struct NameCase
{
    const char* utf8;
    const wchar_t* utf16;
    int index; ///< -1: no item name
};

TEST(LinkProtocol, ItemNamesReadAlikeInEitherWidth)
{
    const NameCase cases[] = {
        { "lblDDE(7)", L"lblDDE(7)", 7 },
        { "LBLdde(0)", L"LBLdde(0)", 0 },
        { "lblDDE(32767)", L"lblDDE(32767)", 32767 },
        { "lblDDE(32768)", L"lblDDE(32768)", -1 },
        { "lblDDE(99999)", L"lblDDE(99999)", -1 },
        { "lblDDE(100000)", L"lblDDE(100000)", -1 },
        { "lblDDE(07)", L"lblDDE(07)", -1 },
        { "lblDDE( 7)", L"lblDDE( 7)", -1 },
        { "lblDDE(-1)", L"lblDDE(-1)", -1 },
        { "lblDDE()", L"lblDDE()", -1 },
        { "lblDDE(7", L"lblDDE(7", -1 },
        { "lblDDE(7) ", L"lblDDE(7) ", -1 },
        { "lblDDF(7)", L"lblDDF(7)", -1 },
        { "", L"", -1 },
        // an Arabic-Indic seven: a digit to iswdigit, not to the protocol
        { "lblDDE(\u0667)", L"lblDDE(\u0667)", -1 },
    };
    for (const NameCase& name : cases) {
        EXPECT_EQ(ParseLabelName(std::string_view(name.utf8)).value_or(-1), name.index) << name.utf8;
        EXPECT_EQ(ParseLabelName(std::wstring_view(name.utf16)).value_or(-1), name.index) << name.utf8;
    }
}

TEST(LinkProtocol, ItemNamesOfEveryIndexReadBack)
{
    for (std::int32_t index = 0; index <= kMaxLabelIndex; ++index) {
        ASSERT_EQ(ParseLabelName(LabelName(index)), index);
    }
}

TEST(LinkProtocol, OperationsAreNamedBothWaysAndNothingElseIsOne)
{
    const std::pair<Operation, std::string_view> names[] = { { Operation::Advise, "advise" },
                                                             { Operation::Unadvise, "unadvise" },
                                                             { Operation::Request, "request" },
                                                             { Operation::Poke, "poke" },
                                                             { Operation::Execute, "execute" } };
    for (const auto& [operation, name] : names) {
        EXPECT_EQ(OperationName(operation), name);
        EXPECT_EQ(ParseOperation(name), operation) << name;
    }
    for (const std::string_view other : { kEnded, kError, std::string_view("Advise"), std::string_view() }) {
        EXPECT_FALSE(ParseOperation(other).has_value()) << other;
    }
}

} // namespace
