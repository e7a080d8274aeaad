#include "comm/modbus/ModbusChannel.h"

#include "comm/modbus/OperandText.h"

#include <cerrno>
#include <chrono>
#include <thread>

namespace tavrel::comm::modbus {

namespace {

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

} // namespace

void ModbusChannel::SetTimeOut(std::int32_t milliseconds)
{
    m_timeOutMs = milliseconds;
    if (m_context && milliseconds > 0) {
        ApplyTimeOut();
    }
}

void ModbusChannel::ApplyTimeOut()
{
    // With the byte time-out off, the response time-out bounds the whole answer, not just its first byte.
    modbus_set_response_timeout(m_context.Get(), static_cast<std::uint32_t>(m_timeOutMs / 1000),
                                static_cast<std::uint32_t>(m_timeOutMs % 1000) * 1000);
    modbus_set_byte_timeout(m_context.Get(), 0, 0);
}

bool ModbusChannel::OpenSerial(const std::string& device, std::int32_t comPort, const SerialSettings& settings)
{
    std::uint8_t status = 0;
    Close();
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

std::int32_t ModbusChannel::ConnectEthernet()
{
    std::uint8_t status = 0;
    Close();
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

bool ModbusChannel::OpenEthernet()
{
    std::uint8_t status = 0;
    if (m_transport != Transport::Tcp || !m_context) {
        return Fail(status, status::kNotOpen, "no TCP channel has been prepared (ConnectEthernet)");
    }
    return OpenChannel(status);
}

bool ModbusChannel::OpenChannel(std::uint8_t& status)
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

void ModbusChannel::Close()
{
    m_context.Reset();
    m_connected = false;
    m_transport = Transport::None;
}

bool ModbusChannel::CheckOpen(std::uint8_t& status)
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

bool ModbusChannel::Succeed(std::uint8_t& status)
{
    status = status::kDone;
    m_lastError.clear();
    return true;
}

bool ModbusChannel::Fail(std::uint8_t& status, std::uint8_t code, std::string message)
{
    status = code;
    m_lastError = std::move(message);
    m_lastFailureKind = code == status::kRefused ? FailureKind::Refused : FailureKind::Exchange;
    return false;
}

template<class Request>
bool ModbusChannel::Transact(const char* action, Table table, int start, int count, std::uint8_t& status,
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
            Fail(status, static_cast<std::uint8_t>(error - MODBUS_ENOBASE),
                 std::string(action) + " " + std::to_string(count) + " " + TableNoun(table, count) + " at "
                     + std::to_string(start) + " on " + m_endpoint + ": the PLC answered exception "
                     + std::to_string(error - MODBUS_ENOBASE) + ", " + modbus_strerror(error));
            m_lastFailureKind = FailureKind::Exception;
            return false;
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

bool ModbusChannel::ReadBits(Table table, int start, int count, std::uint8_t* into, std::uint8_t& status)
{
    return Transact("reading", table, start, count, status, [&](modbus_t* context) {
        return table == Table::Coils ? modbus_read_bits(context, start, count, into)
                                     : modbus_read_input_bits(context, start, count, into);
    });
}

bool ModbusChannel::ReadRegisters(int start, int count, std::uint16_t* into, std::uint8_t& status)
{
    return Transact("reading", Table::HoldingRegisters, start, count, status,
                    [&](modbus_t* context) { return modbus_read_registers(context, start, count, into); });
}

bool ModbusChannel::ReadInputRegisters(int start, int count, std::uint16_t* into, std::uint8_t& status)
{
    return Transact("reading", Table::InputRegisters, start, count, status,
                    [&](modbus_t* context) { return modbus_read_input_registers(context, start, count, into); });
}

bool ModbusChannel::WriteCoils(int start, int count, const std::uint8_t* bits, std::uint8_t& status, const char* action)
{
    return Transact(action, Table::Coils, start, count, status, [&](modbus_t* context) {
        return count == 1 ? modbus_write_bit(context, start, bits[0]) : modbus_write_bits(context, start, count, bits);
    });
}

bool ModbusChannel::WriteRegisters(int start, int count, const std::uint16_t* words, std::uint8_t& status)
{
    return Transact("writing", Table::HoldingRegisters, start, count, status, [&](modbus_t* context) {
        return count == 1 ? modbus_write_register(context, start, words[0])
                          : modbus_write_registers(context, start, count, words);
    });
}

} // namespace tavrel::comm::modbus
