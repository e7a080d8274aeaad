#pragma once

// The messages of the services over the address space: browse, attributes, methods, subscriptions. Included by
// Messages.h, which holds the headers, discovery, secure channel and session messages.

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

// ---- Monitoring filters (in MonitoringParameters::filter) ----

struct DataChangeFilter
{
    static constexpr std::uint32_t kEncodingId = 724;
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;
    DeadbandType deadbandType = DeadbandType::None;
    double deadbandValue = 0;
    TAVREL_OPCUA_FIELDS(trigger, deadbandType, deadbandValue)
};

struct SimpleAttributeOperand
{
    static constexpr std::uint32_t kEncodingId = 603;
    NodeId typeDefinitionId;
    std::vector<QualifiedName> browsePath;
    std::uint32_t attributeId = static_cast<std::uint32_t>(AttributeId::Value);
    std::string indexRange;
    TAVREL_OPCUA_FIELDS(typeDefinitionId, browsePath, attributeId, indexRange)
};

struct ElementOperand
{
    static constexpr std::uint32_t kEncodingId = 594;
    std::uint32_t index = 0;
    TAVREL_OPCUA_FIELDS(index)
};

struct LiteralOperand
{
    static constexpr std::uint32_t kEncodingId = 597;
    Variant value;
    TAVREL_OPCUA_FIELDS(value)
};

/// One element of a where clause; its operands are ExtensionObjects holding the operand structures above.
struct ContentFilterElement
{
    FilterOperator filterOperator = FilterOperator::Equals;
    std::vector<ExtensionObject> filterOperands;
    TAVREL_OPCUA_FIELDS(filterOperator, filterOperands)
};

struct ContentFilter
{
    std::vector<ContentFilterElement> elements;
    TAVREL_OPCUA_FIELDS(elements)
};

struct EventFilter
{
    static constexpr std::uint32_t kEncodingId = 727;
    std::vector<SimpleAttributeOperand> selectClauses;
    ContentFilter whereClause;
    TAVREL_OPCUA_FIELDS(selectClauses, whereClause)
};

struct ContentFilterElementResult
{
    StatusCode statusCode;
    std::vector<StatusCode> operandStatusCodes;
    std::vector<DiagnosticInfo> operandDiagnosticInfos;
    TAVREL_OPCUA_FIELDS(statusCode, operandStatusCodes, operandDiagnosticInfos)
};

struct ContentFilterResult
{
    std::vector<ContentFilterElementResult> elementResults;
    std::vector<DiagnosticInfo> elementDiagnosticInfos;
    TAVREL_OPCUA_FIELDS(elementResults, elementDiagnosticInfos)
};

struct EventFilterResult
{
    static constexpr std::uint32_t kEncodingId = 736;
    std::vector<StatusCode> selectClauseResults;
    std::vector<DiagnosticInfo> selectClauseDiagnosticInfos;
    ContentFilterResult whereClauseResult;
    TAVREL_OPCUA_FIELDS(selectClauseResults, selectClauseDiagnosticInfos, whereClauseResult)
};

// ---- Monitored items ----

struct MonitoringParameters
{
    std::uint32_t clientHandle = 0;
    double samplingInterval = 0; ///< milliseconds; -1: the publishing interval
    ExtensionObject filter; ///< null, DataChangeFilter or EventFilter
    std::uint32_t queueSize = 1;
    bool discardOldest = true;
    TAVREL_OPCUA_FIELDS(clientHandle, samplingInterval, filter, queueSize, discardOldest)
};

struct MonitoredItemCreateRequest
{
    ReadValueId itemToMonitor;
    MonitoringMode monitoringMode = MonitoringMode::Reporting;
    MonitoringParameters requestedParameters;
    TAVREL_OPCUA_FIELDS(itemToMonitor, monitoringMode, requestedParameters)
};

struct MonitoredItemCreateResult
{
    StatusCode statusCode;
    std::uint32_t monitoredItemId = 0;
    double revisedSamplingInterval = 0;
    std::uint32_t revisedQueueSize = 0;
    ExtensionObject filterResult;
    TAVREL_OPCUA_FIELDS(statusCode, monitoredItemId, revisedSamplingInterval, revisedQueueSize, filterResult)
};

struct CreateMonitoredItemsRequest
{
    static constexpr std::uint32_t kEncodingId = 751;
    RequestHeader requestHeader;
    std::uint32_t subscriptionId = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<MonitoredItemCreateRequest> itemsToCreate;
    TAVREL_OPCUA_FIELDS(requestHeader, subscriptionId, timestampsToReturn, itemsToCreate)
};

