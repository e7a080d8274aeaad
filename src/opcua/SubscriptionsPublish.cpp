// The publishing half of SubscriptionSet: Publish requests, the publishing cycle of each subscription with its
// keep-alive and lifetime counters, sampling, and the notifications each message carries.

#include "opcua/StandardNodes.h"
#include "opcua/Subscriptions.h"

#include <algorithm>
#include <limits>

namespace tavrel::opcua {

namespace {

std::uint32_t NextSequence(std::uint32_t number)
{
    return number == 0xFFFFFFFFU ? 1 : number + 1;
}

} // namespace

void SubscriptionSet::Account(Subscription& s, MonitoredItem& item, std::ptrdiff_t delta)
{
    m_queued = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(m_queued) + delta);
    if (!item.listed && item.Reportable() > 0) {
        s.reportable.push_back(&item);
        item.listed = true;
    }
    // A client that does not keep up: past the session's bound the oldest notifications go, the overflow bit tells.
    while (m_queued > m_limits.maxNotificationsPerSession) {
        MonitoredItem* victim = s.reportable.empty() ? &item : s.reportable.front();
        if (!victim->DropOldest()) {
            break;
        }
        --m_queued;
        if (victim->listed && victim->Reportable() == 0) {
            std::erase(s.reportable, victim);
            victim->listed = false;
        }
    }
}

void SubscriptionSet::Answer(QueuedPublish request, std::uint32_t code)
{
    PublishAnswer& answer = m_answers.emplace_back();
    answer.ticket = request.ticket;
    answer.response.responseHeader.requestHandle = request.requestHandle;
    answer.response.responseHeader.serviceResult.code = code;
    answer.response.results = std::move(request.results);
}

void SubscriptionSet::AnswerAll(std::uint32_t code)
{
    while (!m_requests.empty()) {
        Answer(std::move(m_requests.front()), code);
        m_requests.pop_front();
    }
}

void SubscriptionSet::Publish(std::uint64_t ticket, const PublishRequest& request, std::int64_t nowMs)
{
    QueuedPublish queued;
    queued.ticket = ticket;
    queued.requestHandle = request.requestHeader.requestHandle;
    if (request.requestHeader.timeoutHint != 0) {
        queued.deadlineMs = nowMs + request.requestHeader.timeoutHint;
    }
    for (const SubscriptionAcknowledgement& ack : request.subscriptionAcknowledgements) {
        const auto it = m_subscriptions.find(ack.subscriptionId);
        std::uint32_t code = status::kBadSubscriptionIdInvalid;
        if (it != m_subscriptions.end()) {
            const bool known
                = std::erase_if(it->second.retransmission,
                                [&](const NotificationMessage& m) { return m.sequenceNumber == ack.sequenceNumber; })
                != 0;
            code = known ? status::kGood : status::kBadSequenceNumberUnknown;
        }
        queued.results.push_back(StatusCode { code });
    }
    if (m_subscriptions.empty() && m_expired.empty()) {
        Answer(std::move(queued), status::kBadNoSubscription);
        return;
    }
    for (auto& [id, s] : m_subscriptions) {
        s.lifetimeCounter = 0; // the client is still there
    }
    m_requests.push_back(std::move(queued));
    while (m_requests.size() > m_limits.maxPublishRequestsPerSession) {
        Answer(std::move(m_requests.front()), status::kBadTooManyPublishRequests);
        m_requests.pop_front();
    }
    ServeLate(nowMs);
}

RepublishResponse SubscriptionSet::Republish(const RepublishRequest& request) const
{
    RepublishResponse response;
    const auto it = m_subscriptions.find(request.subscriptionId);
    if (it == m_subscriptions.end()) {
        response.responseHeader.serviceResult.code = status::kBadSubscriptionIdInvalid;
        return response;
    }
    const auto& kept = it->second.retransmission;
    const auto message = std::find_if(kept.begin(), kept.end(), [&](const NotificationMessage& m) {
        return m.sequenceNumber == request.retransmitSequenceNumber;
    });
    if (message == kept.end()) {
        response.responseHeader.serviceResult.code = status::kBadMessageNotAvailable;
        return response;
    }
    response.notificationMessage = *message;
    return response;
}

