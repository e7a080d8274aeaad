#include "comm/modbus/ModbusDriver.h"

#include "comm/modbus/OperandText.h"
#include "comm/modbus/RawTimerWord.h"
#include "comm/modbus/WriteChecks.h"

#include <algorithm>
#include <bit>

namespace tavrel::comm::modbus {

namespace {

namespace op = common::operand;

bool IsTimerValue(std::int32_t operandType)
{
    return operandType == op::TPreset || operandType == op::TCurrent;
}

bool IsDeviceList(const std::vector<common::BinaryMixEntry>& entries)
{
    return !entries.empty() && DeviceTable(entries.front().MixType).has_value();
}

// Exceptions 2 (illegal data address) and 3 (illegal data value): the device has not some of what was asked for
// (Modbus Application Protocol V1.1b3, 7).
bool IsAddressException(std::uint8_t status)
{
    return status == 2 || status == 3;
}

// Why the device would not give the value at `span`, in words for the user.
std::string RefusedSpanText(Table table, ReadSpan span, std::uint8_t exception)
{
    const std::string where = span.width == 1
        ? TableNoun(table, 1) + " " + std::to_string(span.start)
        : TableNoun(table, 2) + " " + std::to_string(span.start) + "-" + std::to_string(span.start + span.width - 1);
    if (exception == 2) {
        return where + (span.width == 1 ? " does not exist" : " do not all exist") + " on the device";
    }
    return "the device refuses to give " + where + " (exception 3, illegal data value)";
}

} // namespace

ModbusDriver::ModbusDriver(OperandMap map, std::int32_t plcType)
    : m_map(std::move(map))
    , m_plcType(plcType)
    , m_reads(m_map, Timers())
    , m_device(m_map.MaxBitsPerRequest(), m_map.MaxRegistersPerRequest())
    , m_image(m_map.Order())
{
}

ModbusDriver::~ModbusDriver() = default;

void ModbusDriver::SetPlcType(std::int32_t plcType)
{
    m_plcType = plcType;
    m_reads = BatchedRead(m_map, Timers());
}

bool ModbusDriver::OpenSerial(std::int32_t& comPort, SerialSettings& settings)
{
    return m_channel.OpenSerial(m_map.SerialDevice(comPort), comPort, settings);
}

bool ModbusDriver::PlcStop(std::uint8_t& status)
{
    return WriteRunCoil(false, status);
}

bool ModbusDriver::PlcRun(std::uint8_t& status)
{
    return WriteRunCoil(true, status);
}

bool ModbusDriver::WriteRunCoil(bool run, std::uint8_t& status)
{
    if (!m_channel.CheckOpen(status)) {
        return false;
    }
    const std::uint8_t value = run ? 1 : 0;
    const bool ok = m_channel.WriteCoils(m_map.RunCoil(), 1, &value, status,
                                         run ? "running the PLC: writing 1 to" : "stopping the PLC: writing 0 to");
    return ok && m_channel.Succeed(status);
}

bool ModbusDriver::ReadBinaryMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status)
{
    m_running.reset();
    if (!m_channel.CheckOpen(status)) {
        return false;
    }
    if (IsDeviceList(entries)) {
        return ReadDeviceMix(entries, status);
    }
    // A PLC reads the same list every pass: the requests and where each value lies are worked out once.
    if (!m_reads.IsPlannedFor(entries)) {
        if (auto refusal = m_reads.Plan(entries)) {
            return m_channel.Fail(status, status::kRefused, std::move(*refusal));
        }
    }
    if (!Fetch(m_reads.Requests(), status)) {
        return false;
    }
    m_reads.Decode(entries, m_image);
    m_running = m_reads.Running(m_image);
    return m_channel.Succeed(status);
}

bool ModbusDriver::ReadDeviceMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status)
{
    if (!m_device.IsPlannedFor(entries)) {
        if (auto refusal = m_device.Plan(entries)) {
            return m_channel.Fail(status, status::kRefused, std::move(*refusal));
        }
    }
    for (std::size_t i = 0; i < m_device.Requests().size();) {
        const DeviceRequest request = m_device.Requests()[i];
        if (FetchDeviceRequest(request, status)) {
            ++i;
            continue;
        }
        if (!IsAddressException(status)) {
            return false;
        }
        // The plan keeps what the split found: later reads send the requests that work, without the values that
        // do not.
        const std::vector<ReadSpan> spans = m_device.SpansWithin(request);
        std::vector<DeviceRequest> readable;
        if (!SplitRefusedRequest(request.table, spans, readable, status)) {
            return false;
        }
        m_device.ReplaceRequest(i, readable);
        i += readable.size(); // those were read just now
    }
    m_device.Decode(entries);
    return m_channel.Succeed(status);
}

