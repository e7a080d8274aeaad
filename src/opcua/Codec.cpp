#include "opcua/Codec.h"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>

namespace tavrel::opcua {

namespace {

// NodeId encoding bytes and the flags an ExpandedNodeId adds to them.
constexpr std::uint8_t kTwoByte = 0x00, kFourByte = 0x01, kNumeric = 0x02, kString = 0x03, kGuid = 0x04,
                       kByteString = 0x05;
constexpr std::uint8_t kNamespaceUriFlag = 0x80, kServerIndexFlag = 0x40;

// The mask of a LocalizedText's encoding.
constexpr std::uint8_t kLocaleBit = 0x01, kTextBit = 0x02;
constexpr std::uint32_t kNullLength = 0xFFFFFFFFU;

void EncodeNodeIdWithFlags(Encoder& e, const NodeId& id, std::uint8_t flags)
{
    if (const auto* number = std::get_if<std::uint32_t>(&id.identifier)) {
        if (id.namespaceIndex == 0 && *number <= 0xFF) {
            e.Byte(kTwoByte | flags);
            e.Byte(static_cast<std::uint8_t>(*number));
        } else if (id.namespaceIndex <= 0xFF && *number <= 0xFFFF) {
            e.Byte(kFourByte | flags);
            e.Byte(static_cast<std::uint8_t>(id.namespaceIndex));
            e.UInt16(static_cast<std::uint16_t>(*number));
        } else {
            e.Byte(kNumeric | flags);
            e.UInt16(id.namespaceIndex);
            e.UInt32(*number);
        }
        return;
    }
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string>) {
                e.Byte(kString | flags);
            } else if constexpr (std::is_same_v<T, Guid>) {
                e.Byte(kGuid | flags);
            } else if constexpr (std::is_same_v<T, ByteString>) {
                e.Byte(kByteString | flags);
            }
            if constexpr (!std::is_same_v<T, std::uint32_t>) {
                e.UInt16(id.namespaceIndex);
                Encode(e, value);
            }
        },
        id.identifier);
}

// Reads a NodeId after its encoding byte (flags already stripped).
void DecodeNodeIdBody(Decoder& d, std::uint8_t encoding, NodeId& id)
{
    switch (encoding) {
    case kTwoByte:
        id = NodeId(0, std::uint32_t { d.Byte() });
        return;
    case kFourByte: {
        const std::uint8_t ns = d.Byte();
        id = NodeId(ns, std::uint32_t { d.UInt16() });
        return;
    }
    case kNumeric: {
        const std::uint16_t ns = d.UInt16();
        id = NodeId(ns, d.UInt32());
        return;
    }
    case kString: {
        id.namespaceIndex = d.UInt16();
        std::string text;
        Decode(d, text);
        id.identifier = std::move(text);
        return;
    }
    case kGuid: {
        id.namespaceIndex = d.UInt16();
        Guid guid;
        Decode(d, guid);
        id.identifier = guid;
        return;
    }
    case kByteString: {
        id.namespaceIndex = d.UInt16();
        ByteString bytes;
        Decode(d, bytes);
        id.identifier = std::move(bytes);
        return;
    }
    default:
        d.Fail(status::kBadDecodingError, "unknown NodeId encoding " + std::to_string(encoding));
    }
}

} // namespace

// ---- Encoder and Decoder ----

