#pragma once

#include "common/Role.h"
#include "opcua/AddressSpace.h"
#include "opcua/Messages.h"
#include "opcua/MonitoredItem.h"
#include "opcua/Server.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrel::opcua {

// The subscription services of one session and the publishing that drives them. Time is passed in; nothing here
// reads a clock or touches a socket.
//
// How the server drives a session's SubscriptionSet:
// - the subscription and monitored item requests go to the methods of the same name, which answer at once;
// - a Publish request goes to Publish under a ticket the caller chooses (it says which request of which channel
//   to answer); the answer comes later, from Publish itself or from Tick, SampleItems, DeleteSubscriptions ...;
// - after ANY call, TakeAnswers hands out the Publish answers due, each with its ticket (a bad
//   responseHeader.serviceResult means: answer with a ServiceFault);
// - Tick(nowMs) at NextTickMs() at the latest: publishing intervals, keep-alives, lifetimes, Publish time-outs and
//   the sampling of the values that are not pushed;
// - after AddressSpace::SetValues, SampleItems with the same samples; after AddressSpace::SetProject, Resample
//   and, when the project changed, ReportEvent with a ModelChangeEvent;
// - when the session closes, Close (queued Publish requests are answered Bad_SessionClosed); when its channel goes
//   away, DropQueuedRequests (a client that comes back on a new channel sends new ones).

/// What every session's subscriptions share: ids unique in the server, and the monitored items of all sessions
/// counted against ServerLimits::maxMonitoredItems. One per server.
struct SubscriptionTotals
{
    std::uint32_t lastSubscriptionId = 0;
    std::size_t monitoredItems = 0;
};

/// The answer to the Publish request queued under `ticket`.
struct PublishAnswer
{
    std::uint64_t ticket = 0;
    PublishResponse response;
};

/// The least interval at which a variable that is not an item's value is sampled: the run state and the PLC
/// diagnostics change once per pass at most, and a client watching CurrentTime wants a heartbeat, not a clock.
inline constexpr double kMinPolledSamplingIntervalMs = 100;
/// A keep-alive (and so a lifetime count) spans at most this long, whatever a client asks: an hour.
inline constexpr double kMaxKeepAliveSpanMs = 3600000;

/// One subscription of a session, with its monitored items and counters.
struct Subscription
{
    std::uint32_t id = 0;
    double publishingIntervalMs = 0;
    std::uint32_t lifetimeCount = 0;
    std::uint32_t maxKeepAliveCount = 0;
    std::uint32_t maxNotificationsPerPublish = 0; ///< 0: no limit
    bool publishingEnabled = true;
    std::uint8_t priority = 0;
    std::int64_t nextPublishMs = 0;
    std::uint32_t keepAliveCounter = 0; ///< publishing intervals since the last message sent
    std::uint32_t lifetimeCounter = 0; ///< publishing intervals without a Publish request to answer with
    bool late = false; ///< something to send (notifications or a keep-alive) and no request to send it with
    bool messageSent = false; ///< the first keep-alive goes out at the end of the first interval
    std::uint32_t nextSequenceNumber = 1;
    std::deque<NotificationMessage> retransmission; ///< sent and not acknowledged, for Republish
    std::unordered_map<std::uint32_t, MonitoredItem> items;
    std::uint32_t lastItemId = 0;
    std::vector<MonitoredItem*> reportable; ///< items with notifications to report, oldest first
};

class SubscriptionSet
{
public:
    /// The subscriptions of one session, within `limits`, counted in `totals` (both must outlive the set).
    SubscriptionSet(const ServerLimits& limits, SubscriptionTotals& totals);
    ~SubscriptionSet();
    SubscriptionSet(const SubscriptionSet&) = delete;
    SubscriptionSet& operator=(const SubscriptionSet&) = delete;

    /// The role of the session's user, which the attributes its items monitor are read for.
    void SetRole(common::Role role) { m_role = role; }

    CreateSubscriptionResponse CreateSubscription(const CreateSubscriptionRequest& request, std::int64_t nowMs);
    ModifySubscriptionResponse ModifySubscription(const ModifySubscriptionRequest& request, std::int64_t nowMs);
    SetPublishingModeResponse SetPublishingMode(const SetPublishingModeRequest& request);
    DeleteSubscriptionsResponse DeleteSubscriptions(const DeleteSubscriptionsRequest& request);

