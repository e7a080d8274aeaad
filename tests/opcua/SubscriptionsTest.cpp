#include "OpcUaSpace.h"

#include "opcua/StandardNodes.h"
#include "opcua/Subscriptions.h"

#include <gtest/gtest.h>

namespace tavrel::opcua {
namespace {

NodeId S(const std::string& text)
{
    return NodeId(kTavrelNamespace, text);
}

/// A value as a notification carried it: its number and whether the overflow bit was set.
struct Seen
{
    double number;
    bool overflow;
    bool operator==(const Seen&) const = default;
};

class SubscriptionsTest : public ::testing::Test
{
protected:
    SubscriptionsTest()
        : config(testing::TestConfig())
        , space(config, 0)
        , set(config.limits, totals)
    {
        space.SetProject(testing::TestPlcs(), testing::TestItems());
    }

    std::uint32_t Subscribe(std::uint32_t keepAlive = 3, std::uint32_t lifetime = 30)
    {
        CreateSubscriptionRequest request;
        request.requestedPublishingInterval = 100;
        request.requestedMaxKeepAliveCount = keepAlive;
        request.requestedLifetimeCount = lifetime;
        return set.CreateSubscription(request, now).subscriptionId;
    }

    MonitoredItemCreateResult Monitor(std::uint32_t subscription, NodeId node, ExtensionObject filter = {},
                                      std::uint32_t queueSize = 10, bool discardOldest = true,
                                      AttributeId attribute = AttributeId::Value)
    {
        CreateMonitoredItemsRequest request;
        request.subscriptionId = subscription;
        MonitoredItemCreateRequest& item = request.itemsToCreate.emplace_back();
        item.itemToMonitor.nodeId = std::move(node);
        item.itemToMonitor.attributeId = static_cast<std::uint32_t>(attribute);
        item.requestedParameters = { 1, 0, std::move(filter), queueSize, discardOldest };
        return set.CreateMonitoredItems(request, space, now).results.at(0);
    }

    void Push(std::int32_t label, double number, ValueQuality quality = ValueQuality::Good)
    {
        const ItemSample sample { label, std::to_string(number), number, now, quality };
        space.SetValues({ &sample, 1 });
        set.SampleItems({ &sample, 1 }, space, now);
    }

    /// Ticks at every due time up to `untilMs`; the Publish answers given on the way.
    std::vector<PublishAnswer> RunUntil(std::int64_t untilMs)
    {
        std::vector<PublishAnswer> answers = set.TakeAnswers();
        while (set.NextTickMs() <= untilMs) {
            now = set.NextTickMs();
            set.Tick(space, now);
            for (PublishAnswer& answer : set.TakeAnswers()) {
                answers.push_back(std::move(answer));
            }
        }
        now = untilMs;
        return answers;
    }

    void Publish(std::vector<SubscriptionAcknowledgement> acks = {})
    {
        PublishRequest request;
        request.subscriptionAcknowledgements = std::move(acks);
        set.Publish(++ticket, request, now);
    }

    static std::vector<Seen> Values(const PublishResponse& response)
    {
        std::vector<Seen> seen;
        for (const ExtensionObject& data : response.notificationMessage.notificationData) {
            const auto changes = FromExtensionObject<DataChangeNotification>(data);
            for (const MonitoredItemNotification& n :
                 changes ? changes->monitoredItems : decltype(changes->monitoredItems) {}) {
                const Scalar* scalar = n.value.value ? &n.value.value->value : nullptr;
                double number = -1; // no value
                if (scalar != nullptr) {
                    number = std::holds_alternative<float>(*scalar) ? std::get<float>(*scalar)
                                                                    : std::get<std::int16_t>(*scalar);
                }
                seen.push_back({ number, n.value.status && (n.value.status->code & kOverflowBits) == kOverflowBits });
            }
        }
        return seen;
    }

    /// The values the next Publish brings after pushing `numbers` to item 2 (a Float).
    std::vector<Seen> Delivered(const std::vector<double>& numbers)
    {
        for (const double number : numbers) {
            Push(2, number);
        }
        Publish();
        const auto answers = RunUntil(now + 100);
        return answers.empty() ? std::vector<Seen> {} : Values(answers.back().response);
    }

