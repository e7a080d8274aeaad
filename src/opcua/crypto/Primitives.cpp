#include "opcua/crypto/Primitives.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace tavrel::opcua::crypto {

namespace {

struct ContextDeleter
{
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, ContextDeleter>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter>;

constexpr std::size_t kAesBlock = 16;

/// Sets RSA-PSS padding with a salt as long as the digest (or any salt on verifying) where the policy asks.
bool SetSignaturePadding(PolicyId policy, EVP_PKEY_CTX* context, bool verifying)
{
    if (Parameters(policy).asymmetricSignature != AsymmetricSignature::RsaPssSha256) {
        return EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) > 0;
    }
    return EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) > 0
        && EVP_PKEY_CTX_set_rsa_pss_saltlen(context, verifying ? RSA_PSS_SALTLEN_AUTO : RSA_PSS_SALTLEN_DIGEST) > 0;
}

bool SetOaepPadding(PolicyId policy, EVP_PKEY_CTX* context)
{
    const EVP_MD* digest
        = Parameters(policy).asymmetricEncryption == AsymmetricEncryption::RsaOaepSha256 ? EVP_sha256() : EVP_sha1();
    return EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) > 0
        && EVP_PKEY_CTX_set_rsa_oaep_md(context, digest) > 0 && EVP_PKEY_CTX_set_rsa_mgf1_md(context, digest) > 0;
}

bool AesCbc(bool encrypt, std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
            std::span<std::uint8_t> data)
{
    if ((key.size() != 16 && key.size() != 32) || iv.size() != kAesBlock || data.size() % kAesBlock != 0) {
        return false;
    }
    const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
    CipherContext context(EVP_CIPHER_CTX_new());
    int written = 0;
    int last = 0;
    return context && EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0) == 1
        && EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1
        && EVP_CipherUpdate(context.get(), data.data(), &written, data.data(), static_cast<int>(data.size())) == 1
        && EVP_CipherFinal_ex(context.get(), data.data() + written, &last) == 1
        && static_cast<std::size_t>(written + last) == data.size();
}

} // namespace

tl::expected<Bytes, std::string> Sign(PolicyId policy, const PrivateKey& key, std::span<const std::uint8_t> data)
{
    DigestContext context(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr;
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), &keyContext, EVP_sha256(), nullptr, key.Handle()) != 1
        || !SetSignaturePadding(policy, keyContext, false)
        || EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) != 1) {
        return tl::unexpected("cannot sign: " + OpenSslReason());
    }
    Bytes signature(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        return tl::unexpected("cannot sign: " + OpenSslReason());
    }
    signature.resize(length);
    return signature;
}

bool Verify(PolicyId policy, const Certificate& signer, std::span<const std::uint8_t> data,
            std::span<const std::uint8_t> signature)
{
    DigestContext context(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr;
    const bool good = context && signer.PublicKey() != nullptr
        && EVP_DigestVerifyInit(context.get(), &keyContext, EVP_sha256(), nullptr, signer.PublicKey()) == 1
        && SetSignaturePadding(policy, keyContext, true)
        && EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
    if (!good) {
        OpenSslReason(); // a forged signature leaves its reason in the queue: drop it
    }
    return good;
}

std::size_t PlainBlockSize(PolicyId policy, std::size_t keyBytes)
{
    const std::size_t overhead
        = Parameters(policy).asymmetricEncryption == AsymmetricEncryption::RsaOaepSha256 ? 66 : 42;
    return keyBytes > overhead ? keyBytes - overhead : 0;
}

tl::expected<Bytes, std::string> Encrypt(PolicyId policy, const Certificate& receiver,
                                         std::span<const std::uint8_t> plain)
{
    const std::size_t keyBytes = receiver.KeyBytes();
    const std::size_t block = PlainBlockSize(policy, keyBytes);
    if (block == 0) {
        return tl::unexpected(std::string("the receiver's key is not an RSA key of a usable size"));
    }
    KeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, receiver.PublicKey(), nullptr));
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 || !SetOaepPadding(policy, context.get())) {
        return tl::unexpected("cannot encrypt: " + OpenSslReason());
    }
    Bytes cipher;
    cipher.reserve((plain.size() + block - 1) / block * keyBytes);
    for (std::size_t offset = 0; offset < plain.size(); offset += block) {
        const std::size_t length = std::min(block, plain.size() - offset);
        std::size_t written = keyBytes;
        cipher.resize(cipher.size() + keyBytes);
        if (EVP_PKEY_encrypt(context.get(), cipher.data() + cipher.size() - keyBytes, &written, plain.data() + offset,
                             length)
                != 1
            || written != keyBytes) {
            return tl::unexpected("cannot encrypt: " + OpenSslReason());
        }
    }
    return cipher;
}