void Encoder::UInt16(std::uint16_t value)
{
    m_out.push_back(static_cast<std::uint8_t>(value));
    m_out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Encoder::UInt32(std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        m_out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void Encoder::UInt64(std::uint64_t value)
{
    for (int shift = 0; shift < 64; shift += 8) {
        m_out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void Encoder::Bytes(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    m_out.insert(m_out.end(), bytes, bytes + size);
}

void Encoder::PatchUInt32(std::size_t offset, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i) {
        m_out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

void Decoder::Fail(std::uint32_t statusCode, std::string reason)
{
    if (Ok()) {
        m_status = statusCode;
        m_reason = std::move(reason);
    }
    m_position = m_in.size();
}

std::span<const std::uint8_t> Decoder::Bytes(std::size_t size)
{
    if (!Ok()) {
        return {};
    }
    if (size > Remaining()) {
        Fail(status::kBadDecodingError,
             "message ends " + std::to_string(size - Remaining()) + " bytes early at offset "
                 + std::to_string(m_position));
        return {};
    }
    const auto bytes = m_in.subspan(m_position, size);
    m_position += size;
    return bytes;
}

std::uint8_t Decoder::Byte()
{
    const auto bytes = Bytes(1);
    return bytes.empty() ? 0 : bytes[0];
}

std::uint16_t Decoder::UInt16()
{
    const auto bytes = Bytes(2);
    return bytes.empty() ? 0 : static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t Decoder::UInt32()
{
    const auto bytes = Bytes(4);
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        value |= std::uint32_t { bytes[i] } << (8 * i);
    }
    return value;
}

std::uint64_t Decoder::UInt64()
{
    const auto bytes = Bytes(8);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        value |= std::uint64_t { bytes[i] } << (8 * i);
    }
    return value;
}

std::size_t Decoder::ArrayLength(std::size_t minElementSize)
{
    const std::uint32_t raw = UInt32();
    if (!Ok() || raw == kNullLength) {
        return 0;
    }
    if (raw > std::uint32_t { std::numeric_limits<std::int32_t>::max() }) {
        Fail(status::kBadDecodingError, "negative array length " + std::to_string(static_cast<std::int32_t>(raw)));
        return 0;
    }
    if (raw > m_limits.maxArrayLength) {
        Fail(status::kBadEncodingLimitsExceeded,
             "array of " + std::to_string(raw) + " elements, more than " + std::to_string(m_limits.maxArrayLength));
        return 0;
    }
    if (std::size_t { raw } * minElementSize > Remaining()) {
        Fail(status::kBadDecodingError,
             "array of " + std::to_string(raw) + " elements in " + std::to_string(Remaining()) + " bytes");
        return 0;
    }
    return raw;
}

std::size_t Decoder::StringLength()
{
    const std::uint32_t raw = UInt32();
    if (!Ok() || raw == kNullLength) {
        return 0;
    }
    if (raw > std::uint32_t { std::numeric_limits<std::int32_t>::max() }) {
        Fail(status::kBadDecodingError, "negative string length " + std::to_string(static_cast<std::int32_t>(raw)));
        return 0;
    }
    if (raw > m_limits.maxStringLength) {
        Fail(status::kBadEncodingLimitsExceeded,
             "string of " + std::to_string(raw) + " bytes, more than " + std::to_string(m_limits.maxStringLength));
        return 0;
    }
    return raw;
}

bool Decoder::Enter()
{
    if (++m_depth > m_limits.maxDepth) {
        Fail(status::kBadEncodingLimitsExceeded, "nested deeper than " + std::to_string(m_limits.maxDepth));
        --m_depth;
        return false;
    }
    return true;
}

// ---- Numbers ----

void Encode(Encoder& e, bool value)
{
    e.Byte(value ? 1 : 0);
}
void Encode(Encoder& e, std::int8_t value)
{
    e.Byte(static_cast<std::uint8_t>(value));
}
void Encode(Encoder& e, std::uint8_t value)
{
    e.Byte(value);
}
void Encode(Encoder& e, std::int16_t value)
{
    e.UInt16(static_cast<std::uint16_t>(value));
}
void Encode(Encoder& e, std::uint16_t value)
{
    e.UInt16(value);
}
void Encode(Encoder& e, std::int32_t value)
{
    e.UInt32(static_cast<std::uint32_t>(value));
}
void Encode(Encoder& e, std::uint32_t value)
{
    e.UInt32(value);
}
void Encode(Encoder& e, std::int64_t value)
{
    e.UInt64(static_cast<std::uint64_t>(value));
}
void Encode(Encoder& e, std::uint64_t value)
{
    e.UInt64(value);
}
void Encode(Encoder& e, float value)
{
    e.UInt32(std::bit_cast<std::uint32_t>(value));
}
void Encode(Encoder& e, double value)
{
    e.UInt64(std::bit_cast<std::uint64_t>(value));
}

void Decode(Decoder& d, bool& value)
{
    value = d.Byte() != 0;
}
void Decode(Decoder& d, std::int8_t& value)
{
    value = static_cast<std::int8_t>(d.Byte());
}
void Decode(Decoder& d, std::uint8_t& value)
{
    value = d.Byte();
}
void Decode(Decoder& d, std::int16_t& value)
{
    value = static_cast<std::int16_t>(d.UInt16());
}
void Decode(Decoder& d, std::uint16_t& value)
{
    value = d.UInt16();
}
void Decode(Decoder& d, std::int32_t& value)
{
    value = static_cast<std::int32_t>(d.UInt32());
}
void Decode(Decoder& d, std::uint32_t& value)
{
    value = d.UInt32();
}
void Decode(Decoder& d, std::int64_t& value)
{
    value = static_cast<std::int64_t>(d.UInt64());
}
void Decode(Decoder& d, std::uint64_t& value)
{
    value = d.UInt64();
}
void Decode(Decoder& d, float& value)
{
    value = std::bit_cast<float>(d.UInt32());
}
void Decode(Decoder& d, double& value)
{
    value = std::bit_cast<double>(d.UInt64());
}

// ---- Strings and small structures ----

void Encode(Encoder& e, const std::string& value)
{
    e.Length(value.size());
    e.Bytes(value.data(), value.size());
}

void Decode(Decoder& d, std::string& value)
{
    const auto bytes = d.Bytes(d.StringLength());
    value.assign(bytes.begin(), bytes.end());
}

void Encode(Encoder& e, const ByteString& value)
{
    if (value.bytes.empty()) {
        e.UInt32(kNullLength);
        return;
    }
    Encode(e, value.bytes);
}

void Decode(Decoder& d, ByteString& value)
{
    Decode(d, value.bytes);
}
void Encode(Encoder& e, const XmlElement& value)
{
    Encode(e, value.text);
}
void Decode(Decoder& d, XmlElement& value)
{
    Decode(d, value.text);
}
void Encode(Encoder& e, const DateTime& value)
{
    Encode(e, value.ticks);
}
void Decode(Decoder& d, DateTime& value)
{
    Decode(d, value.ticks);
}
void Encode(Encoder& e, const StatusCode& value)
{
    e.UInt32(value.code);
}
void Decode(Decoder& d, StatusCode& value)
{
    value.code = d.UInt32();
}

void Encode(Encoder& e, const Guid& value)
{
    e.UInt32(value.data1);
    e.UInt16(value.data2);
    e.UInt16(value.data3);
    e.Bytes(value.data4.data(), value.data4.size());
}

void Decode(Decoder& d, Guid& value)
{
    value.data1 = d.UInt32();
    value.data2 = d.UInt16();
    value.data3 = d.UInt16();
    const auto bytes = d.Bytes(value.data4.size());
    if (!bytes.empty()) {
        std::memcpy(value.data4.data(), bytes.data(), value.data4.size());
    }
}

void Encode(Encoder& e, const NodeId& value)
{
    EncodeNodeIdWithFlags(e, value, 0);
}

void Decode(Decoder& d, NodeId& value)
{
    const std::uint8_t encoding = d.Byte();
    if ((encoding & (kNamespaceUriFlag | kServerIndexFlag)) != 0) {
        d.Fail(status::kBadDecodingError, "NodeId with the flags of an ExpandedNodeId");
        return;
    }
    DecodeNodeIdBody(d, encoding, value);
}

void Encode(Encoder& e, const ExpandedNodeId& value)
{
    const std::uint8_t flags = static_cast<std::uint8_t>((value.namespaceUri.empty() ? 0 : kNamespaceUriFlag)
                                                         | (value.serverIndex == 0 ? 0 : kServerIndexFlag));
    EncodeNodeIdWithFlags(e, value.nodeId, flags);
    if (!value.namespaceUri.empty()) {
        Encode(e, value.namespaceUri);
    }
    if (value.serverIndex != 0) {
        e.UInt32(value.serverIndex);
    }
}

void Decode(Decoder& d, ExpandedNodeId& value)
{
    const std::uint8_t encoding = d.Byte();
    DecodeNodeIdBody(d, encoding & 0x3F, value.nodeId);
    if ((encoding & kNamespaceUriFlag) != 0) {
        Decode(d, value.namespaceUri);
    }
    if ((encoding & kServerIndexFlag) != 0) {
        value.serverIndex = d.UInt32();
    }
}

void Encode(Encoder& e, const QualifiedName& value)
{
    e.UInt16(value.namespaceIndex);
    Encode(e, value.name);
}

void Decode(Decoder& d, QualifiedName& value)
{
    value.namespaceIndex = d.UInt16();
    Decode(d, value.name);
}

void Encode(Encoder& e, const LocalizedText& value)
{
    e.Byte(static_cast<std::uint8_t>((value.locale.empty() ? 0 : kLocaleBit) | (value.text.empty() ? 0 : kTextBit)));
    if (!value.locale.empty()) {
        Encode(e, value.locale);
    }
    if (!value.text.empty()) {
        Encode(e, value.text);
    }
}

void Decode(Decoder& d, LocalizedText& value)
{
    const std::uint8_t mask = d.Byte();
    if ((mask & ~(kLocaleBit | kTextBit)) != 0) {
        d.Fail(status::kBadDecodingError, "LocalizedText with unknown mask bits");
        return;
    }
    if ((mask & kLocaleBit) != 0) {
        Decode(d, value.locale);
    }
    if ((mask & kTextBit) != 0) {
        Decode(d, value.text);
    }
}

void Encode(Encoder& e, const ExtensionObject& value)
{
    Encode(e, value.typeId);
    e.Byte(static_cast<std::uint8_t>(value.encoding));
    if (value.encoding != ExtensionObject::Encoding::None) {
        Encode(e, value.body); // as a ByteString or XmlElement: both are length and bytes
    }
}

void Decode(Decoder& d, ExtensionObject& value)
{
    Decode(d, value.typeId);
    const std::uint8_t encoding = d.Byte();
    if (encoding > static_cast<std::uint8_t>(ExtensionObject::Encoding::Xml)) {
        d.Fail(status::kBadDecodingError, "ExtensionObject encoding " + std::to_string(encoding));
        return;
    }
    value.encoding = static_cast<ExtensionObject::Encoding>(encoding);
    if (value.encoding != ExtensionObject::Encoding::None) {
        Decode(d, value.body);
    }
}

} // namespace tavrel::opcua
