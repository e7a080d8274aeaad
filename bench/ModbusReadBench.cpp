// The batched read of N operands of mixed kinds, timed against a PLC on loopback (tavrel-plcsim), side by side
// with (a) the floor: a plain libmodbus client issuing the fewest requests that read the same registers, and
// (b) a plain libmodbus client issuing one request per operand value. Then a Modbus device of 1,000 input-register
// items of mixed data types (the simulator's input registers read what its holding registers hold), its batched
// read and the decoding of every value against the floor.
//
//   tavrel-bench-modbus --port PORT [--host 127.0.0.1]
//
// Prints a table of median times and ratios; exits with 1 when a target is missed: batched within 1.15x of the
// floor at every N and for the device, and at least 20x faster than one request per operand at N = 1000.

#include "comm/modbus/ModbusContext.h"
#include "comm/modbus/ModbusDriver.h"
#include "comm/modbus/OperandMap.h"
#include "comm/modbus/ReadPlan.h"
#include "common/DeviceItems.h"
#include "common/DeviceValues.h"
#include "common/OperandCatalogue.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tavrel::comm::modbus;
using tavrel::common::BinaryMixEntry;
namespace op = tavrel::common::operand;
using Clock = std::chrono::steady_clock;

constexpr double kFloorTarget = 1.15;
constexpr double kPerOperandTarget = 20.0;
constexpr std::size_t kPerOperandTargetSize = 1000;

// The mix of every 100 operands, as a project of one PLC might hold them. Bit and 16-bit kinds leave every
// eighth address unused, so the reads have gaps to bridge.
struct KindShare
{
    std::int32_t mixType;
    int perHundred;
    bool gaps;
};

constexpr std::array<KindShare, 12> kMix { {
    { op::MB, 32, true },
    { op::MI, 28, true },
    { op::O, 8, true },
    { op::I, 8, true },
    { op::ML, 5, false },
    { op::SI, 4, true },
    { op::MF, 3, false },
    { op::DW, 3, false },
    { op::TBit, 3, false }, // bit, current value and preset of a timer
    { op::CBit, 2, false }, // bit, current value and preset of a counter
    { op::SB, 2, true },
    { op::XB, 2, true },
} };

// One batched-read entry per operand, as a project lists its items: the kinds interleaved at random, each kind in
// address order (a station's inputs, words and timers, then the next station's).
std::vector<BinaryMixEntry> MixedEntries(std::size_t n)
{
    std::vector<std::int32_t> kinds;
    for (const KindShare& kind : kMix) {
        kinds.insert(kinds.end(), n * static_cast<std::size_t>(kind.perHundred) / 100, kind.mixType);
    }
    std::shuffle(kinds.begin(), kinds.end(), std::mt19937(12345));
    std::array<std::int32_t, 68> nextOperand {};
    std::vector<BinaryMixEntry> entries;
    for (const std::int32_t mixType : kinds) {
        const auto kind
            = std::find_if(kMix.begin(), kMix.end(), [&](const KindShare& k) { return k.mixType == mixType; });
        const std::int32_t i = nextOperand[static_cast<std::size_t>(mixType)]++;
        entries.push_back(BinaryMixEntry { 0, mixType, kind->gaps ? i + i / 7 : i, 1, {} });
    }
    return entries;
}

std::vector<std::int32_t> PartsOf(std::int32_t mixType)
{
    if (mixType == op::TBit) {
        return { op::TBit, op::TCurrent, op::TPreset };
    }
    if (mixType == op::CBit) {
        return { op::CBit, op::CCurrent, op::CPreset };
    }
    return { mixType };
}

// Every operand value the entries read: its table, first address and width; and the run coil, which every batched
// read reads with them.
std::vector<OperandLocation> Locations(const std::vector<BinaryMixEntry>& entries, const OperandMap& map)
{
    std::vector<OperandLocation> locations { OperandLocation { Table::Coils, map.RunCoil(), 1 } };
    for (const BinaryMixEntry& entry : entries) {
        for (const std::int32_t part : PartsOf(entry.MixType)) {
            for (std::int32_t i = 0; i < entry.Count; ++i) {
                locations.push_back(*map.Locate(part, entry.StartAddress + i, TimerFormat::Ticks));
            }
        }
    }
    return locations;
}

