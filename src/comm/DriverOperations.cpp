#include "comm/DriverOperations.h"

#include "common/OperandCatalogue.h"

#include <array>
#include <string_view>

namespace tavrel::comm {

namespace {

namespace op = common::operand;

// Operand type codes lie below this.
constexpr std::size_t kCodeCount = 68;

using OperationTable = std::array<OperandOperations, kCodeCount>;

// The operations of each operand type code, from the one list of operations; the element kinds agree with the
// catalogue.
OperationTable MakeOperationTable()
{
    OperationTable table {};
    const auto slot = [&](std::int32_t code, std::string_view direction) -> DriverOperation& {
        OperandOperations& operations = table[static_cast<std::size_t>(code)];
        return direction == "Write" ? operations.write : operations.read;
    };
#define TAVREL_OPERATION_OF_TYPE(Direction, Operand, Element)                                                          \
    static_assert(op::Operand >= 0 && op::Operand < static_cast<std::int32_t>(kCodeCount));                            \
    slot(op::Operand, #Direction) = &CommDriver::Direction##Operand;
    TAVREL_COMM_DRIVER_OPERATIONS(TAVREL_OPERATION_OF_TYPE)
#undef TAVREL_OPERATION_OF_TYPE
    return table;
}

} // namespace

OperandOperations OperationsOf(std::int32_t operandType)
{
    static const OperationTable kOperations = MakeOperationTable();
    if (operandType < 0 || operandType >= static_cast<std::int32_t>(kCodeCount)) {
        return {};
    }
    return kOperations[static_cast<std::size_t>(operandType)];
}

} // namespace tavrel::comm
