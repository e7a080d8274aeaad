#include "storage/ProjectDatabase.h"

#include "StorageTestSupport.h"
#include "common/OperandCatalogue.h"
#include "common/PlcFamilies.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <optional>

using namespace tavrel;
using namespace tavrel::test;
namespace operand = tavrel::common::operand;
using model::clsConfig;
using model::clsPlc;
using model::CommParams;
using model::LabelArray;

namespace {

CommParams TcpParams()
{
    CommParams params;
    params.PathWay = model::PathWay::TcpIp;
    params.EthRemoteIP = "192.168.1.10";
    params.EthRemotePort = 502;
    params.UnitId = 255;
    params.PlcType = 3;
    params.TimeOut = 1500;
    params.NumRetries = 7;
    params.SerialComPort = 4;
    params.SerialBaudRate = 19200;
    params.DataBits = 7;
    params.Parity = 2;
    params.StopBits = 2;
    return params;
}

// A PLC as text: name, parameters and every item with the label of every operand.
std::string Describe(const clsPlc& plc)
{
    const CommParams& p = plc.Params();
    std::string text = plc.Name + " | " + std::to_string(static_cast<int>(p.PathWay)) + "," + std::to_string(p.UnitId)
        + "," + std::to_string(p.SerialBaudRate) + "," + std::to_string(p.DataBits) + "," + std::to_string(p.Parity)
        + "," + std::to_string(p.StopBits) + "," + std::to_string(p.TimeOut) + "," + std::to_string(p.NumRetries) + ","
        + std::to_string(p.SerialComPort) + "," + p.EthRemoteIP + "," + std::to_string(p.EthRemotePort) + ","
        + std::to_string(p.PlcType);
    for (const auto& item : plc.colItems()) {
        text += " | type " + std::to_string(item->OperandType) + " dir " + std::to_string(item->IoDirection)
            + (item->IsEnable ? " on" : " off") + (item->IsArray ? " vector" : " single") + ":";
        if (item->IsArray) {
            for (const auto& child : item->colItems()) {
                text += " " + std::to_string(child.OperandAddress) + "@" + std::to_string(child.Label.Index());
            }
        } else {
            text += " " + std::to_string(item->OperandAddress) + "@" + std::to_string(item->Label.Index());
        }
    }
    return text;
}

std::vector<std::string> Describe(const clsConfig& project)
{
    std::vector<std::string> plcs;
    for (const auto& plc : project.colPlcs()) {
        plcs.push_back(Describe(*plc));
    }
    return plcs;
}

// The name of a table-driven case.
template<typename Case> std::string NameOf(const testing::TestParamInfo<Case>& param)
{
    return param.param.name;
}

} // namespace

