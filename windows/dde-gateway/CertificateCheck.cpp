#include "CertificateCheck.h"

#include "Text.h"

#include <bcrypt.h>

#include <memory>

namespace tavrel::dde {

namespace {

struct CertificateFree
{
    void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};

} // namespace

std::string Sha256Hex(const BYTE* data, DWORD size)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        return {};
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32] = {};
    const bool hashed = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0
        && BCryptHashData(hash, const_cast<BYTE*>(data), size, 0) == 0
        && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!hashed) {
        return {};
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const UCHAR byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

std::optional<std::string> CertificateCheck::Load(const Options& options, CertificateCheck& check)
{
    check.m_pin = options.pinSha256;
    if (options.caFile.empty()) {
        return std::nullopt;
    }
    const std::string name = "the CA file '" + Narrow(options.caFile) + "'";
    const HANDLE file = CreateFileW(options.caFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "cannot open " + name + " (error " + std::to_string(GetLastError()) + ")";
    }
    std::string text(64 * 1024, '\0');
    DWORD read = 0;
    const BOOL ok = ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(ok ? read : 0);
    DWORD size = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)
        || size == 0) {
        return name + " holds no PEM certificate";
    }
    check.m_authority.resize(size);
    CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                         check.m_authority.data(), &size, nullptr, nullptr);
    check.m_authority.resize(size);
    const std::unique_ptr<const CERT_CONTEXT, CertificateFree> authority(
        CertCreateCertificateContext(X509_ASN_ENCODING, check.m_authority.data(), size));
    if (!authority) {
        return name + " holds no certificate Windows can read";
    }
    return std::nullopt;
}

std::optional<std::string> CertificateCheck::Judge(PCCERT_CONTEXT certificate) const
{
    if (CertVerifyTimeValidity(nullptr, certificate->pCertInfo) != 0) {
        return "its certificate has expired or is not valid yet";
    }
    if (!m_pin.empty()) {
        const std::string hash = Sha256Hex(certificate->pbCertEncoded, certificate->cbCertEncoded);
        if (hash != m_pin) {
            return "its certificate's SHA-256 is " + (hash.empty() ? std::string("unknown") : hash)
                + ", not the pinned " + m_pin;
        }
    }
    if (!m_authority.empty()) {
        const std::unique_ptr<const CERT_CONTEXT, CertificateFree> authority(CertCreateCertificateContext(
            X509_ASN_ENCODING, m_authority.data(), static_cast<DWORD>(m_authority.size())));
        if (!authority
            || !CryptVerifyCertificateSignatureEx(
                0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT, const_cast<CERT_CONTEXT*>(certificate),
                CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT, const_cast<CERT_CONTEXT*>(authority.get()), 0, nullptr)) {
            return std::string("its certificate is not signed by the certificate of --ca-file");
        }
    }
    return std::nullopt;
}

} // namespace tavrel::dde
