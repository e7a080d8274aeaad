#pragma once

#include "opcua/AddressSpace.h"
#include "opcua/Messages.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrel::opcua {

// The view services: Browse, BrowseNext, TranslateBrowsePathsToNodeIds, RegisterNodes, UnregisterNodes. Pure
// functions over the address space; the only state is a session's browse continuation points. Each fills the
// response's body and, when the request fails as a whole, responseHeader.serviceResult (the caller stamps the rest
// of the header).

/// The continuation points of one session: the rest of a Browse answer that did not fit, kept until the client
/// asks for it or releases it. At most `max` at once (ServerLimits::maxBrowseContinuationPoints).
class BrowseContinuations
{
public:
    explicit BrowseContinuations(std::size_t max)
        : m_max(max)
    {
    }
    /// Keeps `rest`, to be handed out `perAnswer` at a time; none when all are in use.
    std::optional<ByteString> Keep(std::vector<ReferenceDescription> rest, std::size_t perAnswer);
    /// The next part of the point's references, with a new continuation point while more remain; the point is
    /// used up either way. Bad_ContinuationPointInvalid for an unknown point.
    BrowseResult Next(const ByteString& point);
    /// Forgets the point; false when unknown.
    bool Release(const ByteString& point);
    std::size_t Count() const { return m_points.size(); }

private:
    struct Point
    {
        ByteString id;
        std::vector<ReferenceDescription> rest;
        std::size_t perAnswer = 0;
    };
    std::size_t m_max;
    std::uint64_t m_lastId = 0;
    std::vector<Point> m_points;
};

/// The references of each node to browse, at most requestedMaxReferencesPerNode (and the server's limit) each,
/// the rest behind a continuation point.
BrowseResponse Browse(const BrowseRequest& request, const AddressSpace& space, BrowseContinuations& continuations);
/// The next part of each continuation point, or releases them.
BrowseNextResponse BrowseNext(const BrowseNextRequest& request, BrowseContinuations& continuations);
/// The nodes each relative path leads to from its starting node.
TranslateBrowsePathsToNodeIdsResponse TranslateBrowsePaths(const TranslateBrowsePathsToNodeIdsRequest& request,
                                                           const AddressSpace& space);
/// Registered nodes are the nodes themselves: every NodeId of this server is as quick to use as any alias.
RegisterNodesResponse RegisterNodes(const RegisterNodesRequest& request, const AddressSpace& space);
UnregisterNodesResponse UnregisterNodes(const UnregisterNodesRequest& request, const AddressSpace& space);

} // namespace tavrel::opcua