bool ModbusDriver::FetchDeviceRequest(const DeviceRequest& request, std::uint8_t& status)
{
    std::uint16_t* into = m_device.Into(request);
    switch (request.table) {
    case Table::Coils:
    case Table::DiscreteInputs: {
        std::vector<std::uint8_t> bits(request.count);
        if (!m_channel.ReadBits(request.table, request.start, request.count, bits.data(), status)) {
            return false;
        }
        std::transform(bits.begin(), bits.end(), into, [](std::uint8_t bit) -> std::uint16_t { return bit != 0; });
        return true;
    }
    case Table::HoldingRegisters:
        return m_channel.ReadRegisters(request.start, request.count, into, status);
    case Table::InputRegisters:
        return m_channel.ReadInputRegisters(request.start, request.count, into, status);
    }
    return false;
}

bool ModbusDriver::SplitRefusedRequest(Table table, std::span<const ReadSpan> spans,
                                       std::vector<DeviceRequest>& readable, std::uint8_t& status)
{
    if (spans.empty()) {
        return true;
    }
    if (spans.size() == 1) {
        m_device.MarkBad(table, spans.front(), RefusedSpanText(table, spans.front(), status));
        return true;
    }
    const std::size_t half = spans.size() / 2;
    for (const auto part : { spans.first(half), spans.subspan(half) }) {
        const DeviceRequest request = DeviceRead::Cover(table, part);
        if (FetchDeviceRequest(request, status)) {
            readable.push_back(request);
        } else if (!IsAddressException(status) || !SplitRefusedRequest(table, part, readable, status)) {
            return false;
        }
    }
    return true;
}

bool ModbusDriver::WriteDeviceValue(std::int32_t operandType, std::int32_t address,
                                    std::span<const std::uint16_t> words, std::uint16_t bitMask, std::uint8_t& status)
{
    const auto table = DeviceTable(operandType);
    const std::string what = OperandName(operandType) + " " + std::to_string(address);
    if (!table || (*table != Table::Coils && *table != Table::HoldingRegisters)) {
        return m_channel.Fail(status, status::kRefused, what + " is read-only");
    }
    const std::int64_t last = std::int64_t { address } + static_cast<std::int64_t>(words.size()) - 1;
    const std::size_t most = *table == Table::Coils || bitMask != 0 ? 1 : kMaxWriteRegisters;
    if (words.empty() || words.size() > most || address < 0 || last > 65535) {
        return m_channel.Fail(status, status::kRefused,
                              what + ": " + std::to_string(words.size()) + " values cannot be written there at once");
    }
    if (!m_channel.CheckOpen(status)) {
        return false;
    }
    if (*table == Table::Coils) {
        const std::uint8_t bit = words.front() != 0 ? 1 : 0;
        return m_channel.WriteCoils(address, 1, &bit, status) && m_channel.Succeed(status);
    }
    if (bitMask != 0) {
        std::uint16_t held = 0;
        if (!m_channel.ReadRegisters(address, 1, &held, status)) {
            return false;
        }
        const auto merged = static_cast<std::uint16_t>((held & ~bitMask) | (words.front() & bitMask));
        return m_channel.WriteRegisters(address, 1, &merged, status) && m_channel.Succeed(status);
    }
    // A value of several registers goes in one request (function 16), so the device never holds half of it.
    return m_channel.WriteRegisters(address, static_cast<int>(words.size()), words.data(), status)
        && m_channel.Succeed(status);
}

std::optional<common::Refusal> ModbusDriver::CheckWrite(std::int32_t operandType, std::int32_t address,
                                                        const OperandWriteValue& value) const
{
    return modbus::CheckWrite(m_map, Timers(), operandType, address, value);
}

