#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <openssl/types.h>
#include <tl/expected.hpp>

namespace tavrel::opcua::crypto {

using Bytes = std::vector<std::uint8_t>;
using Thumbprint = std::array<std::uint8_t, 20>; ///< SHA-1 of a certificate's DER bytes

struct OpenSslDeleter
{
    void operator()(X509* certificate) const;
    void operator()(EVP_PKEY* key) const;
};

/// The reason OpenSSL gives for the last failure on this thread, emptied from its queue.
std::string OpenSslReason();

/// An X.509 certificate: the DER bytes that travel in messages, and what the channel and session read from it.
class Certificate
{
public:
    /// The certificate at the start of `der` (an OpenSecureChannel may send a chain: the sender's certificate
    /// followed by its issuers'; those are ignored here).
    static tl::expected<Certificate, std::string> FromDer(std::span<const std::uint8_t> der);
    /// A certificate file, DER or PEM.
    static tl::expected<Certificate, std::string> FromFile(const std::string& path);
    /// Takes ownership of `certificate`.
    explicit Certificate(X509* certificate);

    const Bytes& Der() const { return m_der; }
    const Thumbprint& Sha1Thumbprint() const { return m_thumbprint; }
    /// The thumbprint as 40 upper-case hex digits, the name of a rejected certificate's file.
    std::string ThumbprintHex() const;
    /// The first URI in the subject alternative name: the application URI; empty when it has none.
    std::string ApplicationUri() const;
    /// The subject, one line (CN=…, O=…).
    std::string Subject() const;
    /// Validity, milliseconds since 1970-01-01 UTC.
    std::int64_t NotBeforeMs() const { return m_notBeforeMs; }
    std::int64_t NotAfterMs() const { return m_notAfterMs; }
    /// The size of its RSA key in bytes, 0 for a key that is not RSA.
    std::size_t KeyBytes() const;
    EVP_PKEY* PublicKey() const;
    X509* Handle() const { return m_certificate.get(); }

private:
    std::shared_ptr<X509> m_certificate;
    Bytes m_der;
    Thumbprint m_thumbprint {};
    std::int64_t m_notBeforeMs = 0;
    std::int64_t m_notAfterMs = 0;
};

/// An RSA private key.
class PrivateKey
{
public:
    static tl::expected<PrivateKey, std::string> FromPem(std::string_view pem);
    static tl::expected<PrivateKey, std::string> FromPemFile(const std::string& path);
    static tl::expected<PrivateKey, std::string> GenerateRsa(unsigned bits);
    /// Takes ownership of `key`.
    explicit PrivateKey(EVP_PKEY* key);

    /// PKCS#8 PEM, unencrypted.
    std::string ToPem() const;
    std::size_t KeyBytes() const;
    /// Whether `certificate` holds this key's public half.
    bool Matches(const Certificate& certificate) const;
    EVP_PKEY* Handle() const { return m_key.get(); }

private:
    std::shared_ptr<EVP_PKEY> m_key;
};

/// Hex digits, upper case.
std::string Hex(std::span<const std::uint8_t> bytes);

} // namespace tavrel::opcua::crypto
