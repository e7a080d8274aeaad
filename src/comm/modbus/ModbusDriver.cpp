#include "comm/modbus/ModbusDriver.h"

#include "comm/modbus/RawTimerWord.h"
#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <limits>
#include <thread>

namespace tavrel::comm::modbus {

namespace {

namespace op = common::operand;

// libmodbus reports an exception answer as MODBUS_ENOBASE plus the exception code (EMBXILFUN .. EMBXGTAR).
bool IsExceptionAnswer(int error)
{
    return error >= EMBXILFUN && error <= EMBXGTAR;
}

// No answer, or one that was garbled: worth sending the request again.
bool IsWorthRetrying(int error)
{
    return error == ETIMEDOUT || error == EMBBADCRC || error == EMBBADDATA || error == EMBBADEXC || error == EMBUNKEXC
        || error == EMBBADSLAVE;
}

std::size_t TableIndex(Table table)
{
    return static_cast<std::size_t>(table);
}

std::string TableNoun(Table table, int count)
{
    const bool one = count == 1;
    switch (table) {
    case Table::Coils:
        return one ? "coil" : "coils";
    case Table::DiscreteInputs:
        return one ? "discrete input" : "discrete inputs";
    case Table::HoldingRegisters:
        return one ? "holding register" : "holding registers";
    }
    return {};
}

std::string OperandName(std::int32_t operandType)
{
    const std::string_view name = common::OperandTypeName(operandType);
    return name.empty() ? "operand type " + std::to_string(operandType) : std::string(name);
}

std::string OperandRun(std::int32_t operandType, std::int64_t address, std::int64_t count)
{
    std::string text = OperandName(operandType) + " " + std::to_string(address);
    if (count > 1) {
        text += " to " + std::to_string(address + count - 1);
    }
    return text;
}

// A whole number of a currency within [0, maximum], or nothing.
std::optional<std::int64_t> WholeWithin(common::Currency value, std::int64_t maximum)
{
    if (value.scaled % common::Currency::kScale != 0) {
        return std::nullopt;
    }
    const std::int64_t whole = value.scaled / common::Currency::kScale;
    if (whole < 0 || whole > maximum) {
        return std::nullopt;
    }
    return whole;
}

std::string CurrencyText(common::Currency value)
{
    return common::CurrencyToText(value);
}

} // namespace

ModbusDriver::ModbusDriver(OperandMap map, std::int32_t plcType)
    : m_map(std::move(map))
    , m_plcType(plcType)
{
    BuildMixLayouts();
}

ModbusDriver::~ModbusDriver() = default;

void ModbusDriver::SetPlcType(std::int32_t plcType)
{
    m_plcType = plcType;
    BuildMixLayouts();
    m_mixPlanValid = false;
}

void ModbusDriver::BuildMixLayouts()
{
    const auto layout = [&](std::int32_t mixType, Decode decode, std::initializer_list<std::int32_t> parts) {
        MixLayout& mix = m_mixLayouts[static_cast<std::size_t>(mixType)];
        mix.decode = decode;
        mix.partCount = 0;
        for (const std::int32_t part : parts) {
            const auto place = m_map.Locate(part, 0, Timers());
            if (!place) {
                mix.decode = Decode::None; // every mapped type has a place for operand 0
                return;
            }
            mix.parts[mix.partCount] = part;
            mix.places[mix.partCount] = *place;
            ++mix.partCount;
        }
    };
    m_mixLayouts.fill(MixLayout {});
    for (const std::int32_t bit : { op::MB, op::SB, op::I, op::O, op::XB }) {
        layout(bit, Decode::Bit, { bit });
    }
    for (const std::int32_t word : { op::MI, op::SI, op::XI }) {
        layout(word, Decode::Word, { word });
    }
    for (const std::int32_t longWord : { op::ML, op::SL, op::XL }) {
        layout(longWord, Decode::Long, { longWord });
    }
    layout(op::MF, Decode::SwappedFloat, { op::MF });
    for (const std::int32_t doubleWord : { op::DW, op::SDW, op::XDW }) {
        layout(doubleWord, Decode::DoubleWord, { doubleWord });
    }
    // A timer entry reads each timer's bit, current value and preset; a counter entry likewise.
    layout(op::TBit, Decode::Timer, { op::TBit, op::TCurrent, op::TPreset });
    layout(op::CBit, Decode::Counter, { op::CBit, op::CCurrent, op::CPreset });
}

void ModbusDriver::SetUnitId(std::uint8_t unitId)
{
    m_unitId = unitId;
}

void ModbusDriver::SetEthernetMode(std::int32_t mode)
{
    m_ethernetMode = mode;
}

void ModbusDriver::SetRemoteHost(const std::string& host)
{
    m_host = host;
}

void ModbusDriver::SetRemotePort(std::int32_t port)
{
    m_port = port;
}

void ModbusDriver::SetTimeOut(std::int32_t milliseconds)
{
    m_timeOutMs = milliseconds;
    if (m_context && milliseconds > 0) {
        ApplyTimeOut();
    }
}

void ModbusDriver::ApplyTimeOut()
{
    // With the byte time-out off, the response time-out bounds the whole answer, not just its first byte.
    modbus_set_response_timeout(m_context.Get(), static_cast<std::uint32_t>(m_timeOutMs / 1000),
                                static_cast<std::uint32_t>(m_timeOutMs % 1000) * 1000);
    modbus_set_byte_timeout(m_context.Get(), 0, 0);
}

void ModbusDriver::SetRetries(std::int16_t retries)
{
    m_retries = retries;
}

bool ModbusDriver::OpenSerial(std::int32_t& comPort, SerialSettings& settings)
{
    std::uint8_t status = 0;
    CloseSerial();
    const std::string device = m_map.SerialDevice(comPort);
    if (device.empty()) {
        return Fail(status, status::kRefused, "COM " + std::to_string(comPort) + " is not a serial port");
    }
    // Modbus RTU frames always carry 8 data bits; 7 is what some PLC families use for other protocols and is
    // taken as 8 here, as every Modbus RTU device expects.
    if (settings.DataBits != 7 && settings.DataBits != 8) {
        return Fail(status, status::kRefused,
                    std::to_string(settings.DataBits) + " data bits cannot carry Modbus RTU; use 8");
    }
    char parity = 'N';
    switch (settings.Parity) {
    case 0:
        parity = 'N';
        break;
    case 1:
        parity = 'O';
        break;
    case 2:
        parity = 'E';
        break;
    default:
        return Fail(status, status::kRefused,
                    "parity code " + std::to_string(settings.Parity) + " is unknown; 0 is none, 1 odd, 2 even");
    }
    if (settings.StopBits != 1 && settings.StopBits != 2) {
        return Fail(status, status::kRefused,
                    std::to_string(settings.StopBits) + " stop bits cannot be used; use 1 or 2");
    }
    if (settings.SerialBaudRate <= 0) {
        return Fail(status, status::kRefused,
                    "baud rate " + std::to_string(settings.SerialBaudRate) + " cannot be used");
    }
    if (settings.TimeOut <= 0) {
        return Fail(status, status::kRefused,
                    "time-out " + std::to_string(settings.TimeOut) + " ms cannot be used; it must be above 0");
    }
    if (settings.NumRetries < 0) {
        return Fail(status, status::kRefused,
                    std::to_string(settings.NumRetries) + " retries cannot be used; 0 or more");
    }
    // Slave 0 is the broadcast address on a serial line, which no slave answers; "Direct" means slave 1 there.
    const int slave = m_unitId == 0 ? 1 : m_unitId;
    if (slave > 247) {
        return Fail(status, status::kRefused,
                    "unit ID " + std::to_string(slave) + " cannot be addressed on a serial line (1 to 247)");
    }
    m_timeOutMs = settings.TimeOut;
    m_retries = settings.NumRetries;
    m_endpoint = device + " (COM " + std::to_string(comPort) + ", unit " + std::to_string(slave) + ")";

    ModbusContext context(modbus_new_rtu(device.c_str(), settings.SerialBaudRate, parity, 8, settings.StopBits));
    if (!context) {
        const int error = errno;
        return Fail(status, status::kRefused, "cannot prepare " + m_endpoint + ": " + modbus_strerror(error));
    }
    modbus_set_slave(context.Get(), slave);
    m_context = std::move(context);
    m_transport = Transport::Serial;
    return OpenChannel(status);
}

std::int32_t ModbusDriver::ConnectEthernet()
{
    std::uint8_t status = 0;
    CloseEthernet();
    m_endpoint = m_host + ":" + std::to_string(m_port);
    if (m_ethernetMode != 0) {
        Fail(status, status::kRefused,
             "Ethernet mode " + std::to_string(m_ethernetMode) + " is unknown; mode 0 is Modbus TCP");
        return connect_status::kUnknownMode;
    }
    if (m_host.empty()) {
        Fail(status, status::kRefused, "no remote host is set");
        return connect_status::kNoHost;
    }
    if (m_port < 1 || m_port > 65535) {
        Fail(status, status::kRefused, "remote port " + std::to_string(m_port) + " is not a port (1 to 65535)");
        return connect_status::kBadPort;
    }
    if (m_timeOutMs <= 0) {
        Fail(status, status::kRefused,
             "time-out " + std::to_string(m_timeOutMs) + " ms cannot be used; it must be above 0");
        return connect_status::kBadTimeOut;
    }
    if (m_retries < 0) {
        Fail(status, status::kRefused, std::to_string(m_retries) + " retries cannot be used; 0 or more");
        return connect_status::kBadRetries;
    }
    // Over TCP "Direct" is unit 255, the unit a device that is no gateway answers to.
    const int unit = m_unitId == 0 ? MODBUS_TCP_SLAVE : m_unitId;
    if (unit > 247 && unit != MODBUS_TCP_SLAVE) {
        Fail(status, status::kRefused,
             "unit ID " + std::to_string(unit) + " cannot be addressed over Modbus TCP here (1 to 247, or 0 for 255)");
        return connect_status::kBadUnit;
    }
    m_endpoint += " (unit " + std::to_string(unit) + ")";
    const std::string service = std::to_string(m_port);
    ModbusContext context(modbus_new_tcp_pi(m_host.c_str(), service.c_str()));
    if (!context) {
        const int error = errno;
        Fail(status, status::kRefused, "cannot prepare a channel to " + m_endpoint + ": " + modbus_strerror(error));
        return connect_status::kNoContext;
    }
    modbus_set_slave(context.Get(), unit);
    m_context = std::move(context);
    m_transport = Transport::Tcp;
    m_lastError.clear();
    return connect_status::kReady;
}

bool ModbusDriver::OpenEthernet()
{
    std::uint8_t status = 0;
    if (m_transport != Transport::Tcp || !m_context) {
        return Fail(status, status::kNotOpen, "no TCP channel has been prepared (ConnectEthernet)");
    }
    return OpenChannel(status);
}

bool ModbusDriver::OpenChannel(std::uint8_t& status)
{
    m_context.Disconnect(); // a channel that failed is opened afresh
    modbus_t* context = m_context.Get();
    m_connected = false;
    // libmodbus must not reconnect or sleep on its own: failures are ours to report and recover from.
    modbus_set_error_recovery(context, MODBUS_ERROR_RECOVERY_NONE);
    ApplyTimeOut();
    if (modbus_connect(context) == -1) {
        const int error = errno;
        return Fail(status, status::kNotOpen, "cannot open " + m_endpoint + ": " + modbus_strerror(error));
    }
    modbus_flush(context);
    m_connected = true;
    return Succeed(status);
}

void ModbusDriver::CloseSerial()
{
    m_context.Reset();
    m_connected = false;
    m_transport = Transport::None;
}

void ModbusDriver::CloseEthernet()
{
    CloseSerial();
}

bool ModbusDriver::CheckOpen(std::uint8_t& status)
{
    if (m_connected) {
        return true;
    }
    if (m_transport == Transport::None) {
        return Fail(status, status::kNotOpen, "the channel is not open");
    }
    // Keep the reason of the failure that closed the channel: it is the one worth showing.
    status = status::kNotOpen;
    m_lastFailureKind = FailureKind::Exchange;
    if (m_lastError.empty()) {
        m_lastError = "the channel to " + m_endpoint + " is not open";
    }
    return false;
}

bool ModbusDriver::Succeed(std::uint8_t& status)
{
    status = status::kDone;
    m_lastError.clear();
    return true;
}

bool ModbusDriver::Fail(std::uint8_t& status, std::uint8_t code, std::string message)
{
    status = code;
    m_lastError = std::move(message);
    m_lastFailureKind = code == status::kRefused ? FailureKind::Refused : FailureKind::Exchange;
    return false;
}

template<class Request>
bool ModbusDriver::Transact(const char* action, Table table, int start, int count, std::uint8_t& status,
                            Request request)
{
    modbus_t* context = m_context.Get();
    int error = 0;
    std::int32_t attempts = m_retries + 1;
    bool settled = false;
    for (std::int32_t attempt = 0; attempt < attempts; ++attempt) {
        // An answer that came too late for an earlier request, or a stray copy of one, must not be taken for
        // this one's.
        modbus_flush(context);
        if (request(context) != -1) {
            return true;
        }
        error = errno; // before anything else can change it
        if (IsExceptionAnswer(error)) {
            return Fail(status, static_cast<std::uint8_t>(error - MODBUS_ENOBASE),
                        std::string(action) + " " + std::to_string(count) + " " + TableNoun(table, count) + " at "
                            + std::to_string(start) + " on " + m_endpoint + ": the PLC answered exception "
                            + std::to_string(error - MODBUS_ENOBASE) + ", " + modbus_strerror(error));
        }
        if (!IsWorthRetrying(error)) {
            break;
        }
        if (error == EMBBADDATA && !settled) {
            // An answer to another request: most likely to the one before, late after its time-out, with this
            // one's answer on its way behind it. The line is given a time-out to settle and cleared, and the
            // request goes again without counting as a retry (once, so that a PLC that always answers amiss
            // still fails).
            settled = true;
            ++attempts;
            std::this_thread::sleep_for(std::chrono::milliseconds(m_timeOutMs));
        }
    }
    // Whatever is left on the line belongs to no request of ours; the next open starts clean.
    m_context.Disconnect();
    m_connected = false;
    std::string message = std::string(action) + " " + std::to_string(count) + " " + TableNoun(table, count) + " at "
        + std::to_string(start) + " on " + m_endpoint + ": ";
    std::uint8_t code = status::kLinkLost;
    if (error == ETIMEDOUT) {
        code = status::kTimedOut;
        message += "no answer within " + std::to_string(m_timeOutMs) + " ms";
    } else {
        message += modbus_strerror(error);
        code = IsWorthRetrying(error) ? status::kBadAnswer : status::kLinkLost;
    }
    if (IsWorthRetrying(error) && m_retries > 0) {
        message += " (" + std::to_string(m_retries) + (m_retries == 1 ? " retry" : " retries") + " included)";
    }
    message += "; the channel is closed until it is opened again";
    return Fail(status, code, std::move(message));
}

std::uint32_t ModbusDriver::JoinWords(std::uint16_t first, std::uint16_t second) const
{
    return m_map.Order() == WordOrder::HighWordFirst ? (std::uint32_t { first } << 16) | second
                                                     : (std::uint32_t { second } << 16) | first;
}

std::array<std::uint16_t, 2> ModbusDriver::SplitWords(std::uint32_t value) const
{
    const auto high = static_cast<std::uint16_t>(value >> 16);
    const auto low = static_cast<std::uint16_t>(value & 0xFFFFu);
    return m_map.Order() == WordOrder::HighWordFirst ? std::array { high, low } : std::array { low, high };
}

std::uint32_t ModbusDriver::LongAt(std::uint16_t address) const
{
    return JoinWords(m_registerImage[address], m_registerImage[static_cast<std::size_t>(address) + 1]);
}

bool ModbusDriver::CollectSpans(std::int32_t operandType, std::int64_t address, std::int64_t count,
                                std::uint8_t& status)
{
    const auto first = m_map.Locate(operandType, address, Timers());
    if (!first || first->address + (count - 1) * first->width + first->width - 1 > 65535) {
        return Fail(status, status::kRefused,
                    OperandRun(operandType, address, count) + " lies outside the Modbus addresses of the operand map");
    }
    ReadPlanner& planner = m_planners[TableIndex(first->table)];
    for (std::int64_t i = 0; i < count; ++i) {
        planner.Add(ReadSpan { static_cast<std::uint16_t>(first->address + i * first->width), first->width });
    }
    return true;
}

void ModbusDriver::PlanCollected(RequestsPerTable& requests)
{
    for (const Table table : { Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters }) {
        ReadPlanner& planner = m_planners[TableIndex(table)];
        std::vector<ReadRequest>& planned = requests[TableIndex(table)];
        if (planner.Empty()) {
            planned.clear();
            continue;
        }
        const bool bits = table != Table::HoldingRegisters;
        planned = planner.Plan(bits ? m_map.MaxBitsPerRequest() : m_map.MaxRegistersPerRequest());
    }
}

bool ModbusDriver::Fetch(const RequestsPerTable& requests, std::uint8_t& status)
{
    for (const Table table : { Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters }) {
        for (const ReadRequest& request : requests[TableIndex(table)]) {
            const int start = request.start;
            const int count = request.count;
            bool ok = false;
            if (table == Table::Coils) {
                m_coilImage.resize(65536);
                ok = Transact("reading", table, start, count, status, [&](modbus_t* context) {
                    return modbus_read_bits(context, start, count, m_coilImage.data() + start);
                });
            } else if (table == Table::DiscreteInputs) {
                m_inputImage.resize(65536);
                ok = Transact("reading", table, start, count, status, [&](modbus_t* context) {
                    return modbus_read_input_bits(context, start, count, m_inputImage.data() + start);
                });
            } else {
                m_registerImage.resize(65536);
                ok = Transact("reading", table, start, count, status, [&](modbus_t* context) {
                    return modbus_read_registers(context, start, count, m_registerImage.data() + start);
                });
            }
            if (!ok) {
                return false;
            }
        }
    }
    return true;
}

std::optional<OperandLocation> ModbusDriver::LocateRun(std::int32_t operandType, std::int16_t address,
                                                       std::int16_t count, std::size_t bufferSize, std::uint8_t& status)
{
    if (count < 1) {
        Fail(status, status::kRefused,
             OperandName(operandType) + ": a count of " + std::to_string(count)
                 + " operands cannot be exchanged; at least 1");
        return std::nullopt;
    }
    if (bufferSize < static_cast<std::size_t>(count)) {
        Fail(status, status::kRefused,
             OperandRun(operandType, address, count) + ": the buffer holds only " + std::to_string(bufferSize)
                 + (bufferSize == 1 ? " value" : " values"));
        return std::nullopt;
    }
    const auto first = m_map.Locate(operandType, address, Timers());
    const auto last = m_map.Locate(operandType, std::int64_t { address } + count - 1, Timers());
    if (!first || !last) {
        Fail(status, status::kRefused,
             OperandRun(operandType, address, count) + " lies outside the Modbus addresses of the operand map");
        return std::nullopt;
    }
    return first;
}

template<class Value, class Convert>
bool ModbusDriver::ReadOperands(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                std::span<Value> values, std::uint8_t& status, Convert convert)
{
    const auto location = LocateRun(operandType, address, count, values.size(), status);
    if (!location || !CheckOpen(status)) {
        return false;
    }
    for (ReadPlanner& planner : m_planners) {
        planner.Clear();
    }
    if (!CollectSpans(operandType, address, count, status)) {
        return false;
    }
    PlanCollected(m_itemRequests);
    if (!Fetch(m_itemRequests, status)) {
        return false;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        const auto at = static_cast<std::uint16_t>(location->address + i * location->width);
        if (!convert(at, values[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    return Succeed(status);
}

bool ModbusDriver::ReadBits(std::int32_t operandType, std::int16_t address, std::int16_t count,
                            std::span<std::uint8_t> values, std::uint8_t& status)
{
    const auto location = m_map.Locate(operandType, 0, Timers());
    const bool coils = location && location->table == Table::Coils;
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, std::uint8_t& value) {
        value = (coils ? m_coilImage[at] : m_inputImage[at]) != 0 ? 1 : 0;
        return true;
    });
}

bool ModbusDriver::ReadWords(std::int32_t operandType, std::int16_t address, std::int16_t count,
                             std::span<std::int16_t> values, std::uint8_t& status)
{
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, std::int16_t& value) {
        value = static_cast<std::int16_t>(m_registerImage[at]);
        return true;
    });
}

bool ModbusDriver::ReadLongs(std::int32_t operandType, std::int16_t address, std::int16_t count,
                             std::span<std::int32_t> values, std::uint8_t& status)
{
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, std::int32_t& value) {
        value = static_cast<std::int32_t>(LongAt(at));
        return true;
    });
}

