#include "comm/PlcComm.h"

#include "comm/ItemExchange.h"
#include "comm/PlcExchange.h"
#include "common/DeviceItems.h"
#include "common/OperandCatalogue.h"

namespace tavrel::comm {

namespace {

using model::Clsitem;
using model::clsPlc;

bool TakesPartInReads(const Clsitem& item)
{
    return item.IsEnable && !WhyNotExchanged(item)
        && (item.IoDirection == common::direction::Read || item.IoDirection == common::direction::ReadWrite);
}

bool TakesPartInWrites(const Clsitem& item)
{
    return item.IsEnable && !WhyNotExchanged(item)
        && (item.IoDirection == common::direction::Write || item.IoDirection == common::direction::ReadWrite);
}

std::optional<std::string> WhyChannelCannotOpen(const model::CommParams& params)
{
    if (common::PlcTypeName(params.PlcType).empty()) {
        return "PLC type " + std::to_string(params.PlcType) + " is not one this program knows";
    }
    if (params.UnitId < 0 || params.UnitId > 255) {
        return "unit ID " + std::to_string(params.UnitId) + " is outside 0 to 255";
    }
    return std::nullopt;
}

std::string DriverError(const ChannelSlot& slot, const std::string& fallback)
{
    if (slot.driver) {
        try {
            std::string error = slot.driver->LastError();
            if (!error.empty()) {
                return error;
            }
        } catch (...) {
        }
    }
    return fallback;
}

// Opens the channel before work when there is no driver or every exchange opens its own.
bool OpenForWork(ChannelSlot& slot)
{
    if (!slot.driver || !slot.connectOnce) {
        return OpenChannel(slot);
    }
    return true;
}

void CloseAfterWork(ChannelSlot& slot, bool opened)
{
    if (opened && !slot.connectOnce) {
        CloseChannel(slot);
    }
}

template<class Command> bool SendCommand(clsPlc& plc, const CommEnvironment& env, Command command)
{
    ChannelSlot slot = SlotOf(plc, env);
    const bool opened = OpenForWork(slot);
    bool result = false;
    if (opened) {
        try {
            std::uint8_t status = 0;
            result = command(*slot.driver, status);
        } catch (...) {
            result = false;
        }
    }
    CloseAfterWork(slot, opened);
    WriteBack(plc, slot);
    return result;
}

// Item by item, as the Q40 family is read, and as every PLC is written. A channel that cannot be opened
// counts as a failure of the item it was opened for; once it would not open, the other items of this pass fail
// without another attempt, so an unreachable PLC costs one time-out per pass rather than one per item.
template<class Items, class Exchange> void ExchangeEachItem(ChannelSlot& slot, Items& items, Exchange exchange)
{
    bool opened = true;
    bool openFailed = false;
    for (auto& item : items) {
        if (!openFailed && (!slot.driver || !slot.connectOnce)) {
            opened = OpenChannel(slot);
            openFailed = !opened;
        }
        if (!opened) {
            item.skipped = true;
            continue;
        }
        if (!exchange(item, *slot.driver) && slot.error.empty()) {
            slot.error = DriverError(slot, "an item exchange failed");
        }
    }
    CloseAfterWork(slot, opened);
}

// The single items and children of a vector that an item exchanges, in order.
} // namespace

std::optional<std::string> WhyNotOpened(const clsPlc& plc)
{
    return WhyChannelCannotOpen(plc.Params());
}

std::optional<std::string> WhyNotExchanged(const Clsitem& item)
{
    if (common::FindOperand(item.OperandType) == nullptr) {
        return "operand type " + std::to_string(item.OperandType) + " is not one this program knows";
    }
    if (common::IoDirectionName(item.IoDirection).empty()) {
        return "direction " + std::to_string(item.IoDirection) + " is not one this program knows";
    }
    return std::nullopt;
}

ChannelSlot SlotOf(clsPlc& plc, const CommEnvironment& env)
{
    ChannelSlot slot;
    slot.driver = plc.Driver();
    slot.params = plc.Params();
    const clsPlc* source = &plc;
    slot.makeDriver = [&env, source] { return env.CreateDriver ? env.CreateDriver(*source) : nullptr; };
    slot.connectOnce = env.ConnectOnce();
    slot.error = plc.LastError;
    return slot;
}

void WriteBack(clsPlc& plc, ChannelSlot& slot)
{
    plc.Driver() = std::move(slot.driver);
    plc.LastError = std::move(slot.error);
}

std::string ChannelOf(const model::CommParams& params)
{
    if (params.PathWay == model::PathWay::Serial) {
        return "serial COM" + std::to_string(params.SerialComPort);
    }
    if (params.PathWay == model::PathWay::TcpIp) {
        return "tcp " + params.EthRemoteIP + ":" + std::to_string(params.EthRemotePort);
    }
    return "none";
}

bool OpenChannel(ChannelSlot& slot)
{
    slot.driver.reset();
    const model::CommParams& params = slot.params;
    if (auto problem = WhyChannelCannotOpen(params)) {
        slot.error = *problem;
        return false;
    }
    std::shared_ptr<CommDriver> driver;
    bool result = false;
    try {
        driver = slot.makeDriver();
        if (!driver) {
            slot.error = "no driver for this PLC";
            return false;
        }
        driver->SetUnitId(static_cast<std::uint8_t>(params.UnitId));
        if (params.PathWay == model::PathWay::Serial) {
            std::int32_t comPort = params.SerialComPort;
            SerialSettings settings { params.SerialBaudRate, params.DataBits, params.Parity,
                                      params.StopBits,       params.TimeOut,  params.NumRetries };
            result = driver->OpenSerial(comPort, settings);
        } else if (params.PathWay == model::PathWay::TcpIp) {
            driver->SetEthernetMode(params.EthMode);
            driver->SetRemoteHost(params.EthRemoteIP);
            driver->SetRemotePort(params.EthRemotePort);
            driver->SetTimeOut(params.TimeOut);
            driver->SetRetries(params.NumRetries);
            result = driver->ConnectEthernet() == 0 && driver->OpenEthernet();
        } else {
            slot.error
                = "connection type " + std::to_string(static_cast<std::int32_t>(params.PathWay)) + " opens no channel";
            return false;
        }
        if (!result) {
            const std::string error = driver->LastError();
            slot.error = error.empty() ? "the channel could not be opened" : error;
        }
    } catch (const std::exception& error) {
        slot.error = std::string("the channel could not be opened: ") + error.what();
        result = false;
    } catch (...) {
        slot.error = "the channel could not be opened";
        result = false;
    }
    if (result) {
        slot.driver = std::move(driver);
    }
    return result;
}

void CloseChannel(ChannelSlot& slot)
{
    if (slot.driver) {
        try {
            if (slot.params.PathWay == model::PathWay::Serial) {
                slot.driver->CloseSerial();
            } else if (slot.params.PathWay == model::PathWay::TcpIp) {
                slot.driver->CloseEthernet();
            }
        } catch (...) {
            // Closing is best effort; the instance is replaced below either way.
        }
    }
    try {
        slot.driver = slot.makeDriver();
    } catch (...) {
        slot.driver.reset();
    }
}

ReadPlan PlanRead(clsPlc& plc)
{
    ReadPlan plan;
    // A PLC whose stored values the channel cannot use fails, with the reason, even with nothing to read.
    if (auto problem = WhyNotOpened(plc)) {
        plan.way = ReadPlan::Way::Refused;
        plan.problem = std::move(*problem);
        return plan;
    }
    const std::int32_t plcType = plc.Params().PlcType;
    if (common::IsBatchedPlcType(plcType)) {
        if (plc.BinaryMix.empty() || plc.BinaryMix.front().MixType == 0) {
            return plan; // nothing to read
        }
        plan.way = ReadPlan::Way::Batched;
        plan.mix = std::move(plc.BinaryMix);
        return plan;
    }
    if (plcType != common::plctype::Q40StandAlone && plcType != common::plctype::Q40ViaOrbis) {
        plan.way = ReadPlan::Way::Refused;
        plan.problem = "PLC type " + std::to_string(plcType) + " is unknown";
        return plan;
    }
    plan.way = ReadPlan::Way::EachItem;
    for (const auto& item : plc.colItems()) {
        if (!TakesPartInReads(*item)) {
            continue;
        }
        ReadPlan::Item& planned = plan.items.emplace_back();
        for (Clsitem& operand : item->Operands()) {
            planned.operands.push_back(OperandRead { operand.OperandType, operand.OperandAddress, false, {}, {} });
        }
    }
    return plan;
}

void ExchangeRead(ChannelSlot& slot, ReadPlan& plan)
{
    switch (plan.way) {
    case ReadPlan::Way::Nothing:
        plan.ok = true;
        return;
    case ReadPlan::Way::Refused:
        plan.ok = false;
        return;
    case ReadPlan::Way::Batched: {
        const bool opened = OpenForWork(slot);
        plan.ok = false;
        if (opened) {
            try {
                std::uint8_t status = 0;
                plan.ok = slot.driver->ReadBinaryMix(plan.mix, status);
                if (plan.ok) {
                    plan.running = slot.driver->PlcRunning();
                }
            } catch (const std::exception& error) {
                slot.error = error.what();
            } catch (...) {
            }
            if (!plan.ok && slot.error.empty()) {
                slot.error = DriverError(slot, "the batched read failed");
            }
        }
        CloseAfterWork(slot, opened);
        return;
    }
    case ReadPlan::Way::EachItem:
        // A vector stops at its first child whose read fails.
        ExchangeEachItem(slot, plan.items, [](ReadPlan::Item& item, CommDriver& driver) {
            for (OperandRead& operand : item.operands) {
                operand.reached = true;
                operand.result = ReadOperand(driver, operand.operandType, operand.address, operand.value);
                if (operand.result == false) {
                    return false;
                }
            }
            return true;
        });
        plan.ok = std::none_of(plan.items.begin(), plan.items.end(), [](const ReadPlan::Item& item) {
            return item.skipped
                || std::any_of(item.operands.begin(), item.operands.end(),
                               [](const OperandRead& operand) { return operand.result == false; });
        });
        return;
    }
}

bool ApplyRead(clsPlc& plc, ReadPlan& plan, const CommEnvironment& env)
{
    // Only the batched read of a family with a run state tells it; item by item, the state is unknown.
    plc.PlcRunning = plan.ok ? plan.running : std::nullopt;
    switch (plan.way) {
    case ReadPlan::Way::Nothing:
        return true;
    case ReadPlan::Way::Refused:
        plc.LastError = plan.problem;
        return false;
    case ReadPlan::Way::Batched:
        plc.BinaryMix = std::move(plan.mix);
        if (plan.ok) {
            // Entries pair with the readable items by order.
            std::size_t index = 0;
            for (const auto& item : plc.colItems()) {
                if (TakesPartInReads(*item) && index < plc.BinaryMix.size()) {
                    const common::BinaryMixEntry& entry = plc.BinaryMix[index];
                    if (common::IsDeviceOperand(item->OperandType)) {
                        UpdateDeviceValues(*item, entry);
                    } else {
                        (void)UpdateValues(*item, entry.Values, env.DecimalSeparator);
                    }
                    ++index;
                }
            }
        }
        return plan.ok;
    case ReadPlan::Way::EachItem: {
        auto planned = plan.items.begin();
        for (const auto& item : plc.colItems()) {
            if (!TakesPartInReads(*item) || planned == plan.items.end()) {
                continue;
            }
            if (!planned->skipped) {
                auto operand = planned->operands.begin();
                for (Clsitem& target : item->Operands()) {
                    if (operand != planned->operands.end() && operand->reached) {
                        (void)PublishOperandRead(target, operand->result, operand->value, env.DecimalSeparator);
                        ++operand;
                    }
                }
            }
            ++planned;
        }
        return plan.ok;
    }
    }
    return false;
}

WritePlan PlanWrite(clsPlc& plc, const CommEnvironment& env)
{
    WritePlan plan;
    plan.separator = env.DecimalSeparator;
    for (const auto& item : plc.colItems()) {
        if (!TakesPartInWrites(*item)) {
            continue;
        }
        WritePlan::Item& planned = plan.items.emplace_back();
        for (Clsitem& operand : item->Operands()) {
            planned.operands.push_back(WritePlan::Operand { operand.OperandType,
                                                            operand.OperandAddress,
                                                            operand.Label.Text(),
                                                            operand.Currentvalue.ToText(env.DecimalSeparator),
                                                            operand.Details,
                                                            {} });
        }
    }
    return plan;
}

void ExchangeWrite(ChannelSlot& slot, WritePlan& plan)
{
    // A vector stops at its first child whose write fails.
    ExchangeEachItem(slot, plan.items, [&](WritePlan::Item& item, CommDriver& driver) {
        for (WritePlan::Operand& operand : item.operands) {
            operand.write = WriteOperand(driver, operand.operandType, operand.address, operand.labelText,
                                         operand.publishedText, plan.separator, operand.details);
            if (operand.write->outcome == OperandWrite::Outcome::Failed) {
                return false;
            }
        }
        return true;
    });
}

bool ApplyWrite(clsPlc& plc, WritePlan& plan, const CommEnvironment& env)
{
    const auto refused = [&](const RefusedPoke& poke) {
        if (env.Observer) {
            env.Observer->PokeRefused(plc, *poke.item, poke.reason);
        }
    };
    int failures = 0;
    auto planned = plan.items.begin();
    for (const auto& item : plc.colItems()) {
        if (!TakesPartInWrites(*item) || planned == plan.items.end()) {
            continue;
        }
        bool failed = planned->skipped;
        auto operand = planned->operands.begin();
        for (Clsitem& target : item->Operands()) {
            const bool reached = operand != planned->operands.end() && operand->write.has_value();
            if (failed || !reached) {
                // Not written in this pass: an item whose channel would not open, or the children after a failed
                // one. Their pokes wait for the pass after.
                KeepPokesPending(target, env.DecimalSeparator);
            } else if (!FinishOperandWrite(target, *operand->write, env.DecimalSeparator, refused)) {
                failed = true;
            }
            if (operand != planned->operands.end()) {
                ++operand;
            }
        }
        if (failed) {
            ++failures;
        }
        ++planned;
    }
    return failures == 0;
}

bool OpenComm(clsPlc& plc, const CommEnvironment& env)
{
    ChannelSlot slot = SlotOf(plc, env);
    const bool result = OpenChannel(slot);
    WriteBack(plc, slot);
    return result;
}

void CloseComm(clsPlc& plc, const CommEnvironment& env)
{
    ChannelSlot slot = SlotOf(plc, env);
    CloseChannel(slot);
    WriteBack(plc, slot);
}

bool StopMe(clsPlc& plc, const CommEnvironment& env)
{
    return SendCommand(plc, env, [](CommDriver& driver, std::uint8_t& status) { return driver.PlcStop(status); });
}

bool RunMe(clsPlc& plc, const CommEnvironment& env)
{
    return SendCommand(plc, env, [](CommDriver& driver, std::uint8_t& status) { return driver.PlcRun(status); });
}

void BuildBinaryMix(clsPlc& plc)
{
    plc.BinaryMix.assign(1, common::BinaryMixEntry {});
    plc.BinaryMixCount = 0;
    if (!common::IsBatchedPlcType(plc.Params().PlcType)) {
        return;
    }
    for (const auto& item : plc.colItems()) {
        if (!TakesPartInReads(*item)) {
            continue;
        }
        const common::OperandInfo* info = common::FindOperand(item->OperandType);
        common::BinaryMixEntry entry;
        entry.MixType = info ? info->batchCode : item->OperandType;
        entry.StartAddress = item->OperandAddress;
        entry.Count = item->Length();
        if (common::IsDeviceOperand(item->OperandType)) {
            entry.Width = common::DeviceValueWidth(item->OperandType, item->Details);
        }
        ++plc.BinaryMixCount;
        plc.BinaryMix.resize(static_cast<std::size_t>(plc.BinaryMixCount));
        plc.BinaryMix.back() = std::move(entry);
    }
}

bool ReadItemValuesAndUpdateItems(clsPlc& plc, const CommEnvironment& env)
{
    plc.LastError.clear();
    ReadPlan plan = PlanRead(plc);
    ChannelSlot slot = SlotOf(plc, env);
    ExchangeRead(slot, plan);
    WriteBack(plc, slot);
    return ApplyRead(plc, plan, env);
}

bool WriteItemValuesAndUpdateItems(clsPlc& plc, const CommEnvironment& env)
{
    plc.LastError.clear();
    WritePlan plan = PlanWrite(plc, env);
    ChannelSlot slot = SlotOf(plc, env);
    ExchangeWrite(slot, plan);
    WriteBack(plc, slot);
    return ApplyWrite(plc, plan, env);
}

} // namespace tavrel::comm
