#include "opcua/Codec.h"

#include <limits>
#include <utility>

// The built-in types that nest: DataValue, Variant (scalars, arrays and matrices of every built-in type) and
// DiagnosticInfo, each guarded against nesting past the decoder's depth limit.

namespace tavrel::opcua {

namespace {

// The masks of the DataValue, DiagnosticInfo and Variant encodings.
constexpr std::uint8_t kValueBit = 0x01, kStatusBit = 0x02, kSourceTimeBit = 0x04, kServerTimeBit = 0x08,
                       kSourcePicoBit = 0x10, kServerPicoBit = 0x20;
constexpr std::uint8_t kSymbolicIdBit = 0x01, kNamespaceUriBit = 0x02, kLocalizedTextBit = 0x04, kLocaleInfoBit = 0x08,
                       kAdditionalInfoBit = 0x10, kInnerStatusBit = 0x20, kInnerInfoBit = 0x40;
constexpr std::uint8_t kArrayBit = 0x80, kDimensionsBit = 0x40, kTypeMask = 0x3F;

void EncodeScalar(Encoder& e, const Scalar& value)
{
    std::visit(
        [&e](const auto& held) {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                // Null carries no body.
            } else if constexpr (std::is_same_v<T, Boxed<DataValue>> || std::is_same_v<T, Boxed<Variant>>) {
                Encode(e, *held);
            } else {
                Encode(e, held);
            }
        },
        value);
}

template<std::size_t I> void DecodeAlternative(Decoder& d, Scalar& value)
{
    using T = std::variant_alternative_t<I, Scalar>;
    if constexpr (std::is_same_v<T, std::monostate>) {
        value = std::monostate {};
    } else if constexpr (std::is_same_v<T, Boxed<DataValue>>) {
        DataValue inner;
        Decode(d, inner);
        value = Boxed<DataValue>(std::move(inner));
    } else if constexpr (std::is_same_v<T, Boxed<Variant>>) {
        Variant inner;
        Decode(d, inner);
        value = Boxed<Variant>(std::move(inner));
    } else {
        T inner {};
        Decode(d, inner);
        value = std::move(inner);
    }
}

template<std::size_t... I> void DecodeScalarOf(Decoder& d, std::size_t type, Scalar& value, std::index_sequence<I...>)
{
    ((type == I ? DecodeAlternative<I>(d, value) : void()), ...);
}

void DecodeScalar(Decoder& d, BuiltinType type, Scalar& value)
{
    DecodeScalarOf(d, static_cast<std::size_t>(type), value, std::make_index_sequence<std::variant_size_v<Scalar>> {});
}

// The fewest bytes an element of `type` takes, so a length prefix cannot make us reserve more than remains.
std::size_t MinimumSize(BuiltinType type)
{
    switch (type) {
    case BuiltinType::Int16:
    case BuiltinType::UInt16:
        return 2;
    case BuiltinType::Int32:
    case BuiltinType::UInt32:
    case BuiltinType::Float:
    case BuiltinType::StatusCode:
    case BuiltinType::String:
    case BuiltinType::ByteString:
    case BuiltinType::XmlElement:
        return 4;
    case BuiltinType::Int64:
    case BuiltinType::UInt64:
    case BuiltinType::Double:
    case BuiltinType::DateTime:
        return 8;
    case BuiltinType::Guid:
        return 16;
    default:
        return 1;
    }
}

} // namespace

// ---- DataValue, Variant, DiagnosticInfo ----

void Encode(Encoder& e, const DataValue& value)
{
    const auto bit = [](bool present, std::uint8_t mask) { return present ? mask : std::uint8_t { 0 }; };
    e.Byte(static_cast<std::uint8_t>(bit(value.value.has_value(), kValueBit) | bit(value.status.has_value(), kStatusBit)
                                     | bit(value.sourceTimestamp.has_value(), kSourceTimeBit)
                                     | bit(value.serverTimestamp.has_value(), kServerTimeBit)
                                     | bit(value.sourcePicoseconds.has_value(), kSourcePicoBit)
                                     | bit(value.serverPicoseconds.has_value(), kServerPicoBit)));
    if (value.value) {
        Encode(e, *value.value);
    }
    if (value.status) {
        Encode(e, *value.status);
    }
    if (value.sourceTimestamp) {
        Encode(e, *value.sourceTimestamp);
    }
    if (value.sourcePicoseconds) {
        e.UInt16(*value.sourcePicoseconds);
    }
    if (value.serverTimestamp) {
        Encode(e, *value.serverTimestamp);
    }
    if (value.serverPicoseconds) {
        e.UInt16(*value.serverPicoseconds);
    }
}

void Decode(Decoder& d, DataValue& value)
{
    if (!d.Enter()) {
        return;
    }
    const std::uint8_t mask = d.Byte();
    if ((mask & kValueBit) != 0) {
        Decode(d, value.value.emplace());
    }
    if ((mask & kStatusBit) != 0) {
        Decode(d, value.status.emplace());
    }
    if ((mask & kSourceTimeBit) != 0) {
        Decode(d, value.sourceTimestamp.emplace());
    }
    if ((mask & kSourcePicoBit) != 0) {
        value.sourcePicoseconds = d.UInt16();
    }
    if ((mask & kServerTimeBit) != 0) {
        Decode(d, value.serverTimestamp.emplace());
    }
    if ((mask & kServerPicoBit) != 0) {
        value.serverPicoseconds = d.UInt16();
    }
    d.Leave();
}

