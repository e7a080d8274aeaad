#pragma once

#include "opcua/crypto/Keys.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua::crypto {

/// What goes into an application instance certificate (or, for tests and small sites, an issuer's).
struct CertificateRequest
{
    std::string commonName;
    std::string organization;
    std::string applicationUri; ///< the first URI of the subject alternative name
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses; ///< dotted or IPv6 text
    std::int64_t notBeforeMs = 0; ///< milliseconds since 1970-01-01 UTC
    std::int64_t notAfterMs = 0;
    bool authority = false; ///< a certificate that signs others (basicConstraints CA, keyCertSign and cRLSign)
};

/// The issuer that signs a certificate: none for a self-signed one.
struct Issuer
{
    const Certificate& certificate;
    const PrivateKey& key;
};

/// Makes an X.509 v3 certificate for `key`'s public half, signed with SHA-256 by `issuer` (or by `key` itself):
/// a random serial, keyUsage digitalSignature, nonRepudiation, keyEncipherment, dataEncipherment and
/// keyCertSign, extendedKeyUsage serverAuth and clientAuth, subject and authority key identifiers.
tl::expected<Certificate, std::string> MakeCertificate(const CertificateRequest& request, const PrivateKey& key,
                                                       std::optional<Issuer> issuer = std::nullopt);

} // namespace tavrel::opcua::crypto
