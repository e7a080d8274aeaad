#pragma once

#include "common/BinaryMix.h"
#include "common/Currency.h"
#include "common/Refusal.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tavrel::comm {

/// The serial settings block handed to the driver when a serial channel opens, in this order.
struct SerialSettings
{
    std::int32_t SerialBaudRate = 57600;
    std::int32_t DataBits = 8;
    std::int32_t Parity = 0; ///< 0 none, 1 odd, 2 even
    std::int32_t StopBits = 1;
    std::int32_t TimeOut = 6000; ///< reply time-out in milliseconds
    std::int16_t NumRetries = 3;
};

/// One value on its way to an operand, in the element kind of the operand type's write.
using OperandWriteValue = std::variant<std::uint8_t, std::int16_t, std::int32_t, float, common::Currency>;

/// How the last operation that failed did so.
enum class FailureKind {
    Exchange, ///< the exchange with the PLC failed: no answer, a broken channel
    Refused, ///< refused before anything was sent: an operand or value this PLC cannot hold; the channel is fine
    Exception ///< the PLC answered with an exception (an address it has not): it is there, but would not do it
};

/// The one list of CommDriver's one-operand reads and writes: calls X(Direction, Operand, Element) for each, in
/// order. The operation Direction##Operand (ReadMB, WriteTPreset, ...) moves values of Element to or from operands
/// of type common::operand::Operand. It declares the operations on CommDriver, ties them to their operand types
/// (OperationsOf) and implements them in every driver, so that a new operation is one line here.
#define TAVREL_COMM_DRIVER_OPERATIONS(X)                                                                               \
    X(Read, MB, std::uint8_t)                                                                                          \
    X(Read, SB, std::uint8_t)                                                                                          \
    X(Read, I, std::uint8_t)                                                                                           \
    X(Read, O, std::uint8_t)                                                                                           \
    X(Read, CBit, std::uint8_t)                                                                                        \
    X(Read, XB, std::uint8_t)                                                                                          \
    X(Read, MI, std::int16_t)                                                                                          \
    X(Read, SI, std::int16_t)                                                                                          \
    X(Read, XI, std::int16_t)                                                                                          \
    X(Read, ML, std::int32_t)                                                                                          \
    X(Read, SL, std::int32_t)                                                                                          \
    X(Read, XL, std::int32_t)                                                                                          \
    X(Read, MF, float)                                                                                                 \
    X(Read, DW, common::Currency)                                                                                      \
    X(Read, XDW, common::Currency)                                                                                     \
    X(Read, CCurrent, common::Currency)                                                                                \
    X(Read, CPreset, common::Currency)                                                                                 \
    X(Read, TPreset, std::int16_t)                                                                                     \
    X(Read, TCurrent, std::int16_t)                                                                                    \
    X(Write, MB, std::uint8_t)                                                                                         \
    X(Write, SB, std::uint8_t)                                                                                         \
    X(Write, O, std::uint8_t)                                                                                          \
    X(Write, XB, std::uint8_t)                                                                                         \
    X(Write, MI, std::int16_t)                                                                                         \
    X(Write, SI, std::int16_t)                                                                                         \
    X(Write, XI, std::int16_t)                                                                                         \
    X(Write, ML, std::int32_t)                                                                                         \
    X(Write, SL, std::int32_t)                                                                                         \
    X(Write, XL, std::int32_t)                                                                                         \
    X(Write, MF, float)                                                                                                \
    X(Write, DW, common::Currency)                                                                                     \
    X(Write, SDW, common::Currency)                                                                                    \
    X(Write, XDW, common::Currency)                                                                                    \
    X(Write, CCurrent, common::Currency)                                                                               \
    X(Write, CPreset, common::Currency)                                                                                \
    X(Write, TPreset, common::Currency)                                                                                \
    X(Write, TCurrent, common::Currency)

/// The channel to one PLC. One instance per PLC, used by one thread. Every operation reports failure as
/// false (or a nonzero status); an implementation may also throw, which callers count as a failure.
///
/// Order on one instance: SetUnitId; then OpenSerial, or SetEthernetMode, SetRemoteHost, SetRemotePort,
/// SetTimeOut, SetRetries, ConnectEthernet and, only after 0, OpenEthernet; then reads, writes, PlcStop,
/// PlcRun; CloseSerial or CloseEthernet ends it. A released instance frees its channel.
///
/// The one-operand reads and writes take the operand address, a count (always 1), a buffer of at least
/// `count` elements (filled by a read, holding the value for a write) and a status byte; they return
/// true when done.
class CommDriver
{
public:
    virtual ~CommDriver() = default;

