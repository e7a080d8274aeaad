#include "opcua/AddressSpace.h"

#include "common/LinkProtocol.h"
#include "opcua/StandardNodes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace tavrel::opcua {

namespace {

namespace id = standard::id;

// The profile this server offers: Micro Embedded Device Server 2017 (with Write, Call and the deadband filter).
constexpr const char* kServerProfile = "http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice2017";
constexpr const char* kStandardNamespace = "http://opcfoundation.org/UA/";
// The units' namespace of EUInformation when no UNECE code is known (unitId -1).
constexpr const char* kUnitsNamespace = "http://www.opcfoundation.org/UA/units/un/cefact";
constexpr std::uint8_t kCurrentRead = 1, kCurrentWrite = 2;
constexpr std::uint8_t kSubscribeToEvents = 1;

NodeId Standard(std::uint32_t number)
{
    return NodeId(0, number);
}
NodeId Tavrel(std::string text)
{
    return NodeId(kTavrelNamespace, std::move(text));
}
const NodeId kTavrelObject = Tavrel("Tavrel");

Node Variable(NodeId nodeId, std::string name, std::uint32_t dataType, ValueSource source)
{
    Node node;
    node.id = std::move(nodeId);
    node.nodeClass = NodeClass::Variable;
    node.browseName = { kTavrelNamespace, name };
    node.displayName = { "", std::move(name) };
    node.dataType = dataType;
    node.source = source;
    node.references.push_back({ id::HasTypeDefinition, true, Standard(id::BaseDataVariableType) });
    return node;
}

Node Method(NodeId nodeId, std::string name, std::string command, std::string description)
{
    Node node;
    node.id = std::move(nodeId);
    node.nodeClass = NodeClass::Method;
    node.browseName = { kTavrelNamespace, name };
    node.displayName = { "", std::move(name) };
    node.description = { "", std::move(description) };
    node.command = std::move(command);
    return node;
}

template<class T> T Clamped(double number)
{
    if (std::isnan(number)) {
        return T {};
    }
    const double rounded = std::is_floating_point_v<T> ? number : std::round(number);
    const double low = static_cast<double>(std::numeric_limits<T>::lowest());
    const double high = static_cast<double>(std::numeric_limits<T>::max());
    if (rounded <= low) {
        return std::numeric_limits<T>::lowest();
    }
    if (rounded >= high) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(rounded);
}

Variant StringArray(std::vector<std::string> texts)
{
    std::vector<Scalar> elements(texts.begin(), texts.end());
    return Variant::Array(BuiltinType::String, std::move(elements));
}

bool SameItem(const ItemNode& a, const ItemNode& b)
{
    return a.plc == b.plc && a.displayName == b.displayName && a.description == b.description && a.kind == b.kind
        && a.writable == b.writable && a.units == b.units;
}

} // namespace

NodeId PlcNodeId(const std::string& plc)
{
    return Tavrel("plc/" + plc);
}
NodeId ItemNodeId(std::int32_t label)
{
    return Tavrel(protocol::LabelName(label));
}

std::uint32_t StatusOf(ValueQuality quality)
{
    switch (quality) {
    case ValueQuality::Good:
        return status::kGood;
    case ValueQuality::Waiting:
        return status::kBadWaitingForInitialData;
    case ValueQuality::Stale:
        return status::kUncertainLastUsableValue;
    case ValueQuality::Bad:
        return status::kBadConfigurationError;
    case ValueQuality::OutOfService:
        return status::kBadOutOfService;
    }
    return status::kBadInternalError;
}

std::uint32_t DataTypeOf(ValueKind kind)
{
    switch (kind) {
    case ValueKind::Boolean:
        return id::Boolean;
    case ValueKind::Int16:
        return id::Int16;
    case ValueKind::UInt16:
        return id::UInt16;
    case ValueKind::Int32:
        return id::Int32;
    case ValueKind::UInt32:
        return id::UInt32;
    case ValueKind::Int64:
        return id::Int64;
    case ValueKind::UInt64:
        return id::UInt64;
    case ValueKind::Float:
        return id::Float;
    case ValueKind::Double:
        return id::Double;
    case ValueKind::String:
        return id::String;
    }
    return id::BaseDataType;
}

