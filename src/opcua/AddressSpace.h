#pragma once

#include "opcua/Backend.h"
#include "opcua/Messages.h"
#include "opcua/Server.h"
#include "opcua/Types.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tavrel::opcua {

// The nodes the server serves: the standard ones of namespace 0 (StandardNodes) and Tavrel's own in namespace 1,
// built from the project the program pushes in. Objects/Tavrel holds the run state and the RunStop method; under it
// one object per PLC (`ns=1;s=plc/NAME`) with its diagnostics and Run/Stop methods and one variable per published
// label (`ns=1;s=lblDDE(7)`). Values are kept here as DataValues ready to send; the services read them.

/// Namespace 1, the server's own (its URI the application URI).
inline constexpr std::uint16_t kTavrelNamespace = 1;

/// One reference from a node; the reference type is always a namespace-0 node.
struct NodeReference
{
    std::uint32_t type = 0;
    bool forward = true;
    NodeId target;
};

/// The AccessLevel bit of a variable whose history can be read.
inline constexpr std::uint8_t kHistoryRead = 4;

/// Where a variable's value comes from.
enum class ValueSource : std::uint8_t {
    None, ///< no value (an event field's declaration): reads as an empty Variant
    Fixed, ///< Node::fixedValue
    Item, ///< the item of label Node::label
    Run, ///< a variable of Objects/Tavrel: Node::field
    Plc, ///< a diagnostic variable of PLC Node::plc: Node::field
    Server ///< a standard variable of the Server object, computed when read: Node::id's number
};

/// A node with the attributes of its class; what a class lacks stays at its default.
struct Node
{
    NodeId id;
    NodeClass nodeClass = NodeClass::Object;
    QualifiedName browseName;
    LocalizedText displayName;
    LocalizedText description;
    std::vector<NodeReference> references;
    // Variables and variable types
    std::uint32_t dataType = 0; ///< a namespace-0 data type
    std::int32_t valueRank = -1;
    std::uint8_t accessLevel = 1; ///< CurrentRead (1), CurrentWrite (2), HistoryRead (4)
    double minimumSamplingInterval = 0;
    ValueSource source = ValueSource::None;
    std::int32_t label = 0; ///< ValueSource::Item
    std::uint32_t field = 0; ///< ValueSource::Run and Plc: which variable
    std::string plc; ///< ValueSource::Plc, and the methods of a PLC
    Variant fixedValue; ///< ValueSource::Fixed
    // Types
    bool isAbstract = false;
    bool symmetric = false;
    LocalizedText inverseName;
    // Objects
    std::uint8_t eventNotifier = 0;
    // Methods
    std::string command; ///< the execute command the method carries out ("Tavrel_RUN/STOP", "Line_1_RUN")
};

/// The variables of Objects/Tavrel and of a PLC object, as Node::field names them.
enum class RunField : std::uint32_t { Running, PassCount, PassMs };
enum class PlcField : std::uint32_t { Connected, Answered, LastError, Errors, PassMs };

/// The status code of a value of that quality.
std::uint32_t StatusOf(ValueQuality quality);
/// An item's value as a DataValue of its kind: the number (or text) of `sample`, its status and source time.
DataValue ItemDataValue(ValueKind kind, const ItemSample& sample);
/// The namespace-0 data type of a value kind.
std::uint32_t DataTypeOf(ValueKind kind);

class AddressSpace
{
public:
    /// The standard nodes, Objects/Tavrel without PLCs, and the Server object's values from `config`.
    AddressSpace(const ServerConfig& config, std::int64_t startMs);

    /// The node of that id, or null.
    const Node* Find(const NodeId& id) const;

    /// Replaces the PLCs and items; returns what changed, as a GeneralModelChangeEvent lists it (empty: nothing).
    std::vector<ModelChangeStructureDataType> SetProject(const std::vector<PlcNode>& plcs,
                                                         const std::vector<ItemNode>& items);
    void SetRun(const RunNode& run);
    /// The diagnostics of the PLC of that name; false when there is none.
    bool SetPlc(const PlcNode& plc);
    /// Stores each sample's value; samples of labels that are no item are ignored.
    void SetValues(std::span<const ItemSample> samples);

    /// The current value of item `label` (no server timestamp), or null when it is no item.
    const DataValue* ItemValue(std::int32_t label) const;
    /// The item published under `label`, or null.
    const ItemNode* Item(std::int32_t label) const;
    /// The value of a variable node at `nowMs`, without timestamps for other than item values.
    DataValue VariableValue(const Node& node, std::int64_t nowMs) const;

    /// True when reference type `type` is `ancestor` or one of its subtypes (namespace-0 numbers).
    bool IsSubtype(std::uint32_t type, std::uint32_t ancestor) const;
    /// The target of the node's HasTypeDefinition reference, or a null NodeId.
    NodeId TypeDefinition(const Node& node) const;

    const ServerConfig& Config() const { return m_config; }
    std::int64_t StartMs() const { return m_startMs; }

private:
    struct ItemEntry
    {
        ItemNode node;
        DataValue value;
    };

    Node& Add(Node node);
    void RemoveNodes(const std::unordered_set<NodeId>& ids);
    void Link(const NodeId& source, std::uint32_t type, const NodeId& target);
    void AddStandardNodes();
    void AddTavrelNodes();
    void AddPlc(const PlcNode& plc);
    void RemovePlc(const std::string& name, std::unordered_set<NodeId>& ids);
    void AddItem(const ItemNode& item);
    void RemoveItem(std::int32_t label, std::unordered_set<NodeId>& ids);
    Variant ServerValue(std::uint32_t id, std::int64_t nowMs) const;

    ServerConfig m_config;
    std::int64_t m_startMs;
    std::unordered_map<NodeId, Node> m_nodes;
    std::unordered_map<std::uint32_t, std::uint32_t> m_superTypes; ///< namespace-0 type -> its super type
    std::unordered_map<std::int32_t, ItemEntry> m_items;
    std::unordered_map<std::string, PlcNode> m_plcs;
    RunNode m_run;
};

/// `ns=1;s=plc/NAME`, the object of a PLC.
NodeId PlcNodeId(const std::string& plc);
/// `ns=1;s=lblDDE(7)`, the variable of an item.
NodeId ItemNodeId(std::int32_t label);

} // namespace tavrel::opcua
