#pragma once

#include "comm/CommDriver.h"
#include "comm/modbus/BatchedRead.h"
#include "comm/modbus/DeviceRead.h"
#include "comm/modbus/ModbusChannel.h"
#include "comm/modbus/OperandMap.h"
#include "comm/modbus/ReadImage.h"
#include "common/OperandCatalogue.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavrel::comm::modbus {

/// A CommDriver that speaks Modbus RTU on a serial line or Modbus TCP, on libmodbus. Operands are found through
/// the operand map; a PLC of type 1 or 2 keeps timer values as raw timer words.
///
/// Ties together the channel (ModbusChannel: opening, requests, retries; see there for how failures are met), the
/// planning and decoding of reads (BatchedRead) and the write checks (WriteChecks.h). Every failure is described by
/// LastError().
class ModbusDriver final : public CommDriver
{
public:
    /// A driver with the given map for a PLC of the given type code.
    explicit ModbusDriver(OperandMap map = {}, std::int32_t plcType = 0);
    ~ModbusDriver() override;
    ModbusDriver(const ModbusDriver&) = delete;
    ModbusDriver& operator=(const ModbusDriver&) = delete;

    /// Sets the PLC type code, which decides the timer format.
    void SetPlcType(std::int32_t plcType);

    void SetUnitId(std::uint8_t unitId) override { m_channel.SetUnitId(unitId); }
    bool OpenSerial(std::int32_t& comPort, SerialSettings& settings) override;
    void SetEthernetMode(std::int32_t mode) override { m_channel.SetEthernetMode(mode); }
    void SetRemoteHost(const std::string& host) override { m_channel.SetRemoteHost(host); }
    void SetRemotePort(std::int32_t port) override { m_channel.SetRemotePort(port); }
    void SetTimeOut(std::int32_t milliseconds) override { m_channel.SetTimeOut(milliseconds); }
    void SetRetries(std::int16_t retries) override { m_channel.SetRetries(retries); }
    std::int32_t ConnectEthernet() override { return m_channel.ConnectEthernet(); }
    bool OpenEthernet() override { return m_channel.OpenEthernet(); }
    void CloseSerial() override { m_channel.Close(); }
    void CloseEthernet() override { m_channel.Close(); }

    /// Stops or runs the PLC by writing 0 or 1 to the map's run coil; true when done.
    bool PlcStop(std::uint8_t& status) override;
    bool PlcRun(std::uint8_t& status) override;

    /// Reads the list and the run coil in as few requests as the map's caps allow; any failed request fails the
    /// whole read. A Modbus device's list (its entries of the device tables, no run coil) is read the same way, but
    /// a request the device answers with exception 2 or 3 (illegal data address or value) is split, value by value,
    /// until the values it will not give are found: those are reported in the entries' Problems and left out of
    /// later reads by this driver, and the others are read. Any other failure fails the whole read.
    bool ReadBinaryMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status) override;
    /// Coils with function 05, holding registers with 06 (one register) or 16 (a value of several, in one request);
    /// a bit(K) value reads the register (03) and writes it back (06) with only its bit changed, which is safe as
    /// long as nothing else writes the register's other bits between the two requests (another master of the same
    /// device, or the device itself): such a register's bits want coils or a register of their own. Refuses the
    /// read-only tables.
    bool WriteDeviceValue(std::int32_t operandType, std::int32_t address, std::span<const std::uint16_t> words,
                          std::uint16_t bitMask, std::uint8_t& status) override;
    /// The run coil as the last batched read that succeeded found it.
    std::optional<bool> PlcRunning() const override { return m_running; }

    /// Why the last operation that failed did so; empty after a success.
    std::string LastError() const override { return m_channel.LastError(); }
    /// Refused for what was refused before anything was sent (status kRefused), else Exchange.
    FailureKind LastFailureKind() const override { return m_channel.LastFailureKind(); }

    /// Refuses an operand the map cannot place or that lives in a read-only table, a bit other than 0 or 1, a
    /// double word or counter value that is not a whole number from 0 to 4294967295, and timer ticks beyond
    /// what the PLC type's timers hold (the raw timer word of PLC types 1 and 2 holds less).
    std::optional<common::Refusal> CheckWrite(std::int32_t operandType, std::int32_t address,
                                              const OperandWriteValue& value) const override;

    /// The one-operand reads and writes, each the Read or Write of its element kind on its operand type.
    // clang-format off
#define TAVREL_MODBUS_OPERATION(Direction, Operand, Element) \
    bool Direction##Operand(std::int16_t address, std::int16_t count, std::span<Element> values, \
                            std::uint8_t& status) override \
    { \
        return Direction(common::operand::Operand, address, count, values, status); \
    }
    TAVREL_COMM_DRIVER_OPERATIONS(TAVREL_MODBUS_OPERATION)
    // clang-format on
#undef TAVREL_MODBUS_OPERATION

private:
    // Reads `count` operands of a type from `address` on into `values`, by element kind; 16-bit timer values are
    // raw timer words.
    bool Read(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
              std::uint8_t& status);
    bool Read(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
              std::uint8_t& status);
    bool Read(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
              std::uint8_t& status);
    bool Read(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<float> values,
              std::uint8_t& status);
    bool Read(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<common::Currency> values,
              std::uint8_t& status);
    // Writes `count` values to operands of a type from `address` on, by element kind; timer values are 10 ms ticks.
    bool Write(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
               std::uint8_t& status);
    bool Write(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
               std::uint8_t& status);
    bool Write(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
               std::uint8_t& status);
    bool Write(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<float> values,
               std::uint8_t& status);
    bool Write(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<common::Currency> values,
               std::uint8_t& status);

    // Locates `count` operands for a one-operand operation, refusing what the buffer or the map cannot hold.
    std::optional<OperandLocation> LocateRun(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                             std::size_t bufferSize, std::uint8_t& status);
    // Reads a run of operands and hands each one's place in the image to `convert`, which may refuse the value.
    template<class Value, class Convert>
    bool ReadOperands(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<Value> values,
                      std::uint8_t& status, Convert convert);
    // Sends the requests, leaving what they read in the image; false at the first that failed.
    bool Fetch(const RequestsPerTable& requests, std::uint8_t& status);
    // Writes 32-bit values, each as two registers in the map's word order.
    bool WriteLongs(std::int32_t operandType, std::int16_t address, std::int16_t count,
                    std::span<const std::uint32_t> values, std::uint8_t& status);
    // Writes the registers of `count` operands, already in wire order, whole operands per request.
    bool WriteRegisterValues(std::int32_t operandType, std::int16_t address, std::int16_t count,
                             const std::vector<std::uint16_t>& registers, std::uint8_t& status);
    bool WriteRunCoil(bool run, std::uint8_t& status);
    // The device read: every request of the kept device plan, a refused one split to find what the device lacks.
    bool ReadDeviceMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status);
    bool FetchDeviceRequest(const DeviceRequest& request, std::uint8_t& status);
    // Splits the request that read `spans` in two until each half is read or is one value the device will not give;
    // the requests that read go to `readable`. False for a failure other than exceptions 2 and 3.
    bool SplitRefusedRequest(Table table, std::span<const ReadSpan> spans, std::vector<DeviceRequest>& readable,
                             std::uint8_t& status);

    TimerFormat Timers() const
    {
        return TimerFormatOf(m_plcType);
    }

    OperandMap m_map;
    std::int32_t m_plcType;
    ModbusChannel m_channel;
    BatchedRead m_reads;
    DeviceRead m_device;
    ReadImage m_image;
    std::optional<bool> m_running;
};

} // namespace tavrel::comm::modbus
