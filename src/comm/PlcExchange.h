#pragma once

#include "comm/CommEnvironment.h"
#include "comm/ItemExchange.h"
#include "common/BinaryMix.h"
#include "common/ItemValue.h"
#include "model/clsPlc.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::comm {

// A PLC's exchange in three steps: a plan made from the model on the main thread, the exchange with the driver
// (plain data in and out, no model access, so it may run on the PLC's channel worker), and the result applied to
// the model on the main thread.

/// A PLC's channel as an exchange carries it: the driver and what opening a new one takes. Made from the PLC,
/// written back to it when the exchange is applied.
struct ChannelSlot
{
    std::shared_ptr<CommDriver> driver;
    model::CommParams params;
    /// Makes a fresh driver for the PLC. The exchange calls it on its worker while the main thread leaves the
    /// PLC alone.
    std::function<std::shared_ptr<CommDriver>()> makeDriver;
    bool connectOnce = true;
    std::string error; ///< the PLC's LastError, as the exchange leaves it
};

/// The slot of a PLC, ready for an exchange.
ChannelSlot SlotOf(model::clsPlc& plc, const CommEnvironment& env);
/// Gives the PLC back its driver and its last error.
void WriteBack(model::clsPlc& plc, ChannelSlot& slot);

/// The channel operations of a slot, as OpenComm and CloseComm do them for a PLC.
bool OpenChannel(ChannelSlot& slot);
void CloseChannel(ChannelSlot& slot);

/// The channel a PLC is reached on: PLCs on one channel exchange one after another, others side by side.
std::string ChannelOf(const model::CommParams& params);

/// One operand of an item-by-item read and what came back.
struct OperandRead
{
    std::int32_t operandType = 0;
    std::int32_t address = 0;
    bool reached = false; ///< the exchange got as far as this operand
    std::optional<bool> result; ///< nothing: the type has no read
    common::ItemValue value;
};

/// What a read pass of one PLC exchanges and what came back.
struct ReadPlan
{
    enum class Way {
        Nothing, ///< nothing to read: no channel activity
        Batched,
        EachItem,
        Refused ///< the PLC cannot be read at all; `problem` says why
    };
    Way way = Way::Nothing;
    bool ok = false;
    std::string problem;
    /// Batched: whether the PLC's program ran, as the driver read it with the list; nothing when it cannot say.
    std::optional<bool> running;
    /// Batched: the PLC's list, taken for the exchange and given back when applied.
    std::vector<common::BinaryMixEntry> mix;
    /// Item by item: each readable item's operands (a vector's children) in project order; `skipped` when the
    /// channel would not open for it.
    struct Item
    {
        std::vector<OperandRead> operands;
        bool skipped = false;
    };
    std::vector<Item> items;
};

ReadPlan PlanRead(model::clsPlc& plc);
void ExchangeRead(ChannelSlot& slot, ReadPlan& plan);
/// Publishes the values read and the PLC's run state; true when the PLC answered as required.
bool ApplyRead(model::clsPlc& plc, ReadPlan& plan, const CommEnvironment& env);

/// What a write pass of one PLC exchanges and what came back.
struct WritePlan
{
    struct Operand
    {
        std::int32_t operandType = 0;
        std::int32_t address = 0;
        std::string labelText;
        std::string publishedText;
        model::ItemDetails details; ///< a copy: scaling, a device item's data type
        std::optional<OperandWrite> write; ///< nothing: not reached
    };
    struct Item
    {
        std::vector<Operand> operands;
        bool skipped = false;
    };
    std::vector<Item> items;
    char separator = '.';
};

WritePlan PlanWrite(model::clsPlc& plc, const CommEnvironment& env);
void ExchangeWrite(ChannelSlot& slot, WritePlan& plan);
/// Finishes every write on the items; true when no write failed and the channel opened.
bool ApplyWrite(model::clsPlc& plc, WritePlan& plan, const CommEnvironment& env);

} // namespace tavrel::comm
