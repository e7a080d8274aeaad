#include "common/FieldRanges.h"

#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace tavrel::common;

namespace {

struct FieldCase
{
    std::function<std::optional<std::string>(std::string_view)> check;
    const char* typed;
    const char* problem; ///< empty when the text fits
};

} // namespace

TEST(FieldRanges, ATextThatDoesNotFitIsAnsweredWithItsRange)
{
    const auto miOnOrbisA = [](std::string_view text) { return StartAddressProblem(0, operand::MI, text); };
    const auto xbOnOrbisB = [](std::string_view text) { return StartAddressProblem(3, operand::XB, text); };
    const FieldCase cases[] = {
        { miOnOrbisA, "4095", "" },
        { miOnOrbisA, "70000", "Address 0\u20134095 for MI on this PLC type" },
        { miOnOrbisA, "-1", "Address 0\u20134095 for MI on this PLC type" },
        { miOnOrbisA, "x", "Address 0\u20134095 for MI on this PLC type" },
        { xbOnOrbisB, "0", "XB has no legal address on this PLC type" },
        { LengthProblem, "50", "" },
        { LengthProblem, "0", "Length 1\u201350" },
        { LengthProblem, "51", "Length 1\u201350" },
        { RemotePortProblem, " 502 ", "" },
        { RemotePortProblem, "65535", "" },
        { RemotePortProblem, "0", "Port 1\u201365535" },
        { RemotePortProblem, "99999", "Port 1\u201365535" },
        { RemotePortProblem, "", "Port 1\u201365535" },
        { RemotePortProblem, "http", "Port 1\u201365535" },
        { IpAddressProblem, "10.0.", "" }, // incomplete, not wrong
        { IpAddressProblem, "255.255.255.255", "" },
        { IpAddressProblem, "300.1.2.3", "Each part of an IP address is 0\u2013255" },
        { IpAddressProblem, "1.2.3.0004", "Each part of an IP address is 0\u2013255" },
        { IpAddressProblem, "1.2.3.4.5", "An IP address has four parts, each 0\u2013255" },
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(std::string("typed \"") + c.typed + "\"");
        EXPECT_EQ(c.check(c.typed).value_or(""), c.problem);
    }
}