void SubscriptionSet::Send(Subscription* s, NotificationMessage message, bool more)
{
    QueuedPublish request = std::move(m_requests.front());
    m_requests.pop_front();
    PublishAnswer& answer = m_answers.emplace_back();
    answer.ticket = request.ticket;
    PublishResponse& response = answer.response;
    response.responseHeader.requestHandle = request.requestHandle;
    response.results = std::move(request.results);
    response.moreNotifications = more;
    response.notificationMessage = std::move(message);
    if (s != nullptr) {
        response.subscriptionId = s->id;
        for (const NotificationMessage& kept : s->retransmission) {
            response.availableSequenceNumbers.push_back(kept.sequenceNumber);
        }
        s->keepAliveCounter = 0;
        s->lifetimeCounter = 0;
        s->messageSent = true;
        s->late = false;
    }
}

void SubscriptionSet::SendNotifications(Subscription& s, std::int64_t nowMs)
{
    while (!m_requests.empty() && s.publishingEnabled && !s.reportable.empty()) {
        std::size_t budget = s.maxNotificationsPerPublish != 0 ? s.maxNotificationsPerPublish
                                                               : std::numeric_limits<std::size_t>::max();
        std::vector<MonitoredItemNotification> values;
        std::vector<EventFieldList> events;
        std::size_t drained = 0;
        for (MonitoredItem* item : s.reportable) {
            if (budget == 0) {
                break;
            }
            if (item->Reportable() > 0) {
                const std::size_t taken = item->TakeValues(values, budget);
                const std::size_t takenEvents = item->TakeEvents(events, budget - taken);
                budget -= taken + takenEvents;
                m_queued -= taken + takenEvents;
                if (item->Reportable() > 0) {
                    break;
                }
            }
            item->listed = false;
            ++drained;
        }
        s.reportable.erase(s.reportable.begin(), s.reportable.begin() + static_cast<std::ptrdiff_t>(drained));
        if (values.empty() && events.empty()) {
            break;
        }
        NotificationMessage message;
        message.sequenceNumber = s.nextSequenceNumber;
        s.nextSequenceNumber = NextSequence(s.nextSequenceNumber);
        message.publishTime = DateTime::FromUnixMs(nowMs);
        if (!values.empty()) {
            message.notificationData.push_back(ToExtensionObject(DataChangeNotification { std::move(values), {} }));
        }
        if (!events.empty()) {
            message.notificationData.push_back(ToExtensionObject(EventNotificationList { std::move(events) }));
        }
        s.retransmission.push_back(message);
        while (s.retransmission.size() > m_limits.maxRetransmissionQueue) {
            s.retransmission.pop_front();
        }
        Send(&s, std::move(message), !s.reportable.empty());
    }
    s.late = s.publishingEnabled && !s.reportable.empty();
}

void SubscriptionSet::SendKeepAlive(Subscription& s, std::int64_t nowMs)
{
    NotificationMessage message;
    message.sequenceNumber = s.nextSequenceNumber; // the number the next notification will have
    message.publishTime = DateTime::FromUnixMs(nowMs);
    Send(&s, std::move(message), false);
}

void SubscriptionSet::Cycle(Subscription& s, std::int64_t nowMs)
{
    const bool notifications = s.publishingEnabled && !s.reportable.empty();
    const bool keepAliveDue = !s.messageSent || s.keepAliveCounter + 1 >= s.maxKeepAliveCount;
    if (!m_requests.empty()) {
        if (notifications) {
            SendNotifications(s, nowMs);
        } else if (keepAliveDue) {
            SendKeepAlive(s, nowMs);
        } else {
            ++s.keepAliveCounter;
        }
        return;
    }
    if (notifications || keepAliveDue) {
        s.late = true;
    } else {
        ++s.keepAliveCounter;
    }
    ++s.lifetimeCounter;
}

