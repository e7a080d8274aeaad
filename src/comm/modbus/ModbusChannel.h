#pragma once

#include "comm/CommDriver.h"
#include "comm/modbus/ModbusContext.h"
#include "comm/modbus/OperandMap.h"

#include <cstdint>
#include <string>

namespace tavrel::comm::modbus {

/// What the status byte of an operation holds afterwards.
namespace status {
inline constexpr std::uint8_t kDone = 0;
// 1 to 11: the Modbus exception code the PLC answered with (1 illegal function, 2 illegal data address, ...).
inline constexpr std::uint8_t kNotOpen = 0xF0; ///< no open channel, or it broke and has not been re-opened
inline constexpr std::uint8_t kRefused = 0xF1; ///< refused before anything was sent: a bad address or value
inline constexpr std::uint8_t kTimedOut = 0xF2; ///< no answer within the time-out, retries included
inline constexpr std::uint8_t kLinkLost = 0xF3; ///< the connection broke
inline constexpr std::uint8_t kBadAnswer = 0xF4; ///< answers that could not be used, retries included
} // namespace status

/// What ConnectEthernet returns.
namespace connect_status {
inline constexpr std::int32_t kReady = 0;
inline constexpr std::int32_t kUnknownMode = 1; ///< only mode 0, Modbus TCP, exists
inline constexpr std::int32_t kNoHost = 2;
inline constexpr std::int32_t kBadPort = 3; ///< not 1 to 65535
inline constexpr std::int32_t kBadTimeOut = 4; ///< not a positive number of milliseconds
inline constexpr std::int32_t kBadRetries = 5; ///< negative
inline constexpr std::int32_t kNoContext = 6; ///< libmodbus could not make a context
inline constexpr std::int32_t kBadUnit = 7; ///< a unit ID that Modbus TCP cannot address here (248 to 254)
} // namespace connect_status

/// The channel to one PLC on libmodbus: Modbus RTU on a serial line or Modbus TCP, its requests, their retries and
/// the reason of the last failure.
///
/// Unit ID 0 ("Direct") addresses slave 1 on a serial line and unit 255 over TCP. Each request waits at most the
/// time-out for its whole answer and is sent again, up to the number of retries, when none came or it was
/// garbled; an exception answer fails at once. Whatever waits unread on the line is flushed before every request,
/// and an answer to an earlier request that comes late costs no retry. After a request that failed for lack of a
/// usable answer, or on a broken connection, the channel is closed: every request fails at once until it is opened
/// again, so a dead PLC costs one time-out per attempt rather than one per operand.
class ModbusChannel
{
public:
    void SetUnitId(std::uint8_t unitId) { m_unitId = unitId; }
    void SetEthernetMode(std::int32_t mode) { m_ethernetMode = mode; }
    void SetRemoteHost(const std::string& host) { m_host = host; }
    void SetRemotePort(std::int32_t port) { m_port = port; }
    /// Sets the time-out of each answer; an open channel takes it at once.
    void SetTimeOut(std::int32_t milliseconds);
    void SetRetries(std::int16_t retries) { m_retries = retries; }

    /// Opens Modbus RTU on `device`, the serial device of COM `comPort`, taking the time-out and retries of
    /// `settings`; false, with the reason, for settings Modbus RTU cannot use or a device that does not open.
    bool OpenSerial(const std::string& device, std::int32_t comPort, const SerialSettings& settings);
    /// Prepares a Modbus TCP channel to the remote host and port; a connect_status code.
    std::int32_t ConnectEthernet();
    /// Opens, or opens again, the prepared TCP channel; true when open.
    bool OpenEthernet();
    /// Closes the channel and forgets it.
    void Close();

    /// True when the channel is open; else false with status kNotOpen, keeping the reason it closed.
    bool CheckOpen(std::uint8_t& status);

    /// Reads `count` coils or discrete inputs from address `start` into `into`, one byte per bit.
    bool ReadBits(Table table, int start, int count, std::uint8_t* into, std::uint8_t& status);
    /// Reads `count` holding registers from address `start` into `into`.
    bool ReadRegisters(int start, int count, std::uint16_t* into, std::uint8_t& status);
    /// Reads `count` input registers (function 04) from address `start` into `into`.
    bool ReadInputRegisters(int start, int count, std::uint16_t* into, std::uint8_t& status);
    /// Writes `count` coils from address `start`, one byte per bit; `action` begins the message of a failure.
    bool WriteCoils(int start, int count, const std::uint8_t* bits, std::uint8_t& status,
                    const char* action = "writing");
    /// Writes `count` holding registers from address `start`: one with function 06, more with 16.
    bool WriteRegisters(int start, int count, const std::uint16_t* words, std::uint8_t& status);

    /// Notes a success: status kDone, no reason; true.
    bool Succeed(std::uint8_t& status);
    /// Notes a failure with its status code and reason; false. kRefused counts as refused before sending.
    bool Fail(std::uint8_t& status, std::uint8_t code, std::string message);

    /// Why the last operation that failed did so; empty after a success.
    const std::string& LastError() const { return m_lastError; }
    /// Refused for what was refused before anything was sent (status kRefused), else Exchange.
    FailureKind LastFailureKind() const { return m_lastFailureKind; }

private:
    enum class Transport { None, Serial, Tcp };

    // Sends one request, again after a time-out or a garbled answer while retries remain.
    template<class Request>
    bool Transact(const char* action, Table table, int start, int count, std::uint8_t& status, Request request);
    bool OpenChannel(std::uint8_t& status);
    void ApplyTimeOut();

    std::uint8_t m_unitId = 0;
    Transport m_transport = Transport::None;
    ModbusContext m_context;
    bool m_connected = false; ///< the channel is open and usable
    std::string m_endpoint; ///< where the channel leads, for messages
    std::int32_t m_ethernetMode = 0;
    std::string m_host;
    std::int32_t m_port = 502;
    std::int32_t m_timeOutMs = 6000;
    std::int32_t m_retries = 3;

    std::string m_lastError;
    FailureKind m_lastFailureKind = FailureKind::Exchange;
};

} // namespace tavrel::comm::modbus
