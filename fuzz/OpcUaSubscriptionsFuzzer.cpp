// A session's subscriptions driven by any sequence of requests, values, project changes and clock steps: each
// byte picks an operation, the next ones its arguments. After every step the bookkeeping holds: the session's
// queued notifications are those of its monitored items and within the bound, the monitored items counted are the
// ones that exist, Publish requests are bounded and each is answered at most once, sequence numbers of the messages
// of a subscription rise, and the retransmission queue keeps its size.

#include "FuzzSupport.h"

#include "opcua/AddressSpace.h"
#include "opcua/StandardNodes.h"
#include "opcua/Subscriptions.h"

#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

using namespace tavrel::opcua;
using tavrel::fuzz::Require;

namespace {

class Bytes
{
public:
    explicit Bytes(std::span<const std::uint8_t> bytes)
        : m_bytes(bytes)
    {
    }
    bool Done() const { return m_next >= m_bytes.size(); }
    std::uint8_t Next() { return Done() ? 0 : m_bytes[m_next++]; }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_next = 0;
};

std::vector<ItemNode> Items(bool withFourth)
{
    std::vector<ItemNode> items = {
        { 1, "P", "MI 1", "Read/Write", ValueKind::Int16, true, "" },
        { 2, "P", "MF 2", "Read", ValueKind::Float, false, "V" },
        { 3, "P", "O 3", "Read", ValueKind::Boolean, false, "" },
    };
    if (withFourth) {
        items.push_back({ 4, "P", "Text", "Read", ValueKind::String, false, "" });
    }
    return items;
}

ExtensionObject Filter(std::uint8_t pick)
{
    switch (pick % 5) {
    case 1:
        return ToExtensionObject(DataChangeFilter { DataChangeTrigger::StatusValue, DeadbandType::Absolute, 2 });
    case 2:
        return ToExtensionObject(DataChangeFilter { DataChangeTrigger::Status, DeadbandType::Percent, 10 });
    case 3: {
        EventFilter events;
        events.selectClauses.push_back({ NodeId(0, 2041), { { 0, "EventType" } }, 13, {} });
        events.selectClauses.push_back({ NodeId(0, 2041), { { 0, "Changes" } }, 13, {} });
        return ToExtensionObject(events);
    }
    case 4:
        return ToExtensionObject(DataChangeFilter { DataChangeTrigger::StatusValueTimestamp, DeadbandType::None, 0 });
    default:
        return {};
    }
}

ReadValueId Watched(std::uint8_t pick)
{
    const std::uint32_t value = static_cast<std::uint32_t>(AttributeId::Value);
    switch (pick % 8) {
    case 0:
    case 1:
    case 2:
    case 3:
        return { ItemNodeId(pick % 8 + 1), value, {}, {} };
    case 4:
        return { NodeId(kTavrelNamespace, "Tavrel/Running"), value, {}, {} };
    case 5:
        return { NodeId(0, standard::id::ServerStatusCurrentTime), value, {}, {} };
    case 6:
        return { NodeId(0, standard::id::Server), static_cast<std::uint32_t>(AttributeId::EventNotifier), {}, {} };
    default:
        return { ItemNodeId(1), static_cast<std::uint32_t>(AttributeId::DisplayName), {}, {} };
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ServerConfig config;
    config.applicationUri = "urn:fuzz:Tavrel";
    config.limits.maxNotificationsPerSession = 40;
    config.limits.maxSubscriptionsPerSession = 3;
    config.limits.maxMonitoredItems = 12;
    config.limits.maxPublishRequestsPerSession = 4;
    config.limits.maxRetransmissionQueue = 3;
    config.limits.maxQueueSize = 6;
    AddressSpace space(config, 0);
    PlcNode plc;
    plc.name = "P";
    space.SetProject({ plc }, Items(true));
    SubscriptionTotals totals;
    SubscriptionSet set(config.limits, totals);

    Bytes in({ data, size });
    std::int64_t now = 0;
    std::uint64_t tickets = 0;
    std::set<std::uint64_t> answered;
    std::map<std::uint32_t, std::uint32_t> lastSequence;
    std::vector<std::uint32_t> ids;
    std::uint64_t events = 0;
    const auto pickSubscription = [&](std::uint8_t pick) { return ids.empty() ? pick : ids[pick % ids.size()]; };

    while (!in.Done()) {
        const std::uint8_t op = in.Next();
        const std::uint8_t a = in.Next();
        const std::uint8_t b = in.Next();
        switch (op % 14) {
        case 0: {
            CreateSubscriptionRequest request;
            request.requestedPublishingInterval = a % 4 == 0 ? -1 : a * 2.0;
            request.requestedMaxKeepAliveCount = b % 5;
            request.requestedLifetimeCount = b % 20;
            request.maxNotificationsPerPublish = a % 3;
            request.publishingEnabled = b % 7 != 0;
            if (const auto id = set.CreateSubscription(request, now).subscriptionId; id != 0) {
                ids.push_back(id);
            }
            break;
        }
        case 1: {
            CreateMonitoredItemsRequest request;
            request.subscriptionId = pickSubscription(a);
            MonitoredItemCreateRequest& item = request.itemsToCreate.emplace_back();
            item.itemToMonitor = Watched(b);
            item.monitoringMode = static_cast<MonitoringMode>(a % 3);
            const double intervals[] = { -1, 0, 50, 200 };
            item.requestedParameters
                = { b, intervals[b % 4], Filter(static_cast<std::uint8_t>(a / 3)), a % 8u, (b & 0x40) != 0 };
            set.CreateMonitoredItems(request, space, now);
            break;
        }
        case 2: {
            const ItemSample sample { a % 5, std::to_string(b), b % 11 == 0 ? std::nullopt : std::optional(b / 4.0),
                                      now, static_cast<ValueQuality>(a % 5) };
            space.SetValues({ &sample, 1 });
            set.SampleItems({ &sample, 1 }, space, now);
            break;
        }
        case 3: {
            PublishRequest request;
            request.requestHeader.timeoutHint = a % 4 == 0 ? 0 : a * 3U;
            if (b % 2 != 0) {
                request.subscriptionAcknowledgements.push_back({ pickSubscription(a), b / 2U });
            }
            set.Publish(++tickets, request, now);
            break;
        }
        case 4:
            now += a * 5 + b;
            set.Tick(space, now);
            break;
        case 5:
            set.DeleteMonitoredItems({ {}, pickSubscription(a), { b % 8u } });
            break;
        case 6: {
            ModifyMonitoredItemsRequest request;
            request.subscriptionId = pickSubscription(a);
            request.itemsToModify.push_back({ b % 8u, { 7, (b & 1) ? -1.0 : 0.0, Filter(b), a % 9u, (a & 1) != 0 } });
            set.ModifyMonitoredItems(request, space, now);
            break;
        }
        case 7:
            set.SetMonitoringMode({ {}, pickSubscription(a), static_cast<MonitoringMode>(b % 3), { b % 8u } });
            break;
        case 8:
            set.SetPublishingMode({ {}, (b & 1) != 0, { pickSubscription(a) } });
            break;
        case 9:
            set.DeleteSubscriptions({ {}, { pickSubscription(a) } });
            break;
        case 10: {
            auto changes = space.SetProject({ plc }, Items(a % 2 == 0));
            set.Resample(space, now);
            if (!changes.empty()) {
                set.ReportEvent(ModelChangeEvent(std::move(changes), ++events, now), space);
            }
            break;
        }
        case 11:
            set.Republish({ {}, pickSubscription(a), b });
            break;
        case 12:
            set.DropQueuedRequests();
            break;
        default:
            set.Close();
            break;
        }

        for (const PublishAnswer& answer : set.TakeAnswers()) {
            Require(answer.ticket >= 1 && answer.ticket <= tickets, "answers go to requests that were made");
            Require(answered.insert(answer.ticket).second, "each Publish request is answered once");
            const NotificationMessage& message = answer.response.notificationMessage;
            if (!message.notificationData.empty() && answer.response.subscriptionId != 0) {
                std::uint32_t& last = lastSequence[answer.response.subscriptionId];
                Require(message.sequenceNumber > last, "a subscription's messages are numbered upwards");
                last = message.sequenceNumber;
            }
        }
        std::size_t queued = 0;
        std::size_t items = 0;
        for (const std::uint32_t id : ids) {
            if (const Subscription* s = set.Find(id)) {
                items += s->items.size();
                for (const auto& [itemId, item] : s->items) {
                    queued += item.Queued();
                }
                Require(s->retransmission.size() <= config.limits.maxRetransmissionQueue,
                        "the retransmission queue keeps its size");
            }
        }
        Require(set.QueuedNotifications() == queued, "the session counts the notifications its items hold");
        Require(queued <= config.limits.maxNotificationsPerSession, "a session holds at most its bound");
        Require(totals.monitoredItems == items, "the monitored items counted are the ones that exist");
        Require(items <= config.limits.maxMonitoredItems, "no more monitored items than the limit");
        Require(set.QueuedRequests() <= config.limits.maxPublishRequestsPerSession, "Publish requests are bounded");
    }
    return 0;
}