struct PlainRequest
{
    Table table;
    int start;
    int count;
};

// The fewest requests that read every wanted bit or register: per table, each request starts at the lowest
// address not yet read and reads as far as the protocol allows.
std::vector<PlainRequest> FloorRequests(const std::vector<OperandLocation>& locations)
{
    std::vector<PlainRequest> requests;
    for (const Table table : { Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters, Table::InputRegisters }) {
        std::vector<bool> wanted(65536);
        for (const OperandLocation& location : locations) {
            if (location.table == table) {
                for (int k = 0; k < location.width; ++k) {
                    wanted[location.address + static_cast<std::size_t>(k)] = true;
                }
            }
        }
        const int cap
            = table == Table::HoldingRegisters || table == Table::InputRegisters ? kMaxReadRegisters : kMaxReadBits;
        for (int address = 0; address < 65536;) {
            if (!wanted[static_cast<std::size_t>(address)]) {
                ++address;
                continue;
            }
            int last = address;
            for (int k = address; k < std::min(address + cap, 65536); ++k) {
                if (wanted[static_cast<std::size_t>(k)]) {
                    last = k;
                }
            }
            requests.push_back({ table, address, last - address + 1 });
            address = last + 1;
        }
    }
    return requests;
}

// The requests the driver plans for the entries, for the table only.
std::size_t DriverRequestCount(const std::vector<OperandLocation>& locations, const OperandMap& map)
{
    std::size_t total = 0;
    for (const Table table : { Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters, Table::InputRegisters }) {
        std::vector<ReadSpan> spans;
        for (const OperandLocation& location : locations) {
            if (location.table == table) {
                spans.push_back({ location.address, location.width });
            }
        }
        const int cap = table == Table::Coils || table == Table::DiscreteInputs ? map.MaxBitsPerRequest()
                                                                                : map.MaxRegistersPerRequest();
        total += PlanReads(spans, cap).size();
    }
    return total;
}

bool Issue(modbus_t* context, const PlainRequest& request, std::vector<std::uint8_t>& bits,
           std::vector<std::uint16_t>& registers)
{
    switch (request.table) {
    case Table::Coils:
        return modbus_read_bits(context, request.start, request.count, bits.data()) == request.count;
    case Table::DiscreteInputs:
        return modbus_read_input_bits(context, request.start, request.count, bits.data()) == request.count;
    case Table::HoldingRegisters:
        return modbus_read_registers(context, request.start, request.count, registers.data()) == request.count;
    case Table::InputRegisters:
        return modbus_read_input_registers(context, request.start, request.count, registers.data()) == request.count;
    }
    return false;
}

// The median of `repeats` runs of each contender, run in turns so that every one meets the same noise.
std::vector<double> MedianMilliseconds(const std::vector<std::function<bool()>>& contenders, int repeats)
{
    std::vector<std::vector<double>> times(contenders.size());
    for (int run = -1; run < repeats; ++run) { // run -1 warms up
        for (std::size_t c = 0; c < contenders.size(); ++c) {
            const auto start = Clock::now();
            if (!contenders[c]()) {
                std::fprintf(stderr, "tavrel-bench-modbus: a read failed\n");
                std::exit(2);
            }
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            if (run >= 0) {
                times[c].push_back(ms);
            }
        }
    }
    std::vector<double> medians;
    for (auto& series : times) {
        std::nth_element(series.begin(), series.begin() + static_cast<std::ptrdiff_t>(series.size() / 2), series.end());
        medians.push_back(series[series.size() / 2]);
    }
    return medians;
}

