#include "storage/ItemsCsv.h"
#include "storage/CsvText.h"

#include "common/DeviceItems.h"
#include "common/OperandCatalogue.h"
#include "common/PlcFamilies.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tavrel;
using namespace tavrel::storage;
namespace operand = common::operand;
namespace direction = common::direction;

namespace {

struct ParseCase
{
    const char* text;
    std::vector<std::vector<std::string>> records;
    std::vector<std::size_t> lines;
};

TEST(CsvText, ReadsQuotedFieldsLineEndsAndTheByteOrderMark)
{
    const ParseCase cases[] = {
        { "a,b\r\nc,d\r\n", { { "a", "b" }, { "c", "d" } }, { 1, 2 } },
        { "\xEF\xBB\xBF"
          "a,,\n\n\"x,y\",\"say \"\"hi\"\"\"\n",
          { { "a", "", "" }, { "x,y", "say \"hi\"" } },
          { 1, 3 } },
        { "\"two\nlines\",b\nc", { { "two\nlines", "b" }, { "c" } }, { 1, 3 } },
        { "\"\"\n", { { "" } }, { 1 } },
    };
    for (const ParseCase& c : cases) {
        const auto records = ParseCsv(c.text);
        ASSERT_TRUE(records.has_value()) << c.text << ": " << records.error().reason;
        ASSERT_EQ(records->size(), c.records.size()) << c.text;
        for (std::size_t i = 0; i < records->size(); ++i) {
            EXPECT_EQ((*records)[i].fields, c.records[i]) << c.text;
            EXPECT_EQ((*records)[i].line, c.lines[i]) << c.text;
        }
    }
}

TEST(CsvText, RefusesBrokenQuotingWithTheLine)
{
    const std::pair<const char*, std::size_t> cases[] = {
        { "a,b\nc\"d\",e\n", 2 }, // a quote inside an unquoted field
        { "a\n\"b\"c\n", 2 }, // text after the closing quote
        { "a\nb\n\"open,\nstill open\n", 3 }, // never closed: the line it began on
    };
    for (const auto& [text, line] : cases) {
        const auto records = ParseCsv(text);
        ASSERT_FALSE(records.has_value()) << text;
        EXPECT_EQ(records.error().line, line) << text << ": " << records.error().reason;
    }
}

TEST(CsvText, QuotesWhatNeedsQuotingAndReadsItBack)
{
    const std::vector<std::string> fields { "plain", "a,b", "say \"hi\"", "two\r\nlines", " padded", "", "°C" };
    EXPECT_EQ(CsvLine(fields), "plain,\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\",\" padded\",,°C\r\n");
    const auto records = ParseCsv(CsvLine(fields));
    ASSERT_TRUE(records.has_value());
    EXPECT_EQ(records->at(0).fields, fields);
}

/// A project with a Modbus device and a PLC of family 0, both with items.
struct Project
{
    Project()
    {
        device = &AddPlc("Meter", common::plctype::ModbusDevice);
        other = &AddPlc("Line_1", common::plctype::OrbisA);
    }

    model::clsPlc& AddPlc(const std::string& name, std::int32_t plcType)
    {
        auto plc = config.NewPlc();
        plc->Name = name;
        model::CommParams params;
        params.PlcType = plcType;
        plc->SetCommParams(params);
        return config.AddPLC(std::move(plc));
    }

    static void Add(model::clsPlc& plc, std::int32_t type, std::int32_t address, std::int32_t length, std::int32_t dir,
                    std::int32_t label, const common::ItemDetails& details = {}, bool enabled = true)
    {
        ASSERT_TRUE(plc.AddItems(length, address, type, dir, enabled, label, details).has_value());
    }