tl::expected<Bytes, std::string> Decrypt(PolicyId policy, const PrivateKey& key, std::span<const std::uint8_t> cipher)
{
    const std::size_t keyBytes = key.KeyBytes();
    if (keyBytes == 0 || cipher.size() % keyBytes != 0) {
        return tl::unexpected("encrypted data of " + std::to_string(cipher.size()) + " bytes is not whole blocks of "
                              + std::to_string(keyBytes));
    }
    KeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.Handle(), nullptr));
    if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 || !SetOaepPadding(policy, context.get())) {
        return tl::unexpected("cannot decrypt: " + OpenSslReason());
    }
    Bytes plain(cipher.size());
    std::size_t total = 0;
    for (std::size_t offset = 0; offset < cipher.size(); offset += keyBytes) {
        std::size_t written = plain.size() - total;
        if (EVP_PKEY_decrypt(context.get(), plain.data() + total, &written, cipher.data() + offset, keyBytes) != 1) {
            OpenSslReason();
            return tl::unexpected(std::string("cannot decrypt: the data was not encrypted to our key"));
        }
        total += written;
    }
    plain.resize(total);
    return plain;
}

Sha256Digest HmacSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data)
{
    Sha256Digest digest {};
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), digest.data(), &length);
    return digest;
}

Bytes PSha256(std::span<const std::uint8_t> secret, std::span<const std::uint8_t> seed, std::size_t length)
{
    Bytes out;
    out.reserve(length + 32);
    Bytes a(seed.begin(), seed.end()); // A(0) = seed, A(i) = HMAC(secret, A(i - 1))
    Bytes input;
    while (out.size() < length) {
        const Sha256Digest next = HmacSha256(secret, a);
        a.assign(next.begin(), next.end());
        input.assign(a.begin(), a.end());
        input.insert(input.end(), seed.begin(), seed.end());
        const Sha256Digest block = HmacSha256(secret, input);
        out.insert(out.end(), block.begin(), block.end());
    }
    out.resize(length);
    return out;
}

bool AesCbcEncrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv, std::span<std::uint8_t> data)
{
    return AesCbc(true, key, iv, data);
}

bool AesCbcDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv, std::span<std::uint8_t> data)
{
    return AesCbc(false, key, iv, data);
}

Bytes RandomBytes(std::size_t count)
{
    Bytes bytes(count);
    if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
        // Without a working generator no nonce or key can be trusted: stop rather than carry on predictably.
        std::abort();
    }
    return bytes;
}

SymmetricKeys DeriveKeys(PolicyId policy, std::span<const std::uint8_t> secret, std::span<const std::uint8_t> seed)
{
    const PolicyParameters& p = Parameters(policy);
    const Bytes stream = PSha256(secret, seed, p.signingKeyLength + p.encryptingKeyLength + p.blockSize);
    const auto at = [&](std::size_t from, std::size_t length) {
        return Bytes(stream.begin() + static_cast<std::ptrdiff_t>(from),
                     stream.begin() + static_cast<std::ptrdiff_t>(from + length));
    };
    return { at(0, p.signingKeyLength), at(p.signingKeyLength, p.encryptingKeyLength),
             at(p.signingKeyLength + p.encryptingKeyLength, p.blockSize) };
}

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace tavrel::opcua::crypto