bool ModbusDriver::ReadDoubleWords(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                   std::span<common::Currency> values, std::uint8_t& status)
{
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, common::Currency& value) {
        value = common::Currency::FromWhole(LongAt(at));
        return true;
    });
}

bool ModbusDriver::ReadTimerWords(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                  std::span<std::int16_t> values, std::uint8_t& status)
{
    const bool raw = Timers() == TimerFormat::RawWord;
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, std::int16_t& value) {
        if (raw) {
            value = static_cast<std::int16_t>(m_registerImage[at]);
            return true;
        }
        const auto ticks = static_cast<std::int32_t>(LongAt(at));
        const auto word = RawTimerWordFromTicks(ticks);
        if (!word) {
            return Fail(status, status::kRefused,
                        OperandName(operandType) + " at register " + std::to_string(at) + " holds "
                            + std::to_string(ticks) + " ticks, which no raw timer word can express");
        }
        value = static_cast<std::int16_t>(*word);
        return true;
    });
}

bool ModbusDriver::MixPlanMatches(const std::vector<common::BinaryMixEntry>& entries) const
{
    if (!m_mixPlanValid || entries.size() != m_mixSignature.size()) {
        return false;
    }
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const MixSignature& signature = m_mixSignature[k];
        if (entries[k].MixType != signature.mixType || entries[k].StartAddress != signature.startAddress
            || entries[k].Count != signature.count) {
            return false;
        }
    }
    return true;
}

