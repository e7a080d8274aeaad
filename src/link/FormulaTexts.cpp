#include "link/FormulaTexts.h"

#include "model/LabelArray.h"

namespace tavrel::link {

namespace {

// The fragments the spreadsheet macros are made of; every blank counts.
constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kDeclareChannel = "Dim lchannelNumber   As Long";
constexpr std::string_view kWriteComment = "   '/ Write value from sheet(Sheet1XXX).cell(A1XXX) to DDE Name: ";
constexpr std::string_view kInitiate = "   lchannelNumber = Application.DDEInitiate(\"";
constexpr std::string_view kInitiateTopic = "\", \"";
constexpr std::string_view kInitiateEnd = "\")";
constexpr std::string_view kRange = "   Set RangeToPoke = Worksheets(\"Sheet1XXX\").Range(\"A1XXX\")";
constexpr std::string_view kPoke = "   Application.DDEPoke lchannelNumber, \"";
constexpr std::string_view kPokeEnd = "\", RangeToPoke";
constexpr std::string_view kTerminate = "   Application.DDETerminate lchannelNumber";
constexpr std::string_view kStopComment = "   '/ Stop PLC ";
constexpr std::string_view kExecute = "   Application.DDEExecute lchannelNumber, \"";
constexpr std::string_view kStopEnd = "_STOP\"";
constexpr std::string_view kRunComment = "   '/ Run PLC ";
constexpr std::string_view kRunEnd = "_RUN\"";
constexpr std::string_view kRunStopComment = "   '/ Run/stop Tavrel ";
constexpr std::string_view kRunStopEnd = "_RUN/STOP\"";
constexpr std::string_view kFormulaStart = "=";
constexpr std::string_view kFormulaTopic = "|";
constexpr std::string_view kFormulaItem = "!'";
constexpr std::string_view kFormulaEnd = "'";

struct Lines
{
    std::string text;
    Lines& operator<<(std::string_view part)
    {
        text += part;
        return *this;
    }
    Lines& End()
    {
        text += kLineBreak;
        return *this;
    }
};

void AppendWriteBlock(Lines& lines, std::string_view topic, std::int32_t labelIndex, bool first)
{
    const std::string name = model::LabelName(labelIndex);
    if (first) {
        (lines << kDeclareChannel).End().End();
    }
    (lines << kWriteComment << name).End();
    (lines << kInitiate << kService << kInitiateTopic << topic << kInitiateEnd).End();
    (lines << kRange).End();
    (lines << kPoke << name << kPokeEnd).End();
    (lines << kTerminate).End();
}

std::string PlcMacro(std::string_view plcName, std::string_view topic, std::string_view comment, std::string_view end)
{
    if (plcName.empty()) {
        return {};
    }
    Lines lines;
    (lines << kDeclareChannel).End().End();
    (lines << comment).End();
    (lines << kInitiate << kService << kInitiateTopic << topic << kInitiateEnd).End();
    (lines << kExecute << plcName << end).End();
    (lines << kTerminate).End();
    lines.End();
    return lines.text;
}

} // namespace

std::string ReadFormula(std::string_view topic, std::int32_t labelIndex)
{
    Lines lines;
    lines << kFormulaStart << kService << kFormulaTopic << topic << kFormulaItem << kItemNameStart
          << std::to_string(labelIndex) << kItemNameEnd << kFormulaEnd;
    return lines.text;
}

std::string ReadCommandText(const model::Clsitem& item, std::string_view topic)
{
    if (!item.IsArray) {
        return ReadFormula(topic, item.Label.Index());
    }
    Lines lines;
    for (const model::Clsitem& element : item.colItems()) {
        (lines << ReadFormula(topic, element.Label.Index())).End();
    }
    return lines.text;
}

std::string WriteMacroText(const model::Clsitem& item, std::string_view topic)
{
    Lines lines;
    if (!item.IsArray) {
        AppendWriteBlock(lines, topic, item.Label.Index(), true);
        return lines.text;
    }
    bool first = true;
    for (const model::Clsitem& element : item.colItems()) {
        AppendWriteBlock(lines, topic, element.Label.Index(), first);
        lines.End();
        first = false;
    }
    return lines.text;
}

std::string StopPlcMacroText(std::string_view plcName, std::string_view topic)
{
    return PlcMacro(plcName, topic, kStopComment, kStopEnd);
}

std::string RunPlcMacroText(std::string_view plcName, std::string_view topic)
{
    return PlcMacro(plcName, topic, kRunComment, kRunEnd);
}

std::string RunStopMacroText(std::string_view topic)
{
    Lines lines;
    (lines << kDeclareChannel).End().End();
    (lines << kRunStopComment).End();
    (lines << kInitiate << kService << kInitiateTopic << topic << kInitiateEnd).End();
    (lines << kExecute << kService << kRunStopEnd).End();
    (lines << kTerminate).End();
    lines.End();
    return lines.text;
}

} // namespace tavrel::link
