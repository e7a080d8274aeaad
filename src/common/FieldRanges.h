#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel::common {

/// The lowest and highest TCP port a PLC can be reached on; 0 names no port on the remote side.
inline constexpr std::int32_t kLowestRemotePort = 1;
inline constexpr std::int32_t kHighestRemotePort = 65535;
/// The port a new TCP/IP PLC is proposed: Modbus TCP's registered port (Modbus Messaging on TCP/IP, 4.4.1).
inline constexpr std::int32_t kProposedRemotePort = 502;

/// The legal addresses of an operand type on a PLC type in words: "Address 0–4095 for MI on this PLC type",
/// or "XB has no legal address on this PLC type".
std::string AddressRangeText(std::int32_t plcType, std::int32_t operandType);

/// Why a typed start address does not fit the operand type on the PLC type (its AddressRangeText), or nothing
/// when it does. Only the start is looked at: the end of a vector is the item rules' concern.
std::optional<std::string> StartAddressProblem(std::int32_t plcType, std::int32_t operandType,
                                               std::string_view startText);

/// Why a typed length cannot be an item's ("Length 1–50"), or nothing.
std::optional<std::string> LengthProblem(std::string_view lengthText);

/// Why a typed remote port is none ("Port 1–65535"), or nothing.
std::optional<std::string> RemotePortProblem(std::string_view portText);

/// The remote port of a text that has no RemotePortProblem.
std::int32_t RemotePortOf(std::string_view portText);

/// Why a dotted IP address being typed can never become one (a part past 255, more than four parts), or
/// nothing; an address that is only incomplete has no problem yet.
std::optional<std::string> IpAddressProblem(std::string_view addressText);

} // namespace tavrel::common
