#include "opcua/Browse.h"

#include "opcua/StandardNodes.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace tavrel::opcua {

namespace {

/// The fault of a request as a whole: nothing to do, or more operations than the server takes in one call.
std::uint32_t OperationCountStatus(std::size_t count, std::size_t max)
{
    if (count == 0) {
        return status::kBadNothingToDo;
    }
    return count > max ? status::kBadTooManyOperations : status::kGood;
}

/// Whether a reference of `type` passes a filter of `filter` (null: every type).
bool TypeMatches(const AddressSpace& space, std::uint32_t type, const NodeId& filter, bool includeSubtypes)
{
    if (filter.IsNull()) {
        return true;
    }
    const std::uint32_t wanted = filter.StandardNumber();
    return includeSubtypes ? space.IsSubtype(type, wanted) : type == wanted;
}

/// Null, or a reference type node: anything else makes the filter invalid.
bool IsReferenceTypeFilter(const AddressSpace& space, const NodeId& filter)
{
    if (filter.IsNull()) {
        return true;
    }
    const Node* node = space.Find(filter);
    return node != nullptr && node->nodeClass == NodeClass::ReferenceType;
}

ReferenceDescription Describe(const AddressSpace& space, const NodeReference& reference, const Node& target,
                              std::uint32_t resultMask)
{
    ReferenceDescription description;
    description.nodeId.nodeId = target.id;
    if (resultMask & browse_result::kReferenceTypeId) {
        description.referenceTypeId = NodeId(0, reference.type);
    }
    description.isForward = (resultMask & browse_result::kIsForward) ? reference.forward : false;
    if (resultMask & browse_result::kNodeClass) {
        description.nodeClass = target.nodeClass;
    }
    if (resultMask & browse_result::kBrowseName) {
        description.browseName = target.browseName;
    }
    if (resultMask & browse_result::kDisplayName) {
        description.displayName = target.displayName;
    }
    if ((resultMask & browse_result::kTypeDefinition)
        && (target.nodeClass == NodeClass::Object || target.nodeClass == NodeClass::Variable)) {
        description.typeDefinition.nodeId = space.TypeDefinition(target);
    }
    return description;
}

BrowseResult BrowseOne(const BrowseDescription& what, std::size_t maxReferences, const AddressSpace& space,
                       BrowseContinuations& continuations)
{
    BrowseResult result;
    const Node* node = space.Find(what.nodeId);
    if (node == nullptr) {
        result.statusCode.code = status::kBadNodeIdUnknown;
        return result;
    }
    if (what.browseDirection != BrowseDirection::Forward && what.browseDirection != BrowseDirection::Inverse
        && what.browseDirection != BrowseDirection::Both) {
        result.statusCode.code = status::kBadBrowseDirectionInvalid;
        return result;
    }
    if (!IsReferenceTypeFilter(space, what.referenceTypeId)) {
        result.statusCode.code = status::kBadReferenceTypeIdInvalid;
        return result;
    }
    for (const NodeReference& reference : node->references) {
        const bool directionMatches = what.browseDirection == BrowseDirection::Both
            || reference.forward == (what.browseDirection == BrowseDirection::Forward);
        if (!directionMatches || !TypeMatches(space, reference.type, what.referenceTypeId, what.includeSubtypes)) {
            continue;
        }
        const Node* target = space.Find(reference.target);
        if (target == nullptr) {
            continue;
        }
        if (what.nodeClassMask != 0 && (what.nodeClassMask & static_cast<std::uint32_t>(target->nodeClass)) == 0) {
            continue;
        }
        result.references.push_back(Describe(space, reference, *target, what.resultMask));
    }
    if (result.references.size() > maxReferences) {
        std::vector<ReferenceDescription> rest(result.references.begin() + static_cast<std::ptrdiff_t>(maxReferences),
                                               result.references.end());
        result.references.resize(maxReferences);
        if (auto point = continuations.Keep(std::move(rest), maxReferences)) {
            result.continuationPoint = std::move(*point);
        } else {
            result.references.clear();
            result.statusCode.code = status::kBadNoContinuationPoints;
        }
    }
    return result;
}

} // namespace

std::optional<ByteString> BrowseContinuations::Keep(std::vector<ReferenceDescription> rest, std::size_t perAnswer)
{
    if (m_points.size() >= m_max) {
        return std::nullopt;
    }
    ++m_lastId;
    ByteString id;
    id.bytes.resize(sizeof m_lastId);
    std::memcpy(id.bytes.data(), &m_lastId, sizeof m_lastId);
    m_points.push_back({ id, std::move(rest), perAnswer });
    return id;
}

BrowseResult BrowseContinuations::Next(const ByteString& point)
{
    BrowseResult result;
    const auto it = std::find_if(m_points.begin(), m_points.end(), [&](const Point& p) { return p.id == point; });
    if (it == m_points.end()) {
        result.statusCode.code = status::kBadContinuationPointInvalid;
        return result;
    }
    Point used = std::move(*it);
    m_points.erase(it);
    if (used.rest.size() <= used.perAnswer) {
        result.references = std::move(used.rest);
        return result;
    }
    const auto split = used.rest.begin() + static_cast<std::ptrdiff_t>(used.perAnswer);
    result.references.assign(std::make_move_iterator(used.rest.begin()), std::make_move_iterator(split));
    used.rest.erase(used.rest.begin(), split);
    // The point just freed makes room for the next one.
    result.continuationPoint = *Keep(std::move(used.rest), used.perAnswer);
    return result;
}

