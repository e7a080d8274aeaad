#include "opcua/Chunking.h"

#include <algorithm>
#include <utility>

namespace tavrel::opcua {

namespace {

struct TypeName
{
    MessageType type;
    char letters[4];
};

constexpr TypeName kTypeNames[] = {
    { MessageType::Hello, "HEL" },        { MessageType::Acknowledge, "ACK" }, { MessageType::Error, "ERR" },
    { MessageType::ReverseHello, "RHE" }, { MessageType::Open, "OPN" },        { MessageType::Message, "MSG" },
    { MessageType::Close, "CLO" },
};

std::string Printable(std::span<const std::uint8_t> bytes)
{
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else {
            text += "\\x";
            text += "0123456789abcdef"[byte >> 4];
            text += "0123456789abcdef"[byte & 0x0F];
        }
    }
    return text;
}

} // namespace

tl::expected<FrameHeader, std::string> ReadFrameHeader(std::span<const std::uint8_t, kFrameHeaderSize> bytes)
{
    FrameHeader header;
    const auto* found = std::find_if(std::begin(kTypeNames), std::end(kTypeNames), [&](const TypeName& name) {
        return bytes[0] == name.letters[0] && bytes[1] == name.letters[1] && bytes[2] == name.letters[2];
    });
    if (found == std::end(kTypeNames)) {
        return tl::unexpected("unknown message type \"" + Printable(bytes.first(3)) + "\"");
    }
    header.type = found->type;
    const auto chunk = static_cast<char>(bytes[3]);
    if (chunk != 'F' && chunk != 'C' && chunk != 'A') {
        return tl::unexpected("unknown chunk type \"" + Printable(bytes.subspan(3, 1)) + "\"");
    }
    header.chunk = static_cast<ChunkType>(chunk);
    header.size = static_cast<std::uint32_t>(bytes[4] | (bytes[5] << 8) | (bytes[6] << 16))
        | (std::uint32_t { bytes[7] } << 24);
    return header;
}

void WriteFrameHeader(Encoder& e, MessageType type, ChunkType chunk)
{
    const auto* found = std::find_if(std::begin(kTypeNames), std::end(kTypeNames),
                                     [&](const TypeName& name) { return name.type == type; });
    e.Bytes(found->letters, 3);
    e.Byte(static_cast<std::uint8_t>(chunk));
    e.UInt32(0);
}

void PatchFrameSize(Encoder& e, std::size_t start)
{
    e.PatchUInt32(start + 4, static_cast<std::uint32_t>(e.Out().size() - start));
}

tl::expected<BufferSizes, ErrorMessage> Negotiate(const HelloMessage& hello, const TransportLimits& limits,
                                                  AcknowledgeMessage& ack)
{
    if (hello.receiveBufferSize < kMinBufferSize || hello.sendBufferSize < kMinBufferSize) {
        return tl::unexpected(ErrorMessage { status::kBadConnectionRejected,
                                             "buffer sizes " + std::to_string(hello.receiveBufferSize) + "/"
                                                 + std::to_string(hello.sendBufferSize) + " below the least of "
                                                 + std::to_string(kMinBufferSize) });
    }
    if (hello.endpointUrl.size() > kMaxEndpointUrlLength) {
        return tl::unexpected(
            ErrorMessage { status::kBadTcpEndpointUrlInvalid, "endpoint URL longer than 4096 bytes" });
    }
    BufferSizes sizes;
    // We receive what the peer sends: our receive buffer no larger than its send buffer, and the other way round.
    sizes.receiveBufferSize = std::min(hello.sendBufferSize, static_cast<std::uint32_t>(limits.receiveBufferSize));
    sizes.sendBufferSize = std::min(hello.receiveBufferSize, static_cast<std::uint32_t>(limits.receiveBufferSize));
    sizes.peerMaxMessageSize = hello.maxMessageSize;
    sizes.peerMaxChunkCount = hello.maxChunkCount;
    ack.protocolVersion = kProtocolVersion;
    ack.receiveBufferSize = sizes.receiveBufferSize;
    ack.sendBufferSize = sizes.sendBufferSize;
    ack.maxMessageSize = static_cast<std::uint32_t>(limits.maxMessageSize);
    ack.maxChunkCount = static_cast<std::uint32_t>(limits.maxChunkCount);
    return sizes;
}

std::optional<ErrorMessage> ChunkAssembler::Add(std::span<const std::uint8_t> body)
{
    if (m_maxChunkCount != 0 && m_chunks + 1 > m_maxChunkCount) {
        return ErrorMessage { status::kBadTcpMessageTooLarge,
                              "message of more than " + std::to_string(m_maxChunkCount) + " chunks" };
    }
    if (m_maxMessageSize != 0 && m_body.size() + body.size() > m_maxMessageSize) {
        return ErrorMessage { status::kBadTcpMessageTooLarge,
                              "message of more than " + std::to_string(m_maxMessageSize) + " bytes" };
    }
    ++m_chunks;
    m_body.insert(m_body.end(), body.begin(), body.end());
    return std::nullopt;
}

std::vector<std::uint8_t> ChunkAssembler::Take()
{
    m_chunks = 0;
    return std::exchange(m_body, {});
}

void ChunkAssembler::Clear()
{
    m_chunks = 0;
    m_body.clear();
}

} // namespace tavrel::opcua
