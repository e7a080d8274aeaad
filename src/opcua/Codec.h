#pragma once

#include "opcua/Types.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace tavrel::opcua {

// UA Binary: little-endian numbers, Int32-length-prefixed strings and arrays (-1 for null), the built-in types'
// own layouts, and structures as their fields one after another. Pure: bytes in, values out, and back.

/// Appends UA Binary to a byte buffer.
class Encoder
{
public:
    explicit Encoder(std::vector<std::uint8_t>& out)
        : m_out(out)
    {
    }
    void Byte(std::uint8_t value) { m_out.push_back(value); }
    void UInt16(std::uint16_t value);
    void UInt32(std::uint32_t value);
    void UInt64(std::uint64_t value);
    /// A length prefix: -1 for null, else the count.
    void Length(std::size_t count) { UInt32(static_cast<std::uint32_t>(count)); }
    void Bytes(const void* data, std::size_t size);
    std::vector<std::uint8_t>& Out() { return m_out; }
    /// Overwrites 4 bytes at `offset` with `value` (sizes known only at the end).
    void PatchUInt32(std::size_t offset, std::uint32_t value);

private:
    std::vector<std::uint8_t>& m_out;
};

/// Bounds for what a peer may make the decoder allocate or nest.
struct DecodeLimits
{
    std::size_t maxStringLength = 1024 * 1024;
    std::size_t maxArrayLength = 100000;
    int maxDepth = 32; ///< Variants in Variants, DiagnosticInfos in DiagnosticInfos, structures in ExtensionObjects
};

/// Reads UA Binary from a byte span. After the first fault every read yields zero values and Ok() is false; the
/// first fault's status code and reason are kept.
class Decoder
{
public:
    explicit Decoder(std::span<const std::uint8_t> in, DecodeLimits limits = {})
        : m_in(in)
        , m_limits(limits)
    {
    }
    std::uint8_t Byte();
    std::uint16_t UInt16();
    std::uint32_t UInt32();
    std::uint64_t UInt64();
    /// `size` bytes, or an empty span (and a fault) when fewer remain.
    std::span<const std::uint8_t> Bytes(std::size_t size);
    /// A length prefix: -1 (null) as 0; a negative one other than -1, or one past `maxArrayLength` or past what
    /// remains at `minElementSize` bytes each, is a fault.
    std::size_t ArrayLength(std::size_t minElementSize = 1);
    /// A string's length prefix, checked against `maxStringLength` and what remains.
    std::size_t StringLength();

    bool Ok() const { return m_status == status::kGood; }
    std::uint32_t Status() const { return m_status; }
    const std::string& Reason() const { return m_reason; }
    /// Records a fault (the first one holds) and stops reading.
    void Fail(std::uint32_t statusCode, std::string reason);
    std::size_t Position() const { return m_position; }
    std::size_t Remaining() const { return m_in.size() - m_position; }
    const DecodeLimits& Limits() const { return m_limits; }
    /// Guards nesting: Enter fails past maxDepth; each Enter has its Leave.
    bool Enter();
    void Leave() { --m_depth; }

private:
    std::span<const std::uint8_t> m_in;
    DecodeLimits m_limits;
    std::size_t m_position = 0;
    int m_depth = 0;
    std::uint32_t m_status = status::kGood;
    std::string m_reason;
};

