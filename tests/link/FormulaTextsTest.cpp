#include "link/FormulaTexts.h"

#include "model/clsPlc.h"

#include <gtest/gtest.h>

using namespace tavrel;

namespace {

// Items on labels from `firstLabel` on; a vector when `length` is more than 1.
struct Fixture
{
    model::LabelArray labels;
    model::clsPlc plc { labels };

    const model::Clsitem& Item(std::int32_t firstLabel, std::int32_t length)
    {
        std::int32_t label = firstLabel;
        EXPECT_TRUE(plc.AddItems(length, 0, 3, 2, true, label));
        return *plc.colItems().back();
    }
};

const std::string kWriteBlock7 = "   '/ Write value from sheet(Sheet1XXX).cell(A1XXX) to DDE Name: lblDDE(7)\r\n"
                                 "   lchannelNumber = Application.DDEInitiate(\"Tavrel\", \"Items\")\r\n"
                                 "   Set RangeToPoke = Worksheets(\"Sheet1XXX\").Range(\"A1XXX\")\r\n"
                                 "   Application.DDEPoke lchannelNumber, \"lblDDE(7)\", RangeToPoke\r\n"
                                 "   Application.DDETerminate lchannelNumber\r\n";

} // namespace

TEST(FormulaTexts, ReadFormulaIsOneLinePerElement)
{
    Fixture scalar, vector;
    EXPECT_EQ(link::ReadCommandText(scalar.Item(7, 1)), "=Tavrel|Items!'lblDDE(7)'");
    EXPECT_EQ(link::ReadCommandText(vector.Item(5, 3)),
              "=Tavrel|Items!'lblDDE(5)'\r\n=Tavrel|Items!'lblDDE(6)'\r\n=Tavrel|Items!'lblDDE(7)'\r\n");
    EXPECT_EQ(link::ReadCommandText(vector.plc.colItems().back()->colItems()[1]), "=Tavrel|Items!'lblDDE(6)'")
        << "an element row copies its own formula";
}

TEST(FormulaTexts, WriteMacroDeclaresOnceAndEndsEveryBlockOfAVectorWithAnEmptyLine)
{
    Fixture scalar, vector;
    EXPECT_EQ(link::WriteMacroText(scalar.Item(7, 1)), "Dim lchannelNumber   As Long\r\n\r\n" + kWriteBlock7);
    std::string block6 = kWriteBlock7;
    for (const std::string from : { "lblDDE(7)", "lblDDE(7)" }) {
        block6.replace(block6.find(from), from.size(), "lblDDE(6)");
    }
    EXPECT_EQ(link::WriteMacroText(vector.Item(6, 2)),
              "Dim lchannelNumber   As Long\r\n\r\n" + block6 + "\r\n" + kWriteBlock7 + "\r\n");
}

TEST(FormulaTexts, PlcMacrosSendTheNameAndVerb)
{
    const std::string head = "Dim lchannelNumber   As Long\r\n\r\n";
    const std::string open = "   lchannelNumber = Application.DDEInitiate(\"Tavrel\", \"Items\")\r\n";
    const std::string close = "   Application.DDETerminate lchannelNumber\r\n\r\n";
    EXPECT_EQ(link::StopPlcMacroText("Line_1"),
              head + "   '/ Stop PLC \r\n" + open + "   Application.DDEExecute lchannelNumber, \"Line_1_STOP\"\r\n"
                  + close);
    EXPECT_EQ(link::RunPlcMacroText("Line_1"),
              head + "   '/ Run PLC \r\n" + open + "   Application.DDEExecute lchannelNumber, \"Line_1_RUN\"\r\n"
                  + close);
    EXPECT_EQ(link::RunStopMacroText(),
              head + "   '/ Run/stop Tavrel \r\n" + open
                  + "   Application.DDEExecute lchannelNumber, \"Tavrel_RUN/STOP\"\r\n" + close);
    EXPECT_EQ(link::StopPlcMacroText(""), "");
    EXPECT_EQ(link::RunPlcMacroText(""), "");
}
