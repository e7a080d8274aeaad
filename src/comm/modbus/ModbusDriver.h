#pragma once

#include "comm/CommDriver.h"
#include "comm/modbus/ModbusContext.h"
#include "comm/modbus/OperandMap.h"
#include "comm/modbus/ReadPlan.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tavrel::comm::modbus {

/// What the status byte of an operation holds afterwards.
namespace status {
inline constexpr std::uint8_t kDone = 0;
// 1 to 11: the Modbus exception code the PLC answered with (1 illegal function, 2 illegal data address, ...).
inline constexpr std::uint8_t kNotOpen = 0xF0;   ///< no open channel, or it broke and has not been re-opened
inline constexpr std::uint8_t kRefused = 0xF1;   ///< refused before anything was sent: a bad address or value
inline constexpr std::uint8_t kTimedOut = 0xF2;  ///< no answer within the time-out, retries included
inline constexpr std::uint8_t kLinkLost = 0xF3;  ///< the connection broke
inline constexpr std::uint8_t kBadAnswer = 0xF4; ///< answers that could not be used, retries included
} // namespace status

/// What ConnectEthernet returns.
namespace connect_status {
inline constexpr std::int32_t kReady = 0;
inline constexpr std::int32_t kUnknownMode = 1; ///< only mode 0, Modbus TCP, exists
inline constexpr std::int32_t kNoHost = 2;
inline constexpr std::int32_t kBadPort = 3;     ///< not 1 to 65535
inline constexpr std::int32_t kBadTimeOut = 4;  ///< not a positive number of milliseconds
inline constexpr std::int32_t kBadRetries = 5;  ///< negative
inline constexpr std::int32_t kNoContext = 6;   ///< libmodbus could not make a context
inline constexpr std::int32_t kBadUnit = 7;     ///< a unit ID that Modbus TCP cannot address here (248 to 254)
} // namespace connect_status