TEST(ProjectDatabase, SavedProjectOpensWithTheSamePlcsItemsAndLabels)
{
    TempDir dir;
    LabelArray labels;
    clsConfig project(labels);
    AddPlc(project, "Dropped", {}, {});
    AddPlc(project, "Line_1", {},
           { { 1, 10, operand::MI, 2, true, -1 }, // label 1
             { 5, 100, operand::ML, 0, true, -1 }, // labels 2 to 6
             { 1, 7, operand::O, 1, false, 20 }, // a gap before label 20
             { 1, 8, operand::O, 1, false, -1 } }); // label 21
    CommParams tcp = TcpParams();
    tcp.EthMode = 5;
    tcp.EthRemoteIP = "plc'7\".example'); DROP TABLE Items; --"; // quotes are stored, not run
    AddPlc(project, "O'Brien's \"Line\" ü", tcp, { { 8, 0, operand::TCurrent, 0, true, 30 } });
    ASSERT_TRUE(project.RemovePLC(2)); // the remaining PLC keys are 3 and 4
    ASSERT_TRUE(project.FindPlc(3)->RemoveItem(2)); // the remaining item keys are 3, 4 and 5

    const auto path = dir / "plant.tve";
    auto saved = storage::SaveToDB(project, path, BuiltTemplate());
    ASSERT_TRUE(saved) << saved.error();
    // The rows, column by column: PLCs numbered from 1 in project order, a vector as one item row.
    EXPECT_EQ(QueryRows(path, "SELECT ID FROM Plcs ORDER BY rowid"), (std::vector<std::string> { "1", "2" }));
    EXPECT_EQ(QueryRows(path,
                        "SELECT PlcID,PathWay,EthRemotePort,SerialComPort,SerialBaudRate,TimeOut,NumRetries,UnitID,"
                        "PlcType,DataBits,Parity,StopBits FROM CommParams WHERE PlcID=2"),
              (std::vector<std::string> { "2,2,502,4,19200,1500,7,255,3,7,2,2" }));
    EXPECT_EQ(
        QueryRows(path,
                  "SELECT PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex "
                  "FROM Items ORDER BY rowid"),
        (std::vector<std::string> { "1,5,100,5,0,-1,2", "1,10,7,1,1,0,20", "1,10,8,1,1,0,21", "2,44,0,8,0,-1,30" }));

    LabelArray reopenedLabels;
    auto reopened = LoadProject(path, reopenedLabels);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(Describe(project), Describe(*reopened));
    ASSERT_EQ(reopened->colPlcs().size(), 2U);
    EXPECT_EQ(reopened->colPlcs()[0]->Key, 2);
    EXPECT_EQ(reopened->colPlcs()[1]->Key, 3);
    EXPECT_EQ(reopened->colPlcs()[1]->Params().EthMode, 0); // not stored
    std::vector<std::int32_t> itemKeys;
    for (const auto& item : reopened->colPlcs()[0]->colItems()) {
        itemKeys.push_back(item->Key);
    }
    EXPECT_EQ(itemKeys, (std::vector<std::int32_t> { 2, 3, 4 }));
    EXPECT_EQ(reopenedLabels.LoadedCount(), labels.LoadedCount());
    EXPECT_EQ(reopenedLabels.HighestIndex(), 37);
}

struct FailingTemplate
{
    std::string name;
    std::optional<std::string> schema; ///< the template's tables; none: there is no template file
    std::string problem; ///< what the error must say
};

void PrintTo(const FailingTemplate& failing, std::ostream* out)
{
    *out << failing.name;
}

class SaveWithAFailingStatement : public testing::TestWithParam<FailingTemplate>
{
};

TEST_P(SaveWithAFailingStatement, LeavesTheFileAsItWas)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "broken");
    const auto brokenTemplate = dir.Path() / "broken" / "DDETemplate.tvb";
    if (GetParam().schema) {
        MakeDatabase(brokenTemplate, *GetParam().schema);
    }
    LabelArray labels;
    clsConfig project(labels);
    AddPlc(project, "A", {}, { { 1, 0, operand::MI, 0, true, 1 } });
    const auto path = dir / "plant.tve";
    ASSERT_TRUE(storage::SaveToDB(project, path, BuiltTemplate()));
    const std::string before = ReadBytes(path);

    AddPlc(project, "B", {}, { { 1, 0, operand::MI, 0, true, 2 }, { 1, 1, operand::MI, 0, true, 9 } });
    auto saved = storage::SaveToDB(project, path, brokenTemplate);
    ASSERT_FALSE(saved);
    EXPECT_NE(saved.error().find(GetParam().problem), std::string::npos) << saved.error();
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(FileNames(dir.Path()), (std::vector<std::string> { "broken", "plant.tve" }));
}

// Tables Plcs and CommParams as the template has them; each case below adds its own Items, or none.
const std::string kPlcsAndCommParams
    = "CREATE TABLE Plcs (ID INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT);"
      "CREATE TABLE CommParams (PlcID, PathWay, EthRemotePort, EthRemoteIP, SerialComPort, SerialBaudRate, TimeOut,"
      " NumRetries, UnitID, PlcType, DataBits, Parity, StopBits);";