    CreateMonitoredItemsResponse CreateMonitoredItems(const CreateMonitoredItemsRequest& request,
                                                      const AddressSpace& space, std::int64_t nowMs);
    ModifyMonitoredItemsResponse ModifyMonitoredItems(const ModifyMonitoredItemsRequest& request,
                                                      const AddressSpace& space, std::int64_t nowMs);
    SetMonitoringModeResponse SetMonitoringMode(const SetMonitoringModeRequest& request);
    DeleteMonitoredItemsResponse DeleteMonitoredItems(const DeleteMonitoredItemsRequest& request);

    /// Queues a Publish request (after acting on its acknowledgements); answered through TakeAnswers.
    void Publish(std::uint64_t ticket, const PublishRequest& request, std::int64_t nowMs);
    RepublishResponse Republish(const RepublishRequest& request) const;

    /// Samples the pushed item values (space already holds `samples`).
    void SampleItems(std::span<const ItemSample> samples, const AddressSpace& space, std::int64_t nowMs);
    /// Samples every data item again: after a project change, an item that went away reports Bad_NodeIdUnknown.
    void Resample(const AddressSpace& space, std::int64_t nowMs);
    /// An event raised on the Server object, for the event items watching it.
    void ReportEvent(const ServerEvent& event, const AddressSpace& space);

    /// Publishing, keep-alives, lifetimes, Publish time-outs and polled sampling due at `nowMs`.
    void Tick(const AddressSpace& space, std::int64_t nowMs);
    /// When Tick is next due; max() when nothing is.
    std::int64_t NextTickMs() const;
    /// The Publish answers due, in order.
    std::vector<PublishAnswer> TakeAnswers() { return std::exchange(m_answers, {}); }
    /// Deletes every subscription and answers the queued Publish requests Bad_SessionClosed.
    void Close();
    /// Forgets the queued Publish requests unanswered (their channel is gone; the session waits for a new one);
    /// returns their tickets.
    std::vector<std::uint64_t> DropQueuedRequests();

    std::size_t SubscriptionCount() const { return m_subscriptions.size(); }
    std::size_t QueuedNotifications() const { return m_queued; }
    std::size_t QueuedRequests() const { return m_requests.size(); }
    const Subscription* Find(std::uint32_t id) const;

private:
    common::Role m_role = common::Role::Reader;
    struct QueuedPublish
    {
        std::uint64_t ticket = 0;
        std::uint32_t requestHandle = 0;
        std::int64_t deadlineMs = std::numeric_limits<std::int64_t>::max();
        std::vector<StatusCode> results;
    };
    struct Watch
    {
        Subscription* subscription = nullptr;
        MonitoredItem* item = nullptr;
    };

    void Revise(Subscription& s, double interval, std::uint32_t lifetime, std::uint32_t keepAlive,
                std::uint32_t maxNotifications) const;
    void DeleteSubscription(std::uint32_t id);
    void Register(Subscription& s, MonitoredItem& item, const AddressSpace& space, std::int64_t nowMs);
    void Unregister(MonitoredItem& item);
    void DeleteItem(Subscription& s, std::uint32_t itemId);
    void SampleNow(Subscription& s, MonitoredItem& item, const AddressSpace& space, std::int64_t nowMs);
    /// The subscription that a call creating or modifying `count` monitored items names, or null with the status
    /// that refuses the call in `serviceResult` (too many or none, an unknown subscription, bad timestamps).
    Subscription* ItemsCallTarget(std::uint32_t subscriptionId, std::size_t count, TimestampsToReturn timestamps,
                                  std::uint32_t& serviceResult);
    void Account(Subscription& s, MonitoredItem& item, std::ptrdiff_t delta);
    void Cycle(Subscription& s, std::int64_t nowMs);
    void SendNotifications(Subscription& s, std::int64_t nowMs);
    void SendKeepAlive(Subscription& s, std::int64_t nowMs);
    void Send(Subscription* s, NotificationMessage message, bool more);
    void ServeLate(std::int64_t nowMs);
    void AnswerAll(std::uint32_t code);
    void Answer(QueuedPublish request, std::uint32_t code);

    const ServerLimits& m_limits;
    SubscriptionTotals& m_totals;
    std::map<std::uint32_t, Subscription> m_subscriptions;
    std::deque<QueuedPublish> m_requests;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_expired; ///< timed-out subscriptions and next sequence
    std::unordered_map<std::int32_t, std::vector<Watch>> m_pushed; ///< item values, sampled as passes bring them
    std::unordered_map<MonitoredItem*, Subscription*> m_polled; ///< sampled at their sampling interval in Tick
    std::unordered_map<MonitoredItem*, Subscription*> m_deferred; ///< item values that came before their interval
    std::vector<Watch> m_eventWatches;
    std::size_t m_queued = 0; ///< notifications queued in all monitored items of the session
    std::vector<PublishAnswer> m_answers;
};

} // namespace tavrel::opcua
