#include "opcua/MonitoredItem.h"

#include "opcua/Attributes.h"
#include "opcua/StandardNodes.h"

#include <cmath>
#include <cstring>

namespace tavrel::opcua {

namespace {

namespace id = standard::id;

std::optional<double> NumberOf(const DataValue& value)
{
    if (!value.value || value.value->isArray) {
        return std::nullopt;
    }
    return std::visit(
        [](const auto& scalar) -> std::optional<double> {
            using T = std::decay_t<decltype(scalar)>;
            if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
                return static_cast<double>(scalar);
            } else {
                return std::nullopt;
            }
        },
        value.value->value);
}

std::uint32_t CodeOf(const DataValue& value)
{
    return value.status ? value.status->code : status::kGood;
}

void MarkOverflow(DataValue& value)
{
    value.status = StatusCode { CodeOf(value) | kOverflowBits };
}
void MarkOverflow(std::vector<Variant>&) { }

/// The EURange property of a variable, the span a percent deadband is a percentage of.
std::optional<Range> EuRange(const AddressSpace& space, const Node& node)
{
    for (const NodeReference& reference : node.references) {
        const Node* property
            = reference.forward && reference.type == id::HasProperty ? space.Find(reference.target) : nullptr;
        if (property != nullptr && property->browseName.name == "EURange" && property->source == ValueSource::Fixed) {
            if (const auto* object = std::get_if<ExtensionObject>(&property->fixedValue.value)) {
                return FromExtensionObject<Range>(*object);
            }
        }
    }
    return std::nullopt;
}

template<class T> std::optional<T> Operand(const ContentFilterElement& element, std::size_t index)
{
    return index < element.filterOperands.size() ? FromExtensionObject<T>(element.filterOperands[index]) : std::nullopt;
}

/// The status of one where clause element: OfType of an event type, and And, Or, Not of later elements.
std::uint32_t CheckElement(const ContentFilter& where, std::size_t index)
{
    const ContentFilterElement& element = where.elements[index];
    const auto later = [&](std::size_t operand) {
        const auto e = Operand<ElementOperand>(element, operand);
        return e && e->index > index && e->index < where.elements.size();
    };
    switch (element.filterOperator) {
    case FilterOperator::OfType: {
        const auto literal = Operand<LiteralOperand>(element, 0);
        const bool ok
            = element.filterOperands.size() == 1 && literal && std::holds_alternative<NodeId>(literal->value.value);
        return ok ? status::kGood : status::kBadFilterOperandInvalid;
    }
    case FilterOperator::And:
    case FilterOperator::Or:
        return element.filterOperands.size() == 2 && later(0) && later(1) ? status::kGood
                                                                          : status::kBadFilterOperandInvalid;
    case FilterOperator::Not:
        return element.filterOperands.size() == 1 && later(0) ? status::kGood : status::kBadFilterOperandInvalid;
    default:
        return status::kBadFilterOperatorUnsupported;
    }
}

bool Passes(const ContentFilter& where, std::size_t index, std::uint32_t eventType, const AddressSpace& space)
{
    const ContentFilterElement& element = where.elements[index];
    const auto sub = [&](std::size_t operand) {
        return Passes(where, Operand<ElementOperand>(element, operand)->index, eventType, space);
    };
    switch (element.filterOperator) {
    case FilterOperator::OfType:
        return space.IsSubtype(eventType,
                               std::get<NodeId>(Operand<LiteralOperand>(element, 0)->value.value).StandardNumber());
    case FilterOperator::And:
        return sub(0) && sub(1);
    case FilterOperator::Or:
        return sub(0) || sub(1);
    case FilterOperator::Not:
        return !sub(0);
    default:
        return false;
    }
}

Variant EventField(const ServerEvent& event, const SimpleAttributeOperand& select)
{
    if (select.browsePath.size() != 1 || select.browsePath[0].namespaceIndex != 0
        || select.attributeId != static_cast<std::uint32_t>(AttributeId::Value)) {
        return {};
    }
    const std::string& name = select.browsePath[0].name;
    if (name == "EventId") {
        return Variant(Scalar(event.eventId));
    }
    if (name == "EventType") {
        return Variant(Scalar(NodeId(0, event.eventType)));
    }
    if (name == "SourceNode") {
        return Variant(Scalar(NodeId(0, id::Server)));
    }
    if (name == "SourceName") {
        return Variant(Scalar(std::string("Server")));
    }
    if (name == "Time" || name == "ReceiveTime") {
        return Variant(Scalar(DateTime::FromUnixMs(event.timeMs)));
    }
    if (name == "Message") {
        return Variant(Scalar(event.message));
    }
    if (name == "Severity") {
        return Variant(Scalar(event.severity));
    }
    if (name == "Changes" && event.eventType == id::GeneralModelChangeEventType) {
        std::vector<Scalar> changes;
        for (const ModelChangeStructureDataType& change : event.changes) {
            changes.emplace_back(ToExtensionObject(change));
        }
        return Variant::Array(BuiltinType::ExtensionObject, std::move(changes));
    }
    return {};
}

CheckedFilter CheckEventFilter(const Node& node, const ExtensionObject& filter)
{
    CheckedFilter checked;
    if ((node.eventNotifier & 1) == 0) {
        checked.status = status::kBadNotSupported; // the node raises no events
        return checked;
    }
    auto eventFilter = FromExtensionObject<EventFilter>(filter);
    if (!eventFilter) {
        checked.status = filter.typeId == NodeId(0, EventFilter::kEncodingId) || filter.IsNull()
            ? status::kBadEventFilterInvalid
            : status::kBadMonitoredItemFilterUnsupported;
        return checked;
    }
    EventFilterResult result;
    result.selectClauseResults.assign(eventFilter->selectClauses.size(), StatusCode {});
    for (std::size_t i = 0; i < eventFilter->whereClause.elements.size(); ++i) {
        const std::uint32_t code = CheckElement(eventFilter->whereClause, i);
        result.whereClauseResult.elementResults.push_back({ StatusCode { code }, {}, {} });
        if (code != status::kGood) {
            checked.status = status::kBadEventFilterInvalid;
        }
    }
    if (eventFilter->selectClauses.empty()) {
        checked.status = status::kBadEventFilterInvalid;
    }
    checked.events = { std::move(eventFilter->selectClauses), std::move(eventFilter->whereClause) };
    checked.result = ToExtensionObject(result);
    return checked;
}

} // namespace

