#include "comm/DriverOperations.h"

#include "common/OperandCatalogue.h"

#include <array>

namespace tavrel::comm {

namespace {

namespace op = common::operand;

struct Entry
{
    std::int32_t code;
    OperandOperations operations;
};

// The one place that ties operand types to driver operations; the element kinds agree with the catalogue.
const std::array<Entry, 21> kOperations{{
    {op::MB, {&CommDriver::ReadMB, &CommDriver::WriteMB}},
    {op::SB, {&CommDriver::ReadSB, &CommDriver::WriteSB}},
    {op::MI, {&CommDriver::ReadMI, &CommDriver::WriteMI}},
    {op::SI, {&CommDriver::ReadSI, &CommDriver::WriteSI}},
    {op::ML, {&CommDriver::ReadML, &CommDriver::WriteML}},
    {op::SL, {&CommDriver::ReadSL, &CommDriver::WriteSL}},
    {op::MF, {&CommDriver::ReadMF, &CommDriver::WriteMF}},
    {op::I, {&CommDriver::ReadI, std::monostate{}}},
    {op::O, {&CommDriver::ReadO, &CommDriver::WriteO}},
    {op::TBit, {std::monostate{}, std::monostate{}}},
    {op::CBit, {&CommDriver::ReadCBit, std::monostate{}}},
    {op::DW, {&CommDriver::ReadDW, &CommDriver::WriteDW}},
    {op::SDW, {std::monostate{}, &CommDriver::WriteSDW}},
    {op::TPreset, {&CommDriver::ReadTPreset, &CommDriver::WriteTPreset}},
    {op::TCurrent, {&CommDriver::ReadTCurrent, &CommDriver::WriteTCurrent}},
    {op::CCurrent, {&CommDriver::ReadCCurrent, &CommDriver::WriteCCurrent}},
    {op::CPreset, {&CommDriver::ReadCPreset, &CommDriver::WriteCPreset}},
    {op::XB, {&CommDriver::ReadXB, &CommDriver::WriteXB}},
    {op::XI, {&CommDriver::ReadXI, &CommDriver::WriteXI}},
    {op::XL, {&CommDriver::ReadXL, &CommDriver::WriteXL}},
    {op::XDW, {&CommDriver::ReadXDW, &CommDriver::WriteXDW}},
}};

} // namespace

OperandOperations OperationsOf(std::int32_t operandType)
{
    for (const Entry& entry : kOperations) {
        if (entry.code == operandType) {
            return entry.operations;
        }
    }
    return {};
}

} // namespace tavrel::comm
