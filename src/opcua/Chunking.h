#pragma once

#include "opcua/Codec.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua {

// UA-TCP framing: every chunk starts with a 3-letter message type, a chunk type ('F' final, 'C' more to come,
// 'A' abort) and the chunk's whole size. Hello, Acknowledge and Error are single chunks; OPN, MSG and CLO carry
// the secure channel's messages, split into chunks of at most the peer's receive buffer.

inline constexpr std::size_t kFrameHeaderSize = 8;
inline constexpr std::size_t kMinBufferSize = 8192; ///< UA-TCP: no receive or send buffer may be smaller
inline constexpr std::size_t kMaxEndpointUrlLength = 4096; ///< UA-TCP: Hello's EndpointUrl
inline constexpr std::size_t kMaxErrorReasonLength = 4096; ///< UA-TCP: Error's Reason
inline constexpr std::uint32_t kProtocolVersion = 0;

enum class MessageType { Hello, Acknowledge, Error, ReverseHello, Open, Message, Close };
enum class ChunkType : char { Final = 'F', Intermediate = 'C', Abort = 'A' };

/// The 8 bytes in front of every chunk.
struct FrameHeader
{
    MessageType type = MessageType::Hello;
    ChunkType chunk = ChunkType::Final;
    std::uint32_t size = 0; ///< of the whole chunk, header included
};

/// Reads a frame header from 8 bytes; a fault names the unknown message or chunk type.
tl::expected<FrameHeader, std::string> ReadFrameHeader(std::span<const std::uint8_t, kFrameHeaderSize> bytes);
/// Appends a frame header; the size is patched in later with PatchFrameSize.
void WriteFrameHeader(Encoder& e, MessageType type, ChunkType chunk);
/// Sets the size field of the frame that starts at `start` to reach the end of the buffer.
void PatchFrameSize(Encoder& e, std::size_t start);

struct HelloMessage
{
    std::uint32_t protocolVersion = kProtocolVersion;
    std::uint32_t receiveBufferSize = 0;
    std::uint32_t sendBufferSize = 0;
    std::uint32_t maxMessageSize = 0; ///< 0: no limit
    std::uint32_t maxChunkCount = 0; ///< 0: no limit
    std::string endpointUrl;
    TAVREL_OPCUA_FIELDS(protocolVersion, receiveBufferSize, sendBufferSize, maxMessageSize, maxChunkCount, endpointUrl)
};

struct AcknowledgeMessage
{
    std::uint32_t protocolVersion = kProtocolVersion;
    std::uint32_t receiveBufferSize = 0;
    std::uint32_t sendBufferSize = 0;
    std::uint32_t maxMessageSize = 0;
    std::uint32_t maxChunkCount = 0;
    TAVREL_OPCUA_FIELDS(protocolVersion, receiveBufferSize, sendBufferSize, maxMessageSize, maxChunkCount)
};

struct ErrorMessage
{
    std::uint32_t error = 0;
    std::string reason;
    TAVREL_OPCUA_FIELDS(error, reason)
};

/// Appends a whole single-chunk frame of `type` holding `message`.
template<class T> void WriteFrame(Encoder& e, MessageType type, const T& message)
{
    const std::size_t start = e.Out().size();
    WriteFrameHeader(e, type, ChunkType::Final);
    Encode(e, message);
    PatchFrameSize(e, start);
}

/// What a Hello settles for this connection.
struct BufferSizes
{
    std::uint32_t receiveBufferSize = 0; ///< our side: the largest chunk we accept
    std::uint32_t sendBufferSize = 0; ///< the largest chunk we send
    std::uint32_t peerMaxMessageSize = 0; ///< the largest response the peer takes; 0: no limit
    std::uint32_t peerMaxChunkCount = 0; ///< the most chunks of one response; 0: no limit
};

/// Our limits for the negotiation.
struct TransportLimits
{
    std::size_t receiveBufferSize = 65535;
    std::size_t maxMessageSize = 16 * 1024 * 1024;
    std::size_t maxChunkCount = 64;
};

/// Settles the buffer sizes of a Hello (each side no larger than the other can take), or names the status code
/// and reason of the refusal. Fills `ack` with what we answer.
tl::expected<BufferSizes, ErrorMessage> Negotiate(const HelloMessage& hello, const TransportLimits& limits,
                                                  AcknowledgeMessage& ack);

/// Collects the chunks of one message: their bodies in order, with the chunk and size limits.
class ChunkAssembler
{
public:
    ChunkAssembler(std::size_t maxMessageSize, std::size_t maxChunkCount)
        : m_maxMessageSize(maxMessageSize)
        , m_maxChunkCount(maxChunkCount)
    {
    }
    /// Adds one chunk's body; an error (status and reason) past the limits.
    std::optional<ErrorMessage> Add(std::span<const std::uint8_t> body);
    /// The bodies so far, as one message; clears the assembler.
    std::vector<std::uint8_t> Take();
    /// Drops a message the peer aborted.
    void Clear();
    bool Empty() const { return m_chunks == 0; }

private:
    std::size_t m_maxMessageSize;
    std::size_t m_maxChunkCount;
    std::size_t m_chunks = 0;
    std::vector<std::uint8_t> m_body;
};

} // namespace tavrel::opcua