ServerEvent ModelChangeEvent(std::vector<ModelChangeStructureDataType> changes, std::uint64_t sequence,
                             std::int64_t nowMs)
{
    ServerEvent event;
    event.eventId.bytes.resize(16);
    std::memcpy(event.eventId.bytes.data(), &sequence, sizeof sequence);
    std::memcpy(event.eventId.bytes.data() + 8, &nowMs, sizeof nowMs);
    event.eventType = id::GeneralModelChangeEventType;
    event.timeMs = nowMs;
    event.message = { "", "The project changed: " + std::to_string(changes.size()) + " nodes" };
    event.severity = 100; // information: nothing is wrong
    event.changes = std::move(changes);
    return event;
}

CheckedFilter CheckFilter(const AddressSpace& space, const Node& node, std::uint32_t attributeId,
                          const ExtensionObject& filter)
{
    if (attributeId == static_cast<std::uint32_t>(AttributeId::EventNotifier)) {
        return CheckEventFilter(node, filter);
    }
    CheckedFilter checked;
    if (filter.IsNull()) {
        return checked;
    }
    if (filter.typeId != NodeId(0, DataChangeFilter::kEncodingId)) {
        checked.status = filter.typeId == NodeId(0, EventFilter::kEncodingId)
            ? status::kBadFilterNotAllowed
            : status::kBadMonitoredItemFilterUnsupported;
        return checked;
    }
    const auto dataFilter = FromExtensionObject<DataChangeFilter>(filter);
    if (!dataFilter || dataFilter->trigger < DataChangeTrigger::Status
        || dataFilter->trigger > DataChangeTrigger::StatusValueTimestamp) {
        checked.status = status::kBadMonitoredItemFilterInvalid;
        return checked;
    }
    if (attributeId != static_cast<std::uint32_t>(AttributeId::Value)) {
        checked.status = status::kBadFilterNotAllowed;
        return checked;
    }
    checked.data.trigger = dataFilter->trigger;
    if (dataFilter->deadbandType == DeadbandType::None) {
        return checked;
    }
    const double value = dataFilter->deadbandValue;
    const bool percent = dataFilter->deadbandType == DeadbandType::Percent;
    if ((!percent && dataFilter->deadbandType != DeadbandType::Absolute) || !(value >= 0) || (percent && value > 100)) {
        checked.status = status::kBadDeadbandFilterInvalid;
        return checked;
    }
    if (!space.IsSubtype(node.dataType, id::Number)) {
        checked.status = status::kBadFilterNotAllowed; // a deadband needs numbers
        return checked;
    }
    checked.data.deadband = true;
    checked.data.threshold = value;
    if (percent) {
        const auto range = EuRange(space, node);
        if (!range) {
            checked.status = status::kBadFilterNotAllowed; // a percentage of nothing
            return checked;
        }
        checked.data.threshold = value / 100 * std::fabs(range->high - range->low);
    }
    return checked;
}