    virtual void SetUnitId(std::uint8_t unitId) = 0;
    /// Opens a serial channel on a COM port; true when open.
    virtual bool OpenSerial(std::int32_t& comPort, SerialSettings& settings) = 0;
    virtual void SetEthernetMode(std::int32_t mode) = 0;
    virtual void SetRemoteHost(const std::string& host) = 0;
    virtual void SetRemotePort(std::int32_t port) = 0;
    virtual void SetTimeOut(std::int32_t milliseconds) = 0;
    virtual void SetRetries(std::int16_t retries) = 0;
    /// Prepares a TCP/IP channel; 0 means go on with OpenEthernet.
    virtual std::int32_t ConnectEthernet() = 0;
    /// Opens the prepared TCP/IP channel; true when open.
    virtual bool OpenEthernet() = 0;
    virtual void CloseSerial() = 0;
    virtual void CloseEthernet() = 0;

    /// Stops or runs the PLC; true when done.
    virtual bool PlcStop(std::uint8_t& status) = 0;
    virtual bool PlcRun(std::uint8_t& status) = 0;

    /// Reads every entry of a batched-read list in one call and fills each entry's Values (one record
    /// per operand); true only when everything was read.
    virtual bool ReadBinaryMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status) = 0;
    /// Whether the PLC's program ran (true) or was stopped (false) when the last ReadBinaryMix that succeeded read
    /// it, as part of that read; nothing when the driver cannot say (a family without a run state, or no such read).
    virtual std::optional<bool> PlcRunning() const { return std::nullopt; }

    /// Writes one value of a Modbus device item (PLC family 6) at `address` of the table of `operandType`: `words`
    /// are its registers in the order they lie (a value of several registers in one request), or for a coil one word
    /// 0 or 1. A nonzero `bitMask` (a bit(K) value) changes only those bits of the one register, keeping the others
    /// as the device holds them. True when done. A driver without Modbus device tables fails every such write.
    virtual bool WriteDeviceValue(std::int32_t operandType, std::int32_t address, std::span<const std::uint16_t> words,
                                  std::uint16_t bitMask, std::uint8_t& status)
    {
        (void)operandType;
        (void)address;
        (void)words;
        (void)bitMask;
        (void)status;
        return false;
    }

    /// Why the last operation that failed did so, in words for the user; empty when unknown.
    virtual std::string LastError() const { return {}; }
    /// Whether the last operation that failed was refused before anything was sent or failed in the exchange.
    virtual FailureKind LastFailureKind() const { return FailureKind::Exchange; }

    /// Why `value` cannot be written to operand `address` of `operandType` on this PLC, or nothing when it can:
    /// NotWritable for an operand that takes no value at all, OutOfRange for a value it cannot hold.
    /// Asks nothing of the PLC and may be called on an unopened instance; a driver that does not say accepts
    /// every value of the operand's element kind.
    virtual std::optional<common::Refusal> CheckWrite(std::int32_t operandType, std::int32_t address,
                                                      const OperandWriteValue& value) const
    {
        (void)operandType;
        (void)address;
        (void)value;
        return std::nullopt;
    }

    /// The one-operand reads and writes of TAVREL_COMM_DRIVER_OPERATIONS. Timer reads deliver the raw timer word
    /// (a 14-bit count and a 2-bit time base); timer writes take a count of 10 ms ticks.
    // clang-format off
#define TAVREL_COMM_DRIVER_OPERATION(Direction, Operand, Element) \
    virtual bool Direction##Operand(std::int16_t address, std::int16_t count, std::span<Element> values, \
                                    std::uint8_t& status) = 0;
    TAVREL_COMM_DRIVER_OPERATIONS(TAVREL_COMM_DRIVER_OPERATION)
    // clang-format on
#undef TAVREL_COMM_DRIVER_OPERATION
};

/// Makes a fresh, unopened driver instance; each PLC asks it for one whenever it opens its channel.
using CommDriverFactory = std::function<std::shared_ptr<CommDriver>()>;

} // namespace tavrel::comm
