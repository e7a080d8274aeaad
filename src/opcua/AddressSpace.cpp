#include "opcua/AddressSpace.h"

#include "common/LinkProtocol.h"
#include "opcua/StandardNodes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_set>

namespace tavrel::opcua {

namespace {

namespace id = standard::id;

// The units' namespace of EUInformation when no UNECE code is known (unitId -1).
constexpr const char* kUnitsNamespace = "http://www.opcfoundation.org/UA/units/un/cefact";
constexpr std::uint8_t kCurrentRead = 1, kCurrentWrite = 2;

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

void AddressSpace::RemoveNodes(const std::unordered_set<NodeId>& ids)
{
    // Each neighbour loses its references to the nodes at once: one pass over a PLC of many items, not one per item.
    std::unordered_set<NodeId> neighbours;
    for (const NodeId& nodeId : ids) {
        const auto it = m_nodes.find(nodeId);
        if (it == m_nodes.end()) {
            continue;
        }
        for (const NodeReference& reference : it->second.references) {
            if (!ids.contains(reference.target)) {
                neighbours.insert(reference.target);
            }
        }
    }
    for (const NodeId& neighbour : neighbours) {
        const auto it = m_nodes.find(neighbour);
        if (it != m_nodes.end()) {
            std::erase_if(it->second.references, [&](const NodeReference& r) { return ids.contains(r.target); });
        }
    }
    for (const NodeId& nodeId : ids) {
        m_nodes.erase(nodeId);
    }
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

void AddressSpace::RemovePlc(const std::string& name, std::unordered_set<NodeId>& ids)
{
    const std::string prefix = "plc/" + name + "/";
    for (const char* child : { "Connected", "Answered", "LastError", "Errors", "PassMs", "Run", "Stop" }) {
        ids.insert(Tavrel(prefix + child));
    }
    ids.insert(PlcNodeId(name));
    m_plcs.erase(name);
}

void AddressSpace::AddItem(const ItemNode& item)
{
    const NodeId itemId = ItemNodeId(item.index);
    Node node = Variable(itemId, protocol::LabelName(item.index), DataTypeOf(item.kind), ValueSource::Item);
    if (!item.displayName.empty()) {
        node.displayName = { "", item.displayName };
    }
    node.description = { "", item.description };
    node.label = item.index;
    node.accessLevel = item.writable ? kCurrentRead | kCurrentWrite : kCurrentRead;
    if (item.historizing) {
        node.accessLevel |= kHistoryRead;
    }
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

void AddressSpace::RemoveItem(std::int32_t label, std::unordered_set<NodeId>& ids)
{
    ids.insert(Tavrel(protocol::LabelName(label) + "/EngineeringUnits"));
    ids.insert(ItemNodeId(label));
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
    std::unordered_set<NodeId> removed;
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
        RemoveItem(label, removed);
    }
    std::vector<std::string> plcsGone;
    for (const auto& [name, plc] : m_plcs) {
        if (!newPlcs.contains(name)) {
            plcsGone.push_back(name);
        }
    }
    for (const std::string& name : plcsGone) {
        RemovePlc(name, removed);
        changes.push_back(
            { PlcNodeId(name), Standard(id::BaseObjectType), ModelChangeStructureDataType::kNodeDeleted });
    }
    RemoveNodes(removed);
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

} // namespace tavrel::opcua