bool ModbusDriver::PlanMix(const std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status)
{
    m_mixPlanValid = false;
    for (ReadPlanner& planner : m_planners) {
        planner.Clear();
    }
    m_mixSignature.clear();
    m_mixSteps.clear();
    for (const common::BinaryMixEntry& entry : entries) {
        m_mixSignature.push_back({ entry.MixType, entry.StartAddress, entry.Count });
        if (entry.MixType == 0 && entry.Count == 0) {
            continue; // the zeroed entry of an empty list
        }
        const MixLayout* layout = entry.MixType >= 0 && entry.MixType < kMixTypeCount
            ? &m_mixLayouts[static_cast<std::size_t>(entry.MixType)]
            : nullptr;
        if (layout == nullptr || layout->decode == Decode::None) {
            return Fail(status, status::kRefused,
                        "mix type " + std::to_string(entry.MixType) + " is not a batched request code");
        }
        if (entry.Count < 0 || entry.StartAddress < 0) {
            return Fail(status, status::kRefused,
                        "a batched read of " + std::to_string(entry.Count) + " operands from address "
                            + std::to_string(entry.StartAddress) + " cannot be made");
        }
        std::array<std::int64_t, 3> first {};
        for (std::size_t p = 0; p < layout->partCount; ++p) {
            const OperandLocation& place = layout->places[p];
            first[p] = place.address + std::int64_t { entry.StartAddress } * place.width;
            if (first[p] + std::int64_t { entry.Count } * place.width - 1 > 65535) {
                return Fail(status, status::kRefused,
                            OperandRun(layout->parts[p], entry.StartAddress, entry.Count)
                                + " lies outside the Modbus addresses of the operand map");
            }
        }
        for (std::int64_t i = 0; i < entry.Count; ++i) {
            DecodeStep step { layout->decode, layout->places[0].table == Table::Coils, {} };
            for (std::size_t p = 0; p < layout->partCount; ++p) {
                const OperandLocation& place = layout->places[p];
                step.addresses[p] = static_cast<std::uint16_t>(first[p] + i * place.width);
                m_planners[TableIndex(place.table)].Add(ReadSpan { step.addresses[p], place.width });
            }
            m_mixSteps.push_back(step);
        }
    }
    PlanCollected(m_mixRequests);
    m_mixPlanValid = true;
    return true;
}

