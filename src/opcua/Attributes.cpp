#include "opcua/Attributes.h"

#include <array>
#include <charconv>
#include <string_view>

namespace tavrel::opcua {

namespace {

using A = AttributeId;

constexpr std::uint8_t kCurrentWriteBit = 2; // AccessLevel's CurrentWrite

/// Which attributes each node class has: the ones every node has, then the class's own.
bool HasAttribute(NodeClass nodeClass, AttributeId attribute)
{
    if (attribute >= A::NodeId && attribute <= A::UserWriteMask) {
        return true;
    }
    switch (nodeClass) {
    case NodeClass::Object:
        return attribute == A::EventNotifier;
    case NodeClass::Variable:
        return (attribute >= A::Value && attribute <= A::Historizing);
    case NodeClass::Method:
        return attribute == A::Executable || attribute == A::UserExecutable;
    case NodeClass::ObjectType:
    case NodeClass::DataType:
        return attribute == A::IsAbstract;
    case NodeClass::VariableType:
        return attribute == A::IsAbstract || (attribute >= A::Value && attribute <= A::ArrayDimensions);
    case NodeClass::ReferenceType:
        return attribute == A::IsAbstract || attribute == A::Symmetric || attribute == A::InverseName;
    case NodeClass::View:
        return attribute == A::ContainsNoLoops || attribute == A::EventNotifier;
    case NodeClass::Unspecified:
        break;
    }
    return false;
}

Variant Of(Scalar scalar)
{
    return Variant(std::move(scalar));
}

Variant AttributeValue(const Node& node, AttributeId attribute, common::Role role)
{
    const bool operatorRole = role == common::Role::Operator;
    switch (attribute) {
    case A::NodeId:
        return Of(node.id);
    case A::NodeClass:
        return Of(static_cast<std::int32_t>(node.nodeClass));
    case A::BrowseName:
        return Of(node.browseName);
    case A::DisplayName:
        return Of(node.displayName);
    case A::Description:
        return Of(node.description);
    case A::WriteMask:
    case A::UserWriteMask:
        return Of(std::uint32_t { 0 }); // no attribute of any node is writable but an item's Value
    case A::IsAbstract:
        return Of(node.isAbstract);
    case A::Symmetric:
        return Of(node.symmetric);
    case A::InverseName:
        return Of(node.inverseName);
    case A::ContainsNoLoops:
        return Of(true);
    case A::EventNotifier:
        return Of(node.eventNotifier);
    case A::DataType:
        return Of(NodeId(0, node.dataType));
    case A::ValueRank:
        return Of(node.valueRank);
    case A::ArrayDimensions:
        // One dimension of any length for an array; null for a scalar.
        return node.valueRank == 1 ? Variant::Array(BuiltinType::UInt32, { std::uint32_t { 0 } }) : Variant();
    case A::AccessLevel:
        return Of(node.accessLevel);
    case A::UserAccessLevel: // a reader reads; writing is the operator's
        return Of(operatorRole ? node.accessLevel : static_cast<std::uint8_t>(node.accessLevel & ~kCurrentWriteBit));
    case A::MinimumSamplingInterval:
        return Of(node.minimumSamplingInterval);
    case A::Historizing:
        return Of(node.historizing);
    case A::Executable:
        return Of(true);
    case A::UserExecutable:
        return Of(operatorRole);
    default:
        return {};
    }
}

/// Elements `first` to `last` of an array value, as an index range "5" or "2:4" selects them.
std::uint32_t ApplyIndexRange(std::string_view range, Variant& value)
{
    std::size_t first = 0;
    std::size_t last = 0;
    const char* end = range.data() + range.size();
    auto [p, error] = std::from_chars(range.data(), end, first);
    if (error != std::errc()) {
        return status::kBadIndexRangeInvalid;
    }
    last = first;
    if (p != end && *p == ':') {
        auto [q, secondError] = std::from_chars(p + 1, end, last);
        if (secondError != std::errc() || last <= first) {
            return status::kBadIndexRangeInvalid;
        }
        p = q;
    }
    if (p != end) {
        return status::kBadIndexRangeInvalid;
    }
    if (!value.isArray || first >= value.array.size()) {
        return status::kBadIndexRangeNoData;
    }
    last = std::min(last, value.array.size() - 1);
    value.array = std::vector<Scalar>(value.array.begin() + static_cast<std::ptrdiff_t>(first),
                                      value.array.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    return status::kGood;
}

template<class T> std::string NumberText(T number)
{
    std::array<char, 64> buffer {};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
    return std::string(buffer.data(), result.ptr);
}

DataValue Fault(std::uint32_t code)
{
    DataValue value;
    value.status = StatusCode { code };
    return value;
}

DiagnosticInfo Reason(std::string reason)
{
    DiagnosticInfo info;
    info.additionalInfo = std::move(reason);
    return info;
}

} // namespace

std::uint32_t StatusOfRefusal(common::Refusal::Kind kind)
{
    switch (kind) {
    case common::Refusal::Kind::UnknownItem:
        return status::kBadNodeIdUnknown;
    case common::Refusal::Kind::NotWritable:
        return status::kBadNotWritable;
    case common::Refusal::Kind::BadValue:
        return status::kBadTypeMismatch;
    case common::Refusal::Kind::OutOfRange:
        return status::kBadOutOfRange;
    case common::Refusal::Kind::NotAllowed:
        return status::kBadUserAccessDenied;
    case common::Refusal::Kind::UnknownCommand:
        return status::kBadMethodInvalid;
    }
    return status::kBadInternalError;
}

DataValue ReadAttribute(const AddressSpace& space, const Node& node, std::uint32_t attributeId, common::Role role,
                        std::int64_t nowMs)
{
    const auto attribute = static_cast<AttributeId>(attributeId);
    if (!HasAttribute(node.nodeClass, attribute)) {
        return Fault(status::kBadAttributeIdInvalid);
    }
    if (attribute == A::Value) {
        if (node.nodeClass == NodeClass::VariableType) {
            DataValue value;
            value.value = Variant();
            return value;
        }
        DataValue value = space.VariableValue(node, nowMs);
        if (!value.sourceTimestamp && node.source != ValueSource::Item) {
            value.sourceTimestamp = DateTime::FromUnixMs(nowMs); // computed now
        }
        return value;
    }
    DataValue value;
    value.value = AttributeValue(node, attribute, role);
    return value;
}

void KeepTimestamps(DataValue& value, TimestampsToReturn which, std::int64_t nowMs)
{
    const bool source = which == TimestampsToReturn::Source || which == TimestampsToReturn::Both;
    const bool server = which == TimestampsToReturn::Server || which == TimestampsToReturn::Both;
    if (!source) {
        value.sourceTimestamp.reset();
        value.sourcePicoseconds.reset();
    }
    if (server) {
        value.serverTimestamp = DateTime::FromUnixMs(nowMs);
    } else {
        value.serverTimestamp.reset();
        value.serverPicoseconds.reset();
    }
}

std::optional<std::string> WriteText(ValueKind kind, const Variant& value)
{
    if (value.isArray) {
        return std::nullopt;
    }
    const Scalar& scalar = value.value;
    switch (kind) {
    case ValueKind::Boolean:
        if (const bool* b = std::get_if<bool>(&scalar)) {
            return std::string(*b ? "1" : "0");
        }
        break;
    case ValueKind::Int16:
        if (const auto* n = std::get_if<std::int16_t>(&scalar)) {
            return NumberText(*n);
        }
        break;
    case ValueKind::UInt16:
        if (const auto* n = std::get_if<std::uint16_t>(&scalar)) {
            return NumberText(*n);
        }
        break;
    case ValueKind::Int32:
        if (const auto* n = std::get_if<std::int32_t>(&scalar)) {
            return NumberText(*n);
        }
        break;
    case ValueKind::UInt32:
        if (const auto* n = std::get_if<std::uint32_t>(&scalar)) {
            return NumberText(*n);
        }
        break;
    case ValueKind::Int64:
        if (const auto* n = std::get_if<std::int64_t>(&scalar)) {
            return NumberText(*n);
        }
        break;
    case ValueKind::UInt64:
        if (const auto* n = std::get_if<std::uint64_t>(&scalar)) {
            return NumberText(*n);
        }
        break;
    case ValueKind::Float:
        if (const auto* n = std::get_if<float>(&scalar)) {
            return NumberText(*n);
        }
        break;
    case ValueKind::Double:
        if (const auto* n = std::get_if<double>(&scalar)) {
            return NumberText(*n);
        }
        break;
    case ValueKind::String:
        if (const auto* s = std::get_if<std::string>(&scalar)) {
            return *s;
        }
        break;
    }
    return std::nullopt;
}

ReadResponse Read(const ReadRequest& request, const AddressSpace& space, common::Role role, std::int64_t nowMs)
{
    ReadResponse response;
    std::uint32_t& serviceResult = response.responseHeader.serviceResult.code;
    if (request.nodesToRead.empty()) {
        serviceResult = status::kBadNothingToDo;
    } else if (request.nodesToRead.size() > space.Config().limits.maxNodesPerRead) {
        serviceResult = status::kBadTooManyOperations;
    } else if (request.maxAge < 0) {
        serviceResult = status::kBadMaxAgeInvalid;
    } else if (request.timestampsToReturn < TimestampsToReturn::Source
               || request.timestampsToReturn > TimestampsToReturn::Neither) {
        serviceResult = status::kBadTimestampsToReturnInvalid;
    }
    if (serviceResult != status::kGood) {
        return response;
    }
    response.results.reserve(request.nodesToRead.size());
    for (const ReadValueId& what : request.nodesToRead) {
        const Node* node = space.Find(what.nodeId);
        if (node == nullptr) {
            response.results.push_back(Fault(status::kBadNodeIdUnknown));
            continue;
        }
        const bool isValue = what.attributeId == static_cast<std::uint32_t>(A::Value);
        if (!what.dataEncoding.name.empty()) {
            if (!isValue) {
                response.results.push_back(Fault(status::kBadDataEncodingInvalid));
                continue;
            }
            if (what.dataEncoding.namespaceIndex != 0 || what.dataEncoding.name != "Default Binary") {
                response.results.push_back(Fault(status::kBadDataEncodingUnsupported));
                continue;
            }
        }
        DataValue value = ReadAttribute(space, *node, what.attributeId, role, nowMs);
        if (!what.indexRange.empty() && value.value && !(value.status && value.status->IsBad())) {
            if (const std::uint32_t code = ApplyIndexRange(what.indexRange, *value.value); code != status::kGood) {
                value = Fault(code);
            }
        }
        if (isValue) {
            KeepTimestamps(value, request.timestampsToReturn, nowMs);
        }
        response.results.push_back(std::move(value));
    }
    return response;
}

WriteResponse Write(const WriteRequest& request, const AddressSpace& space, Backend& backend, const Client& client)
{
    WriteResponse response;
    if (request.nodesToWrite.empty() || request.nodesToWrite.size() > space.Config().limits.maxNodesPerWrite) {
        response.responseHeader.serviceResult.code
            = request.nodesToWrite.empty() ? status::kBadNothingToDo : status::kBadTooManyOperations;
        return response;
    }
    const bool withReasons = (request.requestHeader.returnDiagnostics & kOperationAdditionalInfo) != 0;
    for (const WriteValue& what : request.nodesToWrite) {
        std::uint32_t code = status::kGood;
        std::string reason;
        const Node* node = space.Find(what.nodeId);
        const ItemNode* item = node != nullptr && node->source == ValueSource::Item ? space.Item(node->label) : nullptr;
        if (node == nullptr) {
            code = status::kBadNodeIdUnknown;
        } else if (!HasAttribute(node->nodeClass, static_cast<AttributeId>(what.attributeId))) {
            code = status::kBadAttributeIdInvalid;
        } else if (what.attributeId != static_cast<std::uint32_t>(A::Value) || item == nullptr || !item->writable) {
            code = status::kBadNotWritable;
        } else if (!what.indexRange.empty() || what.value.status || what.value.sourceTimestamp
                   || what.value.serverTimestamp) {
            code = status::kBadWriteNotSupported; // an item takes a whole value, and keeps its own status and time
        } else if (const auto text = what.value.value ? WriteText(item->kind, *what.value.value) : std::nullopt;
                   !text) {
            code = status::kBadTypeMismatch;
        } else if (const auto refusal = backend.Write(client, item->index, *text)) {
            code = StatusOfRefusal(refusal->kind);
            reason = refusal->reason;
        }
        response.results.push_back(StatusCode { code });
        if (withReasons) {
            response.diagnosticInfos.push_back(reason.empty() ? DiagnosticInfo {} : Reason(std::move(reason)));
        }
    }
    return response;
}

} // namespace tavrel::opcua
