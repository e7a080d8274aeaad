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
    Exchange, ///< the exchange with the PLC failed: no answer, a broken channel, an exception answer
    Refused ///< refused before anything was sent: an operand or value this PLC cannot hold; the channel is fine
};

/// Calls X(Name, Element) for each of CommDriver's element-wise reads and writes, in the order they are declared:
/// for drivers that handle them all alike (test and benchmark drivers).
#define TAVREL_COMM_DRIVER_OPERATIONS(X) \
    X(ReadMB, std::uint8_t) \
    X(ReadSB, std::uint8_t) \
    X(ReadI, std::uint8_t) \
    X(ReadO, std::uint8_t) \
    X(ReadCBit, std::uint8_t) \
    X(ReadXB, std::uint8_t) \
    X(ReadMI, std::int16_t) \
    X(ReadSI, std::int16_t) \
    X(ReadXI, std::int16_t) \
    X(ReadML, std::int32_t) \
    X(ReadSL, std::int32_t) \
    X(ReadXL, std::int32_t) \
    X(ReadMF, float) \
    X(ReadDW, common::Currency) \
    X(ReadXDW, common::Currency) \
    X(ReadCCurrent, common::Currency) \
    X(ReadCPreset, common::Currency) \
    X(ReadTPreset, std::int16_t) \
    X(ReadTCurrent, std::int16_t) \
    X(WriteMB, std::uint8_t) \
    X(WriteSB, std::uint8_t) \
    X(WriteO, std::uint8_t) \
    X(WriteXB, std::uint8_t) \
    X(WriteMI, std::int16_t) \
    X(WriteSI, std::int16_t) \
    X(WriteXI, std::int16_t) \
    X(WriteML, std::int32_t) \
    X(WriteSL, std::int32_t) \
    X(WriteXL, std::int32_t) \
    X(WriteMF, float) \
    X(WriteDW, common::Currency) \
    X(WriteSDW, common::Currency) \
    X(WriteXDW, common::Currency) \
    X(WriteCCurrent, common::Currency) \
    X(WriteCPreset, common::Currency) \
    X(WriteTPreset, common::Currency) \
    X(WriteTCurrent, common::Currency)

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

    virtual bool ReadMB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool ReadSB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool ReadI(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool ReadO(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool ReadCBit(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool ReadXB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool ReadMI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) = 0;
    virtual bool ReadSI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) = 0;
    virtual bool ReadXI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) = 0;
    virtual bool ReadML(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) = 0;
    virtual bool ReadSL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) = 0;
    virtual bool ReadXL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) = 0;
    virtual bool ReadMF(std::int16_t address, std::int16_t count, std::span<float> values, std::uint8_t& status) = 0;
    virtual bool ReadDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    virtual bool ReadXDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    virtual bool ReadCCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    virtual bool ReadCPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    /// Timer reads deliver the raw timer word: a 14-bit count and a 2-bit time base.
    virtual bool ReadTPreset(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) = 0;
    virtual bool ReadTCurrent(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) = 0;

    virtual bool WriteMB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool WriteSB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool WriteO(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool WriteXB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) = 0;
    virtual bool WriteMI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) = 0;
    virtual bool WriteSI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) = 0;
    virtual bool WriteXI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) = 0;
    virtual bool WriteML(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) = 0;
    virtual bool WriteSL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) = 0;
    virtual bool WriteXL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) = 0;
    virtual bool WriteMF(std::int16_t address, std::int16_t count, std::span<float> values, std::uint8_t& status) = 0;
    virtual bool WriteDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    virtual bool WriteSDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    virtual bool WriteXDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    virtual bool WriteCCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    virtual bool WriteCPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    /// Timer writes take a count of 10 ms ticks.
    virtual bool WriteTPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;
    virtual bool WriteTCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) = 0;

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
};

/// Makes a fresh, unopened driver instance; each PLC asks it for one whenever it opens its channel.
using CommDriverFactory = std::function<std::shared_ptr<CommDriver>()>;

} // namespace tavrel::comm
