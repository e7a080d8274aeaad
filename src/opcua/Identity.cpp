#include "opcua/Identity.h"

#include "opcua/crypto/Primitives.h"

#include <algorithm>
#include <limits>

namespace tavrel::opcua {

namespace {

/// The password in a decrypted user name token: a length (of password and nonce, little-endian), the password, then
/// the server's nonce; none when the bytes are not so made or end with another nonce.
std::optional<std::string> PasswordOf(std::span<const std::uint8_t> plain, const ByteString& nonce)
{
    if (plain.size() < 4) {
        return std::nullopt;
    }
    const std::uint32_t length = static_cast<std::uint32_t>(plain[0]) | (static_cast<std::uint32_t>(plain[1]) << 8)
        | (static_cast<std::uint32_t>(plain[2]) << 16) | (static_cast<std::uint32_t>(plain[3]) << 24);
    const std::size_t nonceSize = nonce.bytes.size();
    if (nonceSize == 0 || length < nonceSize || length > plain.size() - 4) {
        return std::nullopt;
    }
    const auto body = plain.subspan(4, length);
    if (!crypto::SameBytes(body.subspan(length - nonceSize), BytesOf(nonce))) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(body.data()), length - nonceSize);
}

tl::expected<Identity, std::uint32_t> CheckUserName(const UserNameIdentityToken& token, const IdentityContext& context)
{
    if (context.key == nullptr || context.serverNonce == nullptr || context.client == nullptr) {
        return tl::unexpected(status::kBadIdentityTokenRejected); // no user names without a certificate
    }
    if (token.policyId != kUserNamePolicyId) {
        return tl::unexpected(status::kBadIdentityTokenInvalid);
    }
    const crypto::PolicyId policy = PasswordPolicy(context.channelPolicy);
    // A password in clear is refused on any channel: the endpoints ask for it encrypted, always.
    if (token.encryptionAlgorithm != crypto::Parameters(policy).asymmetricEncryptionUri) {
        return tl::unexpected(status::kBadIdentityTokenInvalid);
    }
    const auto plain = crypto::Decrypt(policy, *context.key, BytesOf(token.password));
    if (!plain) {
        return tl::unexpected(status::kBadIdentityTokenInvalid);
    }
    const auto password = PasswordOf(*plain, *context.serverNonce);
    if (!password) {
        return tl::unexpected(status::kBadIdentityTokenInvalid);
    }
    // Unknown users, wrong and empty passwords take the same way, the same time, and get the same answer.
    const auto role = context.backend->CheckPassword(*context.client, token.userName, *password);
    if (!role) {
        return tl::unexpected(status::kBadUserAccessDenied);
    }
    return Identity { token.userName, *role };
}

} // namespace

std::span<const std::uint8_t> BytesOf(const ByteString& bytes)
{
    return { reinterpret_cast<const std::uint8_t*>(bytes.bytes.data()), bytes.bytes.size() };
}

std::int64_t LoginThrottle::WaitUntilMs(const std::string& address, std::int64_t nowMs) const
{
    const auto found = m_records.find(address);
    return found != m_records.end() && found->second.waitUntilMs > nowMs ? found->second.waitUntilMs : 0;
}

void LoginThrottle::Failed(const std::string& address, std::int64_t nowMs)
{
    if (m_records.size() >= kMaxAddresses && !m_records.contains(address)) {
        const auto stalest = std::min_element(m_records.begin(), m_records.end(), [](const auto& a, const auto& b) {
            return a.second.lastMs < b.second.lastMs;
        });
        m_records.erase(stalest);
    }
    Record& record = m_records[address];
    // A failure long after the last penalty ran out starts the count afresh.
    if (record.failures > 0 && nowMs - record.lastMs > kMaxPenaltyMs * 10) {
        record = Record {};
    }
    ++record.failures;
    record.lastMs = nowMs;
    if (record.failures > kFreeFailures) {
        const int doublings = std::min(record.failures - kFreeFailures - 1, 16);
        record.waitUntilMs = nowMs + std::min(kFirstPenaltyMs << doublings, kMaxPenaltyMs);
    }
}

void LoginThrottle::Succeeded(const std::string& address)
{
    m_records.erase(address);
}

std::string PeerAddress(std::string_view peer)
{
    const std::size_t colon = peer.rfind(':');
    return std::string(colon == std::string_view::npos ? peer : peer.substr(0, colon));
}

crypto::PolicyId PasswordPolicy(crypto::PolicyId channelPolicy)
{
    return channelPolicy == crypto::PolicyId::None ? crypto::PolicyId::Basic256Sha256 : channelPolicy;
}

tl::expected<Identity, std::uint32_t> CheckIdentity(const ExtensionObject& token, const IdentityContext& context)
{
    const auto anonymous = [&context]() -> tl::expected<Identity, std::uint32_t> {
        if (!context.anonymous.allowed) {
            return tl::unexpected(status::kBadIdentityTokenRejected);
        }
        return Identity { std::string(), context.anonymous.role };
    };
    if (token.IsNull()) {
        return anonymous();
    }
    if (token.encoding == ExtensionObject::Encoding::Binary
        && token.typeId == NodeId(0, AnonymousIdentityToken::kEncodingId)) {
        const auto decoded = FromExtensionObject<AnonymousIdentityToken>(token);
        if (!decoded) {
            return tl::unexpected(status::kBadIdentityTokenInvalid);
        }
        if (!decoded->policyId.empty() && decoded->policyId != kAnonymousPolicyId) {
            return tl::unexpected(status::kBadIdentityTokenRejected);
        }
        return anonymous();
    }
    if (token.encoding == ExtensionObject::Encoding::Binary
        && token.typeId == NodeId(0, UserNameIdentityToken::kEncodingId)) {
        const auto decoded = FromExtensionObject<UserNameIdentityToken>(token);
        if (!decoded) {
            return tl::unexpected(status::kBadIdentityTokenInvalid);
        }
        return CheckUserName(*decoded, context);
    }
    return tl::unexpected(status::kBadIdentityTokenRejected); // certificates and issued tokens are not offered
}

} // namespace tavrel::opcua
