#include "opcua/Types.h"

#include <cstdio>

namespace tavrel::opcua {

namespace {

std::string Hex(const std::string& bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

} // namespace

bool NodeId::IsNull() const
{
    const auto* number = std::get_if<std::uint32_t>(&identifier);
    return namespaceIndex == 0 && number != nullptr && *number == 0;
}

std::uint32_t NodeId::StandardNumber() const
{
    const auto* number = std::get_if<std::uint32_t>(&identifier);
    return namespaceIndex == 0 && number != nullptr ? *number : 0;
}

std::string NodeId::ToString() const
{
    std::string text = namespaceIndex == 0 ? std::string() : "ns=" + std::to_string(namespaceIndex) + ";";
    if (const auto* number = std::get_if<std::uint32_t>(&identifier)) {
        return text + "i=" + std::to_string(*number);
    }
    if (const auto* name = std::get_if<std::string>(&identifier)) {
        return text + "s=" + *name;
    }
    if (const auto* guid = std::get_if<Guid>(&identifier)) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid->data1,
                      guid->data2, guid->data3, guid->data4[0], guid->data4[1], guid->data4[2], guid->data4[3],
                      guid->data4[4], guid->data4[5], guid->data4[6], guid->data4[7]);
        return text + "g=" + buffer;
    }
    return text + "b=" + Hex(std::get<ByteString>(identifier).bytes);
}

Variant Variant::Array(BuiltinType type, std::vector<Scalar> elements)
{
    Variant variant;
    variant.isArray = true;
    variant.arrayType = type;
    variant.array = std::move(elements);
    return variant;
}

} // namespace tavrel::opcua

std::size_t std::hash<tavrel::opcua::NodeId>::operator()(const tavrel::opcua::NodeId& id) const noexcept
{
    std::size_t seed = id.namespaceIndex;
    const std::size_t identifier = std::visit(
        [](const auto& value) -> std::size_t {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::uint32_t>) {
                return std::hash<std::uint32_t> {}(value);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return std::hash<std::string> {}(value);
            } else if constexpr (std::is_same_v<T, tavrel::opcua::ByteString>) {
                return std::hash<std::string> {}(value.bytes);
            } else {
                return std::hash<std::uint64_t> {}((std::uint64_t { value.data1 } << 32) | value.data2);
            }
        },
        id.identifier);
    return seed * 0x9E3779B97F4A7C15ULL ^ identifier;
}
