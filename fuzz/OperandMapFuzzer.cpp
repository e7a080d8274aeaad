// The Modbus map file as a user may write it: a bad line is an error that names the file and the line, and a
// map that reads puts every operand within the Modbus address range, in requests the protocol allows.

#include "FuzzSupport.h"

#include "comm/modbus/OperandMap.h"
#include "comm/modbus/ReadPlan.h"
#include "common/OperandCatalogue.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

using namespace tavrel::comm::modbus;
using tavrel::fuzz::Require;

namespace {

constexpr std::string_view kSource = "modbus-map.ini";
constexpr std::array<std::int64_t, 9> kAddresses = {0, 1, 7, 100, 999, 32767, 65534, 65535, 2147483647};

void CheckError(const std::string& error, std::string_view text)
{
    const std::string prefix = std::string(kSource) + ", line ";
    Require(error.starts_with(prefix), "an error names the file and the line", error);
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    const std::size_t line = std::stoul(error.substr(prefix.size()));
    Require(line >= 1 && line <= lines, "an error names a line of the file", error);
    Require(error.size() > prefix.size() + 4, "an error says what is wrong", error);
}

bool Overlap(const ReadSpan& a, const ReadSpan& b)
{
    return a.start < b.start + b.width && b.start < a.start + a.width;
}

// Every request within the cap and the address range, in address order, and every operand inside one request.
// Operands that overlap others (bases that make two types share registers) can chain into a run no request holds;
// the planner cuts such a run, so of those only every register is promised.
void CheckPlan(std::vector<ReadSpan> spans, int cap)
{
    const std::vector<ReadSpan> wanted = spans;
    const std::vector<ReadRequest> requests = PlanReads(spans, cap);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        Require(requests[i].count >= 1 && requests[i].count <= cap, "a request asks for 1 to cap values");
        Require(requests[i].start + requests[i].count <= 65536, "a request stays within the addresses");
        if (i > 0) {
            Require(requests[i - 1].start + requests[i - 1].count <= requests[i].start,
                    "requests come in address order without overlap");
        }
    }
    const auto covers = [&](int first, int width) {
        return std::any_of(requests.begin(), requests.end(), [&](const ReadRequest& request) {
            return first >= request.start && first + width <= request.start + request.count;
        });
    };
    for (const ReadSpan& span : wanted) {
        const std::string where = std::to_string(span.start) + "+" + std::to_string(span.width);
        const bool shared = std::any_of(wanted.begin(), wanted.end(), [&](const ReadSpan& other) {
            return (other.start != span.start || other.width != span.width) && Overlap(span, other);
        });
        if (span.width <= cap && !shared) {
            Require(covers(span.start, span.width), "every operand is read whole by one request", where);
            continue;
        }
        for (int address = span.start; address < span.start + span.width; ++address) {
            Require(covers(address, 1), "an operand wider than the cap is read in pieces", where);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text = tavrel::fuzz::AsText(data, size);
    const auto map = ParseOperandMap(text, kSource);
    if (!map) {
        CheckError(map.error(), text);
        return 0;
    }
    Require(map->MaxRegistersPerRequest() >= kMinRegistersPerRequest
                && map->MaxRegistersPerRequest() <= kMaxReadRegisters,
            "the register cap is one the protocol allows");
    Require(map->MaxBitsPerRequest() >= 1 && map->MaxBitsPerRequest() <= kMaxReadBits,
            "the bit cap is one the protocol allows");

    std::array<std::vector<ReadSpan>, 3> spans;
    for (const auto& operand : tavrel::common::Operands()) {
        const auto base = map->Base(operand.code);
        for (const TimerFormat timers : {TimerFormat::Ticks, TimerFormat::RawWord}) {
            for (const std::int64_t address : kAddresses) {
                const auto location = map->Locate(operand.code, address, timers);
                if (!base) {
                    Require(!location.has_value(), "an operand without a base has no place");
                    continue;
                }
                if (!location) {
                    continue;
                }
                const std::int64_t first = *base + address * location->width;
                Require(location->address == first, "an operand lies at its base plus its address times its width",
                        std::string(operand.name));
                Require(location->width >= 1 && location->address + location->width - 1 <= 65535,
                        "an operand lies within the Modbus addresses", std::string(operand.name));
                spans[static_cast<std::size_t>(location->table)].push_back({location->address, location->width});
            }
        }
    }
    CheckPlan(spans[static_cast<std::size_t>(Table::Coils)], map->MaxBitsPerRequest());
    CheckPlan(spans[static_cast<std::size_t>(Table::DiscreteInputs)], map->MaxBitsPerRequest());
    CheckPlan(spans[static_cast<std::size_t>(Table::HoldingRegisters)], map->MaxRegistersPerRequest());

    for (std::int32_t port = -1; port <= 3; ++port) {
        const std::string device = map->SerialDevice(port);
        Require(port < 1 ? device.empty() : !device.empty(), "a COM port from 1 up has a device");
    }
    return 0;
}