struct CreateMonitoredItemsResponse
{
    static constexpr std::uint32_t kEncodingId = 754;
    ResponseHeader responseHeader;
    std::vector<MonitoredItemCreateResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

struct MonitoredItemModifyRequest
{
    std::uint32_t monitoredItemId = 0;
    MonitoringParameters requestedParameters;
    TAVREL_OPCUA_FIELDS(monitoredItemId, requestedParameters)
};

struct MonitoredItemModifyResult
{
    StatusCode statusCode;
    double revisedSamplingInterval = 0;
    std::uint32_t revisedQueueSize = 0;
    ExtensionObject filterResult;
    TAVREL_OPCUA_FIELDS(statusCode, revisedSamplingInterval, revisedQueueSize, filterResult)
};

struct ModifyMonitoredItemsRequest
{
    static constexpr std::uint32_t kEncodingId = 763;
    RequestHeader requestHeader;
    std::uint32_t subscriptionId = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<MonitoredItemModifyRequest> itemsToModify;
    TAVREL_OPCUA_FIELDS(requestHeader, subscriptionId, timestampsToReturn, itemsToModify)
};

struct ModifyMonitoredItemsResponse
{
    static constexpr std::uint32_t kEncodingId = 766;
    ResponseHeader responseHeader;
    std::vector<MonitoredItemModifyResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

struct SetMonitoringModeRequest
{
    static constexpr std::uint32_t kEncodingId = 769;
    RequestHeader requestHeader;
    std::uint32_t subscriptionId = 0;
    MonitoringMode monitoringMode = MonitoringMode::Reporting;
    std::vector<std::uint32_t> monitoredItemIds;
    TAVREL_OPCUA_FIELDS(requestHeader, subscriptionId, monitoringMode, monitoredItemIds)
};

struct SetMonitoringModeResponse
{
    static constexpr std::uint32_t kEncodingId = 772;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

struct DeleteMonitoredItemsRequest
{
    static constexpr std::uint32_t kEncodingId = 781;
    RequestHeader requestHeader;
    std::uint32_t subscriptionId = 0;
    std::vector<std::uint32_t> monitoredItemIds;
    TAVREL_OPCUA_FIELDS(requestHeader, subscriptionId, monitoredItemIds)
};

struct DeleteMonitoredItemsResponse
{
    static constexpr std::uint32_t kEncodingId = 784;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

// ---- Subscriptions ----

struct CreateSubscriptionRequest
{
    static constexpr std::uint32_t kEncodingId = 787;
    RequestHeader requestHeader;
    double requestedPublishingInterval = 0;
    std::uint32_t requestedLifetimeCount = 0;
    std::uint32_t requestedMaxKeepAliveCount = 0;
    std::uint32_t maxNotificationsPerPublish = 0; ///< 0: no limit
    bool publishingEnabled = true;
    std::uint8_t priority = 0;
    TAVREL_OPCUA_FIELDS(requestHeader, requestedPublishingInterval, requestedLifetimeCount, requestedMaxKeepAliveCount,
                        maxNotificationsPerPublish, publishingEnabled, priority)
};

struct CreateSubscriptionResponse
{
    static constexpr std::uint32_t kEncodingId = 790;
    ResponseHeader responseHeader;
    std::uint32_t subscriptionId = 0;
    double revisedPublishingInterval = 0;
    std::uint32_t revisedLifetimeCount = 0;
    std::uint32_t revisedMaxKeepAliveCount = 0;
    TAVREL_OPCUA_FIELDS(responseHeader, subscriptionId, revisedPublishingInterval, revisedLifetimeCount,
                        revisedMaxKeepAliveCount)
};

struct ModifySubscriptionRequest
{
    static constexpr std::uint32_t kEncodingId = 793;
    RequestHeader requestHeader;
    std::uint32_t subscriptionId = 0;
    double requestedPublishingInterval = 0;
    std::uint32_t requestedLifetimeCount = 0;
    std::uint32_t requestedMaxKeepAliveCount = 0;
    std::uint32_t maxNotificationsPerPublish = 0;
    std::uint8_t priority = 0;
    TAVREL_OPCUA_FIELDS(requestHeader, subscriptionId, requestedPublishingInterval, requestedLifetimeCount,
                        requestedMaxKeepAliveCount, maxNotificationsPerPublish, priority)
};

struct ModifySubscriptionResponse
{
    static constexpr std::uint32_t kEncodingId = 796;
    ResponseHeader responseHeader;
    double revisedPublishingInterval = 0;
    std::uint32_t revisedLifetimeCount = 0;
    std::uint32_t revisedMaxKeepAliveCount = 0;
    TAVREL_OPCUA_FIELDS(responseHeader, revisedPublishingInterval, revisedLifetimeCount, revisedMaxKeepAliveCount)
};

struct SetPublishingModeRequest
{
    static constexpr std::uint32_t kEncodingId = 799;
    RequestHeader requestHeader;
    bool publishingEnabled = true;
    std::vector<std::uint32_t> subscriptionIds;
    TAVREL_OPCUA_FIELDS(requestHeader, publishingEnabled, subscriptionIds)
};

struct SetPublishingModeResponse
{
    static constexpr std::uint32_t kEncodingId = 802;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

struct DeleteSubscriptionsRequest
{
    static constexpr std::uint32_t kEncodingId = 847;
    RequestHeader requestHeader;
    std::vector<std::uint32_t> subscriptionIds;
    TAVREL_OPCUA_FIELDS(requestHeader, subscriptionIds)
};

struct DeleteSubscriptionsResponse
{
    static constexpr std::uint32_t kEncodingId = 850;
    ResponseHeader responseHeader;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

// ---- Notifications and Publish ----

struct MonitoredItemNotification
{
    std::uint32_t clientHandle = 0;
    DataValue value;
    TAVREL_OPCUA_FIELDS(clientHandle, value)
};

struct DataChangeNotification
{
    static constexpr std::uint32_t kEncodingId = 811;
    std::vector<MonitoredItemNotification> monitoredItems;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(monitoredItems, diagnosticInfos)
};

struct EventFieldList
{
    std::uint32_t clientHandle = 0;
    std::vector<Variant> eventFields;
    TAVREL_OPCUA_FIELDS(clientHandle, eventFields)
};

struct EventNotificationList
{
    static constexpr std::uint32_t kEncodingId = 916;
    std::vector<EventFieldList> events;
    TAVREL_OPCUA_FIELDS(events)
};

struct StatusChangeNotification
{
    static constexpr std::uint32_t kEncodingId = 820;
    StatusCode status;
    DiagnosticInfo diagnosticInfo;
    TAVREL_OPCUA_FIELDS(status, diagnosticInfo)
};

/// What one Publish answer carries: DataChangeNotification, EventNotificationList or StatusChangeNotification,
/// each in an ExtensionObject (ToExtensionObject); none for a keep-alive.
struct NotificationMessage
{
    std::uint32_t sequenceNumber = 0;
    DateTime publishTime;
    std::vector<ExtensionObject> notificationData;
    TAVREL_OPCUA_FIELDS(sequenceNumber, publishTime, notificationData)
};

struct SubscriptionAcknowledgement
{
    std::uint32_t subscriptionId = 0;
    std::uint32_t sequenceNumber = 0;
    TAVREL_OPCUA_FIELDS(subscriptionId, sequenceNumber)
};

struct PublishRequest
{
    static constexpr std::uint32_t kEncodingId = 826;
    RequestHeader requestHeader;
    std::vector<SubscriptionAcknowledgement> subscriptionAcknowledgements;
    TAVREL_OPCUA_FIELDS(requestHeader, subscriptionAcknowledgements)
};

struct PublishResponse
{
    static constexpr std::uint32_t kEncodingId = 829;
    ResponseHeader responseHeader;
    std::uint32_t subscriptionId = 0;
    std::vector<std::uint32_t> availableSequenceNumbers;
    bool moreNotifications = false;
    NotificationMessage notificationMessage;
    std::vector<StatusCode> results; ///< one per acknowledgement of the request
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, subscriptionId, availableSequenceNumbers, moreNotifications,
                        notificationMessage, results, diagnosticInfos)
};

struct RepublishRequest
{
    static constexpr std::uint32_t kEncodingId = 832;
    RequestHeader requestHeader;
    std::uint32_t subscriptionId = 0;
    std::uint32_t retransmitSequenceNumber = 0;
    TAVREL_OPCUA_FIELDS(requestHeader, subscriptionId, retransmitSequenceNumber)
};

struct RepublishResponse
{
    static constexpr std::uint32_t kEncodingId = 835;
    ResponseHeader responseHeader;
    NotificationMessage notificationMessage;
    TAVREL_OPCUA_FIELDS(responseHeader, notificationMessage)
};

} // namespace tavrel::opcua
