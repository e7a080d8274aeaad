#pragma once

#include "opcua/StatusCodes.h"

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tavrel::opcua {

// The built-in types of UA Binary as plain values. Strings hold UTF-8; a null String or ByteString reads as empty.

/// Milliseconds since 1970 as UA DateTime: 100-ns ticks since 1601-01-01 UTC.
struct DateTime
{
    std::int64_t ticks = 0; ///< 0: no time
    static constexpr std::int64_t kTicksTo1970 = 116444736000000000LL;
    static DateTime FromUnixMs(std::int64_t ms) { return { ms == 0 ? 0 : ms * 10000 + kTicksTo1970 }; }
    std::int64_t ToUnixMs() const { return ticks == 0 ? 0 : (ticks - kTicksTo1970) / 10000; }
    auto operator<=>(const DateTime&) const = default;
};

/// A status code: its top two bits say good, uncertain or bad.
struct StatusCode
{
    std::uint32_t code = status::kGood;
    bool IsGood() const { return (code & 0xC0000000U) == 0; }
    bool IsBad() const { return (code & 0x80000000U) != 0; }
    auto operator<=>(const StatusCode&) const = default;
};

struct Guid
{
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::array<std::uint8_t, 8> data4 {};
    auto operator<=>(const Guid&) const = default;
};

/// Bytes that are not text (nonces, certificates, opaque identifiers).
struct ByteString
{
    std::string bytes;
    auto operator<=>(const ByteString&) const = default;
};

struct XmlElement
{
    std::string text;
    auto operator<=>(const XmlElement&) const = default;
};

/// A node's identifier in a namespace: a number, a string, a Guid or opaque bytes.
struct NodeId
{
    std::uint16_t namespaceIndex = 0;
    std::variant<std::uint32_t, std::string, Guid, ByteString> identifier = std::uint32_t { 0 };

    NodeId() = default;
    NodeId(std::uint16_t ns, std::uint32_t numeric)
        : namespaceIndex(ns)
        , identifier(numeric)
    {
    }
    NodeId(std::uint16_t ns, std::string text)
        : namespaceIndex(ns)
        , identifier(std::move(text))
    {
    }
    NodeId(std::uint16_t ns, Guid guid)
        : namespaceIndex(ns)
        , identifier(guid)
    {
    }
    NodeId(std::uint16_t ns, ByteString bytes)
        : namespaceIndex(ns)
        , identifier(std::move(bytes))
    {
    }
    /// True for ns=0;i=0, the null NodeId.
    bool IsNull() const;
    /// The number of a numeric NodeId in namespace 0, else 0.
    std::uint32_t StandardNumber() const;
    /// The text form: "i=85", "ns=1;s=lblDDE(7)", "ns=1;g=…", "ns=1;b=…" (hex).
    std::string ToString() const;
    auto operator<=>(const NodeId&) const = default;
};

/// A NodeId that may name its namespace by URI and live on another server.
struct ExpandedNodeId
{
    NodeId nodeId;
    std::string namespaceUri; ///< empty: nodeId's namespace index holds
    std::uint32_t serverIndex = 0;
    auto operator<=>(const ExpandedNodeId&) const = default;
};

struct QualifiedName
{
    std::uint16_t namespaceIndex = 0;
    std::string name;
    auto operator<=>(const QualifiedName&) const = default;
};

/// A text for people, with its locale; an empty field is left out on the wire.
struct LocalizedText
{
    std::string locale;
    std::string text;
    auto operator<=>(const LocalizedText&) const = default;
};

/// A structure in its encoded form: the NodeId of its binary encoding and its body bytes. Messages.h has
/// helpers that encode a structure into one and decode it back.
struct ExtensionObject
{
    enum class Encoding : std::uint8_t { None = 0, Binary = 1, Xml = 2 };
    NodeId typeId; ///< the encoding's NodeId (e.g. i=724 for DataChangeFilter); null with Encoding::None
    Encoding encoding = Encoding::None;
    std::string body; ///< the encoded structure (or XML text)
    bool IsNull() const { return encoding == Encoding::None && typeId.IsNull(); }
    auto operator<=>(const ExtensionObject&) const = default;
};

/// A copyable owner of a value of a type that contains itself (Variant in Variant, DataValue in Variant).
template<class T> class Boxed
{
public:
    Boxed()
        : m_value(std::make_unique<T>())
    {
    }
    Boxed(T value)
        : m_value(std::make_unique<T>(std::move(value)))
    {
    }
    Boxed(const Boxed& other)
        : m_value(std::make_unique<T>(*other.m_value))
    {
    }
    Boxed(Boxed&&) noexcept = default;
    Boxed& operator=(const Boxed& other)
    {
        m_value = std::make_unique<T>(*other.m_value);
        return *this;
    }
    Boxed& operator=(Boxed&&) noexcept = default;
    ~Boxed() = default;
    T& operator*() { return *m_value; }
    const T& operator*() const { return *m_value; }
    T* operator->() { return m_value.get(); }
    const T* operator->() const { return m_value.get(); }
    bool operator==(const Boxed& other) const { return *m_value == *other.m_value; }

private:
    std::unique_ptr<T> m_value;
};

struct DataValue;
struct Variant;

/// Extra diagnostics of an operation; every field optional, an inner one nested.
struct DiagnosticInfo
{
    std::optional<std::int32_t> symbolicId;
    std::optional<std::int32_t> namespaceUri;
    std::optional<std::int32_t> locale;
    std::optional<std::int32_t> localizedText;
    std::optional<std::string> additionalInfo;
    std::optional<StatusCode> innerStatusCode;
    std::optional<Boxed<DiagnosticInfo>> innerDiagnosticInfo;
    bool operator==(const DiagnosticInfo&) const = default;
};

/// The built-in types by their UA Binary type id, as a Variant's encoding byte carries them.
enum class BuiltinType : std::uint8_t {
    Null = 0,
    Boolean = 1,
    SByte = 2,
    Byte = 3,
    Int16 = 4,
    UInt16 = 5,
    Int32 = 6,
    UInt32 = 7,
    Int64 = 8,
    UInt64 = 9,
    Float = 10,
    Double = 11,
    String = 12,
    DateTime = 13,
    Guid = 14,
    ByteString = 15,
    XmlElement = 16,
    NodeId = 17,
    ExpandedNodeId = 18,
    StatusCode = 19,
    QualifiedName = 20,
    LocalizedText = 21,
    ExtensionObject = 22,
    DataValue = 23,
    Variant = 24,
    DiagnosticInfo = 25
};

/// One value of any built-in type; the alternative's index is its BuiltinType.
using Scalar = std::variant<std::monostate, bool, std::int8_t, std::uint8_t, std::int16_t, std::uint16_t, std::int32_t,
                            std::uint32_t, std::int64_t, std::uint64_t, float, double, std::string, DateTime, Guid,
                            ByteString, XmlElement, NodeId, ExpandedNodeId, StatusCode, QualifiedName, LocalizedText,
                            ExtensionObject, Boxed<DataValue>, Boxed<Variant>, DiagnosticInfo>;

/// A value of any built-in type, a scalar or an array (with dimensions for a matrix).
struct Variant
{
    Scalar value; ///< the scalar, when not an array
    bool isArray = false;
    BuiltinType arrayType = BuiltinType::Null; ///< the elements' type, when an array
    std::vector<Scalar> array; ///< the elements, each of arrayType
    std::vector<std::int32_t> dimensions; ///< for a matrix: the length of each dimension

    Variant() = default;
    Variant(Scalar scalar)
        : value(std::move(scalar))
    {
    }
    /// An array of `type`; each element must be of that type.
    static Variant Array(BuiltinType type, std::vector<Scalar> elements);
    /// The type of the scalar or of the array's elements.
    BuiltinType Type() const { return isArray ? arrayType : static_cast<BuiltinType>(value.index()); }
    bool IsEmpty() const { return !isArray && value.index() == 0; }
    bool operator==(const Variant&) const = default;
};

/// A value with its status and timestamps; the fields left out on the wire are the empty optionals.
struct DataValue
{
    std::optional<Variant> value;
    std::optional<StatusCode> status; ///< none: Good
    std::optional<DateTime> sourceTimestamp;
    std::optional<std::uint16_t> sourcePicoseconds;
    std::optional<DateTime> serverTimestamp;
    std::optional<std::uint16_t> serverPicoseconds;
    bool operator==(const DataValue&) const = default;
};

/// The attributes of a node, by their ids.
enum class AttributeId : std::uint32_t {
    NodeId = 1,
    NodeClass = 2,
    BrowseName = 3,
    DisplayName = 4,
    Description = 5,
    WriteMask = 6,
    UserWriteMask = 7,
    IsAbstract = 8,
    Symmetric = 9,
    InverseName = 10,
    ContainsNoLoops = 11,
    EventNotifier = 12,
    Value = 13,
    DataType = 14,
    ValueRank = 15,
    ArrayDimensions = 16,
    AccessLevel = 17,
    UserAccessLevel = 18,
    MinimumSamplingInterval = 19,
    Historizing = 20,
    Executable = 21,
    UserExecutable = 22,
    DataTypeDefinition = 23,
    RolePermissions = 24,
    UserRolePermissions = 25,
    AccessRestrictions = 26,
    AccessLevelEx = 27
};

enum class NodeClass : std::int32_t {
    Unspecified = 0,
    Object = 1,
    Variable = 2,
    Method = 4,
    ObjectType = 8,
    VariableType = 16,
    ReferenceType = 32,
    DataType = 64,
    View = 128
};

} // namespace tavrel::opcua

template<> struct std::hash<tavrel::opcua::NodeId>
{
    std::size_t operator()(const tavrel::opcua::NodeId& id) const noexcept;
};