// The data types of every 100 items of a meter-like device, and whether each leaves a register unused after it.
struct DeviceShare
{
    const char* type;
    int perHundred;
    bool gap;
};
constexpr std::array<DeviceShare, 8> kDeviceMix { {
    { "int16", 30, true },
    { "uint16", 10, false },
    { "float32", 25, false },
    { "int32", 10, true },
    { "uint32", 10, false },
    { "float64", 5, false },
    { "uint64", 5, true },
    { "string(8)", 5, false },
} };

// One device entry per item, the types interleaved at random, from input register 0 on.
std::vector<BinaryMixEntry> DeviceEntries(std::size_t n, std::vector<tavrel::common::DataType>& types)
{
    std::vector<const DeviceShare*> order;
    for (const DeviceShare& share : kDeviceMix) {
        order.insert(order.end(), n * static_cast<std::size_t>(share.perHundred) / 100, &share);
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(54321));
    std::vector<BinaryMixEntry> entries;
    std::int32_t address = 0;
    for (const DeviceShare* share : order) {
        const tavrel::common::DataType type = *tavrel::common::ParseDataType(share->type);
        const auto width = static_cast<std::int32_t>(tavrel::common::RegisterCount(type));
        BinaryMixEntry entry { 0, op::InputRegister, address, 1, {} };
        entry.Width = width;
        entries.push_back(std::move(entry));
        types.push_back(type);
        address += width + (share->gap ? 1 : 0);
    }
    return entries;
}