DataValue ItemDataValue(ValueKind kind, const ItemSample& sample)
{
    DataValue value;
    if (kind == ValueKind::String) {
        value.value = Variant(Scalar(sample.text));
    } else if (sample.number) {
        const double n = *sample.number;
        switch (kind) {
        case ValueKind::Boolean:
            value.value = Variant(Scalar(n != 0));
            break;
        case ValueKind::Int16:
            value.value = Variant(Scalar(Clamped<std::int16_t>(n)));
            break;
        case ValueKind::UInt16:
            value.value = Variant(Scalar(Clamped<std::uint16_t>(n)));
            break;
        case ValueKind::Int32:
            value.value = Variant(Scalar(Clamped<std::int32_t>(n)));
            break;
        case ValueKind::UInt32:
            value.value = Variant(Scalar(Clamped<std::uint32_t>(n)));
            break;
        case ValueKind::Int64:
            value.value = Variant(Scalar(Clamped<std::int64_t>(n)));
            break;
        case ValueKind::UInt64:
            value.value = Variant(Scalar(Clamped<std::uint64_t>(n)));
            break;
        case ValueKind::Float:
            value.value = Variant(Scalar(static_cast<float>(n)));
            break;
        case ValueKind::Double:
        case ValueKind::String:
            value.value = Variant(Scalar(n));
            break;
        }
    }
    const std::uint32_t code = StatusOf(sample.quality);
    if (code != status::kGood) {
        value.status = StatusCode { code };
    }
    if (sample.sourceTimeMs != 0) {
        value.sourceTimestamp = DateTime::FromUnixMs(sample.sourceTimeMs);
    }
    return value;
}

AddressSpace::AddressSpace(const ServerConfig& config, std::int64_t startMs)
    : m_config(config)
    , m_startMs(startMs)
{
    AddStandardNodes();
    AddTavrelNodes();
}

const Node* AddressSpace::Find(const NodeId& nodeId) const
{
    const auto it = m_nodes.find(nodeId);
    return it == m_nodes.end() ? nullptr : &it->second;
}

Node& AddressSpace::Add(Node node)
{
    NodeId key = node.id;
    return m_nodes.insert_or_assign(std::move(key), std::move(node)).first->second;
}

void AddressSpace::Link(const NodeId& source, std::uint32_t type, const NodeId& target)
{
    m_nodes.at(source).references.push_back({ type, true, target });
    m_nodes.at(target).references.push_back({ type, false, source });
}

void AddressSpace::Unlink(const NodeId& source, const NodeId& target)
{
    const auto it = m_nodes.find(source);
    if (it != m_nodes.end()) {
        std::erase_if(it->second.references, [&](const NodeReference& r) { return r.target == target; });
    }
}

void AddressSpace::Remove(const NodeId& nodeId)
{
    const auto it = m_nodes.find(nodeId);
    if (it == m_nodes.end()) {
        return;
    }
    for (const NodeReference& reference : it->second.references) {
        if (reference.target != nodeId) {
            Unlink(reference.target, nodeId);
        }
    }
    m_nodes.erase(it);
}

void AddressSpace::AddStandardNodes()
{
    for (const standard::NodeRow& row : standard::Nodes()) {
        Node node;
        node.id = Standard(row.id);
        node.nodeClass = static_cast<NodeClass>(row.nodeClass);
        node.browseName = { 0, std::string(row.browseName) };
        node.displayName = { "", std::string(row.displayName) };
        node.dataType = row.dataType;
        node.valueRank = row.valueRank;
        node.isAbstract = row.isAbstract;
        node.symmetric = row.symmetric;
        node.eventNotifier = row.eventNotifier;
        if (!row.inverseName.empty()) {
            node.inverseName = { "", std::string(row.inverseName) };
        }
        // The Server object's variables and the limits are computed when read; the enumerations' names are fixed
        // (below), and an event type's fields have no value.
        node.source = node.nodeClass == NodeClass::Variable ? ValueSource::Server : ValueSource::None;
        m_nodes.emplace(node.id, std::move(node));
    }
    for (const standard::EnumStringsRow& row : standard::EnumStrings()) {
        std::vector<Scalar> texts;
        for (std::string_view text : row.texts) {
            texts.emplace_back(LocalizedText { "", std::string(text) });
        }
        Node& node = m_nodes.at(Standard(row.id));
        node.source = ValueSource::Fixed;
        node.fixedValue = Variant::Array(BuiltinType::LocalizedText, std::move(texts));
    }
    for (const standard::ReferenceRow& row : standard::References()) {
        Link(Standard(row.source), row.referenceType, Standard(row.target));
        if (row.referenceType == id::HasSubtype) {
            m_superTypes[row.target] = row.source;
        }
    }
    // The event type's fields are declarations; the Server's own variables are the rest of the table's variables.
    for (auto& [nodeId, node] : m_nodes) {
        if (node.nodeClass == NodeClass::Variable && node.source == ValueSource::Server) {
            const bool eventField = std::any_of(node.references.begin(), node.references.end(), [](const auto& r) {
                return !r.forward && r.type == id::HasProperty
                    && (r.target.StandardNumber() == id::BaseEventType
                        || r.target.StandardNumber() == id::GeneralModelChangeEventType);
            });
            if (eventField) {
                node.source = ValueSource::None;
            }
        }
    }
}