bool ModbusDriver::ReadBinaryMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status)
{
    if (!CheckOpen(status)) {
        return false;
    }
    // A PLC reads the same list every pass: the requests and where each value lies are worked out once.
    if (!MixPlanMatches(entries) && !PlanMix(entries, status)) {
        return false;
    }
    if (!Fetch(m_mixRequests, status)) {
        return false;
    }

    const bool rawTimers = Timers() == TimerFormat::RawWord;
    const auto timerTicks = [&](std::uint16_t address) {
        return rawTimers ? TicksFromRawTimerWord(m_registerImage[address]) : static_cast<std::int32_t>(LongAt(address));
    };
    const DecodeStep* step = m_mixSteps.data();
    for (common::BinaryMixEntry& entry : entries) {
        if (entry.Count <= 0) {
            entry.Values.clear();
            continue;
        }
        entry.Values.resize(static_cast<std::size_t>(entry.Count));
        for (common::OperandValue& value : entry.Values) {
            const auto& at = step->addresses;
            const auto bit = [&] { return (step->coils ? m_coilImage[at[0]] : m_inputImage[at[0]]) != 0 ? 1 : 0; };
            value = common::OperandValue {};
            switch (step->decode) {
            case Decode::Bit:
                value.LongValue = bit();
                break;
            case Decode::Word:
                value.LongValue = static_cast<std::int16_t>(m_registerImage[at[0]]);
                break;
            case Decode::Long:
                value.LongValue = static_cast<std::int32_t>(LongAt(at[0]));
                break;
            case Decode::SwappedFloat: {
                std::uint32_t word = LongAt(at[0]);
                common::SwapWordHalves(word);
                value.LongValue = static_cast<std::int32_t>(word);
                break;
            }
            case Decode::DoubleWord:
                value.CurrencyValue = common::Currency::FromWhole(LongAt(at[0]));
                break;
            case Decode::Timer:
                value.LongValue = bit();
                value.TimerCurrent = timerTicks(at[1]);
                value.TimerPreset = timerTicks(at[2]);
                break;
            case Decode::Counter:
                value.LongValue = bit();
                value.CurrencyValue = common::Currency::FromWhole(LongAt(at[1]));
                value.CounterPreset = common::Currency::FromWhole(LongAt(at[2]));
                break;
            case Decode::None:
                break;
            }
            ++step;
        }
    }
    return Succeed(status);
}