bool ModbusDriver::Fetch(const RequestsPerTable& requests, std::uint8_t& status)
{
    for (const Table table : { Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters }) {
        for (const ReadRequest& request : requests[static_cast<std::size_t>(table)]) {
            const bool ok = table == Table::HoldingRegisters
                ? m_channel.ReadRegisters(request.start, request.count, m_image.RegistersAt(request.start), status)
                : m_channel.ReadBits(table, request.start, request.count, m_image.BitsAt(table, request.start), status);
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
        m_channel.Fail(status, status::kRefused,
                       OperandName(operandType) + ": a count of " + std::to_string(count)
                           + " operands cannot be exchanged; at least 1");
        return std::nullopt;
    }
    if (bufferSize < static_cast<std::size_t>(count)) {
        m_channel.Fail(status, status::kRefused,
                       OperandRun(operandType, address, count) + ": the buffer holds only " + std::to_string(bufferSize)
                           + (bufferSize == 1 ? " value" : " values"));
        return std::nullopt;
    }
    const auto first = m_map.Locate(operandType, address, Timers());
    const auto last = m_map.Locate(operandType, std::int64_t { address } + count - 1, Timers());
    if (!first || !last) {
        m_channel.Fail(status, status::kRefused,
                       OperandRun(operandType, address, count)
                           + " lies outside the Modbus addresses of the operand map");
        return std::nullopt;
    }
    return first;
}

template<class Value, class Convert>
bool ModbusDriver::ReadOperands(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                std::span<Value> values, std::uint8_t& status, Convert convert)
{
    const auto location = LocateRun(operandType, address, count, values.size(), status);
    if (!location || !m_channel.CheckOpen(status)) {
        return false;
    }
    if (!Fetch(m_reads.PlanRun(*location, count), status)) {
        return false;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        const auto at = static_cast<std::uint16_t>(location->address + i * location->width);
        if (!convert(at, values[static_cast<std::size_t>(i)])) {
            return false;
        }
    }
    return m_channel.Succeed(status);
}

bool ModbusDriver::Read(std::int32_t operandType, std::int16_t address, std::int16_t count,
                        std::span<std::uint8_t> values, std::uint8_t& status)
{
    const auto location = m_map.Locate(operandType, 0, Timers());
    const bool coils = location && location->table == Table::Coils;
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, std::uint8_t& value) {
        value = static_cast<std::uint8_t>(m_image.Bit(coils, at));
        return true;
    });
}

bool ModbusDriver::Read(std::int32_t operandType, std::int16_t address, std::int16_t count,
                        std::span<std::int16_t> values, std::uint8_t& status)
{
    if (!IsTimerValue(operandType) || Timers() == TimerFormat::RawWord) {
        return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, std::int16_t& value) {
            value = static_cast<std::int16_t>(m_image.Word(at));
            return true;
        });
    }
    // Two registers of ticks, given as the raw timer word one-operand reads deliver.
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, std::int16_t& value) {
        const auto ticks = static_cast<std::int32_t>(m_image.Long(at));
        const auto word = RawTimerWordFromTicks(ticks);
        if (!word) {
            return m_channel.Fail(status, status::kRefused,
                                  OperandName(operandType) + " at register " + std::to_string(at) + " holds "
                                      + std::to_string(ticks) + " ticks, which no raw timer word can express");
        }
        value = static_cast<std::int16_t>(*word);
        return true;
    });
}

bool ModbusDriver::Read(std::int32_t operandType, std::int16_t address, std::int16_t count,
                        std::span<std::int32_t> values, std::uint8_t& status)
{
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, std::int32_t& value) {
        value = static_cast<std::int32_t>(m_image.Long(at));
        return true;
    });
}

bool ModbusDriver::Read(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<float> values,
                        std::uint8_t& status)
{
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, float& value) {
        value = std::bit_cast<float>(m_image.Long(at));
        return true;
    });
}

bool ModbusDriver::Read(std::int32_t operandType, std::int16_t address, std::int16_t count,
                        std::span<common::Currency> values, std::uint8_t& status)
{
    return ReadOperands(operandType, address, count, values, status, [&](std::uint16_t at, common::Currency& value) {
        value = common::Currency::FromWhole(m_image.Long(at));
        return true;
    });
}

bool ModbusDriver::Write(std::int32_t operandType, std::int16_t address, std::int16_t count,
                         std::span<std::uint8_t> values, std::uint8_t& status)
{
    const auto location = LocateRun(operandType, address, count, values.size(), status);
    if (!location) {
        return false;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        if (auto refusal = BitRefusal(operandType, std::int64_t { address } + i, values[static_cast<std::size_t>(i)])) {
            return m_channel.Fail(status, status::kRefused, std::move(*refusal));
        }
    }
    if (location->table != Table::Coils) {
        return m_channel.Fail(status, status::kRefused,
                              OperandName(operandType) + " lives in read-only discrete inputs");
    }
    if (!m_channel.CheckOpen(status)) {
        return false;
    }
    const int chunk = std::min(m_map.MaxBitsPerRequest(), kMaxWriteBits);
    for (int done = 0; done < count; done += chunk) {
        const int n = std::min(chunk, count - done);
        if (!m_channel.WriteCoils(location->address + done, n, values.data() + done, status)) {
            return false;
        }
    }
    return m_channel.Succeed(status);
}