void AddressSpace::AddTavrelNodes()
{
    Node tavrel;
    tavrel.id = kTavrelObject;
    tavrel.browseName = { kTavrelNamespace, "Tavrel" };
    tavrel.displayName = { "", "Tavrel" };
    tavrel.description = { "", "The run, its PLCs and their items" };
    tavrel.references.push_back({ id::HasTypeDefinition, true, Standard(id::FolderType) });
    Add(std::move(tavrel));
    Link(Standard(id::ObjectsFolder), id::Organizes, kTavrelObject);

    const std::pair<RunField, std::pair<const char*, std::uint32_t>> variables[] = {
        { RunField::Running, { "Running", id::Boolean } },
        { RunField::PassCount, { "PassCount", id::UInt64 } },
        { RunField::PassMs, { "PassMs", id::Int64 } },
    };
    for (const auto& [field, nameAndType] : variables) {
        Node node = Variable(Tavrel(std::string("Tavrel/") + nameAndType.first), nameAndType.first, nameAndType.second,
                             ValueSource::Run);
        node.field = static_cast<std::uint32_t>(field);
        const NodeId nodeId = node.id;
        Add(std::move(node));
        Link(kTavrelObject, id::HasComponent, nodeId);
    }
    Add(Method(Tavrel("Tavrel/RunStop"), "RunStop", "Tavrel_RUN/STOP", "Starts the run when stopped, else stops it"));
    Link(kTavrelObject, id::HasComponent, Tavrel("Tavrel/RunStop"));
}

void AddressSpace::AddPlc(const PlcNode& plc)
{
    const NodeId plcId = PlcNodeId(plc.name);
    Node object;
    object.id = plcId;
    object.browseName = { kTavrelNamespace, plc.name };
    object.displayName = { "", plc.name };
    object.plc = plc.name;
    object.references.push_back({ id::HasTypeDefinition, true, Standard(id::BaseObjectType) });
    Add(std::move(object));
    Link(kTavrelObject, id::Organizes, plcId);

    const std::pair<PlcField, std::pair<const char*, std::uint32_t>> variables[] = {
        { PlcField::Connected, { "Connected", id::Boolean } }, { PlcField::Answered, { "Answered", id::Boolean } },
        { PlcField::LastError, { "LastError", id::String } },  { PlcField::Errors, { "Errors", id::UInt64 } },
        { PlcField::PassMs, { "PassMs", id::Int64 } },
    };
    const std::string prefix = "plc/" + plc.name + "/";
    for (const auto& [field, nameAndType] : variables) {
        Node node
            = Variable(Tavrel(prefix + nameAndType.first), nameAndType.first, nameAndType.second, ValueSource::Plc);
        node.field = static_cast<std::uint32_t>(field);
        node.plc = plc.name;
        const NodeId nodeId = node.id;
        Add(std::move(node));
        Link(plcId, id::HasComponent, nodeId);
    }
    for (const char* name : { "Run", "Stop" }) {
        Node method = Method(Tavrel(prefix + name), name, plc.name + (name[0] == 'R' ? "_RUN" : "_STOP"),
                             std::string(name[0] == 'R' ? "Runs" : "Stops") + " the PLC's program");
        method.plc = plc.name;
        const NodeId nodeId = method.id;
        Add(std::move(method));
        Link(plcId, id::HasComponent, nodeId);
    }
    m_plcs[plc.name] = plc;
}

void AddressSpace::RemovePlc(const std::string& name)
{
    const std::string prefix = "plc/" + name + "/";
    for (const char* child : { "Connected", "Answered", "LastError", "Errors", "PassMs", "Run", "Stop" }) {
        Remove(Tavrel(prefix + child));
    }
    Remove(PlcNodeId(name));
    m_plcs.erase(name);
}