bool ModbusDriver::WriteBits(std::int32_t operandType, std::int16_t address, std::int16_t count,
                             std::span<std::uint8_t> values, std::uint8_t& status)
{
    const auto location = LocateRun(operandType, address, count, values.size(), status);
    if (!location) {
        return false;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        if (auto refusal = BitRefusal(operandType, std::int64_t { address } + i, values[static_cast<std::size_t>(i)])) {
            return Fail(status, status::kRefused, std::move(*refusal));
        }
    }
    if (location->table != Table::Coils) {
        return Fail(status, status::kRefused, OperandName(operandType) + " lives in read-only discrete inputs");
    }
    if (!CheckOpen(status)) {
        return false;
    }
    const int chunk = std::min(m_map.MaxBitsPerRequest(), kMaxWriteBits);
    for (int done = 0; done < count; done += chunk) {
        const int start = location->address + done;
        const int n = std::min(chunk, count - done);
        std::uint8_t* bits = values.data() + done;
        const bool ok = Transact("writing", Table::Coils, start, n, status, [&](modbus_t* context) {
            return n == 1 ? modbus_write_bit(context, start, bits[0]) : modbus_write_bits(context, start, n, bits);
        });
        if (!ok) {
            return false;
        }
    }
    return Succeed(status);
}