INSTANTIATE_TEST_SUITE_P(
    ProjectDatabase, SaveWithAFailingStatement,
    testing::Values(FailingTemplate { "NoTemplate", std::nullopt, "Unable to find template file" },
                    FailingTemplate { "TableMissing", kPlcsAndCommParams, "no such table: Items" },
                    // The third item breaks a rule of the table: the save fails after rows were written.
                    FailingTemplate {
                        "ThirdItemRefused",
                        kPlcsAndCommParams
                            + "CREATE TABLE Items (PlcID, OprndType, OprndAddr, Oprndlength, CommDirection,"
                              " IsEnabled, LabelIndex CHECK (LabelIndex < 5));",
                        "cannot store item 2 of PLC \"B\"" }),
    NameOf<FailingTemplate>);

// The project that is open when a file fails to load: its labels must stay as they are.
class OpenProjectFixture
{
public:
    OpenProjectFixture()
        : m_project(m_labels)
    {
        AddPlc(m_project, "Open", {}, { { 3, 0, operand::MI, 0, true, -1 } });
        m_labels.SetText(2, "42");
    }
    LabelArray& Labels() { return m_labels; }
    void ExpectUntouched() const
    {
        EXPECT_EQ(m_labels.LoadedCount(), 4U);
        EXPECT_EQ(m_labels.HighestIndex(), 3);
        EXPECT_EQ(m_labels.Text(2), "42");
    }

private:
    LabelArray m_labels;
    clsConfig m_project;
};

TEST(ProjectDatabase, ALoadMeetingTakenLabelsGivesBackTheLabelsItLoaded)
{
    TempDir dir;
    LabelArray fileLabels;
    clsConfig fileProject(fileLabels);
    AddPlc(fileProject, "A", {}, { { 2, 0, operand::MI, 0, true, 10 }, { 1, 5, operand::MI, 0, true, 12 } });
    AddPlc(fileProject, "B", {}, { { 1, 0, operand::MI, 0, true, 2 } });
    const auto path = dir / "plant.tve";
    ASSERT_TRUE(storage::SaveToDB(fileProject, path, BuiltTemplate()));

    OpenProjectFixture open;
    auto loaded = storage::LoadFromDB(path, open.Labels());
    ASSERT_FALSE(loaded);
    EXPECT_NE(loaded.error().find("lblDDE(2) is already loaded"), std::string::npos) << loaded.error();
    open.ExpectUntouched();
}

struct BrokenFile
{
    std::string name;
    enum class Kind { Missing, Bytes, Schema, TemplateWithRows } kind;
    std::string content; ///< bytes, a schema, or statements run on a copy of the template
    std::string problem; ///< what the error must say
};

void PrintTo(const BrokenFile& broken, std::ostream* out)
{
    *out << broken.name;
}

class OpeningABrokenFile : public testing::TestWithParam<BrokenFile>
{
};

// One PLC with its parameters and one item: a good project to break.
constexpr const char* kGoodRows = "INSERT INTO Plcs (ID, Name) VALUES (1, 'A');"
                                  "INSERT INTO CommParams VALUES (1, 1, 0, '', 1, 57600, 6000, 3, 0, 0, 8, 0, 1, NULL);"
                                  "INSERT INTO Items VALUES (1, 3, 10, 1, 2, -1, 1);";