void AddressSpace::AddItem(const ItemNode& item)
{
    const NodeId itemId = ItemNodeId(item.index);
    Node node = Variable(itemId, protocol::LabelName(item.index), DataTypeOf(item.kind), ValueSource::Item);
    node.displayName = { "", item.displayName };
    node.description = { "", item.description };
    node.label = item.index;
    node.accessLevel = item.writable ? kCurrentRead | kCurrentWrite : kCurrentRead;
    Add(std::move(node));
    const NodeId parent = m_plcs.contains(item.plc) ? PlcNodeId(item.plc) : kTavrelObject;
    Link(parent, id::HasComponent, itemId);
    if (!item.units.empty()) {
        const NodeId unitsId = Tavrel(protocol::LabelName(item.index) + "/EngineeringUnits");
        Node units;
        units.id = unitsId;
        units.nodeClass = NodeClass::Variable;
        units.browseName = { 0, "EngineeringUnits" };
        units.displayName = { "", "EngineeringUnits" };
        units.dataType = id::EUInformation;
        units.source = ValueSource::Fixed;
        units.fixedValue
            = Variant(Scalar(ToExtensionObject(EUInformation { kUnitsNamespace, -1, { "", item.units }, {} })));
        units.references.push_back({ id::HasTypeDefinition, true, Standard(id::PropertyType) });
        Add(std::move(units));
        Link(itemId, id::HasProperty, unitsId);
    }
    ItemEntry& entry = m_items[item.index];
    entry.node = item;
    entry.value = ItemDataValue(item.kind, ItemSample { item.index, {}, {}, 0, ValueQuality::Waiting });
}

void AddressSpace::RemoveItem(std::int32_t label)
{
    Remove(Tavrel(protocol::LabelName(label) + "/EngineeringUnits"));
    Remove(ItemNodeId(label));
    m_items.erase(label);
}

std::vector<ModelChangeStructureDataType> AddressSpace::SetProject(const std::vector<PlcNode>& plcs,
                                                                   const std::vector<ItemNode>& items)
{
    std::vector<ModelChangeStructureDataType> changes;
    std::map<std::string, const PlcNode*> newPlcs;
    for (const PlcNode& plc : plcs) {
        newPlcs[plc.name] = &plc;
    }
    std::map<std::int32_t, const ItemNode*> newItems;
    for (const ItemNode& item : items) {
        newItems[item.index] = &item;
    }
    // Items first: removing a PLC takes its links to items with it.
    std::vector<std::int32_t> gone;
    for (const auto& [label, entry] : m_items) {
        const auto it = newItems.find(label);
        if (it == newItems.end() || !SameItem(entry.node, *it->second) || !newPlcs.contains(entry.node.plc)) {
            gone.push_back(label);
        }
    }
    std::map<std::int32_t, std::uint8_t> itemVerbs;
    std::map<std::int32_t, DataValue> keptValues; // an item that changes in place keeps its value
    for (const std::int32_t label : gone) {
        const bool stays = newItems.contains(label);
        itemVerbs[label] = stays
            ? ModelChangeStructureDataType::kReferenceDeleted | ModelChangeStructureDataType::kReferenceAdded
            : ModelChangeStructureDataType::kNodeDeleted;
        if (stays && m_items.at(label).node.kind != newItems.at(label)->kind) {
            itemVerbs[label] |= ModelChangeStructureDataType::kDataTypeChanged;
        } else if (stays) {
            keptValues[label] = m_items.at(label).value;
        }
        RemoveItem(label);
    }
    std::vector<std::string> plcsGone;
    for (const auto& [name, plc] : m_plcs) {
        if (!newPlcs.contains(name)) {
            plcsGone.push_back(name);
        }
    }
    for (const std::string& name : plcsGone) {
        RemovePlc(name);
        changes.push_back(
            { PlcNodeId(name), Standard(id::BaseObjectType), ModelChangeStructureDataType::kNodeDeleted });
    }
    for (const auto& [name, plc] : newPlcs) {
        if (!m_plcs.contains(name)) {
            AddPlc(*plc);
            changes.push_back(
                { PlcNodeId(name), Standard(id::BaseObjectType), ModelChangeStructureDataType::kNodeAdded });
        }
    }
    for (const auto& [label, item] : newItems) {
        if (m_items.contains(label)) {
            continue;
        }
        AddItem(*item);
        if (const auto kept = keptValues.find(label); kept != keptValues.end()) {
            m_items.at(label).value = std::move(kept->second);
        }
        const auto verb = itemVerbs.find(label);
        itemVerbs[label] = verb == itemVerbs.end() ? ModelChangeStructureDataType::kNodeAdded : verb->second;
    }
    for (const auto& [label, verb] : itemVerbs) {
        changes.push_back({ ItemNodeId(label), Standard(id::BaseDataVariableType), verb });
    }
    return changes;
}

