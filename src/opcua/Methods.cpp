#include "opcua/Methods.h"

#include "opcua/Attributes.h"
#include "opcua/StandardNodes.h"

#include <algorithm>

namespace tavrel::opcua {

namespace {

/// The status of calling `methodId` on `objectId` before anything is carried out.
std::uint32_t CheckCall(const AddressSpace& space, const CallMethodRequest& call, const Node*& method)
{
    const Node* object = space.Find(call.objectId);
    method = space.Find(call.methodId);
    if (object == nullptr) {
        return status::kBadNodeIdUnknown;
    }
    if (method == nullptr || method->nodeClass != NodeClass::Method) {
        return status::kBadMethodInvalid;
    }
    const bool ofObject = std::any_of(object->references.begin(), object->references.end(), [&](const auto& r) {
        return r.forward && r.type == standard::id::HasComponent && r.target == method->id;
    });
    if (!ofObject) {
        return status::kBadMethodInvalid;
    }
    return call.inputArguments.empty() ? status::kGood : status::kBadTooManyArguments;
}

} // namespace

CallResponse Call(const CallRequest& request, const AddressSpace& space, Backend& backend, const Client& client)
{
    CallResponse response;
    if (request.methodsToCall.empty() || request.methodsToCall.size() > space.Config().limits.maxNodesPerMethodCall) {
        response.responseHeader.serviceResult.code
            = request.methodsToCall.empty() ? status::kBadNothingToDo : status::kBadTooManyOperations;
        return response;
    }
    const bool withReasons = (request.requestHeader.returnDiagnostics & kOperationAdditionalInfo) != 0;
    for (const CallMethodRequest& call : request.methodsToCall) {
        CallMethodResult& result = response.results.emplace_back();
        const Node* method = nullptr;
        result.statusCode.code = CheckCall(space, call, method);
        std::string reason;
        if (result.statusCode.code == status::kBadTooManyArguments) {
            // Each argument given is one too many.
            result.inputArgumentResults.assign(call.inputArguments.size(), StatusCode { status::kBadInvalidArgument });
        } else if (result.statusCode.code == status::kGood) {
            if (const auto refusal = backend.Execute(client, method->command)) {
                result.statusCode.code = StatusOfRefusal(refusal->kind);
                reason = refusal->reason;
            }
        }
        if (withReasons) {
            DiagnosticInfo info;
            if (!reason.empty()) {
                info.additionalInfo = std::move(reason);
            }
            response.diagnosticInfos.push_back(std::move(info));
        }
    }
    return response;
}

} // namespace tavrel::opcua