// Values outside the program's lists are the dialog's and the channel's to refuse, PLC by PLC and item by
// item; the file loads, and saves them back as they were.
TEST(ProjectDatabase, ValuesOutsideTheListsLoadAndSaveAsStored)
{
    TempDir dir;
    const auto path = dir / "odd.tve";
    MakeProjectFile(path,
                    std::string(kGoodRows)
                        + "UPDATE CommParams SET PlcType = 9, UnitID = 256, PathWay = 7;"
                          "INSERT INTO Items VALUES (1, 8, 0, 1, 0, -1, 2);"
                          "INSERT INTO Items VALUES (1, 3, 0, 1, 3, -1, 3);");
    LabelArray loadedLabels;
    auto loaded = LoadProject(path, loadedLabels);
    ASSERT_TRUE(loaded);
    const clsPlc& plc = *loaded->colPlcs().at(0);
    EXPECT_EQ(plc.GetCommParams().PathWay, model::PathWay { 7 });
    EXPECT_EQ(plc.GetCommParams().PlcType, 9);
    EXPECT_EQ(plc.GetCommParams().UnitId, 256);
    ASSERT_EQ(plc.colItems().size(), 3u);
    EXPECT_EQ(plc.colItems()[1]->OperandType, 8);
    EXPECT_EQ(plc.colItems()[2]->IoDirection, 3);

    ASSERT_TRUE(storage::SaveToDB(*loaded, dir / "again.tve", BuiltTemplate()));
    LabelArray labels;
    auto again = LoadProject(dir / "again.tve", labels);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->colPlcs().at(0)->GetCommParams(), plc.GetCommParams());
}

TEST(ProjectDatabase, AStoredScanIntervalComesBackAndOneOutOfRangeIsLeftOutWithANote)
{
    TempDir dir;
    const auto path = dir / "scan.tve";
    const std::pair<std::string, std::optional<std::int32_t>> stored[] = {
        { "NULL", std::nullopt },
        { "0", 0 },
        { "100", 100 },
        { "3600000", 3600000 },
        { "3600001", std::nullopt },
        { "-1", std::nullopt },
        { "'fast'", std::nullopt },
    };
    for (const auto& [value, scanMs] : stored) {
        std::filesystem::remove(path);
        MakeProjectFile(path, std::string(kGoodRows) + "UPDATE CommParams SET ScanMs = " + value + ";");
        auto data = storage::ReadProjectFile(path);
        ASSERT_TRUE(data) << data.error();
        EXPECT_EQ(data->Plcs.at(0).Params.ScanMs, scanMs) << value;
        EXPECT_EQ(data->Notes.size(), !scanMs && value != "NULL" ? 1U : 0U) << value;

        LabelArray labels;
        auto project = storage::BuildProject(*data, labels);
        ASSERT_TRUE(project);
        ASSERT_TRUE(storage::SaveToDB(**project, dir / "again.tve", BuiltTemplate()));
        EXPECT_EQ(QueryRows(dir / "again.tve", "SELECT ScanMs FROM CommParams"),
                  (std::vector<std::string> { scanMs ? std::to_string(*scanMs) : "NULL" }));
    }
}