void AddressSpace::SetRun(const RunNode& run)
{
    m_run = run;
}

bool AddressSpace::SetPlc(const PlcNode& plc)
{
    const auto it = m_plcs.find(plc.name);
    if (it == m_plcs.end()) {
        return false;
    }
    it->second = plc;
    return true;
}

void AddressSpace::SetValues(std::span<const ItemSample> samples)
{
    for (const ItemSample& sample : samples) {
        const auto it = m_items.find(sample.index);
        if (it != m_items.end()) {
            it->second.value = ItemDataValue(it->second.node.kind, sample);
        }
    }
}

const DataValue* AddressSpace::ItemValue(std::int32_t label) const
{
    const auto it = m_items.find(label);
    return it == m_items.end() ? nullptr : &it->second.value;
}

const ItemNode* AddressSpace::Item(std::int32_t label) const
{
    const auto it = m_items.find(label);
    return it == m_items.end() ? nullptr : &it->second.node;
}

bool AddressSpace::IsSubtype(std::uint32_t type, std::uint32_t ancestor) const
{
    for (int depth = 0; depth < 32; ++depth) {
        if (type == ancestor) {
            return true;
        }
        const auto it = m_superTypes.find(type);
        if (it == m_superTypes.end()) {
            return false;
        }
        type = it->second;
    }
    return false;
}

NodeId AddressSpace::TypeDefinition(const Node& node) const
{
    for (const NodeReference& reference : node.references) {
        if (reference.forward && reference.type == id::HasTypeDefinition) {
            return reference.target;
        }
    }
    return {};
}

DataValue AddressSpace::VariableValue(const Node& node, std::int64_t nowMs) const
{
    DataValue value;
    switch (node.source) {
    case ValueSource::None:
        value.value = Variant();
        break;
    case ValueSource::Fixed:
        value.value = node.fixedValue;
        break;
    case ValueSource::Item: {
        const DataValue* item = ItemValue(node.label);
        if (item != nullptr) {
            return *item;
        }
        value.status = StatusCode { status::kBadNodeIdUnknown };
        break;
    }
    case ValueSource::Run:
        switch (static_cast<RunField>(node.field)) {
        case RunField::Running:
            value.value = Variant(Scalar(m_run.running));
            break;
        case RunField::PassCount:
            value.value = Variant(Scalar(m_run.passCount));
            break;
        case RunField::PassMs:
            value.value = Variant(Scalar(m_run.passMs));
            break;
        }
        break;
    case ValueSource::Plc: {
        const auto it = m_plcs.find(node.plc);
        if (it == m_plcs.end()) {
            value.status = StatusCode { status::kBadNodeIdUnknown };
            break;
        }
        const PlcNode& plc = it->second;
        switch (static_cast<PlcField>(node.field)) {
        case PlcField::Connected:
            value.value = Variant(Scalar(plc.connected));
            break;
        case PlcField::Answered:
            value.value = Variant(Scalar(plc.answered));
            break;
        case PlcField::LastError:
            value.value = Variant(Scalar(plc.lastError));
            break;
        case PlcField::Errors:
            value.value = Variant(Scalar(plc.errors));
            break;
        case PlcField::PassMs:
            value.value = Variant(Scalar(plc.passMs));
            break;
        }
        break;
    }
    case ValueSource::Server:
        value.value = ServerValue(node.id.StandardNumber(), nowMs);
        break;
    }
    return value;
}