bool ModbusDriver::WriteRegisterValues(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                       const std::vector<std::uint16_t>& registers, std::uint8_t& status)
{
    const auto location = LocateRun(operandType, address, count, static_cast<std::size_t>(count), status);
    if (!location || !CheckOpen(status)) {
        return false;
    }
    const int width = location->width;
    const int cap = std::min(m_map.MaxRegistersPerRequest(), kMaxWriteRegisters);
    // Whole operands per request, so that no value is written half.
    const int chunk = cap >= width ? cap / width * width : cap;
    const int total = static_cast<int>(registers.size());
    for (int done = 0; done < total; done += chunk) {
        const int start = location->address + done;
        const int n = std::min(chunk, total - done);
        const std::uint16_t* words = registers.data() + done;
        const bool ok = Transact("writing", Table::HoldingRegisters, start, n, status, [&](modbus_t* context) {
            return n == 1 ? modbus_write_register(context, start, words[0])
                          : modbus_write_registers(context, start, n, words);
        });
        if (!ok) {
            return false;
        }
    }
    return Succeed(status);
}

bool ModbusDriver::WriteDoubleWords(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                    std::span<common::Currency> values, std::uint8_t& status)
{
    if (!LocateRun(operandType, address, count, values.size(), status)) {
        return false;
    }
    std::vector<std::uint16_t> registers;
    for (std::int32_t i = 0; i < count; ++i) {
        const common::Currency value = values[static_cast<std::size_t>(i)];
        if (auto refusal = DoubleWordRefusal(operandType, std::int64_t { address } + i, value)) {
            return Fail(status, status::kRefused, std::move(*refusal));
        }
        const auto words = SplitWords(static_cast<std::uint32_t>(value.scaled / common::Currency::kScale));
        registers.insert(registers.end(), words.begin(), words.end());
    }
    return WriteRegisterValues(operandType, address, count, registers, status);
}

bool ModbusDriver::WriteTimerTicks(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                   std::span<common::Currency> values, std::uint8_t& status)
{
    if (!LocateRun(operandType, address, count, values.size(), status)) {
        return false;
    }
    const bool raw = Timers() == TimerFormat::RawWord;
    std::vector<std::uint16_t> registers;
    for (std::int32_t i = 0; i < count; ++i) {
        const common::Currency value = values[static_cast<std::size_t>(i)];
        if (auto refusal = TimerRefusal(operandType, std::int64_t { address } + i, value)) {
            return Fail(status, status::kRefused, std::move(*refusal));
        }
        const std::int64_t ticks = value.scaled / common::Currency::kScale;
        if (raw) {
            registers.push_back(*RawTimerWordFromTicks(ticks));
        } else {
            const auto words = SplitWords(static_cast<std::uint32_t>(ticks));
            registers.insert(registers.end(), words.begin(), words.end());
        }
    }
    return WriteRegisterValues(operandType, address, count, registers, status);
}

std::optional<std::string> ModbusDriver::BitRefusal(std::int32_t operandType, std::int64_t address,
                                                    std::uint8_t value) const
{
    if (value > 1) {
        return OperandRun(operandType, address, 1) + " is a bit: it takes 0 or 1, not " + std::to_string(value);
    }
    return std::nullopt;
}

std::optional<std::string> ModbusDriver::DoubleWordRefusal(std::int32_t operandType, std::int64_t address,
                                                           common::Currency value) const
{
    if (!WholeWithin(value, std::numeric_limits<std::uint32_t>::max())) {
        return OperandRun(operandType, address, 1) + " takes a whole number from 0 to 4294967295, not "
            + CurrencyText(value);
    }
    return std::nullopt;
}