/// A CommDriver that speaks Modbus RTU on a serial line or Modbus TCP, on libmodbus. Operands are found through
/// the operand map; a PLC of type 1 or 2 keeps timer values as raw timer words.
///
/// Unit ID 0 ("Direct") addresses slave 1 on a serial line and unit 255 over TCP. Each request waits at most the
/// time-out for its whole answer and is sent again, up to the number of retries, when none came or it was
/// garbled; an exception answer fails at once. Whatever waits unread on the line is flushed before every
/// request. After a request that failed for lack of a usable answer, or on a
/// broken connection, every operation fails at once until the channel is opened again, so a dead PLC costs one
/// time-out per attempt rather than one per operand. Every failure is described by LastError().
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

    void SetUnitId(std::uint8_t unitId) override;
    bool OpenSerial(std::int32_t& comPort, SerialSettings& settings) override;
    void SetEthernetMode(std::int32_t mode) override;
    void SetRemoteHost(const std::string& host) override;
    void SetRemotePort(std::int32_t port) override;
    void SetTimeOut(std::int32_t milliseconds) override;
    void SetRetries(std::int16_t retries) override;
    std::int32_t ConnectEthernet() override;
    bool OpenEthernet() override;
    void CloseSerial() override;
    void CloseEthernet() override;

    bool PlcStop(std::uint8_t& status) override;
    bool PlcRun(std::uint8_t& status) override;

    bool ReadBinaryMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status) override;

    bool ReadMB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool ReadSB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool ReadI(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool ReadO(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool ReadCBit(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool ReadXB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool ReadMI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) override;
    bool ReadSI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) override;
    bool ReadXI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) override;
    bool ReadML(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) override;
    bool ReadSL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) override;
    bool ReadXL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) override;
    bool ReadMF(std::int16_t address, std::int16_t count, std::span<float> values, std::uint8_t& status) override;
    bool ReadDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool ReadXDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool ReadCCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool ReadCPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool ReadTPreset(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) override;
    bool ReadTCurrent(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) override;

    bool WriteMB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool WriteSB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool WriteO(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool WriteXB(std::int16_t address, std::int16_t count, std::span<std::uint8_t> values, std::uint8_t& status) override;
    bool WriteMI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) override;
    bool WriteSI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) override;
    bool WriteXI(std::int16_t address, std::int16_t count, std::span<std::int16_t> values, std::uint8_t& status) override;
    bool WriteML(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) override;
    bool WriteSL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) override;
    bool WriteXL(std::int16_t address, std::int16_t count, std::span<std::int32_t> values, std::uint8_t& status) override;
    bool WriteMF(std::int16_t address, std::int16_t count, std::span<float> values, std::uint8_t& status) override;
    bool WriteDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool WriteSDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool WriteXDW(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool WriteCCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool WriteCPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool WriteTPreset(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;
    bool WriteTCurrent(std::int16_t address, std::int16_t count, std::span<common::Currency> values, std::uint8_t& status) override;

    /// Why the last operation that failed did so; empty after a success.
    std::string LastError() const override { return m_lastError; }
    /// Refused for what was refused before anything was sent (status kRefused), else Exchange.
    FailureKind LastFailureKind() const override { return m_lastFailureKind; }

    /// Refuses an operand the map cannot place or that lives in a read-only table, a bit other than 0 or 1, a
    /// double word or counter value that is not a whole number from 0 to 4294967295, and timer ticks beyond
    /// what the PLC type's timers hold (the raw timer word of PLC types 1 and 2 holds less).
    std::optional<common::Refusal> CheckWrite(std::int32_t operandType, std::int32_t address,
                                              const OperandWriteValue& value) const override;

private:
    enum class Transport { None, Serial, Tcp };

    using RequestsPerTable = std::array<std::vector<ReadRequest>, 3>;

    // Plans the spans collected in the planners into requests per table; the planners are empty afterwards.
    void PlanCollected(RequestsPerTable& requests);
    // Sends the requests, leaving what they read in the images; false at the first that failed.
    bool Fetch(const RequestsPerTable& requests, std::uint8_t& status);
    // Whether the batched-read list is the one the kept plan was made for.
    bool MixPlanMatches(const std::vector<common::BinaryMixEntry>& entries) const;
    // Checks a batched-read list and plans its requests and the decoding of its values; false for a bad entry.
    bool PlanMix(const std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status);
    // Adds the spans of `count` operands of one type to the planners; refuses a run outside the map's addresses.
    bool CollectSpans(std::int32_t operandType, std::int64_t address, std::int64_t count, std::uint8_t& status);

    template<class Value, class Convert>
    bool ReadOperands(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<Value> values,
                      std::uint8_t& status, Convert convert);
    bool ReadBits(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                  std::uint8_t& status);
    bool ReadWords(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                   std::uint8_t& status);
    bool ReadLongs(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::int32_t> values,
                   std::uint8_t& status);
    bool ReadDoubleWords(std::int32_t operandType, std::int16_t address, std::int16_t count,
                         std::span<common::Currency> values, std::uint8_t& status);
    bool ReadTimerWords(std::int32_t operandType, std::int16_t address, std::int16_t count,
                        std::span<std::int16_t> values, std::uint8_t& status);

    bool WriteWords(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::int16_t> values,
                    std::uint8_t& status);
    // Writes 32-bit values, each as two registers in the map's word order.
    bool WriteLongs(std::int32_t operandType, std::int16_t address, std::int16_t count,
                    std::span<const std::uint32_t> values, std::uint8_t& status);
    bool WriteBits(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<std::uint8_t> values,
                   std::uint8_t& status);
    // Writes the registers of `count` operands, already in wire order.
    bool WriteRegisterValues(std::int32_t operandType, std::int16_t address, std::int16_t count,
                             const std::vector<std::uint16_t>& registers, std::uint8_t& status);
    bool WriteDoubleWords(std::int32_t operandType, std::int16_t address, std::int16_t count,
                          std::span<common::Currency> values, std::uint8_t& status);
    bool WriteTimerTicks(std::int32_t operandType, std::int16_t address, std::int16_t count,
                         std::span<common::Currency> values, std::uint8_t& status);
    bool WriteRunCoil(bool run, std::uint8_t& status);

    // Why one value cannot be written to operand `address` of its type, or nothing when it can.
    std::optional<std::string> BitRefusal(std::int32_t operandType, std::int64_t address, std::uint8_t value) const;
    std::optional<std::string> DoubleWordRefusal(std::int32_t operandType, std::int64_t address,
                                                 common::Currency value) const;
    std::optional<std::string> TimerRefusal(std::int32_t operandType, std::int64_t address,
                                            common::Currency value) const;

    // Locates `count` operands for a one-operand operation, refusing what the buffer or the map cannot hold.
    std::optional<OperandLocation> LocateRun(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                             std::size_t bufferSize, std::uint8_t& status);

    // Sends one request, again after a time-out or a garbled answer while retries remain.
    template<class Request>
    bool Transact(const char* action, Table table, int start, int count, std::uint8_t& status, Request request);

    bool OpenChannel(std::uint8_t& status);
    void ApplyTimeOut();
    bool CheckOpen(std::uint8_t& status);
    bool Succeed(std::uint8_t& status);
    bool Fail(std::uint8_t& status, std::uint8_t code, std::string message);

    std::uint32_t JoinWords(std::uint16_t first, std::uint16_t second) const;
    std::array<std::uint16_t, 2> SplitWords(std::uint32_t value) const;
    std::uint32_t LongAt(std::uint16_t address) const;
    TimerFormat Timers() const { return TimerFormatOf(m_plcType); }

    // How a batched request code is read and decoded: where operand 0 of each of its parts lives.
    enum class Decode : std::uint8_t { None, Bit, Word, Long, SwappedFloat, DoubleWord, Timer, Counter };
    struct MixLayout
    {
        Decode decode = Decode::None;
        std::uint8_t partCount = 0;
        std::array<std::int32_t, 3> parts{};
        std::array<OperandLocation, 3> places{};
    };
    static constexpr std::int32_t kMixTypeCount = 68; ///< batched request codes lie below this
    void BuildMixLayouts();

    OperandMap m_map;
    std::int32_t m_plcType;
    std::array<MixLayout, kMixTypeCount> m_mixLayouts{};
    std::uint8_t m_unitId = 0;

    Transport m_transport = Transport::None;
    ModbusContext m_context;
    bool m_connected = false;    ///< the channel is open and usable
    std::string m_endpoint;      ///< where the channel leads, for messages
    std::int32_t m_ethernetMode = 0;
    std::string m_host;
    std::int32_t m_port = 502;
    std::int32_t m_timeOutMs = 6000;
    std::int32_t m_retries = 3;

    std::string m_lastError;
    FailureKind m_lastFailureKind = FailureKind::Exchange;

    // Scratch of the reads: a planner per table and images of what the requests brought back.
    std::array<ReadPlanner, 3> m_planners;
    RequestsPerTable m_itemRequests;

    // The plan of the last batched-read list: what it was made for, its requests, and per operand where its
    // values lie in the images.
    struct MixSignature
    {
        std::int32_t mixType;
        std::int32_t startAddress;
        std::int32_t count;
    };
    struct DecodeStep
    {
        Decode decode;
        bool coils; ///< the first part's bit is a coil, not a discrete input
        std::array<std::uint16_t, 3> addresses;
    };
    bool m_mixPlanValid = false;
    std::vector<MixSignature> m_mixSignature;
    RequestsPerTable m_mixRequests;
    std::vector<DecodeStep> m_mixSteps;
    std::vector<std::uint8_t> m_coilImage;
    std::vector<std::uint8_t> m_inputImage;
    std::vector<std::uint16_t> m_registerImage;
};

} // namespace tavrel::comm::modbus
