#pragma once

#include "Options.h"

#include <windows.h>

#include <wincrypt.h>

#include <optional>
#include <string>
#include <vector>

namespace tavrel::dde {

/// How the gateway judges the link server's certificate where Windows cannot: one of its own making, trusted by
/// its SHA-256 (--pin-sha256) or by the certificate that signed it (--ca-file). The judgement is made once the TLS
/// handshake is done and before a request, and so the token, is sent.
class CertificateCheck
{
public:
    /// The check `options` ask for (none when they ask for neither); the reason when the CA file cannot be used.
    static std::optional<std::string> Load(const Options& options, CertificateCheck& check);

    /// Whether the gateway judges the certificate itself.
    bool Active() const { return !m_pin.empty() || !m_authority.empty(); }

    /// Why `certificate` is not to be trusted; nothing when it is.
    std::optional<std::string> Judge(PCCERT_CONTEXT certificate) const;

private:
    std::string m_pin; ///< lower-case hex
    std::vector<BYTE> m_authority; ///< the CA certificate, DER
};

/// The SHA-256 of `size` bytes at `data` in lower-case hex; empty when Windows cannot hash.
std::string Sha256Hex(const BYTE* data, DWORD size);

} // namespace tavrel::dde