TEST_P(OpeningABrokenFile, FailsNamingTheProblemAndChangesNothing)
{
    TempDir dir;
    const auto path = dir / "broken.tve";
    const BrokenFile& broken = GetParam();
    switch (broken.kind) {
    case BrokenFile::Kind::Missing:
        break;
    case BrokenFile::Kind::Bytes:
        WriteBytes(path, broken.content);
        break;
    case BrokenFile::Kind::Schema:
        MakeDatabase(path, broken.content);
        break;
    case BrokenFile::Kind::TemplateWithRows:
        MakeProjectFile(path, kGoodRows + broken.content);
        break;
    }
    const std::string before = ReadBytes(path);

    OpenProjectFixture open;
    auto loaded = storage::LoadFromDB(path, open.Labels());
    ASSERT_FALSE(loaded);
    EXPECT_NE(loaded.error().find(broken.problem), std::string::npos) << loaded.error();
    EXPECT_NE(loaded.error().find(path.string()), std::string::npos) << loaded.error();
    open.ExpectUntouched();
    EXPECT_EQ(ReadBytes(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    ProjectDatabase, OpeningABrokenFile,
    testing::Values(
        BrokenFile { "NoFile", BrokenFile::Kind::Missing, "", "there is no such file" },
        BrokenFile { "TextFile", BrokenFile::Kind::Bytes,
                     "PLC list, written by hand.\nLine_1 COM 1 57600\nLine_2 TCP/IP 192.168.1.10 502\n"
                     "These lines are long enough to be taken for the header of a database file.\n",
                     "not a project file (not a database)" },
        BrokenFile { "EmptyFile", BrokenFile::Kind::Bytes, "", "has no table Plcs" },
        BrokenFile { "ItemsWithoutLabelIndex", BrokenFile::Kind::Schema,
                     kPlcsAndCommParams
                         + "CREATE TABLE Items (PlcID, OprndType, OprndAddr, Oprndlength, CommDirection, IsEnabled);",
                     "table Items has no column LabelIndex" },
        BrokenFile { "PlcWithoutCommParams", BrokenFile::Kind::TemplateWithRows,
                     "INSERT INTO Plcs (ID, Name) VALUES (2, 'B');", "PLC \"B\" (ID 2) has no CommParams row" },
        BrokenFile { "OverlappingLabels", BrokenFile::Kind::TemplateWithRows,
                     "INSERT INTO Items VALUES (1, 3, 20, 5, 0, 0, 5);"
                     "INSERT INTO Plcs (ID, Name) VALUES (2, 'B');"
                     "INSERT INTO CommParams VALUES (2, 1, 0, '', 2, 9600, 6000, 3, 0, 0, 8, 0, 1, NULL);"
                     "INSERT INTO Items VALUES (2, 3, 0, 1, 0, 0, 7);",
                     "label lblDDE(7) of item 1 of PLC \"B\" (ID 2) overlap labels lblDDE(5) to lblDDE(9) of item 2 "
                     "of PLC \"A\" (ID 1)" },
        // -1 asks the model for a new label; a stored item must not be given one silently.
        BrokenFile { "LabelIndexMinusOne", BrokenFile::Kind::TemplateWithRows, "UPDATE Items SET LabelIndex = -1;",
                     "LabelIndex -1 is outside 1 to 32767" },
        BrokenFile { "VectorPastTheLastLabel", BrokenFile::Kind::TemplateWithRows,
                     "UPDATE Items SET LabelIndex = 32767, Oprndlength = 2;", "runs past lblDDE(32767)" },
        BrokenFile { "AddressRunsPastTheLargest", BrokenFile::Kind::TemplateWithRows,
                     "UPDATE Items SET OprndAddr = 2147483647, Oprndlength = 2;", "runs past the largest address" },
        BrokenFile { "NumRetriesBeyond16Bits", BrokenFile::Kind::TemplateWithRows,
                     "UPDATE CommParams SET NumRetries = 40000;", "NumRetries 40000 is outside -32768 to 32767" },
        BrokenFile { "TextForANumber", BrokenFile::Kind::TemplateWithRows, "UPDATE CommParams SET PathWay = 'serial';",
                     "PathWay \"serial\" is not a whole number" },
        BrokenFile { "EmptyValue", BrokenFile::Kind::TemplateWithRows, "UPDATE CommParams SET StopBits = NULL;",
                     "StopBits is empty" }),
    NameOf<BrokenFile>);

// A Modbus device and a PLC of family 0 whose items carry details: they come back as saved, a vector's elements at
// their value's width apart with their own names; an item edited by hand into what the item check refuses is left
// out with a note saying why, and the rest opens.
TEST(ProjectDatabase, ItemDetailsComeBackAndAnItemTheCheckRefusesIsLeftOutWithANote)
{
    TempDir dir;
    LabelArray labels;
    clsConfig project(labels);
    model::ItemDetails volts;
    volts.dataType = common::ParseDataType("float32").value();
    volts.byteOrder = common::ByteOrder::CDAB;
    volts.scaling = common::Scaling { 0, 1000, 0, 100.5 };
    volts.units = "V";
    volts.name = "Volts";
    volts.description = "Phase voltages, L1 to L3";
    volts.deadband = 0.5;
    volts.record = true;
    model::ItemDetails level;
    level.scaling = common::Scaling { 0, 4095, 0, 10 };
    level.name = "Tank.Level";
    CommParams deviceParams;
    deviceParams.PlcType = common::plctype::ModbusDevice;
    auto meter = project.NewPlc();
    std::int32_t label = -1;
    ASSERT_TRUE(meter->AddItems(3, 100, operand::InputRegister, 0, true, label, volts));
    label = -1;
    ASSERT_TRUE(meter->AddItems(1, 0, operand::HoldingRegister, 2, true, label));
    meter->SetCommParams(deviceParams);
    project.AddPLC(std::move(meter));
    auto orbis = project.NewPlc();
    label = -1;
    ASSERT_TRUE(orbis->AddItems(1, 5, operand::MI, 2, true, label, level));
    project.AddPLC(std::move(orbis));
    const auto path = dir / "meter.tve";
    ASSERT_TRUE(storage::SaveToDB(project, path, BuiltTemplate()));
    EXPECT_EQ(QueryRows(path, "SELECT DataType,ByteOrder,Units,Name,Record FROM Items ORDER BY rowid"),
              (std::vector<std::string> { "'float32','CDAB','V','Volts',-1", "NULL,NULL,NULL,NULL,NULL",
                                          "NULL,NULL,NULL,'Tank.Level',NULL" }));

    LabelArray reopenedLabels;
    auto reopened = LoadProject(path, reopenedLabels);
    ASSERT_TRUE(reopened);
    const auto& items = reopened->colPlcs().at(0)->colItems();
    ASSERT_EQ(items.size(), 2U);
    EXPECT_EQ(items[0]->Details, volts);
    std::vector<std::string> elements;
    for (const model::Clsitem& element : items[0]->Operands()) {
        elements.push_back(element.Details.name + "@" + std::to_string(element.OperandAddress));
    }
    EXPECT_EQ(elements, (std::vector<std::string> { "Volts@100", "Volts[1]@102", "Volts[2]@104" }));
    EXPECT_EQ(items[1]->Details, model::ItemDetails {});
    EXPECT_EQ(reopened->colPlcs().at(1)->colItems().at(0)->Details, level);

    const std::pair<std::string, std::string> edits[] = {
        { "UPDATE Items SET DataType='string(9)', ScaleRawLow=0, ScaleRawHigh=1, ScaleLow=0, ScaleHigh=1 WHERE "
          "rowid=2",
          "numeric" },
        { "UPDATE Items SET DataType='int33' WHERE rowid=2", "DataType \"int33\"" },
        { "UPDATE Items SET ScaleLow=5 WHERE rowid=2", "all four" },
        { "UPDATE Items SET Name='VOLTS' WHERE rowid=2", "taken" },
        { "UPDATE Items SET OprndType=102 WHERE rowid=2", "read-only" },
        { "UPDATE Items SET Deadband='wide' WHERE rowid=2", "Deadband" },
        { "UPDATE Items SET ByteOrder='CDAB' WHERE rowid=3", "Modbus device" },
    };
    for (const auto& [edit, reason] : edits) {
        const auto edited = dir / "edited.tve";
        std::filesystem::copy_file(path, edited, std::filesystem::copy_options::overwrite_existing);
        RunSql(edited, edit);
        auto data = storage::ReadProjectFile(edited);
        ASSERT_TRUE(data) << edit << ": " << data.error();
        ASSERT_EQ(data->Notes.size(), 1U) << edit;
        EXPECT_NE(data->Notes[0].find(reason), std::string::npos) << data->Notes[0];
        EXPECT_EQ(data->Plcs[0].Items.size() + data->Plcs[1].Items.size(), 2U) << edit;
    }
}
