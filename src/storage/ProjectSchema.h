#pragma once

// The layout of a project file as the reader and the writer see it: the columns a file must have and
// the statements that read and write its rows. templates/schema.sql makes the tables.

#include <cstdint>
#include <span>
#include <string_view>

namespace tavrel::storage::schema {

/// A table and the columns a project file must have in it.
struct TableLayout
{
    std::string_view name;
    std::span<const std::string_view> columns;
};

// The columns a project file must have before the upgrade; the upgrade adds the serial ones, ScanMs and the item
// details.
inline constexpr std::string_view kPlcsColumns[] = { "ID", "Name" };
inline constexpr std::string_view kCommParamsColumns[]
    = { "PlcID",          "PathWay", "EthRemotePort", "EthRemoteIP", "SerialComPort",
        "SerialBaudRate", "TimeOut", "NumRetries",    "UnitID",      "PlcType" };
inline constexpr std::string_view kItemsColumns[]
    = { "PlcID", "OprndType", "OprndAddr", "Oprndlength", "CommDirection", "IsEnabled", "LabelIndex" };

/// Every table of a project, in the order the reader checks them.
inline constexpr TableLayout kProjectLayout[]
    = { { "Plcs", kPlcsColumns }, { "CommParams", kCommParamsColumns }, { "Items", kItemsColumns } };

// Rows come back in the order they were saved, which is project order.
inline constexpr std::string_view kSelectPlcs = "SELECT ID, Name FROM Plcs ORDER BY ID";
inline constexpr std::string_view kSelectCommParams
    = "SELECT PathWay, EthRemotePort, EthRemoteIP, SerialComPort, SerialBaudRate, TimeOut, NumRetries, UnitID, "
      "PlcType, DataBits, Parity, StopBits, ScanMs FROM CommParams WHERE PlcID=?1 ORDER BY rowid LIMIT 1";
/// The columns of an item's details, in the order kSelectItems reads them after LabelIndex and kInsertItem writes
/// them; the upgrade adds them to older files.
struct DetailColumn
{
    std::string_view name;
    std::string_view type;
};
inline constexpr DetailColumn kItemDetailColumns[]
    = { { "DataType", "TEXT" },    { "ByteOrder", "TEXT" }, { "ScaleRawLow", "REAL" }, { "ScaleRawHigh", "REAL" },
        { "ScaleLow", "REAL" },    { "ScaleHigh", "REAL" }, { "Units", "TEXT" },       { "Name", "TEXT" },
        { "Description", "TEXT" }, { "Deadband", "REAL" },  { "Record", "INTEGER" } };
inline constexpr std::string_view kSelectItems
    = "SELECT OprndType, OprndAddr, Oprndlength, CommDirection, IsEnabled, LabelIndex, DataType, ByteOrder, "
      "ScaleRawLow, ScaleRawHigh, ScaleLow, ScaleHigh, Units, Name, Description, Deadband, Record FROM Items "
      "WHERE PlcID=?1 ORDER BY rowid";

inline constexpr std::string_view kInsertPlc = "INSERT INTO Plcs (Name) VALUES (?1)";
inline constexpr std::string_view kSelectNewPlcId = "Select Max([ID]) as IdValue From Plcs";
inline constexpr std::string_view kInsertCommParams
    = "INSERT INTO CommParams "
      "(PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,TimeOut,NumRetries,UnitID,PlcType,"
      "DataBits,Parity,StopBits,ScanMs) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14)";
inline constexpr std::string_view kInsertItem
    = "INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex,DataType,"
      "ByteOrder,ScaleRawLow,ScaleRawHigh,ScaleLow,ScaleHigh,Units,Name,Description,Deadband,Record) "
      "VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18)";

/// How a Boolean is stored: true as -1, false as 0; any nonzero value reads as true.
inline constexpr std::int64_t kStoredTrue = -1;
inline constexpr std::int64_t kStoredFalse = 0;

} // namespace tavrel::storage::schema
