#include "common/FieldRanges.h"

#include "common/ItemRules.h"
#include "common/NumberText.h"
#include "common/OperandCatalogue.h"
#include "common/PlcFamilies.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace tavrel::common {

namespace {

constexpr std::string_view kDash = "\u2013";
constexpr int kIpAddressParts = 4;
constexpr int kHighestIpPart = 255;

std::string Range(std::int64_t lowest, std::int64_t highest)
{
    return std::to_string(lowest) + std::string(kDash) + std::to_string(highest);
}

std::string_view Trimmed(std::string_view text)
{
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool AllDigits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::string AddressRangeText(std::int32_t plcType, std::int32_t operandType)
{
    const std::string name(OperandTypeName(operandType));
    const auto highest = OperandAddressLimit(plcType, operandType);
    if (!highest) {
        return name + " has no legal address on this PLC type";
    }
    return "Address " + Range(0, *highest) + " for " + name + " on this PLC type";
}

std::optional<std::string> StartAddressProblem(std::int32_t plcType, std::int32_t operandType,
                                               std::string_view startText)
{
    const auto highest = OperandAddressLimit(plcType, operandType);
    const auto start = ParseWholeNumber(startText, 0, std::numeric_limits<std::int32_t>::max());
    if (highest && start && *start <= *highest) {
        return std::nullopt;
    }
    return AddressRangeText(plcType, operandType);
}

std::optional<std::string> LengthProblem(std::string_view lengthText)
{
    const auto length = ParseWholeNumber(lengthText, 1, kMaxItemLength);
    if (length) {
        return std::nullopt;
    }
    return "Length " + Range(1, kMaxItemLength);
}

std::optional<std::string> RemotePortProblem(std::string_view portText)
{
    const std::string_view digits = Trimmed(portText);
    if (AllDigits(digits) && digits.size() <= 5) {
        const std::int32_t port = RemotePortOf(digits);
        if (port >= kLowestRemotePort && port <= kHighestRemotePort) {
            return std::nullopt;
        }
    }
    return "Port " + Range(kLowestRemotePort, kHighestRemotePort);
}

std::int32_t RemotePortOf(std::string_view portText)
{
    const auto port = ParseWholeNumber(portText, 0, kHighestRemotePort);
    return port ? static_cast<std::int32_t>(*port) : 0;
}

std::optional<std::string> IpAddressProblem(std::string_view addressText)
{
    int parts = 0;
    std::size_t from = 0;
    while (from <= addressText.size()) {
        const std::size_t dot = std::min(addressText.find('.', from), addressText.size());
        const std::string_view part = addressText.substr(from, dot - from);
        ++parts;
        if (parts > kIpAddressParts) {
            return "An IP address has four parts, each " + Range(0, kHighestIpPart);
        }
        if (!part.empty() && (part.size() > 3 || !AllDigits(part) || std::stoi(std::string(part)) > kHighestIpPart)) {
            return "Each part of an IP address is " + Range(0, kHighestIpPart);
        }
        from = dot + 1;
    }
    return std::nullopt;
}

} // namespace tavrel::common
