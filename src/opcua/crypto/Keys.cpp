#include "opcua/crypto/Keys.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <fstream>
#include <iterator>

namespace tavrel::opcua::crypto {

namespace {

struct BioDeleter
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

tl::expected<std::string, std::string> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return tl::unexpected("cannot open " + path);
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return tl::unexpected("cannot read " + path);
    }
    return bytes;
}

std::int64_t ToUnixMs(const ASN1_TIME* time)
{
    std::tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return 0;
    }
    return static_cast<std::int64_t>(timegm(&parts)) * 1000;
}

} // namespace

void OpenSslDeleter::operator()(X509* certificate) const
{
    X509_free(certificate);
}

void OpenSslDeleter::operator()(EVP_PKEY* key) const
{
    EVP_PKEY_free(key);
}

std::string OpenSslReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "no reason given";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string Hex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

Certificate::Certificate(X509* certificate)
    : m_certificate(certificate, OpenSslDeleter {})
{
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length > 0) {
        m_der.assign(der, der + length);
        OPENSSL_free(der);
    }
    unsigned int size = 0;
    EVP_Digest(m_der.data(), m_der.size(), m_thumbprint.data(), &size, EVP_sha1(), nullptr);
    m_notBeforeMs = ToUnixMs(X509_get0_notBefore(certificate));
    m_notAfterMs = ToUnixMs(X509_get0_notAfter(certificate));
}

tl::expected<Certificate, std::string> Certificate::FromDer(std::span<const std::uint8_t> der)
{
    const unsigned char* next = der.data();
    X509* certificate = d2i_X509(nullptr, &next, static_cast<long>(der.size()));
    if (certificate == nullptr) {
        return tl::unexpected("not a DER certificate: " + OpenSslReason());
    }
    return Certificate(certificate);
}

tl::expected<Certificate, std::string> Certificate::FromFile(const std::string& path)
{
    const auto bytes = ReadFile(path);
    if (!bytes) {
        return tl::unexpected(bytes.error());
    }
    if (bytes->find("-----BEGIN CERTIFICATE-----") != std::string::npos) {
        BioPtr bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
        X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (certificate == nullptr) {
            return tl::unexpected(path + ": not a PEM certificate: " + OpenSslReason());
        }
        return Certificate(certificate);
    }
    auto certificate = FromDer({ reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size() });
    if (!certificate) {
        return tl::unexpected(path + ": " + certificate.error());
    }
    return certificate;
}

std::string Certificate::ThumbprintHex() const
{
    return Hex(m_thumbprint);
}

std::string Certificate::ApplicationUri() const
{
    auto* names
        = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(m_certificate.get(), NID_subject_alt_name, nullptr, nullptr));
    std::string uri;
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names) && uri.empty(); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_URI) {
            const ASN1_IA5STRING* text = name->d.uniformResourceIdentifier;
            uri.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                       static_cast<std::size_t>(ASN1_STRING_length(text)));
        }
    }
    GENERAL_NAMES_free(names);
    return uri;
}

std::string Certificate::Subject() const
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), X509_get_subject_name(m_certificate.get()), 0,
                       XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

EVP_PKEY* Certificate::PublicKey() const
{
    return X509_get0_pubkey(m_certificate.get());
}

std::size_t Certificate::KeyBytes() const
{
    EVP_PKEY* key = PublicKey();
    return key != nullptr && EVP_PKEY_is_a(key, "RSA") ? static_cast<std::size_t>(EVP_PKEY_get_size(key)) : 0;
}

PrivateKey::PrivateKey(EVP_PKEY* key)
    : m_key(key, OpenSslDeleter {})
{
}

tl::expected<PrivateKey, std::string> PrivateKey::FromPem(std::string_view pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (key == nullptr) {
        return tl::unexpected("not a PEM private key: " + OpenSslReason());
    }
    if (!EVP_PKEY_is_a(key, "RSA")) {
        EVP_PKEY_free(key);
        return tl::unexpected(std::string("not an RSA key"));
    }
    return PrivateKey(key);
}

tl::expected<PrivateKey, std::string> PrivateKey::FromPemFile(const std::string& path)
{
    const auto text = ReadFile(path);
    if (!text) {
        return tl::unexpected(text.error());
    }
    auto key = FromPem(*text);
    if (!key) {
        return tl::unexpected(path + ": " + key.error());
    }
    return key;
}

tl::expected<PrivateKey, std::string> PrivateKey::GenerateRsa(unsigned bits)
{
    EVP_PKEY* key = EVP_RSA_gen(bits);
    if (key == nullptr) {
        return tl::unexpected("cannot make an RSA key: " + OpenSslReason());
    }
    return PrivateKey(key);
}

std::string PrivateKey::ToPem() const
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), m_key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::size_t PrivateKey::KeyBytes() const
{
    return static_cast<std::size_t>(EVP_PKEY_get_size(m_key.get()));
}

bool PrivateKey::Matches(const Certificate& certificate) const
{
    return EVP_PKEY_eq(m_key.get(), certificate.PublicKey()) == 1;
}

} // namespace tavrel::opcua::crypto
