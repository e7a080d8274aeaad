#pragma once

#include "comm/modbus/OperandMap.h"
#include "comm/modbus/ReadPlan.h"
#include "common/BinaryMix.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace tavrel::comm::modbus {

/// One read request of a Modbus device's list.
struct DeviceRequest
{
    Table table;
    std::uint16_t start;
    std::uint16_t count;

    friend bool operator==(const DeviceRequest&, const DeviceRequest&) = default;
};

/// The table of a device operand type (common::operand::Coil ... HoldingRegister), or nothing for another code.
std::optional<Table> DeviceTable(std::int32_t operandType);

/// The planning and decoding of a Modbus device's batched reads, without I/O. A device list (entries of mix types
/// 100-103, each Count values of Width registers or bits from StartAddress on) is read in the fewest requests of
/// each table that the request caps allow, gaps bridged only when that saves a request; a value is never split
/// between two requests.
///
/// The values the device will not give (found by the driver: it splits a request that the device refuses with an
/// exception, see MarkBad) are left out of every later plan of this instance, so one missing register costs the
/// device's other values nothing; Decode reports them per value. A new instance (a new run) tries them again.
class DeviceRead
{
public:
    /// Plans within at most `maxBits` bits and `maxRegisters` registers per request.
    DeviceRead(int maxBits, int maxRegisters);

    /// Whether the kept plan was made for this very list: the same mix types, addresses, counts and widths in order.
    bool IsPlannedFor(const std::vector<common::BinaryMixEntry>& entries) const;
    /// Checks a device list and keeps the plan of its requests; the reason, and no plan, for an entry that is no
    /// device entry or lies beyond the Modbus addresses.
    std::optional<std::string> Plan(const std::vector<common::BinaryMixEntry>& entries);
    /// The requests of the kept plan, table by table (coils, discrete inputs, holding, input registers).
    const std::vector<DeviceRequest>& Requests() const { return m_requests; }
    /// Puts `replacement` in the place of the kept plan's request `index` (what splitting it found readable).
    void ReplaceRequest(std::size_t index, const std::vector<DeviceRequest>& replacement);

    /// The values' spans of the kept plan that lie within `request`, by start address, each once.
    std::vector<ReadSpan> SpansWithin(const DeviceRequest& request) const;
    /// The request that reads `spans` (of one table, by start address) and nothing before or after them.
    static DeviceRequest Cover(Table table, std::span<const ReadSpan> spans);
    /// Notes that the device will not give the value at `span` of `table`, and why; later plans leave it out.
    void MarkBad(Table table, ReadSpan span, std::string reason);

    /// Where a request's answer goes: `count` registers, or bits as 0 and 1, from `start` of the table's image.
    std::uint16_t* Into(const DeviceRequest& request);
    /// Fills each entry's Words from what the requests brought back, and its Problems for the values marked bad.
    void Decode(std::vector<common::BinaryMixEntry>& entries) const;

private:
    struct Signature
    {
        std::int32_t mixType;
        std::int32_t start;
        std::int32_t count;
        std::int32_t width;
        friend bool operator==(const Signature&, const Signature&) = default;
    };
    // The problem noted for a value's span, or null.
    const std::string* BadReason(Table table, ReadSpan span) const;

    int m_maxBits;
    int m_maxRegisters;
    std::array<ReadPlanner, 4> m_planners;
    std::array<std::vector<std::uint16_t>, 4> m_image;
    std::vector<Signature> m_signature;
    bool m_planValid = false;
    std::vector<DeviceRequest> m_requests;
    std::array<std::vector<ReadSpan>, 4> m_spans; ///< per table, the kept plan's value spans by start address
    std::map<std::tuple<Table, std::uint16_t, std::uint16_t>, std::string> m_bad; ///< by table, start and width
};

} // namespace tavrel::comm::modbus
