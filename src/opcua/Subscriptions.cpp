#include "opcua/Subscriptions.h"

#include "opcua/Attributes.h"
#include "opcua/StandardNodes.h"

#include <algorithm>
#include <cmath>

namespace tavrel::opcua {

namespace {

/// The fault of a request as a whole: nothing to do, or more operations than the server takes in one call.
std::uint32_t CountStatus(std::size_t count, std::size_t max)
{
    if (count == 0) {
        return status::kBadNothingToDo;
    }
    return count > max ? status::kBadTooManyOperations : status::kGood;
}

bool ValidMode(MonitoringMode mode)
{
    return mode >= MonitoringMode::Disabled && mode <= MonitoringMode::Reporting;
}

bool ValidTimestamps(TimestampsToReturn which)
{
    return which >= TimestampsToReturn::Source && which <= TimestampsToReturn::Neither;
}

/// The settings a client asked for, revised: a queue of at least one and at most the server's, a sampling interval
/// no shorter than the server samples at (an item's value every pass; other variables at kMinPolledSamplingIntervalMs).
void ReviseItem(MonitoredItem::Settings& settings, const MonitoringParameters& asked, bool events, bool itemValue,
                double publishingIntervalMs, const ServerLimits& limits)
{
    settings.clientHandle = asked.clientHandle;
    settings.discardOldest = asked.discardOldest;
    const std::size_t queueSize = events && asked.queueSize == 0 ? limits.maxQueueSize : asked.queueSize;
    settings.queueSize = std::clamp<std::size_t>(queueSize, 1, limits.maxQueueSize);
    if (events) {
        settings.samplingIntervalMs = 0;
        return;
    }
    // A negative interval, and one that is no number, is the publishing interval; none is longer than the longest
    // publishing interval (a huge one would overflow the times it is added to).
    double interval = !(asked.samplingInterval >= 0) ? publishingIntervalMs : asked.samplingInterval;
    interval = std::clamp(interval, limits.minSamplingIntervalMs, limits.maxPublishingIntervalMs);
    settings.samplingIntervalMs = itemValue ? interval : std::max(interval, kMinPolledSamplingIntervalMs);
}

bool IsItemValue(const Node& node, std::uint32_t attributeId)
{
    return node.source == ValueSource::Item && attributeId == static_cast<std::uint32_t>(AttributeId::Value);
}

} // namespace

SubscriptionSet::SubscriptionSet(const ServerLimits& limits, SubscriptionTotals& totals)
    : m_limits(limits)
    , m_totals(totals)
{
}

SubscriptionSet::~SubscriptionSet()
{
    for (const auto& [id, s] : m_subscriptions) {
        m_totals.monitoredItems -= s.items.size();
    }
}

const Subscription* SubscriptionSet::Find(std::uint32_t id) const
{
    const auto it = m_subscriptions.find(id);
    return it == m_subscriptions.end() ? nullptr : &it->second;
}

void SubscriptionSet::Revise(Subscription& s, double interval, std::uint32_t lifetime, std::uint32_t keepAlive,
                             std::uint32_t maxNotifications) const
{
    // NaN, zero and negative intervals get the fastest one.
    s.publishingIntervalMs
        = !(interval >= m_limits.minPublishingIntervalMs) ? m_limits.minPublishingIntervalMs : interval;
    s.publishingIntervalMs = std::min(s.publishingIntervalMs, m_limits.maxPublishingIntervalMs);
    const auto most = static_cast<std::uint32_t>(std::max(1.0, kMaxKeepAliveSpanMs / s.publishingIntervalMs));
    s.maxKeepAliveCount = std::clamp<std::uint32_t>(keepAlive == 0 ? 10 : keepAlive, 1, most);
    // A subscription outlives at least three keep-alives without a Publish request, and at most the longest
    // session time-out (or those three keep-alives, when longer).
    const auto longest = static_cast<std::uint32_t>(
        std::max(3.0 * s.maxKeepAliveCount, std::floor(m_limits.maxSessionTimeoutMs / s.publishingIntervalMs)));
    s.lifetimeCount = std::clamp<std::uint32_t>(lifetime, 3 * s.maxKeepAliveCount, longest);
    s.maxNotificationsPerPublish = maxNotifications;
}

CreateSubscriptionResponse SubscriptionSet::CreateSubscription(const CreateSubscriptionRequest& request,
                                                               std::int64_t nowMs)
{
    CreateSubscriptionResponse response;
    if (m_subscriptions.size() >= m_limits.maxSubscriptionsPerSession) {
        response.responseHeader.serviceResult.code = status::kBadTooManySubscriptions;
        return response;
    }
    if (++m_totals.lastSubscriptionId == 0) {
        ++m_totals.lastSubscriptionId; // 0 names no subscription
    }
    Subscription& s = m_subscriptions[m_totals.lastSubscriptionId];
    s.id = m_totals.lastSubscriptionId;
    Revise(s, request.requestedPublishingInterval, request.requestedLifetimeCount, request.requestedMaxKeepAliveCount,
           request.maxNotificationsPerPublish);
    s.publishingEnabled = request.publishingEnabled;
    s.priority = request.priority;
    s.nextPublishMs = nowMs + static_cast<std::int64_t>(s.publishingIntervalMs);
    response.subscriptionId = s.id;
    response.revisedPublishingInterval = s.publishingIntervalMs;
    response.revisedLifetimeCount = s.lifetimeCount;
    response.revisedMaxKeepAliveCount = s.maxKeepAliveCount;
    return response;
}

ModifySubscriptionResponse SubscriptionSet::ModifySubscription(const ModifySubscriptionRequest& request,
                                                               std::int64_t nowMs)
{
    ModifySubscriptionResponse response;
    const auto it = m_subscriptions.find(request.subscriptionId);
    if (it == m_subscriptions.end()) {
        response.responseHeader.serviceResult.code = status::kBadSubscriptionIdInvalid;
        return response;
    }
    Subscription& s = it->second;
    const double before = s.publishingIntervalMs;
    Revise(s, request.requestedPublishingInterval, request.requestedLifetimeCount, request.requestedMaxKeepAliveCount,
           request.maxNotificationsPerPublish);
    s.priority = request.priority;
    if (s.publishingIntervalMs != before) {
        s.nextPublishMs = nowMs + static_cast<std::int64_t>(s.publishingIntervalMs);
    }
    response.revisedPublishingInterval = s.publishingIntervalMs;
    response.revisedLifetimeCount = s.lifetimeCount;
    response.revisedMaxKeepAliveCount = s.maxKeepAliveCount;
    return response;
}

SetPublishingModeResponse SubscriptionSet::SetPublishingMode(const SetPublishingModeRequest& request)
{
    SetPublishingModeResponse response;
    response.responseHeader.serviceResult.code = CountStatus(request.subscriptionIds.size(), 0xFFFFFFFFU);
    for (const std::uint32_t id : request.subscriptionIds) {
        const auto it = m_subscriptions.find(id);
        if (it == m_subscriptions.end()) {
            response.results.push_back(StatusCode { status::kBadSubscriptionIdInvalid });
            continue;
        }
        it->second.publishingEnabled = request.publishingEnabled;
        response.results.push_back(StatusCode {});
    }
    return response;
}

void SubscriptionSet::DeleteSubscription(std::uint32_t id)
{
    const auto it = m_subscriptions.find(id);
    if (it == m_subscriptions.end()) {
        return;
    }
    std::vector<std::uint32_t> items;
    for (auto& [itemId, item] : it->second.items) {
        items.push_back(itemId);
        item.listed = false; // the whole list goes at once
    }
    it->second.reportable.clear();
    for (const std::uint32_t itemId : items) {
        DeleteItem(it->second, itemId);
    }
    m_subscriptions.erase(it);
}

DeleteSubscriptionsResponse SubscriptionSet::DeleteSubscriptions(const DeleteSubscriptionsRequest& request)
{
    DeleteSubscriptionsResponse response;
    response.responseHeader.serviceResult.code = CountStatus(request.subscriptionIds.size(), 0xFFFFFFFFU);
    for (const std::uint32_t id : request.subscriptionIds) {
        const bool known = m_subscriptions.contains(id);
        DeleteSubscription(id);
        response.results.push_back(StatusCode { known ? status::kGood : status::kBadSubscriptionIdInvalid });
    }
    if (m_subscriptions.empty() && m_expired.empty()) {
        AnswerAll(status::kBadNoSubscription);
    }
    return response;
}

void SubscriptionSet::Close()
{
    while (!m_subscriptions.empty()) {
        DeleteSubscription(m_subscriptions.begin()->first);
    }
    m_expired.clear();
    AnswerAll(status::kBadSessionClosed);
}

void SubscriptionSet::Register(Subscription& s, MonitoredItem& item, const AddressSpace& space, std::int64_t nowMs)
{
    const ReadValueId& what = item.What();
    if (item.IsEvents()) {
        m_eventWatches.push_back({ &s, &item });
        return;
    }
    const Node* node = space.Find(what.nodeId);
    // An item's value is sampled as the pass brings it, at most once per sampling interval; other variables are
    // read at their interval.
    item.nextSampleMs = nowMs + static_cast<std::int64_t>(item.GetSettings().samplingIntervalMs);
    if (node != nullptr && IsItemValue(*node, what.attributeId)) {
        item.pushedLabel = node->label;
        m_pushed[node->label].push_back({ &s, &item });
    } else {
        m_polled.emplace(&item, &s);
    }
}

void SubscriptionSet::Unregister(MonitoredItem& item)
{
    const auto isItem = [&](const Watch& w) { return w.item == &item; };
    if (item.IsEvents()) {
        std::erase_if(m_eventWatches, isItem);
    } else if (item.pushedLabel >= 0) {
        const auto it = m_pushed.find(item.pushedLabel);
        if (it != m_pushed.end() && std::erase_if(it->second, isItem) != 0 && it->second.empty()) {
            m_pushed.erase(it);
        }
        item.pushedLabel = -1;
        m_deferred.erase(&item);
    } else {
        m_polled.erase(&item);
    }
}

void SubscriptionSet::DeleteItem(Subscription& s, std::uint32_t itemId)
{
    const auto it = s.items.find(itemId);
    if (it == s.items.end()) {
        return;
    }
    MonitoredItem& item = it->second;
    Unregister(item);
    m_queued -= item.Queued();
    if (item.listed) {
        std::erase(s.reportable, &item);
    }
    s.items.erase(it);
    --m_totals.monitoredItems;
}

void SubscriptionSet::SampleNow(Subscription& s, MonitoredItem& item, const AddressSpace& space, std::int64_t nowMs)
{
    const Node* node = space.Find(item.What().nodeId);
    DataValue value;
    if (node == nullptr) {
        value.status = StatusCode { status::kBadNodeIdUnknown };
    } else if (IsItemValue(*node, item.What().attributeId)) {
        const DataValue* current = space.ItemValue(node->label);
        Account(s, item, current != nullptr ? item.Sample(*current, nowMs) : 0);
        return;
    } else {
        value = ReadAttribute(space, *node, item.What().attributeId, m_role, nowMs);
    }
    Account(s, item, item.Sample(value, nowMs));
}

Subscription* SubscriptionSet::ItemsCallTarget(std::uint32_t subscriptionId, std::size_t count,
                                               TimestampsToReturn timestamps, std::uint32_t& serviceResult)
{
    const auto it = m_subscriptions.find(subscriptionId);
    serviceResult = CountStatus(count, m_limits.maxMonitoredItemsPerCall);
    if (it == m_subscriptions.end()) {
        serviceResult = status::kBadSubscriptionIdInvalid;
    } else if (!ValidTimestamps(timestamps)) {
        serviceResult = status::kBadTimestampsToReturnInvalid;
    }
    return serviceResult == status::kGood ? &it->second : nullptr;
}

CreateMonitoredItemsResponse SubscriptionSet::CreateMonitoredItems(const CreateMonitoredItemsRequest& request,
                                                                   const AddressSpace& space, std::int64_t nowMs)
{
    CreateMonitoredItemsResponse response;
    Subscription* target = ItemsCallTarget(request.subscriptionId, request.itemsToCreate.size(),
                                           request.timestampsToReturn, response.responseHeader.serviceResult.code);
    if (target == nullptr) {
        return response;
    }
    Subscription& s = *target;
    for (const MonitoredItemCreateRequest& create : request.itemsToCreate) {
        MonitoredItemCreateResult& result = response.results.emplace_back();
        const ReadValueId& what = create.itemToMonitor;
        const Node* node = space.Find(what.nodeId);
        const DataValue probe
            = node != nullptr ? ReadAttribute(space, *node, what.attributeId, m_role, nowMs) : DataValue {};
        if (node == nullptr) {
            result.statusCode.code = status::kBadNodeIdUnknown;
        } else if (probe.status && probe.status->code == status::kBadAttributeIdInvalid) {
            result.statusCode.code = status::kBadAttributeIdInvalid;
        } else if (!ValidMode(create.monitoringMode)) {
            result.statusCode.code = status::kBadMonitoringModeInvalid;
        } else if (!what.indexRange.empty()) {
            result.statusCode.code = status::kBadIndexRangeInvalid; // every value watched is whole
        } else if (!what.dataEncoding.name.empty() && what.dataEncoding.name != "Default Binary") {
            result.statusCode.code = status::kBadDataEncodingUnsupported;
        } else if (m_totals.monitoredItems >= m_limits.maxMonitoredItems) {
            result.statusCode.code = status::kBadTooManyMonitoredItems;
        }
        if (result.statusCode.IsBad()) {
            continue;
        }
        CheckedFilter filter = CheckFilter(space, *node, what.attributeId, create.requestedParameters.filter);
        if (filter.status != status::kGood) {
            result.statusCode.code = filter.status;
            result.filterResult = std::move(filter.result);
            continue;
        }
        const bool events = what.attributeId == static_cast<std::uint32_t>(AttributeId::EventNotifier);
        MonitoredItem::Settings settings;
        settings.mode = create.monitoringMode;
        settings.timestamps = request.timestampsToReturn;
        ReviseItem(settings, create.requestedParameters, events, IsItemValue(*node, what.attributeId),
                   s.publishingIntervalMs, m_limits);
        if (++s.lastItemId == 0) {
            ++s.lastItemId;
        }
        const std::uint32_t itemId = s.lastItemId;
        MonitoredItem& item
            = s.items.try_emplace(itemId, itemId, what, events, settings, CheckedFilter(filter)).first->second;
        ++m_totals.monitoredItems;
        Register(s, item, space, nowMs);
        if (!events) {
            SampleNow(s, item, space, nowMs); // the first value goes out at once
        }
        result.monitoredItemId = itemId;
        result.revisedSamplingInterval = settings.samplingIntervalMs;
        result.revisedQueueSize = static_cast<std::uint32_t>(settings.queueSize);
        result.filterResult = std::move(filter.result);
    }
    return response;
}

ModifyMonitoredItemsResponse SubscriptionSet::ModifyMonitoredItems(const ModifyMonitoredItemsRequest& request,
                                                                   const AddressSpace& space, std::int64_t nowMs)
{
    ModifyMonitoredItemsResponse response;
    Subscription* target = ItemsCallTarget(request.subscriptionId, request.itemsToModify.size(),
                                           request.timestampsToReturn, response.responseHeader.serviceResult.code);
    if (target == nullptr) {
        return response;
    }
    Subscription& s = *target;
    for (const MonitoredItemModifyRequest& modify : request.itemsToModify) {
        MonitoredItemModifyResult& result = response.results.emplace_back();
        const auto found = s.items.find(modify.monitoredItemId);
        if (found == s.items.end()) {
            result.statusCode.code = status::kBadMonitoredItemIdInvalid;
            continue;
        }
        MonitoredItem& item = found->second;
        const Node* node = space.Find(item.What().nodeId);
        if (node == nullptr) {
            result.statusCode.code = status::kBadNodeIdUnknown;
            continue;
        }
        const MonitoringParameters& asked = modify.requestedParameters;
        CheckedFilter filter = CheckFilter(space, *node, item.What().attributeId, asked.filter);
        if (filter.status != status::kGood) {
            result.statusCode.code = filter.status;
            result.filterResult = std::move(filter.result);
            continue;
        }
        MonitoredItem::Settings settings = item.GetSettings();
        settings.timestamps = request.timestampsToReturn;
        ReviseItem(settings, asked, item.IsEvents(), IsItemValue(*node, item.What().attributeId),
                   s.publishingIntervalMs, m_limits);
        const std::size_t before = item.Queued();
        Unregister(item);
        item.Modify(settings, CheckedFilter(filter));
        Register(s, item, space, nowMs);
        m_queued -= before - item.Queued();
        if (item.Queued() == 0) {
            std::erase(s.reportable, &item);
            item.listed = false;
        }
        result.revisedSamplingInterval = settings.samplingIntervalMs;
        result.revisedQueueSize = static_cast<std::uint32_t>(settings.queueSize);
        result.filterResult = std::move(filter.result);
    }
    return response;
}

SetMonitoringModeResponse SubscriptionSet::SetMonitoringMode(const SetMonitoringModeRequest& request)
{
    SetMonitoringModeResponse response;
    std::uint32_t& serviceResult = response.responseHeader.serviceResult.code;
    const auto it = m_subscriptions.find(request.subscriptionId);
    serviceResult = CountStatus(request.monitoredItemIds.size(), m_limits.maxMonitoredItemsPerCall);
    if (it == m_subscriptions.end()) {
        serviceResult = status::kBadSubscriptionIdInvalid;
    } else if (!ValidMode(request.monitoringMode)) {
        serviceResult = status::kBadMonitoringModeInvalid;
    }
    if (serviceResult != status::kGood) {
        return response;
    }
    Subscription& s = it->second;
    for (const std::uint32_t id : request.monitoredItemIds) {
        const auto found = s.items.find(id);
        if (found == s.items.end()) {
            response.results.push_back(StatusCode { status::kBadMonitoredItemIdInvalid });
            continue;
        }
        MonitoredItem& item = found->second;
        m_queued -= item.Queued();
        item.SetMode(request.monitoringMode);
        if (item.Reportable() == 0) {
            std::erase(s.reportable, &item);
            item.listed = false;
        }
        Account(s, item, static_cast<std::ptrdiff_t>(item.Queued()));
        response.results.push_back(StatusCode {});
    }
    return response;
}

DeleteMonitoredItemsResponse SubscriptionSet::DeleteMonitoredItems(const DeleteMonitoredItemsRequest& request)
{
    DeleteMonitoredItemsResponse response;
    std::uint32_t& serviceResult = response.responseHeader.serviceResult.code;
    const auto it = m_subscriptions.find(request.subscriptionId);
    serviceResult = CountStatus(request.monitoredItemIds.size(), m_limits.maxMonitoredItemsPerCall);
    if (it == m_subscriptions.end()) {
        serviceResult = status::kBadSubscriptionIdInvalid;
    }
    if (serviceResult != status::kGood) {
        return response;
    }
    for (const std::uint32_t id : request.monitoredItemIds) {
        const bool known = it->second.items.contains(id);
        DeleteItem(it->second, id);
        response.results.push_back(StatusCode { known ? status::kGood : status::kBadMonitoredItemIdInvalid });
    }
    return response;
}

} // namespace tavrel::opcua