// The built-in types. Every Encode has its Decode; Decode leaves a zero value after a fault.
void Encode(Encoder& e, bool value);
void Encode(Encoder& e, std::int8_t value);
void Encode(Encoder& e, std::uint8_t value);
void Encode(Encoder& e, std::int16_t value);
void Encode(Encoder& e, std::uint16_t value);
void Encode(Encoder& e, std::int32_t value);
void Encode(Encoder& e, std::uint32_t value);
void Encode(Encoder& e, std::int64_t value);
void Encode(Encoder& e, std::uint64_t value);
void Encode(Encoder& e, float value);
void Encode(Encoder& e, double value);
void Encode(Encoder& e, const std::string& value); ///< an empty String as length 0
void Encode(Encoder& e, const DateTime& value);
void Encode(Encoder& e, const Guid& value);
void Encode(Encoder& e, const ByteString& value); ///< an empty ByteString as null (-1)
void Encode(Encoder& e, const XmlElement& value);
void Encode(Encoder& e, const NodeId& value); ///< in its most compact encoding
void Encode(Encoder& e, const ExpandedNodeId& value);
void Encode(Encoder& e, const StatusCode& value);
void Encode(Encoder& e, const QualifiedName& value);
void Encode(Encoder& e, const LocalizedText& value);
void Encode(Encoder& e, const ExtensionObject& value);
void Encode(Encoder& e, const DataValue& value);
void Encode(Encoder& e, const Variant& value);
void Encode(Encoder& e, const DiagnosticInfo& value);

void Decode(Decoder& d, bool& value);
void Decode(Decoder& d, std::int8_t& value);
void Decode(Decoder& d, std::uint8_t& value);
void Decode(Decoder& d, std::int16_t& value);
void Decode(Decoder& d, std::uint16_t& value);
void Decode(Decoder& d, std::int32_t& value);
void Decode(Decoder& d, std::uint32_t& value);
void Decode(Decoder& d, std::int64_t& value);
void Decode(Decoder& d, std::uint64_t& value);
void Decode(Decoder& d, float& value);
void Decode(Decoder& d, double& value);
void Decode(Decoder& d, std::string& value);
void Decode(Decoder& d, DateTime& value);
void Decode(Decoder& d, Guid& value);
void Decode(Decoder& d, ByteString& value);
void Decode(Decoder& d, XmlElement& value);
void Decode(Decoder& d, NodeId& value);
void Decode(Decoder& d, ExpandedNodeId& value);
void Decode(Decoder& d, StatusCode& value);
void Decode(Decoder& d, QualifiedName& value);
void Decode(Decoder& d, LocalizedText& value);
void Decode(Decoder& d, ExtensionObject& value);
void Decode(Decoder& d, DataValue& value);
void Decode(Decoder& d, Variant& value);
void Decode(Decoder& d, DiagnosticInfo& value);

/// A structure lists its fields in wire order for the generic Encode and Decode below.
#define TAVREL_OPCUA_FIELDS(...)                                                                                       \
    auto Tie()                                                                                                         \
    {                                                                                                                  \
        return std::tie(__VA_ARGS__);                                                                                  \
    }                                                                                                                  \
    auto Tie() const                                                                                                   \
    {                                                                                                                  \
        return std::tie(__VA_ARGS__);                                                                                  \
    }

template<class T>
concept Structure = requires(T& t)
{
    t.Tie();
};

template<class T>
requires std::is_enum_v<T>
void Encode(Encoder& e, T value)
{
    Encode(e, static_cast<std::int32_t>(value)); // enumerations travel as Int32
}

template<class T>
requires std::is_enum_v<T>
void Decode(Decoder& d, T& value)
{
    std::int32_t raw = 0;
    Decode(d, raw);
    value = static_cast<T>(raw);
}

template<Structure T> void Encode(Encoder& e, const T& value);
template<Structure T> void Decode(Decoder& d, T& value);

template<class T> void Encode(Encoder& e, const std::vector<T>& values)
{
    e.Length(values.size());
    for (const T& value : values) {
        Encode(e, value);
    }
}

template<class T> void Decode(Decoder& d, std::vector<T>& values)
{
    const std::size_t count = d.ArrayLength();
    values.clear();
    values.reserve(count);
    for (std::size_t i = 0; i < count && d.Ok(); ++i) {
        Decode(d, values.emplace_back());
    }
}

template<Structure T> void Encode(Encoder& e, const T& value)
{
    std::apply([&e](const auto&... field) { (Encode(e, field), ...); }, value.Tie());
}

template<Structure T> void Decode(Decoder& d, T& value)
{
    if (!d.Enter()) {
        return;
    }
    std::apply([&d](auto&... field) { (Decode(d, field), ...); }, value.Tie());
    d.Leave();
}

} // namespace tavrel::opcua
