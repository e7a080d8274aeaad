#include "app/ConnectionTest.h"

#include "comm/ItemExchange.h"
#include "comm/PlcComm.h"
#include "common/ItemValue.h"
#include "common/OperandCatalogue.h"
#include "model/LabelArray.h"

namespace tavrel::app {

namespace {

/// A read every family answers: its first MI (holding register 0). A device without that register answers with an
/// exception, which tells as much: it is there.
constexpr std::int32_t kProbeOperand = common::operand::MI;
constexpr std::int32_t kProbeAddress = 0;

std::string PlaceOf(const model::CommParams& params)
{
    if (params.PathWay == model::PathWay::TcpIp) {
        return params.EthRemoteIP + ":" + std::to_string(params.EthRemotePort);
    }
    return "COM " + std::to_string(params.SerialComPort);
}

std::string UnitOf(const model::CommParams& params)
{
    return "unit " + std::to_string(params.UnitId) + (params.UnitId == 0 ? " (Direct)" : "");
}

std::string Reason(const std::string& error)
{
    return error.empty() ? std::string("no reason given") : error;
}

} // namespace

ConnectionTestResult TestConnection(const model::CommParams& params,
                                    const decltype(comm::CommEnvironment::CreateDriver)& createDriver)
{
    model::CommParams once = params;
    once.NumRetries = 1;
    model::LabelArray labels;
    model::clsPlc plc(labels);
    plc.SetCommParams(once);
    comm::CommEnvironment env;
    env.CreateDriver = createDriver;

    const std::string place = PlaceOf(once);
    const std::string within = " within " + std::to_string(once.TimeOut) + " ms: ";
    if (!comm::OpenComm(plc, env)) {
        return { false, "No answer from " + place + within + Reason(plc.LastError) };
    }
    common::ItemValue value;
    const std::optional<bool> read = comm::ReadOperand(*plc.Driver(), kProbeOperand, kProbeAddress, value);
    std::string error;
    // An exception answer is an answer: a device (a meter, a drive) need not have the register probed.
    const bool answered
        = read == true || (read == false && plc.Driver()->LastFailureKind() == comm::FailureKind::Exception);
    if (!answered) {
        error = Reason(plc.Driver()->LastError());
    }
    comm::CloseComm(plc, env);
    if (!error.empty()) {
        return { false,
                 "Connected to " + place + ", " + UnitOf(once) + ", but no answer to a read of "
                     + std::string(common::OperandTypeName(kProbeOperand)) + " " + std::to_string(kProbeAddress)
                     + within + error };
    }
    return { true, "Connected to " + place + ", " + UnitOf(once) + ": the PLC answered" };
}

ConnectionTester MakeConnectionTester(decltype(comm::CommEnvironment::CreateDriver) createDriver)
{
    return [createDriver = std::move(createDriver)](const model::CommParams& params) {
        return TestConnection(params, createDriver);
    };
}

} // namespace tavrel::app
