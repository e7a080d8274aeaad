#pragma once

#include "common/Role.h"
#include "opcua/Backend.h"
#include "opcua/Messages.h"
#include "opcua/crypto/Keys.h"
#include "opcua/crypto/Policy.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tavrel::opcua {

/// The ids of the user token policies the endpoints offer.
inline constexpr std::string_view kAnonymousPolicyId = "anonymous";
inline constexpr std::string_view kUserNamePolicyId = "username";

/// Who may activate a session without a user name, and with which role.
struct AnonymousAccess
{
    bool allowed = true;
    common::Role role = common::Role::Operator;
};

/// The user a session acts for: a name and role, or anonymous (an empty name).
struct Identity
{
    std::string user;
    common::Role role = common::Role::Reader;
};

/// Failed logins by peer address: after kFreeFailures in a row, an address waits a growing while (one second,
/// doubling with each further failure, at most kMaxPenaltyMs) before its next user name is checked at all, so that
/// guessing passwords goes slowly and the server spends no time hashing the guesses. A login that succeeds clears
/// its address.
class LoginThrottle
{
public:
    static constexpr int kFreeFailures = 3; ///< a user may mistype a few times without waiting
    static constexpr std::int64_t kFirstPenaltyMs = 1000;
    static constexpr std::int64_t kMaxPenaltyMs = 60000; ///< a minute: long for a guesser, short for a user
    static constexpr std::size_t kMaxAddresses = 10000; ///< addresses remembered; the stalest go first

    /// Until when `address` must wait, or 0 when it may try now.
    std::int64_t WaitUntilMs(const std::string& address, std::int64_t nowMs) const;
    void Failed(const std::string& address, std::int64_t nowMs);
    void Succeeded(const std::string& address);

private:
    struct Record
    {
        int failures = 0;
        std::int64_t lastMs = 0;
        std::int64_t waitUntilMs = 0;
    };
    std::map<std::string, Record> m_records;
};

/// The bytes of a ByteString, as the crypto functions take them.
std::span<const std::uint8_t> BytesOf(const ByteString& bytes);

/// The address of a peer "ADDRESS:PORT" (IPv6 addresses hold colons of their own).
std::string PeerAddress(std::string_view peer);

/// What a user identity token is checked against.
struct IdentityContext
{
    crypto::PolicyId channelPolicy = crypto::PolicyId::None;
    const ByteString* serverNonce = nullptr; ///< the nonce the server sent last to this session
    AnonymousAccess anonymous;
    const crypto::PrivateKey* key = nullptr; ///< ours; none: the server has no certificate, and takes no user names
    Backend* backend = nullptr; ///< checks passwords
    const Client* client = nullptr; ///< who asks: the session's peer
};

/// The policy a user name token's password is encrypted with: the channel's, or Basic256Sha256 on a None channel
/// (which is what the endpoints offer).
crypto::PolicyId PasswordPolicy(crypto::PolicyId channelPolicy);

/// The identity of ActivateSession's user token: anonymous (an empty token, or an AnonymousIdentityToken) when
/// allowed, else Bad_IdentityTokenRejected; a UserNameIdentityToken whose password, decrypted, ends with the
/// server's nonce and is the user's, else Bad_IdentityTokenInvalid for a token that is not well made (a password in
/// clear among them) and Bad_UserAccessDenied for a user or password that is wrong; any other kind of token
/// Bad_IdentityTokenRejected.
tl::expected<Identity, std::uint32_t> CheckIdentity(const ExtensionObject& token, const IdentityContext& context);

} // namespace tavrel::opcua
