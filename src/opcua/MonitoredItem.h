#pragma once

#include "opcua/AddressSpace.h"
#include "opcua/Messages.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::opcua {

// One monitored item: what it watches, the filter that decides which samples are changes, and its queue of
// notifications waiting for the subscription's next publish. Data changes compare each sample with the last one
// queued (status, value within the deadband, timestamp as the trigger says); events are filtered by their type and
// carry the fields the select clauses name.

/// A queue that holds at most what was put in it at once: its storage grows to that and is reused, so a queue of
/// one value takes no allocation per sample.
template<class T> class Ring
{
public:
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    T& front() { return m_slots[m_head]; }
    T& back() { return m_slots[(m_head + m_count - 1) % m_slots.size()]; }
    void push_back(T value)
    {
        if (m_count == m_slots.size()) {
            std::rotate(m_slots.begin(), m_slots.begin() + static_cast<std::ptrdiff_t>(m_head), m_slots.end());
            m_head = 0;
            m_slots.push_back(std::move(value));
        } else {
            m_slots[(m_head + m_count) % m_slots.size()] = std::move(value);
        }
        ++m_count;
    }
    void pop_front()
    {
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
    }
    void clear()
    {
        m_slots.clear();
        m_head = m_count = 0;
    }

private:
    std::vector<T> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
};

/// The overflow bit of a DataValue's status (info type DataValue, bit Overflow): values were dropped before it.
inline constexpr std::uint32_t kOverflowBits = 0x480;

/// An event the server raises on its Server object, with the fields of BaseEventType and the Changes of a
/// GeneralModelChangeEvent.
struct ServerEvent
{
    ByteString eventId;
    std::uint32_t eventType = 0; ///< a namespace-0 event type
    std::int64_t timeMs = 0;
    LocalizedText message;
    std::uint16_t severity = 0;
    std::vector<ModelChangeStructureDataType> changes;
};

/// The GeneralModelChangeEvent for `changes`; `sequence` makes its EventId unique.
ServerEvent ModelChangeEvent(std::vector<ModelChangeStructureDataType> changes, std::uint64_t sequence,
                             std::int64_t nowMs);

/// A data change filter, checked and with its deadband in the value's units.
struct DataFilter
{
    DataChangeTrigger trigger = DataChangeTrigger::StatusValue;
    bool deadband = false;
    double threshold = 0; ///< a numeric change of at most this much is no change
};

/// The filter of an event monitored item: the fields to send and the event types to pass.
struct EventSelection
{
    std::vector<SimpleAttributeOperand> selectClauses;
    ContentFilter whereClause;
};

/// The checked filter of a create or modify request: a data filter, an event selection, or the status code that
/// refuses it, with the filter result to answer.
struct CheckedFilter
{
    std::uint32_t status = status::kGood;
    DataFilter data;
    EventSelection events;
    ExtensionObject result; ///< EventFilterResult for event items
};

/// Checks `filter` for monitoring `attributeId` of `node`: a DataChangeFilter on a variable's Value (a deadband
/// on numbers only, a percent deadband on a variable with an EURange), an EventFilter on a node that notifies.
CheckedFilter CheckFilter(const AddressSpace& space, const Node& node, std::uint32_t attributeId,
                          const ExtensionObject& filter);

class MonitoredItem
{
public:
    struct Settings
    {
        std::uint32_t clientHandle = 0;
        double samplingIntervalMs = 0; ///< revised: 0 for samples as they come, once per pass
        std::size_t queueSize = 1; ///< revised: at least 1
        bool discardOldest = true;
        MonitoringMode mode = MonitoringMode::Reporting;
        TimestampsToReturn timestamps = TimestampsToReturn::Both;
    };

    MonitoredItem(std::uint32_t id, ReadValueId what, bool events, Settings settings, CheckedFilter filter);

    std::uint32_t Id() const { return m_id; }
    const ReadValueId& What() const { return m_what; }
    bool IsEvents() const { return m_events; }
    const Settings& GetSettings() const { return m_settings; }

    /// New settings and filter (ModifyMonitoredItems); the queue is cut to the new size, keeping the newest.
    void Modify(Settings settings, CheckedFilter filter);
    /// Disabled drops the queue and the last value; Sampling keeps queueing without reporting.
    void SetMode(MonitoringMode mode);

    /// A sample of the watched value: queued when the filter sees a change. Returns the change in the number of
    /// queued notifications (0 or 1; a full queue drops one with the overflow bit).
    int Sample(const DataValue& value, std::int64_t nowMs);
    /// An event raised on the watched node: queued with the selected fields when its type passes. Returns as
    /// Sample does.
    int Notify(const ServerEvent& event, const AddressSpace& space);

    /// The notifications waiting to be reported (none in Sampling mode).
    std::size_t Reportable() const;
    std::size_t Queued() const { return m_values.size() + m_eventQueue.size(); }
    /// Moves up to `max` queued notifications into `out`; returns how many.
    std::size_t TakeValues(std::vector<MonitoredItemNotification>& out, std::size_t max);
    std::size_t TakeEvents(std::vector<EventFieldList>& out, std::size_t max);
    /// Drops the oldest queued notification and marks the next one with the overflow bit (the session holds too
    /// many); false when nothing is queued.
    bool DropOldest();

    /// When a polled item is next to be sampled.
    std::int64_t nextSampleMs = 0;
    /// The label of an item value pushed once per pass, or -1.
    std::int32_t pushedLabel = -1;
    /// Listed in its subscription's reportable items.
    bool listed = false;

private:
    bool IsChange(const DataValue& value) const;
    template<class Queue, class T> int Enqueue(Queue& queue, T entry);

    std::uint32_t m_id;
    ReadValueId m_what;
    bool m_events;
    Settings m_settings;
    CheckedFilter m_filter;
    std::optional<DataValue> m_last; ///< the last sample queued, as sampled
    bool m_overflowPending = false; ///< the whole queue was dropped: the next value carries the overflow bit
    Ring<DataValue> m_values;
    Ring<std::vector<Variant>> m_eventQueue;
};

} // namespace tavrel::opcua
