#pragma once

// The messages of the services over the address space: browse, attributes, methods. Included by Messages.h, which
// holds the headers, discovery, secure channel and session messages.

#include "opcua/Messages.h"

namespace tavrel::opcua {

// ---- Browse ----

struct ViewDescription
{
    NodeId viewId;
    DateTime timestamp;
    std::uint32_t viewVersion = 0;
    TAVREL_OPCUA_FIELDS(viewId, timestamp, viewVersion)
};

struct BrowseDescription
{
    NodeId nodeId;
    BrowseDirection browseDirection = BrowseDirection::Forward;
    NodeId referenceTypeId; ///< null: all references
    bool includeSubtypes = true;
    std::uint32_t nodeClassMask = 0; ///< 0: all node classes
    std::uint32_t resultMask = browse_result::kAll;
    TAVREL_OPCUA_FIELDS(nodeId, browseDirection, referenceTypeId, includeSubtypes, nodeClassMask, resultMask)
};

struct ReferenceDescription
{
    NodeId referenceTypeId;
    bool isForward = true;
    ExpandedNodeId nodeId;
    QualifiedName browseName;
    LocalizedText displayName;
    NodeClass nodeClass = NodeClass::Unspecified;
    ExpandedNodeId typeDefinition;
    TAVREL_OPCUA_FIELDS(referenceTypeId, isForward, nodeId, browseName, displayName, nodeClass, typeDefinition)
};

struct BrowseResult
{
    StatusCode statusCode;
    ByteString continuationPoint;
    std::vector<ReferenceDescription> references;
    TAVREL_OPCUA_FIELDS(statusCode, continuationPoint, references)
};

struct BrowseRequest
{
    static constexpr std::uint32_t kEncodingId = 527;
    RequestHeader requestHeader;
    ViewDescription view;
    std::uint32_t requestedMaxReferencesPerNode = 0; ///< 0: no limit from the client
    std::vector<BrowseDescription> nodesToBrowse;
    TAVREL_OPCUA_FIELDS(requestHeader, view, requestedMaxReferencesPerNode, nodesToBrowse)
};

struct BrowseResponse
{
    static constexpr std::uint32_t kEncodingId = 530;
    ResponseHeader responseHeader;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

struct BrowseNextRequest
{
    static constexpr std::uint32_t kEncodingId = 533;
    RequestHeader requestHeader;
    bool releaseContinuationPoints = false;
    std::vector<ByteString> continuationPoints;
    TAVREL_OPCUA_FIELDS(requestHeader, releaseContinuationPoints, continuationPoints)
};

struct BrowseNextResponse
{
    static constexpr std::uint32_t kEncodingId = 536;
    ResponseHeader responseHeader;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

struct RelativePathElement
{
    NodeId referenceTypeId;
    bool isInverse = false;
    bool includeSubtypes = true;
    QualifiedName targetName;
    TAVREL_OPCUA_FIELDS(referenceTypeId, isInverse, includeSubtypes, targetName)
};

struct RelativePath
{
    std::vector<RelativePathElement> elements;
    TAVREL_OPCUA_FIELDS(elements)
};

struct BrowsePath
{
    NodeId startingNode;
    RelativePath relativePath;
    TAVREL_OPCUA_FIELDS(startingNode, relativePath)
};

struct BrowsePathTarget
{
    static constexpr std::uint32_t kRemainingPathIndexNone = 0xFFFFFFFFU; ///< the whole path was followed
    ExpandedNodeId targetId;
    std::uint32_t remainingPathIndex = kRemainingPathIndexNone;
    TAVREL_OPCUA_FIELDS(targetId, remainingPathIndex)
};

struct BrowsePathResult
{
    StatusCode statusCode;
    std::vector<BrowsePathTarget> targets;
    TAVREL_OPCUA_FIELDS(statusCode, targets)
};

struct TranslateBrowsePathsToNodeIdsRequest
{
    static constexpr std::uint32_t kEncodingId = 554;
    RequestHeader requestHeader;
    std::vector<BrowsePath> browsePaths;
    TAVREL_OPCUA_FIELDS(requestHeader, browsePaths)
};

struct TranslateBrowsePathsToNodeIdsResponse
{
    static constexpr std::uint32_t kEncodingId = 557;
    ResponseHeader responseHeader;
    std::vector<BrowsePathResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

struct RegisterNodesRequest
{
    static constexpr std::uint32_t kEncodingId = 560;
    RequestHeader requestHeader;
    std::vector<NodeId> nodesToRegister;
    TAVREL_OPCUA_FIELDS(requestHeader, nodesToRegister)
};

struct RegisterNodesResponse
{
    static constexpr std::uint32_t kEncodingId = 563;
    ResponseHeader responseHeader;
    std::vector<NodeId> registeredNodeIds;
    TAVREL_OPCUA_FIELDS(responseHeader, registeredNodeIds)
};

struct UnregisterNodesRequest
{
    static constexpr std::uint32_t kEncodingId = 566;
    RequestHeader requestHeader;
    std::vector<NodeId> nodesToUnregister;
    TAVREL_OPCUA_FIELDS(requestHeader, nodesToUnregister)
};

struct UnregisterNodesResponse
{
    static constexpr std::uint32_t kEncodingId = 569;
    ResponseHeader responseHeader;
    TAVREL_OPCUA_FIELDS(responseHeader)
};

// ---- Attributes ----

struct ReadValueId
{
    NodeId nodeId;
    std::uint32_t attributeId = static_cast<std::uint32_t>(AttributeId::Value);
    std::string indexRange;
    QualifiedName dataEncoding;
    TAVREL_OPCUA_FIELDS(nodeId, attributeId, indexRange, dataEncoding)
};

struct ReadRequest
{
    static constexpr std::uint32_t kEncodingId = 631;
    RequestHeader requestHeader;
    double maxAge = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<ReadValueId> nodesToRead;
    TAVREL_OPCUA_FIELDS(requestHeader, maxAge, timestampsToReturn, nodesToRead)
};

struct ReadResponse
{
    static constexpr std::uint32_t kEncodingId = 634;
    ResponseHeader responseHeader;
    std::vector<DataValue> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

struct WriteValue
{
    NodeId nodeId;
    std::uint32_t attributeId = static_cast<std::uint32_t>(AttributeId::Value);
    std::string indexRange;
    DataValue value;
    TAVREL_OPCUA_FIELDS(nodeId, attributeId, indexRange, value)
};

struct WriteRequest
{
    static constexpr std::uint32_t kEncodingId = 673;
    RequestHeader requestHeader;
    std::vector<WriteValue> nodesToWrite;
    TAVREL_OPCUA_FIELDS(requestHeader, nodesToWrite)
};

struct WriteResponse
{
    static constexpr std::uint32_t kEncodingId = 676;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

// ---- Methods ----

struct CallMethodRequest
{
    NodeId objectId;
    NodeId methodId;
    std::vector<Variant> inputArguments;
    TAVREL_OPCUA_FIELDS(objectId, methodId, inputArguments)
};

struct CallMethodResult
{
    StatusCode statusCode;
    std::vector<StatusCode> inputArgumentResults;
    std::vector<DiagnosticInfo> inputArgumentDiagnosticInfos;
    std::vector<Variant> outputArguments;
    TAVREL_OPCUA_FIELDS(statusCode, inputArgumentResults, inputArgumentDiagnosticInfos, outputArguments)
};

struct CallRequest
{
    static constexpr std::uint32_t kEncodingId = 712;
    RequestHeader requestHeader;
    std::vector<CallMethodRequest> methodsToCall;
    TAVREL_OPCUA_FIELDS(requestHeader, methodsToCall)
};

struct CallResponse
{
    static constexpr std::uint32_t kEncodingId = 715;
    ResponseHeader responseHeader;
    std::vector<CallMethodResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

} // namespace tavrel::opcua
