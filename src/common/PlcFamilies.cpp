#include "common/PlcFamilies.h"

#include "common/OperandCatalogue.h"

#include <algorithm>
#include <array>

namespace tavrel::common {

namespace {

using namespace operand;
using enum PlcReading;
using enum TimerFormat;

constexpr std::int32_t kNone = -1;

constexpr SerialFraming k8N1 { 8, 0, 1 };
constexpr SerialFraming k7E1 { 7, 2, 1 };

// The operand types the Define PLC dialog lists, in its order; the last four, the X types, only for some families.
constexpr std::array<std::int32_t, 21> kWithXTypes { I,  O,  TCurrent, TPreset,  TBit,    MB,   MI, ML, DW, MF, SB,
                                                     SI, SL, SDW,      CCurrent, CPreset, CBit, XB, XI, XL, XDW };
constexpr std::span<const std::int32_t> kWithoutXTypes { kWithXTypes.data(), kWithXTypes.size() - 4 };

constexpr std::array<std::int32_t, 8> kQ40Unsupported { ML, SL, MF, CBit, DW, SDW, CCurrent, CPreset };

// clang-format off
// The highest legal address of each operand type, by family; a type not listed is not legal there.
constexpr std::array<OperandLimit, 21> kOrbisALimits{{
    {MB, 8191}, {SB, 511}, {MI, 4095}, {SI, 511}, {ML, 511}, {SL, 55}, {MF, 63}, {I, 543}, {O, 543},
    {TBit, 383}, {CBit, 31}, {DW, 255}, {SDW, 63}, {TPreset, 383}, {TCurrent, 383}, {CCurrent, 31}, {CPreset, 31},
    {XB, 1023}, {XI, 511}, {XL, 255}, {XDW, 63},
}};
constexpr std::array<OperandLimit, 17> kOrbisBCLimits{{
    {MB, 4095}, {SB, 511}, {MI, 2047}, {SI, 511}, {ML, 255}, {SL, 55}, {MF, 23}, {I, 543}, {O, 543},
    {TBit, 191}, {CBit, 23}, {DW, 63}, {SDW, 63}, {TPreset, 191}, {TCurrent, 191}, {CCurrent, 23}, {CPreset, 23},
}};
constexpr std::array<OperandLimit, 21> kFjordLimits{{
    {MB, 511}, {SB, 511}, {MI, 255}, {SI, 511}, {ML, 31}, {SL, 55}, {MF, 23}, {I, 543}, {O, 543},
    {TBit, 31}, {CBit, 15}, {DW, 31}, {SDW, 63}, {TPreset, 31}, {TCurrent, 31}, {CCurrent, 15}, {CPreset, 15},
    {XB, 63}, {XI, 31}, {XL, 15}, {XDW, 15},
}};
// A Modbus device: the four tables, every protocol address.
constexpr std::array<std::int32_t, 4> kDeviceTypes { Coil, DiscreteInput, InputRegister, HoldingRegister };
constexpr std::array<OperandLimit, 4> kDeviceLimits{{
    {Coil, 65535}, {DiscreteInput, 65535}, {InputRegister, 65535}, {HoldingRegister, 65535},
}};
// The Q40 family has one general limit (its `otherLimit`), and a smaller one for its timers.
constexpr std::array<OperandLimit, 3> kQ40Limits{{{TBit, 63}, {TPreset, 63}, {TCurrent, 63}}};

// One row a family, in the order the Define PLC dialog lists them.
constexpr std::array<PlcFamily, 7> kFamilies{{
    {.code = plctype::OrbisA, .name = "Orbis-A models", .series = "Orbis", .reading = Batched, .timers = Ticks,
     .picture = PlcPicture::None, .framing = k8N1, .offered = kWithXTypes, .unsupported = {},
     .timersWritable = true, .limits = kOrbisALimits, .otherLimit = kNone},
    {.code = plctype::OrbisB, .name = "Orbis-B models", .series = "Orbis", .reading = Batched, .timers = Ticks,
     .picture = PlcPicture::Orbis, .framing = k8N1, .offered = kWithXTypes, .unsupported = {},
     .timersWritable = true, .limits = kOrbisBCLimits, .otherLimit = kNone},
    {.code = plctype::OrbisC, .name = "Orbis-C models", .series = "Orbis", .reading = Batched, .timers = Ticks,
     .picture = PlcPicture::Orbis, .framing = k8N1, .offered = kWithoutXTypes, .unsupported = {},
     .timersWritable = true, .limits = kOrbisBCLimits, .otherLimit = kNone},
    {.code = plctype::Q40StandAlone, .name = "Q40/Q41/Reed Stand-alone", .series = "Q40", .reading = ItemByItem,
     .timers = RawWord, .picture = PlcPicture::Q40, .framing = k7E1, .offered = kWithoutXTypes,
     .unsupported = kQ40Unsupported, .timersWritable = false, .limits = kQ40Limits, .otherLimit = 255},
    {.code = plctype::Q40ViaOrbis, .name = "Q40/Q41/Reed via Orbis", .series = "Q40", .reading = ItemByItem,
     .timers = RawWord, .picture = PlcPicture::Q40, .framing = k8N1, .offered = kWithoutXTypes,
     .unsupported = kQ40Unsupported, .timersWritable = false, .limits = kQ40Limits, .otherLimit = 255},
    {.code = plctype::Fjord, .name = "Fjord", .series = "Fjord", .reading = Batched, .timers = Ticks,
     .picture = PlcPicture::Orbis, .framing = k8N1, .offered = kWithoutXTypes, .unsupported = {},
     .timersWritable = true, .limits = kFjordLimits, .otherLimit = kNone},
    {.code = plctype::ModbusDevice, .name = "Modbus device", .series = "Modbus device", .reading = Batched,
     .timers = Ticks, .picture = PlcPicture::None, .framing = k8N1, .offered = kDeviceTypes, .unsupported = {},
     .timersWritable = false, .limits = kDeviceLimits, .otherLimit = kNone},
}};
// clang-format on

} // namespace

std::span<const PlcFamily> PlcFamilies()
{
    return kFamilies;
}

const PlcFamily* FindPlcFamily(std::int32_t plcType)
{
    const auto it
        = std::find_if(kFamilies.begin(), kFamilies.end(), [plcType](const auto& f) { return f.code == plcType; });
    return it == kFamilies.end() ? nullptr : &*it;
}

std::string_view PlcTypeName(std::int32_t code)
{
    const PlcFamily* family = FindPlcFamily(code);
    return family ? family->name : std::string_view {};
}

bool IsBatchedPlcType(std::int32_t plcType)
{
    const PlcFamily* family = FindPlcFamily(plcType);
    return family && family->reading == Batched;
}

SerialFraming ProposedFraming(std::int32_t plcType)
{
    const PlcFamily* family = FindPlcFamily(plcType);
    return family ? family->framing : k8N1;
}

std::span<const std::int32_t> OfferedOperandTypes(std::int32_t plcType)
{
    const PlcFamily* family = FindPlcFamily(plcType);
    return family ? family->offered : kWithoutXTypes;
}

std::optional<std::int32_t> OperandAddressLimit(std::int32_t plcType, std::int32_t operandType)
{
    const PlcFamily* family = FindPlcFamily(plcType);
    if (family == nullptr) {
        return std::nullopt;
    }
    const auto it = std::find_if(family->limits.begin(), family->limits.end(),
                                 [operandType](const auto& limit) { return limit.operandType == operandType; });
    const std::int32_t highest = it != family->limits.end() ? it->highest : family->otherLimit;
    return highest == kNone ? std::nullopt : std::optional<std::int32_t>(highest);
}

} // namespace tavrel::common