void Encode(Encoder& e, const Variant& value)
{
    if (!value.isArray) {
        e.Byte(static_cast<std::uint8_t>(value.value.index()));
        EncodeScalar(e, value.value);
        return;
    }
    e.Byte(static_cast<std::uint8_t>(static_cast<std::uint8_t>(value.arrayType) | kArrayBit
                                     | (value.dimensions.empty() ? 0 : kDimensionsBit)));
    e.Length(value.array.size());
    for (const Scalar& element : value.array) {
        EncodeScalar(e, element);
    }
    if (!value.dimensions.empty()) {
        Encode(e, value.dimensions);
    }
}

void Decode(Decoder& d, Variant& value)
{
    if (!d.Enter()) {
        return;
    }
    const std::uint8_t mask = d.Byte();
    const std::uint8_t typeId = mask & kTypeMask;
    if (typeId > static_cast<std::uint8_t>(BuiltinType::DiagnosticInfo)) {
        d.Fail(status::kBadDecodingError, "Variant of unknown type " + std::to_string(typeId));
    } else if ((mask & kArrayBit) != 0 && typeId == 0) {
        d.Fail(status::kBadDecodingError, "Variant array of no type");
    } else if ((mask & kArrayBit) == 0) {
        if ((mask & kDimensionsBit) != 0) {
            d.Fail(status::kBadDecodingError, "Variant scalar with array dimensions");
        } else {
            DecodeScalar(d, static_cast<BuiltinType>(typeId), value.value);
        }
    } else {
        const auto type = static_cast<BuiltinType>(typeId);
        value.isArray = true;
        value.arrayType = type;
        const std::size_t count = d.ArrayLength(MinimumSize(type));
        value.array.reserve(count);
        for (std::size_t i = 0; i < count && d.Ok(); ++i) {
            DecodeScalar(d, type, value.array.emplace_back());
        }
        if ((mask & kDimensionsBit) != 0) {
            Decode(d, value.dimensions);
            std::int64_t product = 1;
            for (const std::int32_t length : value.dimensions) {
                product = length < 0 ? -1 : product * length;
                if (product < 0 || product > std::int64_t { std::numeric_limits<std::int32_t>::max() }) {
                    break;
                }
            }
            if (d.Ok() && product != static_cast<std::int64_t>(count)) {
                d.Fail(status::kBadDecodingError,
                       "array dimensions do not match its " + std::to_string(count) + " elements");
            }
        }
    }
    d.Leave();
}

void Encode(Encoder& e, const DiagnosticInfo& value)
{
    const auto bit = [](bool present, std::uint8_t mask) { return present ? mask : std::uint8_t { 0 }; };
    e.Byte(static_cast<std::uint8_t>(
        bit(value.symbolicId.has_value(), kSymbolicIdBit) | bit(value.namespaceUri.has_value(), kNamespaceUriBit)
        | bit(value.localizedText.has_value(), kLocalizedTextBit) | bit(value.locale.has_value(), kLocaleInfoBit)
        | bit(value.additionalInfo.has_value(), kAdditionalInfoBit)
        | bit(value.innerStatusCode.has_value(), kInnerStatusBit)
        | bit(value.innerDiagnosticInfo.has_value(), kInnerInfoBit)));
    if (value.symbolicId) {
        Encode(e, *value.symbolicId);
    }
    if (value.namespaceUri) {
        Encode(e, *value.namespaceUri);
    }
    if (value.locale) {
        Encode(e, *value.locale);
    }
    if (value.localizedText) {
        Encode(e, *value.localizedText);
    }
    if (value.additionalInfo) {
        Encode(e, *value.additionalInfo);
    }
    if (value.innerStatusCode) {
        Encode(e, *value.innerStatusCode);
    }
    if (value.innerDiagnosticInfo) {
        Encode(e, **value.innerDiagnosticInfo);
    }
}

void Decode(Decoder& d, DiagnosticInfo& value)
{
    if (!d.Enter()) {
        return;
    }
    const std::uint8_t mask = d.Byte();
    if ((mask & kSymbolicIdBit) != 0) {
        Decode(d, value.symbolicId.emplace());
    }
    if ((mask & kNamespaceUriBit) != 0) {
        Decode(d, value.namespaceUri.emplace());
    }
    if ((mask & kLocaleInfoBit) != 0) {
        Decode(d, value.locale.emplace());
    }
    if ((mask & kLocalizedTextBit) != 0) {
        Decode(d, value.localizedText.emplace());
    }
    if ((mask & kAdditionalInfoBit) != 0) {
        Decode(d, value.additionalInfo.emplace());
    }
    if ((mask & kInnerStatusBit) != 0) {
        Decode(d, value.innerStatusCode.emplace());
    }
    if ((mask & kInnerInfoBit) != 0) {
        DiagnosticInfo inner;
        Decode(d, inner);
        value.innerDiagnosticInfo.emplace(std::move(inner));
    }
    d.Leave();
}

} // namespace tavrel::opcua
