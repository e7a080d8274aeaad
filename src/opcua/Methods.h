#pragma once

#include "opcua/AddressSpace.h"
#include "opcua/Backend.h"
#include "opcua/Messages.h"

namespace tavrel::opcua {

// The Call service: the methods RunStop of Objects/Tavrel and Run/Stop of each PLC carry out the execute command
// they hold through Backend::Execute. None takes arguments or returns any.

/// Calls each method on its object; a refusal of the program comes back as its status code (StatusOfRefusal),
/// with its reason as operation diagnostics when the request asks for them (kOperationAdditionalInfo).
CallResponse Call(const CallRequest& request, const AddressSpace& space, Backend& backend, const Client& client);

} // namespace tavrel::opcua
