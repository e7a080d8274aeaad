#pragma once

#include "common/Refusal.h"
#include "common/Role.h"
#include "opcua/AddressSpace.h"
#include "opcua/Backend.h"
#include "opcua/Messages.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tavrel::opcua {

// The attribute services: Read of every attribute a node's class has, and Write of an item's Value, which goes to
// the program through Backend::Write. Each fills the response's body and, when the request fails as a whole,
// responseHeader.serviceResult.

/// The status code of a refusal of the item service, the one table for writes and method calls.
std::uint32_t StatusOfRefusal(common::Refusal::Kind kind);

/// Operation-level diagnostics a request asks for with this bit of returnDiagnostics: the refusal's reason.
inline constexpr std::uint32_t kOperationAdditionalInfo = 0x80;

/// One attribute of a node, as Read answers it to a session of `role` (the value's status in the DataValue; no
/// timestamps besides a Value's source timestamp), or Bad_AttributeIdInvalid when the node's class lacks that
/// attribute. UserAccessLevel and UserExecutable show a reader that it may not write or call.
DataValue ReadAttribute(const AddressSpace& space, const Node& node, std::uint32_t attributeId, common::Role role,
                        std::int64_t nowMs);

/// The DataValue `value` with only the timestamps `which` asks for, a server timestamp of `nowMs`.
void KeepTimestamps(DataValue& value, TimestampsToReturn which, std::int64_t nowMs);

/// The text Backend::Write takes for a value of an item of `kind`: a Boolean "1"/"0", numbers with '.', a String
/// as it is; none when the value is not a scalar of the kind's data type.
std::optional<std::string> WriteText(ValueKind kind, const Variant& value);

ReadResponse Read(const ReadRequest& request, const AddressSpace& space, common::Role role, std::int64_t nowMs);
WriteResponse Write(const WriteRequest& request, const AddressSpace& space, Backend& backend, const Client& client);

} // namespace tavrel::opcua