    ServerConfig config;
    AddressSpace space;
    SubscriptionTotals totals;
    SubscriptionSet set;
    std::int64_t now = 0;
    std::uint64_t ticket = 0;
};

ExtensionObject Deadband(DeadbandType type, double value)
{
    return ToExtensionObject(DataChangeFilter { DataChangeTrigger::StatusValue, type, value });
}

TEST_F(SubscriptionsTest, ADeadbandHoldsBackSmallChanges)
{
    struct Case
    {
        DeadbandType type;
        double deadband;
        std::vector<double> pushed;
        std::vector<double> delivered;
    };
    const Case cases[] = {
        { DeadbandType::None, 0, { 10, 10, 10.5, 11 }, { 10, 10.5, 11 } },
        { DeadbandType::Absolute, 1, { 10, 10.5, 11, 11.25, 12.5, 11.75 }, { 10, 11.25, 12.5 } },
        { DeadbandType::Absolute, 0, { 3, 3, 3.5 }, { 3, 3.5 } },
    };
    for (const Case& c : cases) {
        const std::uint32_t subscription = Subscribe();
        const ItemSample reset { 2, "", std::nullopt, 0, ValueQuality::Waiting };
        space.SetValues({ &reset, 1 });
        ASSERT_EQ(Monitor(subscription, S("lblDDE(2)"), Deadband(c.type, c.deadband)).statusCode.code, status::kGood);
        std::vector<double> delivered;
        for (const Seen& seen : Delivered(c.pushed)) {
            delivered.push_back(seen.number);
        }
        delivered.erase(delivered.begin()); // the value the item had when created
        EXPECT_EQ(delivered, c.delivered) << "deadband " << c.deadband;
        set.DeleteSubscriptions({ {}, { subscription } });
    }
}

TEST_F(SubscriptionsTest, AStatusChangeIsAChangeWhateverTheDeadband)
{
    Monitor(Subscribe(), S("lblDDE(2)"), Deadband(DeadbandType::Absolute, 100));
    Push(2, 10);
    Push(2, 10, ValueQuality::Stale);
    Publish();
    EXPECT_EQ(Values(RunUntil(100).at(0).response).size(), 3U); // waiting, good, stale
}

TEST_F(SubscriptionsTest, FiltersAreCheckedAgainstTheNode)
{
    struct Case
    {
        NodeId node;
        AttributeId attribute;
        ExtensionObject filter;
        std::uint32_t status;
    };
    EventFilter events;
    events.selectClauses.push_back({ NodeId(0, 2041), { { 0, "EventType" } }, 13, {} });
    const Case cases[] = {
        { S("lblDDE(2)"), AttributeId::Value, Deadband(DeadbandType::Absolute, 0.5), status::kGood },
        { S("lblDDE(2)"), AttributeId::Value, Deadband(DeadbandType::Percent, 10), status::kBadFilterNotAllowed },
        { S("lblDDE(2)"), AttributeId::Value, Deadband(DeadbandType::Absolute, -1), status::kBadDeadbandFilterInvalid },
        { S("lblDDE(4)"), AttributeId::Value, Deadband(DeadbandType::Absolute, 1), status::kBadFilterNotAllowed },
        { S("lblDDE(2)"), AttributeId::DisplayName, Deadband(DeadbandType::None, 0), status::kBadFilterNotAllowed },
        { S("lblDDE(2)"), AttributeId::Value, ToExtensionObject(events), status::kBadFilterNotAllowed },
        { NodeId(0, standard::id::Server), AttributeId::EventNotifier, ToExtensionObject(events), status::kGood },
        { S("Tavrel"), AttributeId::EventNotifier, ToExtensionObject(events), status::kBadNotSupported },
        { S("lblDDE(9)"), AttributeId::Value, {}, status::kBadNodeIdUnknown },
    };
    const std::uint32_t subscription = Subscribe();
    for (const Case& c : cases) {
        EXPECT_EQ(Monitor(subscription, c.node, c.filter, 1, true, c.attribute).statusCode.code, c.status)
            << c.node.ToString();
    }
}

TEST_F(SubscriptionsTest, AFullQueueDropsAValueAndSetsTheOverflowBit)
{
    struct Case
    {
        std::uint32_t queueSize;
        bool discardOldest;
        std::vector<Seen> delivered;
    };
    const Case cases[] = {
        { 3, true, { { 3, true }, { 4, false }, { 5, false } } },
        { 3, false, { { 0, false }, { 1, false }, { 5, true } } },
        { 1, true, { { 5, false } } },
    };
    for (const Case& c : cases) {
        const std::uint32_t subscription = Subscribe();
        const ItemSample start { 2, "0", 0.0, 0, ValueQuality::Good };
        space.SetValues({ &start, 1 });
        Monitor(subscription, S("lblDDE(2)"), {}, c.queueSize, c.discardOldest);
        EXPECT_EQ(Delivered({ 1, 2, 3, 4, 5 }), c.delivered) << c.queueSize << " " << c.discardOldest;
        set.DeleteSubscriptions({ {}, { subscription } });
    }
}

TEST_F(SubscriptionsTest, ASessionHoldsAtMostItsBoundOfNotifications)
{
    config.limits.maxNotificationsPerSession = 3;
    const ItemSample start { 2, "0", 0.0, 0, ValueQuality::Good };
    space.SetValues({ &start, 1 });
    Monitor(Subscribe(), S("lblDDE(2)"));
    for (const double number : { 1.0, 2.0, 3.0, 4.0 }) {
        Push(2, number);
    }
    EXPECT_EQ(set.QueuedNotifications(), 3U);
    EXPECT_EQ(Delivered({}), (std::vector<Seen> { { 2, true }, { 3, false }, { 4, false } }));
}

TEST_F(SubscriptionsTest, AKeepAliveGoesOutAfterMaxKeepAliveCountQuietIntervals)
{
    Subscribe(3);
    for (int i = 0; i < 4; ++i) {
        Publish();
    }
    std::vector<std::int64_t> sent;
    while (set.NextTickMs() <= 1000) {
        for (const PublishAnswer& answer : RunUntil(set.NextTickMs())) {
            EXPECT_TRUE(answer.response.notificationMessage.notificationData.empty());
            EXPECT_EQ(answer.response.notificationMessage.sequenceNumber, 1U);
            sent.push_back(now);
        }
    }
    EXPECT_EQ(sent, (std::vector<std::int64_t> { 100, 400, 700, 1000 }));
}

TEST_F(SubscriptionsTest, ASubscriptionNobodyPublishesForExpiresAndSaysSo)
{
    const std::uint32_t subscription = Subscribe(3, 9);
    RunUntil(800);
    EXPECT_NE(set.Find(subscription), nullptr);
    RunUntil(900);
    EXPECT_EQ(set.Find(subscription), nullptr);
    Publish();
    const auto answers = RunUntil(900);
    ASSERT_EQ(answers.size(), 1U);
    EXPECT_EQ(answers[0].response.subscriptionId, subscription);
    const auto change
        = FromExtensionObject<StatusChangeNotification>(answers[0].response.notificationMessage.notificationData.at(0));
    ASSERT_TRUE(change);
    EXPECT_EQ(change->status.code, status::kBadTimeout);
    Publish();
    EXPECT_EQ(RunUntil(1000).at(0).response.responseHeader.serviceResult.code, status::kBadNoSubscription);
}

TEST_F(SubscriptionsTest, MessagesAreKeptUntilAcknowledged)
{
    const std::uint32_t subscription = Subscribe();
    Monitor(subscription, S("lblDDE(1)"));
    Publish();
    const PublishResponse first = RunUntil(100).at(0).response;
    EXPECT_EQ(first.notificationMessage.sequenceNumber, 1U);
    EXPECT_EQ(first.availableSequenceNumbers, (std::vector<std::uint32_t> { 1 }));

    const RepublishRequest republish { {}, subscription, 1 };
    const NotificationMessage again = set.Republish(republish).notificationMessage;
    EXPECT_EQ(again.sequenceNumber, 1U);
    EXPECT_EQ(again.notificationData, first.notificationMessage.notificationData);
    Push(1, 8);
    Publish({ { subscription, 1 }, { subscription, 1 }, { subscription + 1, 1 } });
    const PublishResponse second = RunUntil(200).at(0).response;
    EXPECT_EQ(second.results,
              (std::vector<StatusCode> {
                  { status::kGood }, { status::kBadSequenceNumberUnknown }, { status::kBadSubscriptionIdInvalid } }));
    EXPECT_EQ(second.notificationMessage.sequenceNumber, 2U);
    EXPECT_EQ(second.availableSequenceNumbers, (std::vector<std::uint32_t> { 2 }));
    EXPECT_EQ(set.Republish(republish).responseHeader.serviceResult.code, status::kBadMessageNotAvailable);
}

TEST_F(SubscriptionsTest, PublishRequestsAreBoundedAndTimeOut)
{
    Subscribe(100);
    for (std::size_t i = 0; i <= config.limits.maxPublishRequestsPerSession; ++i) {
        Publish();
    }
    auto answers = set.TakeAnswers();
    ASSERT_EQ(answers.size(), 1U);
    EXPECT_EQ(answers[0].ticket, 1U);
    EXPECT_EQ(answers[0].response.responseHeader.serviceResult.code, status::kBadTooManyPublishRequests);

    set.Close();
    answers = set.TakeAnswers();
    ASSERT_EQ(answers.size(), config.limits.maxPublishRequestsPerSession);
    EXPECT_EQ(answers[0].response.responseHeader.serviceResult.code, status::kBadSessionClosed);

    Subscribe(100);
    PublishRequest request;
    request.requestHeader.timeoutHint = 50;
    set.Publish(99, request, now);
    answers = RunUntil(now + 60);
    ASSERT_EQ(answers.size(), 1U);
    EXPECT_EQ(answers[0].ticket, 99U);
    EXPECT_EQ(answers[0].response.responseHeader.serviceResult.code, status::kBadTimeout);
}

TEST_F(SubscriptionsTest, ModelChangesReachTheEventItemsWhoseTypesTheyAre)
{
    const auto ofType = [](std::uint32_t type) {
        EventFilter filter;
        filter.selectClauses.push_back({ NodeId(0, 2041), { { 0, "EventType" } }, 13, {} });
        filter.selectClauses.push_back({ NodeId(0, 2041), { { 0, "Changes" } }, 13, {} });
        filter.whereClause.elements.push_back(
            { FilterOperator::OfType, { ToExtensionObject(LiteralOperand { Variant(Scalar(NodeId(0, type))) }) } });
        return ToExtensionObject(filter);
    };
    const std::uint32_t subscription = Subscribe();
    Monitor(subscription, NodeId(0, standard::id::Server), ofType(standard::id::BaseModelChangeEventType), 10, true,
            AttributeId::EventNotifier);
    Monitor(subscription, NodeId(0, standard::id::Server), ofType(2052), 10, true, AttributeId::EventNotifier);

    std::vector<ItemNode> items = testing::TestItems();
    items.pop_back();
    set.ReportEvent(ModelChangeEvent(space.SetProject(testing::TestPlcs(), items), 1, now), space);
    Publish();
    const PublishResponse response = RunUntil(100).at(0).response;
    const auto events = FromExtensionObject<EventNotificationList>(response.notificationMessage.notificationData.at(0));
    ASSERT_TRUE(events);
    ASSERT_EQ(events->events.size(), 1U); // not to the item watching audit events
    const auto& fields = events->events[0].eventFields;
    EXPECT_EQ(fields.at(0), Variant(Scalar(NodeId(0, standard::id::GeneralModelChangeEventType))));
    ASSERT_EQ(fields.at(1).array.size(), 1U);
    const auto change
        = FromExtensionObject<ModelChangeStructureDataType>(std::get<ExtensionObject>(fields[1].array[0]));
    EXPECT_EQ(change->affected, S("lblDDE(4)"));
}

TEST_F(SubscriptionsTest, OtherVariablesAreSampledAtTheirInterval)
{
    const auto created = Monitor(Subscribe(), S("Tavrel/Running"));
    EXPECT_EQ(created.revisedSamplingInterval, kMinPolledSamplingIntervalMs);
    Publish();
    Publish();
    RunUntil(100); // the first value, false
    space.SetRun({ true, 1, 10 });
    Push(1, 3); // a pass: item values are pushed, the run state is not
    const auto answers = RunUntil(200);
    ASSERT_EQ(answers.size(), 1U);
    const auto changes
        = FromExtensionObject<DataChangeNotification>(answers[0].response.notificationMessage.notificationData.at(0));
    EXPECT_EQ(changes->monitoredItems.at(0).value.value, Variant(Scalar(true)));
}

} // namespace
} // namespace tavrel::opcua
