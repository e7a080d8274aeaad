#pragma once

#include "opcua/Chunking.h"
#include "opcua/SecureChannel.h"
#include "opcua/crypto/Keys.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua::crypto {

/// Who the server is, for the application instance certificate made on first start.
struct OwnIdentity
{
    std::string hostName; ///< CN=Tavrel@HOST
    std::string applicationUri; ///< urn:HOST:Tavrel
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses;
};

/// The host's name, its DNS names and its interfaces' addresses, for OwnIdentity.
OwnIdentity HostIdentity(const std::string& applicationUri);

/// The certificate store, laid out as OPC UA tools expect:
///   own/certs/tavrel.der, own/private/tavrel.pem   our application instance certificate and key (0600)
///   trusted/certs, trusted/crl                      clients and issuers we trust, and their revocation lists
///   issuers/certs, issuers/crl                      issuers that only complete chains, and their lists
///   rejected/certs                                  clients refused, named by thumbprint, for an administrator
/// The folders are read on each validation, so a certificate moved into trusted/ counts at once.
class Pki
{
public:
    /// Opens the store at `root`, making its folders and, on first start, our RSA 2048 certificate (SHA-256, ten
    /// years) and key. An existing certificate is never overwritten; a key file that others can read, a key that
    /// does not match the certificate, or one without the other is refused with the reason.
    static tl::expected<std::unique_ptr<Pki>, std::string>
    Open(const std::filesystem::path& root, const OwnIdentity& identity, bool autoAccept, std::int64_t nowMs);

    /// Nothing when `certificate` may open a channel at `nowMs`, else the refusal: Bad_CertificateTimeInvalid
    /// outside its dates, Bad_CertificateRevoked when a revocation list names it, Bad_SecurityChecksFailed when
    /// it is not trusted (and a copy lands in rejected/certs). With autoAccept any certificate within its dates
    /// is trusted.
    std::optional<ErrorMessage> Validate(const Certificate& certificate, std::int64_t nowMs) const;

    /// Copies the certificate in `file` (DER or PEM) into trusted/certs and drops it from rejected/certs; the
    /// path it now has.
    tl::expected<std::filesystem::path, std::string> Trust(const std::filesystem::path& file) const;

    /// How many refused certificates wait in rejected/certs.
    std::size_t RejectedCount() const;

    const std::filesystem::path& Root() const { return m_root; }
    const std::shared_ptr<const Certificate>& OwnCertificate() const { return m_certificate; }
    const std::shared_ptr<const PrivateKey>& OwnKey() const { return m_key; }
    /// Our certificate's SHA-1 thumbprint, 40 hex digits.
    std::string Thumbprint() const { return m_certificate->ThumbprintHex(); }
    /// Our certificate, key and this store's judgement for the server's channels (this Pki must outlive them).
    std::shared_ptr<const ChannelSecurity> Security() const;

private:
    Pki(std::filesystem::path root, bool autoAccept, std::shared_ptr<const Certificate> certificate,
        std::shared_ptr<const PrivateKey> key);
    std::optional<ErrorMessage> Reject(const Certificate& certificate, std::string reason) const;

    std::filesystem::path m_root;
    bool m_autoAccept;
    std::shared_ptr<const Certificate> m_certificate;
    std::shared_ptr<const PrivateKey> m_key;
};

} // namespace tavrel::opcua::crypto