std::optional<std::string> ModbusDriver::TimerRefusal(std::int32_t operandType, std::int64_t address,
                                                      common::Currency value) const
{
    const bool raw = Timers() == TimerFormat::RawWord;
    const auto ticks = WholeWithin(value, common::kMaxTimerTicks);
    if (!ticks || (raw && !RawTimerWordFromTicks(*ticks))) {
        // The raw word's longest value: a count of 16383 on the 10 s base.
        const std::int32_t longest = raw ? 16383 * 1000 : common::kMaxTimerTicks;
        return OperandRun(operandType, address, 1) + " holds " + common::TimerTicksToText(0) + " to "
            + common::TimerTicksToText(longest) + (raw ? " on this PLC type" : "") + ", not "
            + (ticks ? common::TimerTicksToText(static_cast<std::int32_t>(*ticks)) : CurrencyText(value) + " ticks");
    }
    return std::nullopt;
}

std::optional<common::Refusal> ModbusDriver::CheckWrite(std::int32_t operandType, std::int32_t address,
                                                        const OperandWriteValue& value) const
{
    const auto location = m_map.Locate(operandType, address, Timers());
    if (!location) {
        return common::Refusal { common::Refusal::Kind::NotWritable,
                                 OperandRun(operandType, address, 1)
                                     + " lies outside the Modbus addresses of the operand map" };
    }
    const bool bit = std::holds_alternative<std::uint8_t>(value);
    if (location->table != (bit ? Table::Coils : Table::HoldingRegisters)) {
        return common::Refusal { common::Refusal::Kind::NotWritable,
                                 OperandName(operandType) + " lives in read-only " + TableNoun(location->table, 2) };
    }
    std::optional<std::string> refusal;
    if (bit) {
        refusal = BitRefusal(operandType, address, std::get<std::uint8_t>(value));
    } else if (const auto* currency = std::get_if<common::Currency>(&value)) {
        refusal = operandType == op::TPreset || operandType == op::TCurrent
            ? TimerRefusal(operandType, address, *currency)
            : DoubleWordRefusal(operandType, address, *currency);
    }
    if (refusal) {
        return common::Refusal { common::Refusal::Kind::OutOfRange, std::move(*refusal) };
    }
    return std::nullopt;
}

bool ModbusDriver::WriteRunCoil(bool run, std::uint8_t& status)
{
    if (!CheckOpen(status)) {
        return false;
    }
    const int coil = m_map.RunCoil();
    const bool ok
        = Transact(run ? "running the PLC: writing 1 to" : "stopping the PLC: writing 0 to", Table::Coils, coil, 1,
                   status, [&](modbus_t* context) { return modbus_write_bit(context, coil, run ? 1 : 0); });
    return ok && Succeed(status);
}

bool ModbusDriver::PlcStop(std::uint8_t& status)
{
    return WriteRunCoil(false, status);
}

bool ModbusDriver::PlcRun(std::uint8_t& status)
{
    return WriteRunCoil(true, status);
}

bool ModbusDriver::ReadMB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                          std::uint8_t& status)
{
    return ReadBits(op::MB, address, count, values, status);
}

bool ModbusDriver::ReadSB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                          std::uint8_t& status)
{
    return ReadBits(op::SB, address, count, values, status);
}

bool ModbusDriver::ReadI(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status)
{
    return ReadBits(op::I, address, count, values, status);
}

bool ModbusDriver::ReadO(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status)
{
    return ReadBits(op::O, address, count, values, status);
}

bool ModbusDriver::ReadCBit(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                            std::uint8_t& status)
{
    return ReadBits(op::CBit, address, count, values, status);
}

bool ModbusDriver::ReadXB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                          std::uint8_t& status)
{
    return ReadBits(op::XB, address, count, values, status);
}

bool ModbusDriver::ReadMI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                          std::uint8_t& status)
{
    return ReadWords(op::MI, address, count, values, status);
}

bool ModbusDriver::ReadSI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                          std::uint8_t& status)
{
    return ReadWords(op::SI, address, count, values, status);
}

bool ModbusDriver::ReadXI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                          std::uint8_t& status)
{
    return ReadWords(op::XI, address, count, values, status);
}

bool ModbusDriver::ReadML(std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
                          std::uint8_t& status)
{
    return ReadLongs(op::ML, address, count, values, status);
}

bool ModbusDriver::ReadSL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
                          std::uint8_t& status)
{
    return ReadLongs(op::SL, address, count, values, status);
}

bool ModbusDriver::ReadXL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
                          std::uint8_t& status)
{
    return ReadLongs(op::XL, address, count, values, status);
}

bool ModbusDriver::ReadMF(std::int16_t address, std::int16_t count, std::span<float> values, std::uint8_t& status)
{
    return ReadOperands(op::MF, address, count, values, status, [&](std::uint16_t at, float& value) {
        value = std::bit_cast<float>(LongAt(at));
        return true;
    });
}

bool ModbusDriver::ReadDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                          std::uint8_t& status)
{
    return ReadDoubleWords(op::DW, address, count, values, status);
}

bool ModbusDriver::ReadXDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                           std::uint8_t& status)
{
    return ReadDoubleWords(op::XDW, address, count, values, status);
}

bool ModbusDriver::ReadCCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                                std::uint8_t& status)
{
    return ReadDoubleWords(op::CCurrent, address, count, values, status);
}

bool ModbusDriver::ReadCPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                               std::uint8_t& status)
{
    return ReadDoubleWords(op::CPreset, address, count, values, status);
}

