#pragma once

#include "opcua/crypto/Keys.h"
#include "opcua/crypto/Policy.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include <tl/expected.hpp>

namespace tavrel::opcua::crypto {

// The cryptography of the security policies, over OpenSSL's EVP interface. Each call stands alone: no state
// between calls, safe from any thread.

// --- asymmetric (the OpenSecureChannel, session signatures, user token secrets) ---

/// Signs `data` with the policy's asymmetric signature (RSA PKCS#1 v1.5 or RSA-PSS, SHA-256).
tl::expected<Bytes, std::string> Sign(PolicyId policy, const PrivateKey& key, std::span<const std::uint8_t> data);
/// Whether `signature` is the policy's signature of `data` by the key of `signer`.
bool Verify(PolicyId policy, const Certificate& signer, std::span<const std::uint8_t> data,
            std::span<const std::uint8_t> signature);
/// How many plain bytes one RSA-OAEP block of a `keyBytes` key holds (the key size less the OAEP overhead of the
/// policy's hash: 42 bytes for SHA-1, 66 for SHA-256).
std::size_t PlainBlockSize(PolicyId policy, std::size_t keyBytes);
/// Encrypts `plain` to the key of `receiver` block by block: each PlainBlockSize bytes (the last may be shorter)
/// become one block of the key's size.
tl::expected<Bytes, std::string> Encrypt(PolicyId policy, const Certificate& receiver,
                                         std::span<const std::uint8_t> plain);
/// Decrypts whole blocks of the key's size.
tl::expected<Bytes, std::string> Decrypt(PolicyId policy, const PrivateKey& key, std::span<const std::uint8_t> cipher);

// --- symmetric (every chunk after the OpenSecureChannel) ---

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest HmacSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data);
/// The P_SHA256 pseudo-random function: `length` bytes from HMAC-SHA256 chained over `seed` with `secret`.
Bytes PSha256(std::span<const std::uint8_t> secret, std::span<const std::uint8_t> seed, std::size_t length);
/// AES-CBC in place, without padding of its own: `data` is whole 16-byte blocks, `key` 16 or 32 bytes, `iv` 16.
/// False when the sizes are wrong or OpenSSL fails.
bool AesCbcEncrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv, std::span<std::uint8_t> data);
bool AesCbcDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv, std::span<std::uint8_t> data);
/// Bytes from the operating system's secure generator.
Bytes RandomBytes(std::size_t count);

/// The keys one side of a channel signs and encrypts with.
struct SymmetricKeys
{
    Bytes signingKey;
    Bytes encryptingKey;
    Bytes iv;
};

/// Derives one side's keys: signing key, encrypting key and initialisation vector in that order from
/// P_SHA256(secret, seed). The client's keys come from (server nonce, client nonce), the server's from
/// (client nonce, server nonce).
SymmetricKeys DeriveKeys(PolicyId policy, std::span<const std::uint8_t> secret, std::span<const std::uint8_t> seed);

/// Constant-time comparison of two byte strings of the same length (false for different lengths).
bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

} // namespace tavrel::opcua::crypto