Variant AddressSpace::ServerValue(std::uint32_t number, std::int64_t nowMs) const
{
    const ServerLimits& limits = m_config.limits;
    const auto count = [](std::size_t n) {
        return Variant(Scalar(static_cast<std::uint32_t>(std::min<std::size_t>(n, 0xFFFFFFFFU))));
    };
    BuildInfo build { m_config.productUri,      "Tavrel",
                      m_config.applicationName, m_config.softwareVersion,
                      m_config.buildNumber,     DateTime::FromUnixMs(m_startMs) };
    switch (number) {
    case id::ServerArray:
        return StringArray({ m_config.applicationUri });
    case id::NamespaceArray:
        return StringArray({ kStandardNamespace, m_config.applicationUri });
    case id::ServerStatus:
        return Variant(Scalar(ToExtensionObject(ServerStatusDataType {
            DateTime::FromUnixMs(m_startMs), DateTime::FromUnixMs(nowMs), ServerState::Running, build, 0, {} })));
    case id::ServerStatusStartTime:
        return Variant(Scalar(DateTime::FromUnixMs(m_startMs)));
    case id::ServerStatusCurrentTime:
        return Variant(Scalar(DateTime::FromUnixMs(nowMs)));
    case id::ServerStatusState:
        return Variant(Scalar(static_cast<std::int32_t>(ServerState::Running)));
    case id::ServerStatusBuildInfo:
        return Variant(Scalar(ToExtensionObject(build)));
    case id::BuildInfoProductName:
        return Variant(Scalar(build.productName));
    case id::BuildInfoProductUri:
        return Variant(Scalar(build.productUri));
    case id::BuildInfoManufacturerName:
        return Variant(Scalar(build.manufacturerName));
    case id::BuildInfoSoftwareVersion:
        return Variant(Scalar(build.softwareVersion));
    case id::BuildInfoBuildNumber:
        return Variant(Scalar(build.buildNumber));
    case id::BuildInfoBuildDate:
        return Variant(Scalar(build.buildDate));
    case id::ServerStatusSecondsTillShutdown:
        return Variant(Scalar(std::uint32_t { 0 }));
    case id::ServerStatusShutdownReason:
        return Variant(Scalar(LocalizedText {}));
    case id::ServiceLevel:
        return Variant(Scalar(std::uint8_t { 255 })); // the best service this server can give
    case id::Auditing:
        return Variant(Scalar(false));
    case id::ServerProfileArray:
        return StringArray({ kServerProfile });
    case id::LocaleIdArray:
        return StringArray({ "en" });
    case id::MinSupportedSampleRate:
        return Variant(Scalar(limits.minSamplingIntervalMs));
    case id::MaxBrowseContinuationPoints:
        return Variant(
            Scalar(static_cast<std::uint16_t>(std::min<std::size_t>(limits.maxBrowseContinuationPoints, 0xFFFF))));
    case id::MaxQueryContinuationPoints:
    case id::MaxHistoryContinuationPoints:
        return Variant(Scalar(std::uint16_t { 0 }));
    case id::MaxArrayLength:
        return count(limits.maxArrayLength);
    case id::MaxStringLength:
    case id::MaxByteStringLength:
        return count(limits.maxStringLength);
    case id::MaxNodesPerRead:
        return count(limits.maxNodesPerRead);
    case id::MaxNodesPerWrite:
        return count(limits.maxNodesPerWrite);
    case id::MaxNodesPerMethodCall:
        return count(limits.maxNodesPerMethodCall);
    case id::MaxNodesPerBrowse:
        return count(limits.maxNodesPerBrowse);
    case id::MaxNodesPerRegisterNodes:
        return count(limits.maxNodesPerRegisterNodes);
    case id::MaxNodesPerTranslateBrowsePathsToNodeIds:
        return count(limits.maxNodesPerTranslateBrowsePaths);
    case id::MaxMonitoredItemsPerCall:
        return count(limits.maxMonitoredItemsPerCall);
    case id::MaxSessions:
        return count(limits.maxSessions);
    case id::MaxSubscriptions:
        return count(limits.maxSessions * limits.maxSubscriptionsPerSession);
    case id::MaxSubscriptionsPerSession:
        return count(limits.maxSubscriptionsPerSession);
    case id::MaxMonitoredItems:
    case id::MaxMonitoredItemsPerSubscription:
        return count(limits.maxMonitoredItems);
    case id::MaxMonitoredItemsQueueSize:
        return count(limits.maxQueueSize);
    case id::RedundancySupport:
        return Variant(Scalar(std::int32_t { 0 })); // None
    default: // the history and node management limits, and the filter clause limits: none offered
        return count(0);
    }
}

} // namespace tavrel::opcua