    model::LabelArray labels;
    model::clsConfig config { labels };
    model::clsPlc* device = nullptr;
    model::clsPlc* other = nullptr;
};

// Every column in use: types, orders, a scaling, units, a deadband, a record flag, names, descriptions that need
// quoting, a vector, a disabled item.
void FillEveryColumn(Project& project)
{
    common::ItemDetails volts;
    volts.dataType = common::DataType { common::BaseType::Float32 };
    volts.byteOrder = common::ByteOrder::CDAB;
    volts.units = "V";
    volts.name = "Voltage";
    volts.description = "L1-N, \"true\" RMS\nthree phases";
    volts.deadband = 0.5;
    volts.record = true;
    Project::Add(*project.device, operand::InputRegister, 0, 3, direction::Read, 20, volts);
    common::ItemDetails serial;
    serial.dataType = common::DataType { common::BaseType::String, 16 };
    serial.byteOrder = common::ByteOrder::BADC;
    serial.name = "Serial";
    Project::Add(*project.device, operand::InputRegister, 30, 1, direction::Read, 5, serial);
    common::ItemDetails limit;
    limit.dataType = common::DataType { common::BaseType::UInt16 };
    limit.scaling = common::Scaling { 0, 1000, 0, 100.25 };
    limit.units = "°C";
    Project::Add(*project.device, operand::HoldingRegister, 2, 1, direction::ReadWrite, 6, limit);
    Project::Add(*project.device, operand::Coil, 0, 1, direction::Write, 7);
    Project::Add(*project.device, operand::Coil, 1, 1, direction::Read, 8, {}, false);
    common::ItemDetails level;
    level.scaling = common::Scaling { -100, 100, 0, 1 };
    level.name = "Level";
    Project::Add(*project.other, operand::MI, 10, 1, direction::Read, 1, level);
}

std::string Describe(const model::clsPlc& plc)
{
    std::string text;
    for (const auto& item : plc.colItems()) {
        text += std::to_string(item->OperandType) + "@" + std::to_string(item->OperandAddress) + "x"
            + std::to_string(item->Length()) + " dir " + std::to_string(item->IoDirection)
            + (item->IsEnable ? " on" : " off") + " labels";
        for (const model::Clsitem& element : item->Operands()) {
            text += " " + std::to_string(element.Label.Index()) + ":" + element.Details.name;
        }
        text += "\n";
    }
    return text;
}

TEST(ItemsCsv, ARoundTripKeepsEveryColumn)
{
    Project source;
    FillEveryColumn(source);
    const std::string text = ItemsCsvText(*source.device);
    EXPECT_TRUE(text.starts_with(std::string(kItemsCsvHeader) + "\r\n"));

    Project target;
    Project::Add(*target.device, operand::Coil, 9, 2, direction::Read, 21); // replaced, its labels given back
    const auto items = ReadItemsCsv(text, common::plctype::ModbusDevice);
    ASSERT_TRUE(items.has_value()) << items.error();
    const auto done = ReplaceItems(target.config, *target.device, *items);
    ASSERT_TRUE(done.has_value()) << done.error();
    EXPECT_EQ(done->added, 5u);
    EXPECT_EQ(done->removed, 1u);

    EXPECT_EQ(Describe(*target.device), Describe(*source.device));
    for (std::size_t i = 0; i < source.device->colItems().size(); ++i) {
        EXPECT_EQ(target.device->colItems()[i]->Details, source.device->colItems()[i]->Details) << "item " << i;
    }
    EXPECT_EQ(ItemsCsvText(*target.device), text);
}

TEST(ItemsCsv, ABadLineRefusesTheWholeListWithItsNumber)
{
    const std::string header = std::string(kItemsCsvHeader) + "\n";
    const std::string good = "A,Holding register,0,1,Read/Write,1,,,,,,,,,,,\n";
    struct Case
    {
        std::string line;
        std::string reason;
    };
    const Case cases[] = {
        { "B,Holding register,1,1,Read", "has 5 fields, not 17" },
        { "B,Holding regster,1,1,Read,1,,,,,,,,,,,",
          "is not one of the PLC type \"Modbus device\", which has Coil, Discrete input" },
        { "B,Holding register,x1,1,Read,1,,,,,,,,,,,", "Address \"x1\" is not a whole number" },
        { "B,Coil,1,1,Read,1,int32,,,,,,,,,,", "holds one bit" },
        { "B,Input register,1,1,Write,1,,,,,,,,,,,", "read-only" },
        { "B,Holding register,65535,1,Read,1,float32,,,,,,,,,,", "past 65535" },
        { "B,Holding register,1,1,Read,1,,,0,10,,,,,,,", "all four" },
        { "B,Holding register,1,1,Read,yes,,,,,,,,,,,", "Enabled is 1 or 0" },
        { "a,Holding register,1,1,Read,1,,,,,,,,,,,", "\"a\"" }, // the same name as line 2
        { "B,Holding register,1,1,Read,1,float32,XYZW,,,,,,,,,", "ByteOrder" },
        { "B,Holding register,1,1,Read,1,,,,,,,,,,0,", "Label 0 is outside 1 to 32767" },
        { "B,Holding register,1,1,Read,1,,,,,,,,,,,\"unclosed", "not closed" },
        { "B,Holding register,1,1,Read,1,,,,,,,\xFF,,,,", "not UTF-8" },
    };
    for (const Case& c : cases) {
        const auto items = ReadItemsCsv(header + good + c.line + "\nZ" + good, common::plctype::ModbusDevice);
        ASSERT_FALSE(items.has_value()) << c.line;
        EXPECT_TRUE(items.error().starts_with("line 3: ")) << items.error();
        EXPECT_NE(items.error().find(c.reason), std::string::npos) << items.error();
    }
    const auto noHeader = ReadItemsCsv(good, common::plctype::ModbusDevice);
    ASSERT_FALSE(noHeader.has_value());
    EXPECT_TRUE(noHeader.error().starts_with("line 1: the header row is not Name,Operand,")) << noHeader.error();
    // The operand rules of families 0-5 are the item dialog's.
    const auto family0 = ReadItemsCsv(header + "X,T (Bit),0,1,Write,1,,,,,,,,,,,\n", common::plctype::OrbisA);
    ASSERT_FALSE(family0.has_value());
    EXPECT_TRUE(family0.error().starts_with("line 2: ")) << family0.error();
}

TEST(ItemsCsv, AnImportThatCannotBeDoneChangesNothing)
{
    const std::string header = std::string(kItemsCsvHeader) + "\n";
    struct Case
    {
        std::string lines;
        std::string reason;
    };
    const Case cases[] = {
        { "A,Coil,0,1,Read,1,,,,,,,,,,2,\nB,Coil,1,3,Read,1,,,,,,,,,,1,\n",
          "line 3: lblDDE(1) belongs to an item of "
          "PLC \"Line_1\"" },
        { "A,Coil,0,2,Read,1,,,,,,,,,,40,\nB,Coil,5,1,Read,1,,,,,,,,,,41,\n",
          "line 3: lblDDE(41) is already line 2's" },
        { "level,Coil,0,1,Read,1,,,,,,,,,,,\n", "line 2: " }, // Line_1's item is named Level
        { "A,Coil,0,2,Read,1,,,,,,,,,,32767,\n", "run past lblDDE(32767)" },
        { "A,Coil,0,1,Read,1,,,,,,,,,,32767,\nB,Coil,1,1,Read,1,,,,,,,,,,,\n", "line 3: no free labels" },
    };
    for (const Case& c : cases) {
        Project project;
        FillEveryColumn(project);
        const std::string before = Describe(*project.device) + Describe(*project.other);
        const auto items = ReadItemsCsv(header + c.lines, common::plctype::ModbusDevice);
        ASSERT_TRUE(items.has_value()) << items.error();
        const auto done = ReplaceItems(project.config, *project.device, *items);
        ASSERT_FALSE(done.has_value()) << c.lines;
        EXPECT_NE(done.error().find(c.reason), std::string::npos) << done.error();
        EXPECT_EQ(Describe(*project.device) + Describe(*project.other), before);
    }
}

TEST(ItemsCsv, LinesWithoutALabelGetTheNextFreeOnesAndEmptyFieldsTheDefaults)
{
    Project project;
    FillEveryColumn(project); // Line_1 holds lblDDE(1)
    const auto items = ReadItemsCsv(std::string(kItemsCsvHeader)
                                        + "\nA,input register,0,2,,,,,,,,,,,,,\nB,Coil,0,1,Read,0,,,,,,,,,,30,\n"
                                          "C,Coil,1,,,,,,,,,,,,,,\n",
                                    common::plctype::ModbusDevice);
    ASSERT_TRUE(items.has_value()) << items.error();
    ASSERT_TRUE(ReplaceItems(project.config, *project.device, *items).has_value());
    EXPECT_EQ(Describe(*project.device),
              "102@0x2 dir 0 on labels 31:A 32:A[1]\n"
              "100@0x1 dir 0 off labels 30:B\n"
              "100@1x1 dir 0 on labels 33:C\n");
}

TEST(ItemsCsv, ExportAndImportThroughFiles)
{
    Project source;
    FillEveryColumn(source);
    test::TempDir dir;
    const auto path = dir.Path() / "meter.csv";
    ASSERT_EQ(ExportItemsFile(*source.device, path).value_or(0), 5u);
    Project target;
    const auto done = ImportItemsFile(target.config, *target.device, path);
    ASSERT_TRUE(done.has_value()) << done.error();
    EXPECT_EQ(Describe(*target.device), Describe(*source.device));
    const auto missing = ImportItemsFile(target.config, *target.device, dir.Path() / "none.csv");
    ASSERT_FALSE(missing.has_value());
    EXPECT_NE(missing.error().find("none.csv"), std::string::npos) << missing.error();
}

} // namespace
