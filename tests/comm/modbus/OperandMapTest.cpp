#include "comm/modbus/OperandMap.h"

#include "common/OperandCatalogue.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tavrel::comm::modbus;
namespace op = tavrel::common::operand;

namespace {

TEST(OperandMap, RawTimerWordsTakeOneRegisterEach)
{
    const OperandMap map;
    EXPECT_EQ(map.Locate(op::TPreset, 5, TimerFormat::RawWord),
              (OperandLocation{Table::HoldingRegisters, 12005, 1}));
    EXPECT_EQ(map.Locate(op::TCurrent, 5, TimerFormat::RawWord),
              (OperandLocation{Table::HoldingRegisters, 13005, 1}));
    EXPECT_EQ(TimerFormatOf(tavrel::common::plctype::Q40StandAlone), TimerFormat::RawWord);
    EXPECT_EQ(TimerFormatOf(tavrel::common::plctype::Q40ViaOrbis), TimerFormat::RawWord);
    EXPECT_EQ(TimerFormatOf(tavrel::common::plctype::OrbisA), TimerFormat::Ticks);
}

TEST(OperandMap, NothingOutsideTheModbusAddressesOrWithoutAPlace)
{
    const OperandMap map;
    EXPECT_TRUE(map.Locate(op::MI, 65535, TimerFormat::Ticks));
    EXPECT_FALSE(map.Locate(op::MI, 65536, TimerFormat::Ticks));
    EXPECT_TRUE(map.Locate(op::ML, 29267, TimerFormat::Ticks)); // registers 65534 and 65535
    EXPECT_FALSE(map.Locate(op::ML, 29268, TimerFormat::Ticks));
    EXPECT_FALSE(map.Locate(op::MI, -1, TimerFormat::Ticks));
    EXPECT_FALSE(map.Locate(8, 0, TimerFormat::Ticks));
}

TEST(OperandMap, ComPortsDefaultToTheSerialDevices)
{
    OperandMap map;
    EXPECT_EQ(map.SerialDevice(1), "/dev/ttyS0");
    EXPECT_EQ(map.SerialDevice(16), "/dev/ttyS15");
    EXPECT_EQ(map.SerialDevice(0), "");
    map.SetSerialDevice(2, "/dev/ttyUSB0");
    EXPECT_EQ(map.SerialDevice(2), "/dev/ttyUSB0");
}

TEST(OperandMapFile, SetsEveryKindOfEntry)
{
    const auto map = ParseOperandMap("; where the operands live\n"
                                     "[Bases]\n"
                                     "MB = 1500\n"
                                     "t(preset) = 20000   ; blanks and case do not matter\n"
                                     "\n"
                                     "[options]\r\n"
                                     "WordOrder = LowWordFirst\n"
                                     "MaxRegistersPerRequest = 60\n"
                                     "MaxBitsPerRequest = 800\n"
                                     "RunCoil = 100\n"
                                     "[Ports]\n"
                                     "COM3 = /dev/ttyUSB1\n",
                                     "modbus-map.ini");
    ASSERT_TRUE(map) << map.error();
    EXPECT_EQ(map->Base(op::MB), 1500);
    EXPECT_EQ(map->Base(op::TPreset), 20000);
    EXPECT_EQ(map->Base(op::SB), 10000);
    EXPECT_EQ(map->Order(), WordOrder::LowWordFirst);
    EXPECT_EQ(map->MaxRegistersPerRequest(), 60);
    EXPECT_EQ(map->MaxBitsPerRequest(), 800);
    EXPECT_EQ(map->RunCoil(), 100);
    EXPECT_EQ(map->SerialDevice(3), "/dev/ttyUSB1");
    EXPECT_EQ(map->SerialDevice(1), "/dev/ttyS0");
}

TEST(OperandMapFile, ABadLineIsRefusedNamingIt)
{
    const struct
    {
        const char* text;
        const char* message; ///< what the error must say, after the file name and line
    } cases[] = {
        { "MB = 5\n", "1: \"MB\" comes before any section" },
        { "[Bases]\nMQ = 5\n", "2: unknown operand type \"MQ\"" },
        { "[Bases]\n\nMB = 65536\n", "3: the base address of MB must be a whole number" },
        { "[Bases]\nMB = 1000.5\n", "2: the base address of MB" },
        { "[Bases]\nMB = 1\nmb = 2\n", "3: \"mb\" is given twice (first on line 2)" },
        { "[Bases]\nMB 1000\n", "2: expected \"key = value\"" },
        { "[Colours]\n", "1: unknown section [Colours]" },
        { "[Options]\nWordOrder = Middle\n", "2: WordOrder must be HighWordFirst or LowWordFirst" },
        { "[Options]\nMaxRegistersPerRequest = 126\n", "2: MaxRegistersPerRequest must be" },
        // One register a request would split every 32-bit value between two requests.
        { "[Options]\n\nMaxRegistersPerRequest = 1\n", "3: MaxRegistersPerRequest must be a whole number from 2" },
        // MB reaches 1000 + 8191 on PLC type 0; SB at 9000 would share its coils.
        { "[Bases]\nSB = 9000\n", "2: MB (1000 to 9191) and SB (9000 to 9511) overlap in the coils" },
        { "[Bases]\nMI = 6800\n\nML = 7000\n", "4: MI (6800 to 10895) and ML (7000 to 8023)" },
        { "[Bases]\nT (Current) = 12500\n",
          "2: T (Preset) (12000 to 12767) and T (Current) (12500 to 13267) overlap in the holding registers" },
        { "[Options]\nSpeed = 3\n", "2: unknown option \"Speed\"" },
        { "[Ports]\nCOM0 = /dev/ttyS0\n", "2: a port is named COM1, COM2" },
        { "[Ports]\nCOM1 =\n", "2: COM1 needs a device path" },
        { "[Ports]\n= /dev/ttyS0\n", "2: a value without a key" },
    };
    for (const auto& c : cases) {
        const auto map = ParseOperandMap(c.text, "modbus-map.ini");
        ASSERT_FALSE(map) << c.text;
        EXPECT_NE(map.error().find(std::string("modbus-map.ini, line ") + c.message), std::string::npos) << map.error();
    }
}

TEST(OperandMapFile, AMissingFileGivesTheBuiltInMap)
{
    tavrel::test::TempDir folder;
    const auto map = ReadOperandMapFile(folder / "modbus-map.ini");
    ASSERT_TRUE(map) << map.error();
    EXPECT_EQ(map->Base(op::MB), 1000);
    EXPECT_EQ(map->RunCoil(), 65000);
}

TEST(OperandMapFile, ABadFileIsAnErrorNamingThePath)
{
    tavrel::test::TempDir folder;
    std::ofstream(folder / "modbus-map.ini") << "[Bases]\nMB = x\n";
    const auto map = ReadOperandMapFile(folder / "modbus-map.ini");
    ASSERT_FALSE(map);
    EXPECT_NE(map.error().find((folder / "modbus-map.ini").string() + ", line 2"), std::string::npos) << map.error();
}

} // namespace