void SubscriptionSet::ServeLate(std::int64_t nowMs)
{
    // A subscription that timed out has one last thing to say: a StatusChangeNotification of Bad_Timeout.
    while (!m_requests.empty() && !m_expired.empty()) {
        const auto [id, sequence] = m_expired.front();
        m_expired.erase(m_expired.begin());
        NotificationMessage message;
        message.sequenceNumber = sequence;
        message.publishTime = DateTime::FromUnixMs(nowMs);
        message.notificationData.push_back(ToExtensionObject(StatusChangeNotification { { status::kBadTimeout }, {} }));
        Send(nullptr, std::move(message), false);
        m_answers.back().response.subscriptionId = id;
    }
    while (!m_requests.empty()) {
        Subscription* next = nullptr;
        for (auto& [id, s] : m_subscriptions) {
            if (s.late && (next == nullptr || s.priority > next->priority)) {
                next = &s;
            }
        }
        if (next == nullptr) {
            break;
        }
        if (next->publishingEnabled && !next->reportable.empty()) {
            SendNotifications(*next, nowMs);
        } else {
            SendKeepAlive(*next, nowMs);
        }
        if (!m_requests.empty()) {
            next->late = false;
        }
    }
    if (m_subscriptions.empty() && m_expired.empty()) {
        AnswerAll(status::kBadNoSubscription);
    }
}

void SubscriptionSet::SampleItems(std::span<const ItemSample> samples, const AddressSpace& space, std::int64_t nowMs)
{
    if (m_pushed.empty()) {
        return;
    }
    for (const ItemSample& sample : samples) {
        const auto it = m_pushed.find(sample.index);
        if (it == m_pushed.end()) {
            continue;
        }
        const DataValue* value = space.ItemValue(sample.index);
        if (value == nullptr) {
            continue;
        }
        for (const Watch& watch : it->second) {
            Account(*watch.subscription, *watch.item, watch.item->Sample(*value, nowMs));
        }
    }
}

void SubscriptionSet::Resample(const AddressSpace& space, std::int64_t nowMs)
{
    for (auto& [id, s] : m_subscriptions) {
        for (auto& [itemId, item] : s.items) {
            if (!item.IsEvents()) {
                SampleNow(s, item, space, nowMs);
            }
        }
    }
}

void SubscriptionSet::ReportEvent(const ServerEvent& event, const AddressSpace& space)
{
    const NodeId server(0, standard::id::Server);
    for (const Watch& watch : m_eventWatches) {
        if (watch.item->What().nodeId == server) {
            Account(*watch.subscription, *watch.item, watch.item->Notify(event, space));
        }
    }
}

void SubscriptionSet::Tick(const AddressSpace& space, std::int64_t nowMs)
{
    for (auto it = m_requests.begin(); it != m_requests.end();) {
        if (it->deadlineMs <= nowMs) {
            Answer(std::move(*it), status::kBadTimeout);
            it = m_requests.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [polled, subscription] : m_polled) {
        MonitoredItem& item = *polled;
        if (item.nextSampleMs <= nowMs) {
            SampleNow(*subscription, item, space, nowMs);
            const auto interval = static_cast<std::int64_t>(item.GetSettings().samplingIntervalMs);
            item.nextSampleMs = std::max(item.nextSampleMs + interval, nowMs + 1);
        }
    }
    std::vector<std::uint32_t> expired;
    for (auto& [id, s] : m_subscriptions) {
        if (s.nextPublishMs > nowMs) {
            continue;
        }
        Cycle(s, nowMs);
        const auto interval = static_cast<std::int64_t>(s.publishingIntervalMs);
        s.nextPublishMs += interval;
        if (s.nextPublishMs <= nowMs) {
            s.nextPublishMs = nowMs + interval; // behind by more than an interval: skip, don't rush
        }
        if (s.lifetimeCounter >= s.lifetimeCount) {
            expired.push_back(id);
        }
    }
    for (const std::uint32_t id : expired) {
        m_expired.emplace_back(id, m_subscriptions.at(id).nextSequenceNumber);
        DeleteSubscription(id);
    }
    if (m_expired.size() > m_limits.maxSubscriptionsPerSession) {
        m_expired.erase(m_expired.begin(),
                        m_expired.end() - static_cast<std::ptrdiff_t>(m_limits.maxSubscriptionsPerSession));
    }
    if (!m_requests.empty()) {
        ServeLate(nowMs);
    }
}

std::int64_t SubscriptionSet::NextTickMs() const
{
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    for (const auto& [id, s] : m_subscriptions) {
        next = std::min(next, s.nextPublishMs);
    }
    for (const auto& [item, subscription] : m_polled) {
        next = std::min(next, item->nextSampleMs);
    }
    for (const QueuedPublish& request : m_requests) {
        next = std::min(next, request.deadlineMs);
    }
    return next;
}

} // namespace tavrel::opcua