bool ModbusDriver::Write(std::int32_t operandType, std::int16_t address, std::int16_t count,
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

bool ModbusDriver::Write(std::int32_t operandType, std::int16_t address, std::int16_t count,
                         std::span<std::int32_t> values, std::uint8_t& status)
{
    if (!LocateRun(operandType, address, count, values.size(), status)) {
        return false;
    }
    std::vector<std::uint32_t> words(static_cast<std::size_t>(count));
    std::transform(values.begin(), values.begin() + count, words.begin(),
                   [](std::int32_t value) { return static_cast<std::uint32_t>(value); });
    return WriteLongs(operandType, address, count, words, status);
}

bool ModbusDriver::Write(std::int32_t operandType, std::int16_t address, std::int16_t count, std::span<float> values,
                         std::uint8_t& status)
{
    if (!LocateRun(operandType, address, count, values.size(), status)) {
        return false;
    }
    std::vector<std::uint32_t> words(static_cast<std::size_t>(count));
    std::transform(values.begin(), values.begin() + count, words.begin(),
                   [](float value) { return std::bit_cast<std::uint32_t>(value); });
    return WriteLongs(operandType, address, count, words, status);
}

bool ModbusDriver::Write(std::int32_t operandType, std::int16_t address, std::int16_t count,
                         std::span<common::Currency> values, std::uint8_t& status)
{
    if (!LocateRun(operandType, address, count, values.size(), status)) {
        return false;
    }
    const bool timer = IsTimerValue(operandType);
    const bool rawTimer = timer && Timers() == TimerFormat::RawWord;
    std::vector<std::uint16_t> registers;
    for (std::int32_t i = 0; i < count; ++i) {
        const common::Currency value = values[static_cast<std::size_t>(i)];
        const std::int64_t operand = std::int64_t { address } + i;
        if (auto refusal = timer ? TimerRefusal(operandType, operand, value, Timers())
                                 : DoubleWordRefusal(operandType, operand, value)) {
            return m_channel.Fail(status, status::kRefused, std::move(*refusal));
        }
        const std::int64_t whole = value.scaled / common::Currency::kScale;
        if (rawTimer) {
            registers.push_back(*RawTimerWordFromTicks(whole));
        } else {
            const auto words = SplitWords(m_map.Order(), static_cast<std::uint32_t>(whole));
            registers.insert(registers.end(), words.begin(), words.end());
        }
    }
    return WriteRegisterValues(operandType, address, count, registers, status);
}

bool ModbusDriver::WriteLongs(std::int32_t operandType, std::int16_t address, std::int16_t count,
                              std::span<const std::uint32_t> values, std::uint8_t& status)
{
    std::vector<std::uint16_t> registers;
    for (std::int32_t i = 0; i < count; ++i) {
        const auto words = SplitWords(m_map.Order(), values[static_cast<std::size_t>(i)]);
        registers.insert(registers.end(), words.begin(), words.end());
    }
    return WriteRegisterValues(operandType, address, count, registers, status);
}

bool ModbusDriver::WriteRegisterValues(std::int32_t operandType, std::int16_t address, std::int16_t count,
                                       const std::vector<std::uint16_t>& registers, std::uint8_t& status)
{
    const auto location = LocateRun(operandType, address, count, static_cast<std::size_t>(count), status);
    if (!location || !m_channel.CheckOpen(status)) {
        return false;
    }
    const int width = location->width;
    const int cap = std::min(m_map.MaxRegistersPerRequest(), kMaxWriteRegisters);
    // Whole operands per request, so that no value is written half.
    const int chunk = cap >= width ? cap / width * width : cap;
    const int total = static_cast<int>(registers.size());
    for (int done = 0; done < total; done += chunk) {
        const int n = std::min(chunk, total - done);
        if (!m_channel.WriteRegisters(location->address + done, n, registers.data() + done, status)) {
            return false;
        }
    }
    return m_channel.Succeed(status);
}

} // namespace tavrel::comm::modbus