MonitoredItem::MonitoredItem(std::uint32_t id, ReadValueId what, bool events, Settings settings, CheckedFilter filter)
    : m_id(id)
    , m_what(std::move(what))
    , m_events(events)
    , m_settings(settings)
    , m_filter(std::move(filter))
{
}

void MonitoredItem::Modify(Settings settings, CheckedFilter filter)
{
    const MonitoringMode mode = m_settings.mode;
    m_settings = settings;
    m_settings.mode = mode;
    m_filter = std::move(filter);
    while (m_values.size() > m_settings.queueSize) {
        m_values.pop_front();
    }
    while (m_eventQueue.size() > m_settings.queueSize) {
        m_eventQueue.pop_front();
    }
}

void MonitoredItem::SetMode(MonitoringMode mode)
{
    m_settings.mode = mode;
    if (mode == MonitoringMode::Disabled) {
        m_values.clear();
        m_eventQueue.clear();
        m_last.reset();
    }
}

bool MonitoredItem::IsChange(const DataValue& value) const
{
    if (!m_last) {
        return true;
    }
    const DataValue& last = *m_last;
    if (CodeOf(value) != CodeOf(last)) {
        return true;
    }
    if (m_filter.data.trigger == DataChangeTrigger::Status) {
        return false;
    }
    if (value.value != last.value) {
        const auto now = NumberOf(value);
        const auto before = NumberOf(last);
        if (!m_filter.data.deadband || !now || !before) {
            return true;
        }
        if (std::fabs(*now - *before) > m_filter.data.threshold) {
            return true;
        }
    }
    return m_filter.data.trigger == DataChangeTrigger::StatusValueTimestamp
        && value.sourceTimestamp != last.sourceTimestamp;
}

template<class Queue, class T> int MonitoredItem::Enqueue(Queue& queue, T entry)
{
    if (queue.size() < m_settings.queueSize) {
        queue.push_back(std::move(entry));
        return 1;
    }
    if (m_settings.queueSize == 1) {
        queue.back() = std::move(entry); // a queue of one holds the latest; no overflow to tell
        return 0;
    }
    if (m_settings.discardOldest) {
        queue.pop_front();
        queue.push_back(std::move(entry));
        MarkOverflow(queue.front());
    } else {
        queue.back() = std::move(entry);
        MarkOverflow(queue.back());
    }
    return 0;
}

int MonitoredItem::Sample(const DataValue& value, std::int64_t nowMs)
{
    if (m_events || m_settings.mode == MonitoringMode::Disabled || !IsChange(value)) {
        return 0;
    }
    m_last = value;
    DataValue sent = value;
    KeepTimestamps(sent, m_settings.timestamps, nowMs);
    if (m_overflowPending) {
        MarkOverflow(sent);
        m_overflowPending = false;
    }
    return Enqueue(m_values, std::move(sent));
}

int MonitoredItem::Notify(const ServerEvent& event, const AddressSpace& space)
{
    if (!m_events || m_settings.mode == MonitoringMode::Disabled) {
        return 0;
    }
    const ContentFilter& where = m_filter.events.whereClause;
    if (!where.elements.empty() && !Passes(where, 0, event.eventType, space)) {
        return 0;
    }
    std::vector<Variant> fields;
    fields.reserve(m_filter.events.selectClauses.size());
    for (const SimpleAttributeOperand& select : m_filter.events.selectClauses) {
        fields.push_back(EventField(event, select));
    }
    return Enqueue(m_eventQueue, std::move(fields));
}

std::size_t MonitoredItem::Reportable() const
{
    return m_settings.mode == MonitoringMode::Reporting ? Queued() : 0;
}

std::size_t MonitoredItem::TakeValues(std::vector<MonitoredItemNotification>& out, std::size_t max)
{
    std::size_t taken = 0;
    for (; taken < max && !m_values.empty(); ++taken) {
        out.push_back({ m_settings.clientHandle, std::move(m_values.front()) });
        m_values.pop_front();
    }
    return taken;
}

std::size_t MonitoredItem::TakeEvents(std::vector<EventFieldList>& out, std::size_t max)
{
    std::size_t taken = 0;
    for (; taken < max && !m_eventQueue.empty(); ++taken) {
        out.push_back({ m_settings.clientHandle, std::move(m_eventQueue.front()) });
        m_eventQueue.pop_front();
    }
    return taken;
}

bool MonitoredItem::DropOldest()
{
    if (!m_values.empty()) {
        m_values.pop_front();
        if (m_values.empty()) {
            m_overflowPending = true;
        } else {
            MarkOverflow(m_values.front());
        }
        return true;
    }
    if (!m_eventQueue.empty()) {
        m_eventQueue.pop_front();
        return true;
    }
    return false;
}

} // namespace tavrel::opcua
