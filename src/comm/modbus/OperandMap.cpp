#include "comm/modbus/OperandMap.h"

#include "common/OperandCatalogue.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>
#include <vector>

namespace tavrel::comm::modbus {

namespace {

namespace op = common::operand;

std::string Folded(std::string_view text)
{
    std::string folded;
    for (const char c : text) {
        if (c != ' ' && c != '\t') {
            folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return folded;
}

std::string_view Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The text between double quotes.
std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    quoted.append(text);
    quoted += '"';
    return quoted;
}

// A plain decimal whole number within [minimum, maximum]; no sign, fraction or blanks inside.
std::optional<std::int64_t> StrictNumber(std::string_view text, std::int64_t minimum, std::int64_t maximum)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc {} || end != text.data() + text.size() || value < minimum
        || value > maximum) {
        return std::nullopt;
    }
    return value;
}

// Drops a comment that starts with ';' or '#' at the line's start or after a blank.
std::string_view WithoutComment(std::string_view line)
{
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((line[i] == ';' || line[i] == '#') && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

enum class Section { None, Bases, Options, Ports };

class MapReader
{
public:
    explicit MapReader(std::string_view sourceName)
        : m_sourceName(sourceName)
    {
    }

    tl::expected<OperandMap, std::string> Read(std::string_view text)
    {
        std::size_t lineNumber = 0;
        while (!text.empty()) {
            ++lineNumber;
            const auto newline = text.find('\n');
            const std::string_view line = text.substr(0, newline);
            text = newline == std::string_view::npos ? std::string_view {} : text.substr(newline + 1);
            if (auto problem = ReadLine(Trimmed(WithoutComment(line)), lineNumber); !problem.empty()) {
                return tl::make_unexpected(m_sourceName + ", line " + std::to_string(lineNumber) + ": " + problem);
            }
        }
        if (auto overlap = FindOverlap()) {
            return tl::make_unexpected(m_sourceName + ", line " + std::to_string(overlap->first) + ": "
                                       + overlap->second);
        }
        return m_map;
    }

private:
    // The Modbus addresses an operand type takes from its base up to its highest legal operand on any PLC type.
    struct Span
    {
        std::int32_t code;
        Table table;
        std::int64_t first;
        std::int64_t last;
    };

    Span SpanOf(std::int32_t code) const
    {
        const auto base = m_map.Locate(code, 0, TimerFormat::Ticks);
        Span span { code, base->table, base->address, base->address };
        for (const common::PlcFamily& family : common::PlcFamilies()) {
            const auto limit = common::OperandAddressLimit(family.code, code);
            if (!limit) {
                continue;
            }
            const std::int64_t width = m_map.Locate(code, 0, family.timers)->width;
            span.last = std::max(span.last, span.first + (std::int64_t { *limit } + 1) * width - 1);
        }
        span.last = std::min<std::int64_t>(span.last, 65535); // what lies beyond is refused operand by operand
        return span;
    }

    // Two operand types whose addresses would meet: the line of the base that moved one onto the other, and why.
    std::optional<std::pair<std::size_t, std::string>> FindOverlap() const
    {
        std::vector<Span> spans;
        for (const common::OperandInfo& info : common::Operands()) {
            if (m_map.Base(info.code)) {
                spans.push_back(SpanOf(info.code));
            }
        }
        for (std::size_t i = 0; i < spans.size(); ++i) {
            for (std::size_t j = i + 1; j < spans.size(); ++j) {
                const Span& a = spans[i];
                const Span& b = spans[j];
                if (a.table != b.table || a.last < b.first || b.last < a.first) {
                    continue;
                }
                const auto lineOf = [&](std::int32_t code) {
                    const auto line = m_baseLines.find(code);
                    return line == m_baseLines.end() ? std::size_t { 0 } : line->second;
                };
                const auto describe = [](const Span& span) {
                    return std::string(common::OperandTypeName(span.code)) + " (" + std::to_string(span.first) + " to "
                        + std::to_string(span.last) + ")";
                };
                return std::make_pair(std::max(lineOf(a.code), lineOf(b.code)),
                                      describe(a) + " and " + describe(b) + " overlap in the "
                                          + (a.table == Table::Coils                ? "coils"
                                                 : a.table == Table::DiscreteInputs ? "discrete inputs"
                                                                                    : "holding registers")
                                          + " up to their highest legal operands; move one of them");
            }
        }
        return std::nullopt;
    }

    // An empty text when the line was used, else what is wrong with it.
    std::string ReadLine(std::string_view line, std::size_t lineNumber)
    {
        if (line.empty()) {
            return {};
        }
        if (line.front() == '[') {
            return ReadSectionHeader(line);
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            return "expected \"key = value\" or a [section], found " + Quoted(line);
        }
        const std::string_view key = Trimmed(line.substr(0, equals));
        const std::string_view value = Trimmed(line.substr(equals + 1));
        if (key.empty()) {
            return "a value without a key";
        }
        if (m_section == Section::None) {
            return Quoted(key) + " comes before any section; start with [Bases], [Options] or [Ports]";
        }
        const std::string foldedKey = std::to_string(static_cast<int>(m_section)) + Folded(key);
        if (const auto [it, fresh] = m_keyLines.emplace(foldedKey, lineNumber); !fresh) {
            return Quoted(key) + " is given twice (first on line " + std::to_string(it->second) + ")";
        }
        switch (m_section) {
        case Section::Bases:
            return ReadBase(key, value, lineNumber);
        case Section::Options:
            return ReadOption(key, value);
        case Section::Ports:
            return ReadPort(key, value);
        case Section::None:
            break;
        }
        return {};
    }

    std::string ReadSectionHeader(std::string_view line)
    {
        if (line.back() != ']') {
            return "a section header must end with \"]\"";
        }
        const std::string name = Folded(line.substr(1, line.size() - 2));
        if (name == "bases") {
            m_section = Section::Bases;
        } else if (name == "options") {
            m_section = Section::Options;
        } else if (name == "ports") {
            m_section = Section::Ports;
        } else {
            std::string problem = "unknown section ";
            problem.append(line);
            return problem + "; the sections are [Bases], [Options] and [Ports]";
        }
        return {};
    }

    std::string ReadBase(std::string_view key, std::string_view value, std::size_t lineNumber)
    {
        const std::string foldedKey = Folded(key);
        const auto operands = common::Operands();
        const auto info = std::find_if(operands.begin(), operands.end(),
                                       [&](const common::OperandInfo& o) { return Folded(o.name) == foldedKey; });
        if (info == operands.end()) {
            return "unknown operand type " + Quoted(key);
        }
        if (!m_map.Base(info->code)) {
            return std::string(info->name) + " is addressed by its Modbus device's items, not by the operand map";
        }
        const auto base = StrictNumber(value, 0, 65535);
        if (!base) {
            return "the base address of " + std::string(info->name) + " must be a whole number from 0 to 65535, not "
                + Quoted(value);
        }
        m_map.SetBase(info->code, static_cast<std::uint16_t>(*base));
        m_baseLines[info->code] = lineNumber;
        return {};
    }

    std::string ReadOption(std::string_view key, std::string_view value)
    {
        const std::string foldedKey = Folded(key);
        if (foldedKey == "wordorder") {
            const std::string order = Folded(value);
            if (order == "highwordfirst") {
                m_map.SetOrder(WordOrder::HighWordFirst);
            } else if (order == "lowwordfirst") {
                m_map.SetOrder(WordOrder::LowWordFirst);
            } else {
                return "WordOrder must be HighWordFirst or LowWordFirst, not " + Quoted(value);
            }
            return {};
        }
        if (foldedKey == "maxregistersperrequest") {
            const auto cap = StrictNumber(value, kMinRegistersPerRequest, kMaxReadRegisters);
            if (!cap) {
                return "MaxRegistersPerRequest must be a whole number from 2 to 125 (a 32-bit value takes two "
                       "registers and is never split), not "
                    + Quoted(value);
            }
            m_map.SetMaxRegistersPerRequest(static_cast<int>(*cap));
            return {};
        }
        if (foldedKey == "maxbitsperrequest") {
            const auto cap = StrictNumber(value, 1, kMaxReadBits);
            if (!cap) {
                return "MaxBitsPerRequest must be a whole number from 1 to 2000, not " + Quoted(value);
            }
            m_map.SetMaxBitsPerRequest(static_cast<int>(*cap));
            return {};
        }
        if (foldedKey == "runcoil") {
            const auto coil = StrictNumber(value, 0, 65535);
            if (!coil) {
                return "RunCoil must be a whole number from 0 to 65535, not " + Quoted(value);
            }
            m_map.SetRunCoil(static_cast<std::uint16_t>(*coil));
            return {};
        }
        return "unknown option " + Quoted(key)
            + "; the options are WordOrder, MaxRegistersPerRequest, MaxBitsPerRequest and RunCoil";
    }

    std::string ReadPort(std::string_view key, std::string_view value)
    {
        const std::string foldedKey = Folded(key);
        const auto port = foldedKey.starts_with("com") ? StrictNumber(std::string_view(foldedKey).substr(3), 1, 32767)
                                                       : std::nullopt;
        if (!port) {
            return "a port is named COM1, COM2 and so on, not " + Quoted(key);
        }
        if (value.empty()) {
            return "COM" + std::to_string(*port) + " needs a device path, such as /dev/ttyUSB0";
        }
        m_map.SetSerialDevice(static_cast<std::int32_t>(*port), std::string(value));
        return {};
    }

    std::string m_sourceName;
    OperandMap m_map;
    Section m_section = Section::None;
    std::map<std::string, std::size_t> m_keyLines;
    std::map<std::int32_t, std::size_t> m_baseLines; ///< the line of each base the file sets
};

} // namespace

TimerFormat TimerFormatOf(std::int32_t plcType)
{
    const common::PlcFamily* family = common::FindPlcFamily(plcType);
    return family ? family->timers : TimerFormat::Ticks;
}

OperandMap::OperandMap()
    : m_placements { {
        { op::O, Table::Coils, 0, 1 },
        { op::MB, Table::Coils, 1000, 1 },
        { op::SB, Table::Coils, 10000, 1 },
        { op::XB, Table::Coils, 11000, 1 },
        { op::I, Table::DiscreteInputs, 0, 1 },
        { op::TBit, Table::DiscreteInputs, 1000, 1 },
        { op::CBit, Table::DiscreteInputs, 2000, 1 },
        { op::MI, Table::HoldingRegisters, 0, 1 },
        { op::SI, Table::HoldingRegisters, 5000, 1 },
        { op::XI, Table::HoldingRegisters, 6000, 1 },
        { op::ML, Table::HoldingRegisters, 7000, 2 },
        { op::SL, Table::HoldingRegisters, 8100, 2 },
        { op::XL, Table::HoldingRegisters, 8700, 2 },
        { op::MF, Table::HoldingRegisters, 9300, 2 },
        { op::DW, Table::HoldingRegisters, 9900, 2 },
        { op::SDW, Table::HoldingRegisters, 10500, 2 },
        { op::XDW, Table::HoldingRegisters, 11100, 2 },
        { op::TPreset, Table::HoldingRegisters, 12000, 2 },
        { op::TCurrent, Table::HoldingRegisters, 13000, 2 },
        { op::CCurrent, Table::HoldingRegisters, 14000, 2 },
        { op::CPreset, Table::HoldingRegisters, 14600, 2 },
    } }
{
    m_placementOfCode.fill(-1);
    for (std::size_t i = 0; i < m_placements.size(); ++i) {
        m_placementOfCode[static_cast<std::size_t>(m_placements[i].operandType)] = static_cast<std::int8_t>(i);
    }
}

OperandMap::Placement* OperandMap::FindPlacement(std::int32_t operandType)
{
    if (operandType < 0 || operandType > kHighestCode) {
        return nullptr;
    }
    const std::int8_t index = m_placementOfCode[static_cast<std::size_t>(operandType)];
    return index < 0 ? nullptr : &m_placements[static_cast<std::size_t>(index)];
}

const OperandMap::Placement* OperandMap::FindPlacement(std::int32_t operandType) const
{
    return const_cast<OperandMap*>(this)->FindPlacement(operandType);
}

std::optional<OperandLocation> OperandMap::Locate(std::int32_t operandType, std::int64_t operandAddress,
                                                  TimerFormat timers) const
{
    const Placement* placement = FindPlacement(operandType);
    if (placement == nullptr || operandAddress < 0) {
        return std::nullopt;
    }
    std::uint16_t width = placement->width;
    if (timers == TimerFormat::RawWord && (operandType == op::TPreset || operandType == op::TCurrent)) {
        width = 1;
    }
    const std::int64_t address = placement->base + operandAddress * width;
    if (address + width - 1 > 65535) {
        return std::nullopt;
    }
    return OperandLocation { placement->table, static_cast<std::uint16_t>(address), width };
}

std::optional<std::uint16_t> OperandMap::Base(std::int32_t operandType) const
{
    const Placement* placement = FindPlacement(operandType);
    return placement ? std::optional<std::uint16_t>(placement->base) : std::nullopt;
}

bool OperandMap::SetBase(std::int32_t operandType, std::uint16_t base)
{
    Placement* placement = FindPlacement(operandType);
    if (placement == nullptr) {
        return false;
    }
    placement->base = base;
    return true;
}

bool OperandMap::SetMaxRegistersPerRequest(int cap)
{
    if (cap < kMinRegistersPerRequest || cap > kMaxReadRegisters) {
        return false;
    }
    m_maxRegisters = cap;
    return true;
}

bool OperandMap::SetMaxBitsPerRequest(int cap)
{
    if (cap < 1 || cap > kMaxReadBits) {
        return false;
    }
    m_maxBits = cap;
    return true;
}

std::string OperandMap::SerialDevice(std::int32_t comPort) const
{
    if (comPort < 1) {
        return {};
    }
    if (const auto it = m_serialDevices.find(comPort); it != m_serialDevices.end()) {
        return it->second;
    }
    return "/dev/ttyS" + std::to_string(comPort - 1);
}

void OperandMap::SetSerialDevice(std::int32_t comPort, std::string device)
{
    m_serialDevices[comPort] = std::move(device);
}

// Keys, matched without regard to case or blanks; ';' or '#' starts a comment:
//   [Bases]    an operand type name as the program shows it ("MB", "T (Preset)") = base address 0..65535;
//              two types of one table must not meet up to their highest legal operands
//   [Options]  WordOrder = HighWordFirst | LowWordFirst; MaxRegistersPerRequest = 2..125;
//              MaxBitsPerRequest = 1..2000; RunCoil = 0..65535
//   [Ports]    COMn = serial device path
tl::expected<OperandMap, std::string> ParseOperandMap(std::string_view text, std::string_view sourceName)
{
    return MapReader(sourceName).Read(text);
}

tl::expected<OperandMap, std::string> ReadOperandMapFile(const std::filesystem::path& path)
{
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        if (error) {
            return tl::make_unexpected("cannot look for " + path.string() + ": " + error.message());
        }
        return OperandMap {};
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return tl::make_unexpected("cannot open " + path.string() + " for reading");
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        return tl::make_unexpected("cannot read " + path.string());
    }
    return ParseOperandMap(text.str(), path.string());
}

} // namespace tavrel::comm::modbus
