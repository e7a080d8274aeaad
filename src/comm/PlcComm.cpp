#include "comm/PlcComm.h"

#include "comm/ItemExchange.h"
#include "common/OperandCatalogue.h"

namespace tavrel::comm {

namespace {

using model::clsPlc;
using model::Clsitem;

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

std::string DriverError(clsPlc& plc, const std::string& fallback)
{
    if (const auto& driver = plc.Driver(); driver) {
        std::string error = driver->LastError();
        if (!error.empty()) {
            return error;
        }
    }
    return fallback;
}

// Opens the channel before work when there is no driver or every exchange opens its own.
bool OpenForWork(clsPlc& plc, const CommEnvironment& env)
{
    if (!plc.Driver() || !env.ConnectOnce()) {
        return OpenComm(plc, env);
    }
    return true;
}

void CloseAfterWork(clsPlc& plc, const CommEnvironment& env, bool opened)
{
    if (opened && !env.ConnectOnce()) {
        CloseComm(plc, env);
    }
}

template<class Command>
bool SendCommand(clsPlc& plc, const CommEnvironment& env, Command command)
{
    const bool opened = OpenForWork(plc, env);
    bool result = false;
    if (opened) {
        try {
            std::uint8_t status = 0;
            result = command(*plc.Driver(), status);
        } catch (...) {
            result = false;
        }
    }
    CloseAfterWork(plc, env, opened);
    return result;
}

bool ReadBinaryMixAndUpdateItems(clsPlc& plc, const CommEnvironment& env)
{
    if (plc.BinaryMix.empty() || plc.BinaryMix.front().MixType == 0) {
        return true; // nothing to read
    }
    const bool opened = OpenForWork(plc, env);
    bool result = false;
    if (opened) {
        try {
            std::uint8_t status = 0;
            result = plc.Driver()->ReadBinaryMix(plc.BinaryMix, status);
        } catch (const std::exception& error) {
            plc.LastError = error.what();
            result = false;
        } catch (...) {
            result = false;
        }
        if (result) {
            // Entries pair with the readable items by order.
            std::size_t index = 0;
            for (const auto& item : plc.colItems()) {
                if (TakesPartInReads(*item) && index < plc.BinaryMix.size()) {
                    (void)UpdateValues(*item, plc.BinaryMix[index].Values, env.DecimalSeparator);
                    ++index;
                }
            }
        } else if (plc.LastError.empty()) {
            plc.LastError = DriverError(plc, "the batched read failed");
        }
    }
    CloseAfterWork(plc, env, opened);
    return result;
}

// Item by item, as the Q40 family is read, and as every PLC is written. A channel that cannot be opened
// counts as a failure of the item it was opened for.
template<class Exchange, class Skipped>
bool ExchangeEachItem(clsPlc& plc, const CommEnvironment& env, bool (*takesPart)(const Clsitem&), Exchange exchange,
                      Skipped skipped)
{
    bool opened = true;
    bool openFailed = false;
    int failures = 0;
    for (const auto& item : plc.colItems()) {
        if (!takesPart(*item)) {
            continue;
        }
        // Once the channel would not open, the other items of this pass fail without another attempt, so an
        // unreachable PLC costs one time-out per pass rather than one per item.
        if (!openFailed && (!plc.Driver() || !env.ConnectOnce())) {
            opened = OpenComm(plc, env);
            openFailed = !opened;
        }
        if (!opened) {
            skipped(*item);
            ++failures;
            continue;
        }
        if (!exchange(*item, *plc.Driver())) {
            if (plc.LastError.empty()) {
                plc.LastError = DriverError(plc, "an item exchange failed");
            }
            ++failures;
        }
    }
    CloseAfterWork(plc, env, opened);
    return failures == 0;
}

} // namespace

std::optional<std::string> WhyNotOpened(const clsPlc& plc)
{
    const model::CommParams& params = plc.Params();
    if (common::PlcTypeName(params.PlcType).empty()) {
        return "PLC type " + std::to_string(params.PlcType) + " is not one this program knows";
    }
    if (params.UnitId < 0 || params.UnitId > 255) {
        return "unit ID " + std::to_string(params.UnitId) + " is outside 0 to 255";
    }
    return std::nullopt;
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

bool OpenComm(clsPlc& plc, const CommEnvironment& env)
{
    plc.Driver().reset();
    const model::CommParams& params = plc.Params();
    if (auto problem = WhyNotOpened(plc)) {
        plc.LastError = *problem;
        return false;
    }
    std::shared_ptr<CommDriver> driver;
    bool result = false;
    try {
        driver = env.CreateDriver(plc);
        if (!driver) {
            plc.LastError = "no driver for this PLC";
            return false;
        }
        driver->SetUnitId(static_cast<std::uint8_t>(params.UnitId));
        if (params.PathWay == 1) {
            std::int32_t comPort = params.SerialComPort;
            SerialSettings settings{params.SerialBaudRate, params.DataBits, params.Parity,
                                    params.StopBits,       params.TimeOut,  params.NumRetries};
            result = driver->OpenSerial(comPort, settings);
        } else if (params.PathWay == 2) {
            driver->SetEthernetMode(params.EthMode);
            driver->SetRemoteHost(params.EthRemoteIP);
            driver->SetRemotePort(params.EthRemotePort);
            driver->SetTimeOut(params.TimeOut);
            driver->SetRetries(params.NumRetries);
            result = driver->ConnectEthernet() == 0 && driver->OpenEthernet();
        } else {
            plc.LastError = "connection type " + std::to_string(params.PathWay) + " opens no channel";
            return false;
        }
        if (!result) {
            const std::string error = driver->LastError();
            plc.LastError = error.empty() ? "the channel could not be opened" : error;
        }
    } catch (const std::exception& error) {
        plc.LastError = std::string("the channel could not be opened: ") + error.what();
        result = false;
    } catch (...) {
        plc.LastError = "the channel could not be opened";
        result = false;
    }
    if (result) {
        plc.Driver() = std::move(driver);
    }
    return result;
}

void CloseComm(clsPlc& plc, const CommEnvironment& env)
{
    if (auto& driver = plc.Driver(); driver) {
        try {
            if (plc.Params().PathWay == 1) {
                driver->CloseSerial();
            } else if (plc.Params().PathWay == 2) {
                driver->CloseEthernet();
            }
        } catch (...) {
            // Closing is best effort; the instance is replaced below either way.
        }
    }
    try {
        plc.Driver() = env.CreateDriver(plc);
    } catch (...) {
        plc.Driver().reset();
    }
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
    plc.BinaryMix.assign(1, common::BinaryMixEntry{});
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
        ++plc.BinaryMixCount;
        plc.BinaryMix.resize(static_cast<std::size_t>(plc.BinaryMixCount));
        plc.BinaryMix.back() = std::move(entry);
    }
}

bool ReadItemValuesAndUpdateItems(clsPlc& plc, const CommEnvironment& env)
{
    plc.LastError.clear();
    // A PLC whose stored values the channel cannot use fails, with the reason, even with nothing to read.
    if (auto problem = WhyNotOpened(plc)) {
        plc.LastError = *problem;
        return false;
    }
    const std::int32_t plcType = plc.Params().PlcType;
    if (common::IsBatchedPlcType(plcType)) {
        return ReadBinaryMixAndUpdateItems(plc, env);
    }
    if (plcType == common::plctype::Q40StandAlone || plcType == common::plctype::Q40ViaOrbis) {
        return ExchangeEachItem(
            plc, env, TakesPartInReads,
            [&](Clsitem& item, CommDriver& driver) {
                return ReadAsciiFromPlcAndUpdateItem(item, driver, env.DecimalSeparator);
            },
            [](Clsitem&) {});
    }
    plc.LastError = "PLC type " + std::to_string(plcType) + " is unknown";
    return false;
}

bool WriteItemValuesAndUpdateItems(clsPlc& plc, const CommEnvironment& env)
{
    plc.LastError.clear();
    return ExchangeEachItem(
        plc, env, TakesPartInWrites,
        [&](Clsitem& item, CommDriver& driver) {
            return WriteToPlcAndUpdateItem(item, driver, env.DecimalSeparator, [&](const RefusedPoke& refused) {
                if (env.Observer) {
                    env.Observer->PokeRefused(plc, *refused.item, refused.reason);
                }
            });
        },
        // An item whose channel would not open keeps its poke for the pass after the PLC is back.
        [&](Clsitem& item) { KeepPokesPending(item, env.DecimalSeparator); });
}

} // namespace tavrel::comm