bool BrowseContinuations::Release(const ByteString& point)
{
    return std::erase_if(m_points, [&](const Point& p) { return p.id == point; }) != 0;
}

BrowseResponse Browse(const BrowseRequest& request, const AddressSpace& space, BrowseContinuations& continuations)
{
    BrowseResponse response;
    const ServerLimits& limits = space.Config().limits;
    response.responseHeader.serviceResult.code
        = OperationCountStatus(request.nodesToBrowse.size(), limits.maxNodesPerBrowse);
    if (!request.view.viewId.IsNull()) {
        response.responseHeader.serviceResult.code = status::kBadViewIdUnknown;
    }
    if (response.responseHeader.serviceResult.IsBad()) {
        return response;
    }
    std::size_t maxReferences = limits.maxReferencesPerNode;
    if (request.requestedMaxReferencesPerNode != 0) {
        maxReferences = std::min<std::size_t>(maxReferences, request.requestedMaxReferencesPerNode);
    }
    maxReferences = std::max<std::size_t>(maxReferences, 1);
    response.results.reserve(request.nodesToBrowse.size());
    for (const BrowseDescription& what : request.nodesToBrowse) {
        response.results.push_back(BrowseOne(what, maxReferences, space, continuations));
    }
    return response;
}

BrowseNextResponse BrowseNext(const BrowseNextRequest& request, BrowseContinuations& continuations)
{
    BrowseNextResponse response;
    if (request.continuationPoints.empty()) {
        response.responseHeader.serviceResult.code = status::kBadNothingToDo;
        return response;
    }
    response.results.reserve(request.continuationPoints.size());
    for (const ByteString& point : request.continuationPoints) {
        if (request.releaseContinuationPoints) {
            BrowseResult result;
            if (!continuations.Release(point)) {
                result.statusCode.code = status::kBadContinuationPointInvalid;
            }
            response.results.push_back(std::move(result));
        } else {
            response.results.push_back(continuations.Next(point));
        }
    }
    return response;
}

TranslateBrowsePathsToNodeIdsResponse TranslateBrowsePaths(const TranslateBrowsePathsToNodeIdsRequest& request,
                                                           const AddressSpace& space)
{
    TranslateBrowsePathsToNodeIdsResponse response;
    response.responseHeader.serviceResult.code
        = OperationCountStatus(request.browsePaths.size(), space.Config().limits.maxNodesPerTranslateBrowsePaths);
    if (response.responseHeader.serviceResult.IsBad()) {
        return response;
    }
    for (const BrowsePath& path : request.browsePaths) {
        BrowsePathResult& result = response.results.emplace_back();
        const auto& elements = path.relativePath.elements;
        if (space.Find(path.startingNode) == nullptr) {
            result.statusCode.code = status::kBadNodeIdUnknown;
            continue;
        }
        if (elements.empty()) {
            result.statusCode.code = status::kBadNothingToDo;
            continue;
        }
        const bool badName = std::any_of(elements.begin(), elements.end(),
                                         [](const RelativePathElement& e) { return e.targetName.name.empty(); });
        if (badName) {
            result.statusCode.code = status::kBadBrowseNameInvalid;
            continue;
        }
        std::vector<NodeId> current { path.startingNode };
        for (const RelativePathElement& element : elements) {
            std::vector<NodeId> next;
            std::unordered_set<NodeId> seen;
            for (const NodeId& from : current) {
                for (const NodeReference& reference : space.Find(from)->references) {
                    if (reference.forward == element.isInverse
                        || !TypeMatches(space, reference.type, element.referenceTypeId, element.includeSubtypes)) {
                        continue;
                    }
                    const Node* target = space.Find(reference.target);
                    if (target != nullptr && target->browseName == element.targetName
                        && seen.insert(target->id).second) {
                        next.push_back(target->id);
                    }
                }
            }
            current = std::move(next);
            if (current.empty()) {
                break;
            }
        }
        if (current.empty()) {
            result.statusCode.code = status::kBadNoMatch;
            continue;
        }
        for (NodeId& target : current) {
            result.targets.push_back(
                { ExpandedNodeId { std::move(target), {}, 0 }, BrowsePathTarget::kRemainingPathIndexNone });
        }
    }
    return response;
}

RegisterNodesResponse RegisterNodes(const RegisterNodesRequest& request, const AddressSpace& space)
{
    RegisterNodesResponse response;
    response.responseHeader.serviceResult.code
        = OperationCountStatus(request.nodesToRegister.size(), space.Config().limits.maxNodesPerRegisterNodes);
    if (!response.responseHeader.serviceResult.IsBad()) {
        response.registeredNodeIds = request.nodesToRegister;
    }
    return response;
}

UnregisterNodesResponse UnregisterNodes(const UnregisterNodesRequest& request, const AddressSpace& space)
{
    UnregisterNodesResponse response;
    response.responseHeader.serviceResult.code
        = OperationCountStatus(request.nodesToUnregister.size(), space.Config().limits.maxNodesPerRegisterNodes);
    return response;
}

} // namespace tavrel::opcua