// The device's batched read against the floor, and then the decoding of every value into its text; true when the
// read is within the target.
bool BenchDevice(ModbusDriver& driver, modbus_t* plain, std::vector<std::uint8_t>& bits,
                 std::vector<std::uint16_t>& registers)
{
    constexpr std::size_t kItems = 1000;
    std::vector<tavrel::common::DataType> types;
    std::vector<BinaryMixEntry> entries = DeviceEntries(kItems, types);
    std::vector<OperandLocation> locations;
    for (const BinaryMixEntry& entry : entries) {
        locations.push_back({ Table::InputRegisters, static_cast<std::uint16_t>(entry.StartAddress),
                              static_cast<std::uint16_t>(entry.Width) });
    }
    const std::vector<PlainRequest> floor = FloorRequests(locations);
    std::uint8_t status = 0;
    const auto batched = [&] { return driver.ReadBinaryMix(entries, status); };
    const auto decoded = [&] {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!tavrel::common::DecodeValue(entries[i].Words, types[i], tavrel::common::ByteOrder::ABCD)) {
                return false;
            }
        }
        return true;
    };
    const auto issueFloor = [&] {
        return std::all_of(floor.begin(), floor.end(),
                           [&](const PlainRequest& r) { return Issue(plain, r, bits, registers); });
    };
    if (!issueFloor()) {
        std::fprintf(stderr, "tavrel-bench-modbus: the PLC answers no input registers (function 04): %s\n",
                     modbus_strerror(errno));
        return false;
    }
    const std::vector<double> ms = MedianMilliseconds({ issueFloor, batched }, 201);
    const double decodeMs = MedianMilliseconds({ decoded }, 201).front();
    const double toFloor = ms[1] / ms[0];
    std::printf("\nModbus device: %zu input-register items of mixed data types, batched read; then every value\n"
                "decoded into its text (data type and byte order), as the pass does on the main thread\n",
                kItems);
    std::printf("%7s | %22s | %22s | %13s | %12s\n", "items", "floor (a)", "batched", "batched/(a)", "decoding");
    std::printf("--------+------------------------+------------------------+---------------+-------------\n");
    std::printf("%7zu | %9.3f ms %6zu req | %9.3f ms %6zu req | %12.3fx | %9.3f ms\n", kItems, ms[0], floor.size(),
                ms[1], DriverRequestCount(locations, OperandMap {}), toFloor, decodeMs);
    return toFloor <= kFloorTarget;
}

} // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1";
    int port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0) {
            port = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--host") == 0) {
            host = argv[i + 1];
        }
    }
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: tavrel-bench-modbus --port PORT [--host 127.0.0.1]\n");
        return 2;
    }

    const OperandMap map;
    ModbusDriver driver(map);
    driver.SetRemoteHost(host);
    driver.SetRemotePort(port);
    driver.SetTimeOut(6000);
    driver.SetRetries(3);
    ModbusContext plain(modbus_new_tcp(host.c_str(), port));
    if (driver.ConnectEthernet() != 0 || !driver.OpenEthernet() || !plain || modbus_connect(plain.Get()) == -1) {
        std::fprintf(stderr, "tavrel-bench-modbus: cannot reach %s:%d: %s\n", host.c_str(), port,
                     driver.LastError().c_str());
        return 2;
    }
    std::vector<std::uint8_t> bits(kMaxReadBits);
    std::vector<std::uint16_t> registers(kMaxReadRegisters);

    std::printf("Batched read of N operands of mixed kinds from tavrel-plcsim on %s, median times\n", host.c_str());
    std::printf("(a) floor: plain libmodbus, fewest requests for the same registers; "
                "(b) plain libmodbus, one request per operand value\n\n");
    std::printf("%7s | %22s | %22s | %24s | %13s | %13s\n", "N", "floor (a)", "batched", "per operand (b)",
                "batched/(a)", "(b)/batched");
    std::printf("--------+------------------------+------------------------+--------------------------+"
                "---------------+--------------\n");

    bool met = true;
    for (const std::size_t n : { std::size_t { 100 }, std::size_t { 1000 }, std::size_t { 10000 } }) {
        std::vector<BinaryMixEntry> entries = MixedEntries(n);
        const std::vector<OperandLocation> locations = Locations(entries, map);
        const std::vector<PlainRequest> floor = FloorRequests(locations);
        std::vector<PlainRequest> perOperand;
        for (const OperandLocation& location : locations) {
            perOperand.push_back({ location.table, location.address, location.width });
        }
        std::uint8_t status = 0;
        const auto issueAll = [&](const std::vector<PlainRequest>& requests) {
            return std::all_of(requests.begin(), requests.end(),
                               [&](const PlainRequest& r) { return Issue(plain.Get(), r, bits, registers); });
        };
        // The floor and the batched read are close, so they get many runs; one request per operand is far off.
        const int closeRepeats = n >= 10000 ? 41 : 201;
        const int farRepeats = n >= 10000 ? 3 : 7;
        std::vector<double> ms = MedianMilliseconds(
            { [&] { return issueAll(floor); }, [&] { return driver.ReadBinaryMix(entries, status); } }, closeRepeats);
        ms.push_back(MedianMilliseconds({ [&] { return issueAll(perOperand); } }, farRepeats).front());
        const double toFloor = ms[1] / ms[0];
        const double fromPerOperand = ms[2] / ms[1];
        std::printf("%7zu | %9.3f ms %6zu req | %9.3f ms %6zu req | %10.3f ms %7zu req | %12.3fx | %12.1fx\n", n, ms[0],
                    floor.size(), ms[1], DriverRequestCount(locations, map), ms[2], perOperand.size(), toFloor,
                    fromPerOperand);
        met = met && toFloor <= kFloorTarget;
        if (n == kPerOperandTargetSize) {
            met = met && fromPerOperand >= kPerOperandTarget;
        }
    }
    ModbusDriver device(map, tavrel::common::plctype::ModbusDevice);
    device.SetRemoteHost(host);
    device.SetRemotePort(port);
    device.SetTimeOut(6000);
    device.SetRetries(3);
    if (device.ConnectEthernet() != 0 || !device.OpenEthernet()) {
        std::fprintf(stderr, "tavrel-bench-modbus: cannot reach %s:%d: %s\n", host.c_str(), port,
                     device.LastError().c_str());
        return 2;
    }
    met = BenchDevice(device, plain.Get(), bits, registers) && met;
    std::printf("\ntargets: batched/(a) <= %.2fx at every N and for the device; (b)/batched >= %.0fx at N = %zu: %s\n",
                kFloorTarget, kPerOperandTarget, kPerOperandTargetSize, met ? "met" : "MISSED");
    return met ? 0 : 1;
}
