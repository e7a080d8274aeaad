#pragma once

#include "opcua/Chunking.h"
#include "opcua/Messages.h"
#include "opcua/SecureChannel.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavrel::opcua::test {

/// A client's side of UA-TCP for tests: builds the bytes a client sends and takes apart what the server answers.
class UaClient
{
public:
    std::uint32_t channelId = 0;
    std::uint32_t tokenId = 0;
    std::uint32_t sequenceNumber = 0; ///< the last one sent
    std::uint32_t requestId = 0; ///< the last one sent
    NodeId authenticationToken;

    std::vector<std::uint8_t> Hello(std::uint32_t receiveBufferSize = 65535, std::uint32_t maxMessageSize = 0,
                                    std::uint32_t maxChunkCount = 0) const
    {
        HelloMessage hello { 0, receiveBufferSize, 65535, maxMessageSize, maxChunkCount, "opc.tcp://127.0.0.1:4840/" };
        std::vector<std::uint8_t> bytes;
        Encoder e(bytes);
        WriteFrame(e, MessageType::Hello, hello);
        return bytes;
    }

    std::vector<std::uint8_t> Open(SecurityTokenRequestType type = SecurityTokenRequestType::Issue,
                                   std::string policy = std::string(kSecurityPolicyNoneUri),
                                   MessageSecurityMode mode = MessageSecurityMode::None)
    {
        OpenSecureChannelRequest request;
        request.requestType = type;
        request.securityMode = mode;
        request.requestedLifetime = 600000;
        std::vector<std::uint8_t> bytes;
        Encoder e(bytes);
        WriteFrameHeader(e, MessageType::Open, ChunkType::Final);
        e.UInt32(channelId);
        Encode(e, policy);
        Encode(e, ByteString {});
        Encode(e, ByteString {});
        e.UInt32(++sequenceNumber);
        e.UInt32(++requestId);
        EncodeMessage(e, request);
        PatchFrameSize(e, 0);
        return bytes;
    }

    /// `request` as MSG chunks of at most `bodyPerChunk` body bytes each.
    template<class T> std::vector<std::uint8_t> Message(T request, std::size_t bodyPerChunk = 60000)
    {
        request.requestHeader.authenticationToken = authenticationToken;
        request.requestHeader.requestHandle = requestId + 1;
        std::vector<std::uint8_t> body;
        Encoder bodyEncoder(body);
        EncodeMessage(bodyEncoder, request);
        return Chunks(MessageType::Message, body, bodyPerChunk);
    }

    /// `body` as chunks of one request of `type`, the last one Final.
    std::vector<std::uint8_t> Chunks(MessageType type, std::span<const std::uint8_t> body, std::size_t bodyPerChunk,
                                     ChunkType last = ChunkType::Final)
    {
        ++requestId;
        std::vector<std::uint8_t> bytes;
        Encoder e(bytes);
        std::size_t offset = 0;
        do {
            const std::size_t length = std::min(bodyPerChunk, body.size() - offset);
            const std::size_t start = bytes.size();
            WriteFrameHeader(e, type, offset + length == body.size() ? last : ChunkType::Intermediate);
            e.UInt32(channelId);
            e.UInt32(tokenId);
            e.UInt32(++sequenceNumber);
            e.UInt32(requestId);
            e.Bytes(body.data() + offset, length);
            PatchFrameSize(e, start);
            offset += length;
        } while (offset < body.size());
        return bytes;
    }

    struct Frame
    {
        FrameHeader header;
        std::vector<std::uint8_t> bytes; ///< the whole chunk
    };

    /// The chunks in `output`, in order.
    static std::vector<Frame> Frames(std::span<const std::uint8_t> output)
    {
        std::vector<Frame> frames;
        std::size_t offset = 0;
        while (output.size() - offset >= kFrameHeaderSize) {
            const auto header = ReadFrameHeader(output.subspan(offset).first<kFrameHeaderSize>());
            if (!header || header->size < kFrameHeaderSize || header->size > output.size() - offset) {
                break;
            }
            frames.push_back({ *header,
                               { output.begin() + static_cast<std::ptrdiff_t>(offset),
                                 output.begin() + static_cast<std::ptrdiff_t>(offset + header->size) } });
            offset += header->size;
        }
        return frames;
    }

    /// The status of the Error message in `output`, or 0 when there is none.
    static std::uint32_t ErrorIn(std::span<const std::uint8_t> output)
    {
        for (const Frame& frame : Frames(output)) {
            if (frame.header.type == MessageType::Error) {
                Decoder d(std::span(frame.bytes).subspan(kFrameHeaderSize));
                return d.UInt32();
            }
        }
        return 0;
    }

    /// Takes the channel and token from an OpenSecureChannel answer; false when `output` holds none.
    bool TakeOpen(std::span<const std::uint8_t> output)
    {
        for (const Frame& frame : Frames(output)) {
            if (frame.header.type != MessageType::Open) {
                continue;
            }
            Decoder d(std::span(frame.bytes).subspan(kFrameHeaderSize));
            d.UInt32();
            std::string policy;
            ByteString certificate;
            ByteString thumbprint;
            Decode(d, policy);
            Decode(d, certificate);
            Decode(d, thumbprint);
            d.UInt32();
            d.UInt32();
            const auto response = DecodeMessage<OpenSecureChannelResponse>(
                std::span(frame.bytes).subspan(kFrameHeaderSize + d.Position()));
            if (!response) {
                return false;
            }
            channelId = response->securityToken.channelId;
            tokenId = response->securityToken.tokenId;
            return true;
        }
        return false;
    }

    /// The MSG bodies in `output`, one per response, chunks joined.
    static std::vector<std::vector<std::uint8_t>> Bodies(std::span<const std::uint8_t> output)
    {
        std::vector<std::vector<std::uint8_t>> bodies;
        std::vector<std::uint8_t> current;
        for (const Frame& frame : Frames(output)) {
            if (frame.header.type != MessageType::Message) {
                continue;
            }
            current.insert(current.end(), frame.bytes.begin() + 24, frame.bytes.end());
            if (frame.header.chunk == ChunkType::Final) {
                bodies.push_back(std::move(current));
                current.clear();
            }
        }
        return bodies;
    }

    /// The ServiceFault status of a response body, or 0 when it is no ServiceFault.
    static std::uint32_t FaultOf(std::span<const std::uint8_t> body)
    {
        const auto fault = DecodeMessage<ServiceFault>(body);
        return fault ? fault->responseHeader.serviceResult.code : 0;
    }
};

} // namespace tavrel::opcua::test
