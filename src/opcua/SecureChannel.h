#pragma once

#include "opcua/Chunking.h"
#include "opcua/Messages.h"
#include "opcua/crypto/Keys.h"
#include "opcua/crypto/Policy.h"

#include <cstddef>
#include <cstdint>
#include <functional>
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
    virtual crypto::PolicyId Id() const = 0;
    std::string_view Uri() const { return crypto::PolicyUri(Id()); }
    /// Whether the policy serves `mode` (None serves only MessageSecurityMode::None).
    virtual bool Supports(MessageSecurityMode mode) const = 0;
    /// How many body bytes fit in a chunk that has `space` bytes after its headers, leaving room for padding and
    /// signature (a block cipher also rounds down to whole blocks).
    virtual std::size_t MaxBodySize(std::size_t space) const = 0;
    /// Checks a received chunk (`asymmetric` for OPN) and removes its protection in place: the end of its body,
    /// or the status and reason for refusing it. `bodyStart` is where the sequence header begins.
    virtual tl::expected<std::size_t, ErrorMessage> Unprotect(std::span<std::uint8_t> chunk, std::size_t bodyStart,
                                                              bool asymmetric)
        = 0;
    /// Protects the chunk that starts at `chunkStart` of `out` and runs to its end: appends padding and signature,
    /// sets the chunk's size field (SetFrameSize), then signs and encrypts.
    virtual void Protect(std::vector<std::uint8_t>& out, std::size_t chunkStart, bool asymmetric) = 0;
    /// Starts the token `tokenId` in `mode` from the client's nonce: derives both sides' keys and answers our
    /// nonce (empty with None), or refuses a nonce of the wrong length. The previous token's keys stay usable.
    virtual tl::expected<ByteString, ErrorMessage> StartToken(std::uint32_t tokenId, MessageSecurityMode mode,
                                                              const ByteString& clientNonce)
        = 0;
    /// Our certificate and the thumbprint of the client's, for the OpenSecureChannel answer (empty with None).
    virtual ByteString LocalCertificate() const { return {}; }
    virtual ByteString RemoteThumbprint() const { return {}; }
    /// The client's certificate as its OpenSecureChannel sent it; none with None.
    virtual const crypto::Certificate* RemoteCertificate() const { return nullptr; }
};

/// SecurityPolicy None: chunks travel as they are.
class SecurityPolicyNone final : public SecurityPolicy
{
public:
    crypto::PolicyId Id() const override { return crypto::PolicyId::None; }
    bool Supports(MessageSecurityMode mode) const override { return mode == MessageSecurityMode::None; }
    std::size_t MaxBodySize(std::size_t space) const override { return space; }
    tl::expected<std::size_t, ErrorMessage> Unprotect(std::span<std::uint8_t> chunk, std::size_t, bool) override
    {
        return chunk.size();
    }
    void Protect(std::vector<std::uint8_t>& out, std::size_t chunkStart, bool) override
    {
        SetFrameSize(out, chunkStart);
    }
    tl::expected<ByteString, ErrorMessage> StartToken(std::uint32_t, MessageSecurityMode, const ByteString&) override
    {
        return ByteString {};
    }
};

/// Judges a client's certificate at `nowMs`: nothing when it is trusted, else the status and reason of the
/// refusal (validity dates, trust, revocation).
using CertificateValidator = std::function<std::optional<ErrorMessage>(const crypto::Certificate&, std::int64_t nowMs)>;

/// What the server hands every channel: our application instance certificate and key, and who judges the
/// client's. Without a certificate only SecurityPolicy None is served; without a validator every client
/// certificate is refused.
struct ChannelSecurity
{
    std::shared_ptr<const crypto::Certificate> certificate;
    std::shared_ptr<const crypto::PrivateKey> key;
    CertificateValidator validator;
};

/// The policy named `uri`, or none when the server does not offer it (a signing policy without our certificate).
std::unique_ptr<SecurityPolicy> MakeSecurityPolicy(std::string_view uri, const ChannelSecurity& security);

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

    SecureChannel(std::uint32_t channelId, Lifetimes lifetimes, std::shared_ptr<const ChannelSecurity> security = {})
        : m_channelId(channelId)
        , m_lifetimes(lifetimes)
        , m_security(security ? std::move(security) : std::make_shared<const ChannelSecurity>())
    {
    }

    std::uint32_t ChannelId() const { return m_channelId; }
    bool IsOpen() const { return m_policy != nullptr; }
    /// The policy and mode the client opened the channel with (None before it is open).
    crypto::PolicyId Policy() const { return m_policy ? m_policy->Id() : crypto::PolicyId::None; }
    MessageSecurityMode Mode() const { return m_mode; }
    /// The client's certificate (DER) from its OpenSecureChannel; empty with None.
    const crypto::Bytes& ClientCertificate() const;

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
    std::uint32_t SendingTokenId() const;
    std::uint32_t NextSequenceNumber();

    std::uint32_t m_channelId;
    Lifetimes m_lifetimes;
    std::shared_ptr<const ChannelSecurity> m_security;
    std::unique_ptr<SecurityPolicy> m_policy;
    MessageSecurityMode m_mode = MessageSecurityMode::None;
    std::uint32_t m_tokenId = 0;
    std::int64_t m_tokenCreatedMs = 0;
    std::uint32_t m_tokenLifetimeMs = 0;
    std::uint32_t m_previousTokenId = 0; ///< still accepted until the client uses the new one
    std::optional<std::uint32_t> m_lastReceivedSequence;
    std::uint32_t m_sendSequence = 0;
};

} // namespace tavrel::opcua
