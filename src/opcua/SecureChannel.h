#pragma once

#include "opcua/Chunking.h"
#include "opcua/Messages.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua {

inline constexpr std::string_view kSecurityPolicyNoneUri = "http://opcfoundation.org/UA/SecurityPolicy#None";

/// How a secure channel protects its chunks. None does nothing; the signing and encrypting policies fill the same
/// seam: a chunk's security footer, its check on the way in and its protection on the way out.
class SecurityPolicy
{
public:
    virtual ~SecurityPolicy() = default;
    virtual std::string_view Uri() const = 0;
    /// Whether the policy serves `mode` (None serves only MessageSecurityMode::None).
    virtual bool Supports(MessageSecurityMode mode) const = 0;
    /// Bytes a chunk may gain after its body (padding and signature), so the chunker leaves room for them.
    virtual std::size_t FooterSize() const = 0;
    /// Checks a received chunk (`asymmetric` for OPN) and removes its protection in place: the end of its body,
    /// or the status and reason for refusing it. `bodyStart` is where the sequence header begins.
    virtual tl::expected<std::size_t, ErrorMessage> Unprotect(std::span<std::uint8_t> chunk, std::size_t bodyStart,
                                                              bool asymmetric)
        = 0;
    /// Protects the chunk that starts at `chunkStart` of `out` and runs to its end; its size field is set after.
    virtual void Protect(std::vector<std::uint8_t>& out, std::size_t chunkStart, bool asymmetric) = 0;
};

/// SecurityPolicy None: chunks travel as they are.
class SecurityPolicyNone final : public SecurityPolicy
{
public:
    std::string_view Uri() const override { return kSecurityPolicyNoneUri; }
    bool Supports(MessageSecurityMode mode) const override { return mode == MessageSecurityMode::None; }
    std::size_t FooterSize() const override { return 0; }
    tl::expected<std::size_t, ErrorMessage> Unprotect(std::span<std::uint8_t> chunk, std::size_t, bool) override
    {
        return chunk.size();
    }
    void Protect(std::vector<std::uint8_t>&, std::size_t, bool) override { }
};

/// The policy named `uri`, or none when the server does not offer it.
std::unique_ptr<SecurityPolicy> MakeSecurityPolicy(std::string_view uri);

/// A chunk of a secure channel message as received: its request and the body bytes it carries.
struct ReceivedChunk
{
    std::uint32_t requestId = 0;
    std::span<const std::uint8_t> body;
};

/// The channel's side of OPN, MSG and CLO chunks: its id and security tokens, the sequence numbers both ways,
/// the security policy, and the splitting of outgoing messages into chunks.
class SecureChannel
{
public:
    /// Token lifetimes the channel grants, in milliseconds.
    struct Lifetimes
    {
        std::uint32_t minTokenLifetimeMs = 10000;
        std::uint32_t maxTokenLifetimeMs = 3600000;
    };

    SecureChannel(std::uint32_t channelId, Lifetimes lifetimes)
        : m_channelId(channelId)
        , m_lifetimes(lifetimes)
    {
    }

    std::uint32_t ChannelId() const { return m_channelId; }
    bool IsOpen() const { return m_policy != nullptr; }

    /// Reads one OPN chunk (a single 'F' chunk) and answers it into `out`: a new channel or a renewed token. The
    /// answer is one chunk: it fits the smallest buffer of 8192 bytes.
    /// An error (status and reason) means the connection is to send Error and close.
    std::optional<ErrorMessage> Open(std::span<std::uint8_t> chunk, std::int64_t nowMs, std::vector<std::uint8_t>& out);

    /// Checks one MSG or CLO chunk: channel id, token, sequence number; its request id and body.
    tl::expected<ReceivedChunk, ErrorMessage> Receive(std::span<std::uint8_t> chunk, std::int64_t nowMs);

    /// Appends `body` (an encoded message) as MSG chunks answering `requestId`, split to the send buffer size.
    void Send(std::uint32_t requestId, std::span<const std::uint8_t> body, const BufferSizes& sizes,
              std::vector<std::uint8_t>& out);

    /// The most body bytes one chunk can carry with `sizes`.
    std::size_t BodyPerChunk(const BufferSizes& sizes) const;

    /// When the current token runs out (created + lifetime, with a quarter more for a late renewal); 0 when closed.
    std::int64_t TokenExpiresMs() const;

private:
    std::optional<ErrorMessage> CheckSequence(std::uint32_t sequenceNumber);
    std::uint32_t NextSequenceNumber();

    std::uint32_t m_channelId;
    Lifetimes m_lifetimes;
    std::unique_ptr<SecurityPolicy> m_policy;
    std::uint32_t m_tokenId = 0;
    std::int64_t m_tokenCreatedMs = 0;
    std::uint32_t m_tokenLifetimeMs = 0;
    std::uint32_t m_previousTokenId = 0; ///< still accepted until the client uses the new one
    std::optional<std::uint32_t> m_lastReceivedSequence;
    std::uint32_t m_sendSequence = 0;
};

} // namespace tavrel::opcua
