#include "storage/ProjectDatabase.h"

#include "StorageTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace tavrel;
using namespace tavrel::test;

namespace {

// A project file of the layout before the serial settings were stored: PLC type 1, 0 and 5, and a
// parameter row whose PLC is gone.
const std::string kOldLayout
    = "CREATE TABLE Plcs (ID INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT);"
      "CREATE TABLE CommParams (PlcID INTEGER, PathWay INTEGER, EthRemotePort INTEGER, EthRemoteIP TEXT,"
      " SerialComPort INTEGER, SerialBaudRate INTEGER, TimeOut INTEGER, NumRetries INTEGER, UnitID INTEGER,"
      " PlcType INTEGER);"
      "CREATE TABLE Items (PlcID INTEGER, OprndType INTEGER, OprndAddr INTEGER, Oprndlength INTEGER,"
      " CommDirection INTEGER, IsEnabled INTEGER, LabelIndex INTEGER);"
      "INSERT INTO Plcs (ID, Name) VALUES (1, 'Reed'), (2, 'Orbis'), (3, 'Fjord');"
      "INSERT INTO CommParams VALUES (1, 1, 0, '', 2, 9600, 6000, 3, 0, 1),"
      " (2, 2, 502, '10.0.0.5', 1, 57600, 6000, 3, 1, 0), (3, 1, 0, '', 1, 57600, 6000, 3, 0, 5),"
      " (9, 1, 0, '', 1, 57600, 6000, 3, 0, 1);"
      "INSERT INTO Items VALUES (1, 3, 0, 1, 0, -1, 1), (2, 3, 0, 1, 0, -1, 2), (3, 3, 0, 4, 0, -1, 3);";

constexpr const char* kSerialColumns = "SELECT PlcID, DataBits, Parity, StopBits FROM CommParams ORDER BY rowid";

std::string Serial(const model::clsPlc& plc)
{
    const model::CommParams& p = plc.Params();
    return std::to_string(p.DataBits) + "," + std::to_string(p.Parity) + "," + std::to_string(p.StopBits);
}

class ProjectUpgrade : public testing::Test
{
protected:
    /// Makes the file of the old layout, with `more` statements run after it.
    void MakeOldFile(const std::string& more = {}) { MakeDatabase(path, kOldLayout + more); }

    TempDir dir;
    const std::filesystem::path path = dir / "old.tve";
    model::LabelArray labels;
};

} // namespace

TEST_F(ProjectUpgrade, OpeningAnOldFileAddsTheSerialSettingsOfEachPlcType)
{
    MakeOldFile();
    auto project = LoadProject(path, labels);
    ASSERT_TRUE(project);
    ASSERT_EQ(project->colPlcs().size(), 3U);
    EXPECT_EQ(Serial(*project->colPlcs()[0]), "7,2,1");
    EXPECT_EQ(Serial(*project->colPlcs()[1]), "8,0,1");
    EXPECT_EQ(Serial(*project->colPlcs()[2]), "8,0,1");
    // The file keeps the upgrade; a row of no PLC is left alone, as a join on Plcs leaves it.
    EXPECT_EQ(QueryRows(path, kSerialColumns),
              (std::vector<std::string> { "1,7,2,1", "2,8,0,1", "3,8,0,1", "9,NULL,NULL,NULL" }));
    // No scan interval: every PLC is exchanged in every pass, as before.
    EXPECT_EQ(QueryRows(path, "SELECT count(*) FROM CommParams WHERE ScanMs IS NULL"),
              std::vector<std::string> { "4" });
    for (const auto& plc : project->colPlcs()) {
        EXPECT_EQ(plc->Params().ScanMs, std::nullopt) << plc->Name;
        for (const auto& item : plc->colItems()) {
            EXPECT_EQ(item->Details, model::ItemDetails {}) << plc->Name; // each item as it was
        }
    }
    EXPECT_EQ(QueryRows(path,
                        "SELECT count(*) FROM Items WHERE coalesce(DataType, ByteOrder, ScaleRawLow, ScaleRawHigh,"
                        " ScaleLow, ScaleHigh, Units, Name, Description, Deadband, Record) IS NULL"),
              std::vector<std::string> { "3" });
}

TEST_F(ProjectUpgrade, OpeningAnUpgradedFileAgainChangesNothing)
{
    MakeOldFile();
    {
        model::LabelArray firstLabels;
        ASSERT_TRUE(LoadProject(path, firstLabels));
    }
    RunSql(path, "UPDATE CommParams SET DataBits = 5, Parity = 1 WHERE PlcID = 1");
    const std::string upgraded = ReadBytes(path);

    auto project = LoadProject(path, labels);
    ASSERT_TRUE(project);
    EXPECT_EQ(Serial(*project->colPlcs()[0]), "5,1,1");
    EXPECT_EQ(ReadBytes(path), upgraded);
}

TEST_F(ProjectUpgrade, AnOldFileThatFailsToOpenKeepsItsLayout)
{
    MakeOldFile("INSERT INTO Plcs (ID, Name) VALUES (4, 'No parameters');");
    const std::string before = ReadBytes(path);

    auto project = storage::LoadFromDB(path, labels);
    ASSERT_FALSE(project);
    EXPECT_NE(project.error().find("PLC \"No parameters\" (ID 4) has no CommParams row"), std::string::npos)
        << project.error();
    EXPECT_EQ(ReadBytes(path), before);
}

// SQLite column names have no case: a file holding "databits" must not get a second one.
TEST_F(ProjectUpgrade, AColumnSpelledInAnotherCaseCountsAsPresent)
{
    MakeOldFile("ALTER TABLE CommParams ADD COLUMN databits INTEGER;"
                "UPDATE CommParams SET databits = 6;");
    auto project = LoadProject(path, labels);
    ASSERT_TRUE(project);
    // StopBits was added, so every PLC takes the settings of its type.
    EXPECT_EQ(Serial(*project->colPlcs()[0]), "7,2,1");
    EXPECT_EQ(QueryRows(path, "SELECT count(*) FROM pragma_table_info('CommParams')"),
              std::vector<std::string> { "14" });
}