bool ModbusDriver::ReadTPreset(std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                               std::uint8_t& status)
{
    return ReadTimerWords(op::TPreset, address, count, values, status);
}

bool ModbusDriver::ReadTCurrent(std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                                std::uint8_t& status)
{
    return ReadTimerWords(op::TCurrent, address, count, values, status);
}

bool ModbusDriver::WriteMB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                           std::uint8_t& status)
{
    return WriteBits(op::MB, address, count, values, status);
}

bool ModbusDriver::WriteSB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                           std::uint8_t& status)
{
    return WriteBits(op::SB, address, count, values, status);
}

bool ModbusDriver::WriteO(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                          std::uint8_t& status)
{
    return WriteBits(op::O, address, count, values, status);
}

bool ModbusDriver::WriteXB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                           std::uint8_t& status)
{
    return WriteBits(op::XB, address, count, values, status);
}

bool ModbusDriver::WriteWords(std::int32_t operandType, std::int16_t address, std::int16_t count,
                              std::span<std::int16_t> values, std::uint8_t& status)
{
    if (!LocateRun(operandType, address, count, values.size(), status)) {
        return false;
    }
    std::vector<std::uint16_t> registers;
    for (std::int32_t i = 0; i < count; ++i) {
        registers.push_back(static_cast<std::uint16_t>(values[static_cast<std::size_t>(i)]));
    }
    return WriteRegisterValues(operandType, address, count, registers, status);
}

bool ModbusDriver::WriteLongs(std::int32_t operandType, std::int16_t address, std::int16_t count,
                              std::span<const std::uint32_t> values, std::uint8_t& status)
{
    std::vector<std::uint16_t> registers;
    for (std::int32_t i = 0; i < count; ++i) {
        const auto words = SplitWords(values[static_cast<std::size_t>(i)]);
        registers.insert(registers.end(), words.begin(), words.end());
    }
    return WriteRegisterValues(operandType, address, count, registers, status);
}

bool ModbusDriver::WriteMI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                           std::uint8_t& status)
{
    return WriteWords(op::MI, address, count, values, status);
}

bool ModbusDriver::WriteSI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                           std::uint8_t& status)
{
    return WriteWords(op::SI, address, count, values, status);
}

bool ModbusDriver::WriteXI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                           std::uint8_t& status)
{
    return WriteWords(op::XI, address, count, values, status);
}

bool ModbusDriver::WriteML(std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
                           std::uint8_t& status)
{
    if (!LocateRun(op::ML, address, count, values.size(), status)) {
        return false;
    }
    std::vector<std::uint32_t> words(static_cast<std::size_t>(count));
    std::transform(values.begin(), values.begin() + count, words.begin(),
                   [](std::int32_t value) { return static_cast<std::uint32_t>(value); });
    return WriteLongs(op::ML, address, count, words, status);
}

bool ModbusDriver::WriteSL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
                           std::uint8_t& status)
{
    if (!LocateRun(op::SL, address, count, values.size(), status)) {
        return false;
    }
    std::vector<std::uint32_t> words(static_cast<std::size_t>(count));
    std::transform(values.begin(), values.begin() + count, words.begin(),
                   [](std::int32_t value) { return static_cast<std::uint32_t>(value); });
    return WriteLongs(op::SL, address, count, words, status);
}

bool ModbusDriver::WriteXL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
                           std::uint8_t& status)
{
    if (!LocateRun(op::XL, address, count, values.size(), status)) {
        return false;
    }
    std::vector<std::uint32_t> words(static_cast<std::size_t>(count));
    std::transform(values.begin(), values.begin() + count, words.begin(),
                   [](std::int32_t value) { return static_cast<std::uint32_t>(value); });
    return WriteLongs(op::XL, address, count, words, status);
}

bool ModbusDriver::WriteMF(std::int16_t address, std::int16_t count, std::span<float> values, std::uint8_t& status)
{
    if (!LocateRun(op::MF, address, count, values.size(), status)) {
        return false;
    }
    std::vector<std::uint32_t> words(static_cast<std::size_t>(count));
    std::transform(values.begin(), values.begin() + count, words.begin(),
                   [](float value) { return std::bit_cast<std::uint32_t>(value); });
    return WriteLongs(op::MF, address, count, words, status);
}

bool ModbusDriver::WriteDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                           std::uint8_t& status)
{
    return WriteDoubleWords(op::DW, address, count, values, status);
}

bool ModbusDriver::WriteSDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                            std::uint8_t& status)
{
    return WriteDoubleWords(op::SDW, address, count, values, status);
}

bool ModbusDriver::WriteXDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                            std::uint8_t& status)
{
    return WriteDoubleWords(op::XDW, address, count, values, status);
}

bool ModbusDriver::WriteCCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                                 std::uint8_t& status)
{
    return WriteDoubleWords(op::CCurrent, address, count, values, status);
}

bool ModbusDriver::WriteCPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                                std::uint8_t& status)
{
    return WriteDoubleWords(op::CPreset, address, count, values, status);
}

bool ModbusDriver::WriteTPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                                std::uint8_t& status)
{
    return WriteTimerTicks(op::TPreset, address, count, values, status);
}

bool ModbusDriver::WriteTCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values,
                                 std::uint8_t& status)
{
    return WriteTimerTicks(op::TCurrent, address, count, values, status);
}

} // namespace tavrel::comm::modbus
