#include "link/LinkTls.h"

#include "common/Files.h"

#include <QSslCertificate>
#include <QSslKey>

#include <cstring>
#include <memory>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace tavrel::link {

namespace fs = std::filesystem;

namespace {

struct BioFree
{
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free
{
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

std::unique_ptr<BIO, BioFree> MemoryBio(const std::string& data)
{
    return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
}

// A passphrase callback that gives none: an encrypted key fails to load instead of asking on a terminal.
int NoPassphrase(char*, int, int, void*)
{
    return 0;
}

tl::expected<std::string, std::string> ReadFile(const fs::path& file, const std::string& what)
{
    auto content = common::ReadWholeFile(file);
    if (!content) {
        return tl::make_unexpected(what + " " + common::QuotedPath(file)
                                   + " cannot be read: " + std::strerror(content.error()));
    }
    return *content;
}

} // namespace

tl::expected<QSslConfiguration, std::string> LoadLinkTls(const fs::path& certFile, const fs::path& keyFile)
{
    const std::string keyName = "the key file (LinkKeyFile) " + common::QuotedPath(keyFile);
    std::error_code error;
    const fs::file_status keyStatus = fs::status(keyFile, error);
    if (!error && fs::is_regular_file(keyStatus)
        && (keyStatus.permissions() & (fs::perms::group_all | fs::perms::others_all)) != fs::perms::none) {
        return tl::make_unexpected(keyName + " may be read by others; make it its owner's alone (chmod 600 "
                                   + keyFile.string() + ")");
    }
    auto certText = ReadFile(certFile, "the certificate file (LinkCertFile)");
    if (!certText) {
        return tl::make_unexpected(certText.error());
    }
    auto keyText = ReadFile(keyFile, "the key file (LinkKeyFile)");
    if (!keyText) {
        return tl::make_unexpected(keyText.error());
    }

    const std::string certName = "the certificate file (LinkCertFile) " + common::QuotedPath(certFile);
    auto certBio = MemoryBio(*certText);
    std::unique_ptr<X509, X509Free> certificate(PEM_read_bio_X509(certBio.get(), nullptr, NoPassphrase, nullptr));
    if (!certificate) {
        return tl::make_unexpected(certName + " holds no PEM certificate");
    }
    auto keyBio = MemoryBio(*keyText);
    std::unique_ptr<EVP_PKEY, KeyFree> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, NoPassphrase, nullptr));
    if (!key) {
        return tl::make_unexpected(keyName
                                   + " holds no PEM private key (or one with a passphrase, which Tavrel "
                                     "cannot ask for)");
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        return tl::make_unexpected(keyName + " holds a key that is not the one of the certificate in "
                                   + common::QuotedPath(certFile));
    }
    if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0) {
        return tl::make_unexpected(certName + " holds a certificate that has expired");
    }
    if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) >= 0) {
        return tl::make_unexpected(certName + " holds a certificate that is not valid yet");
    }

    const QList<QSslCertificate> chain = QSslCertificate::fromData(QByteArray::fromStdString(*certText), QSsl::Pem);
    QSslKey qtKey;
    for (const QSsl::KeyAlgorithm algorithm : { QSsl::Rsa, QSsl::Ec, QSsl::Dsa }) {
        qtKey = QSslKey(QByteArray::fromStdString(*keyText), algorithm, QSsl::Pem);
        if (!qtKey.isNull()) {
            break;
        }
    }
    if (chain.isEmpty() || qtKey.isNull()) {
        return tl::make_unexpected(keyName + " holds a key of a kind the TLS library cannot use (use RSA or EC)");
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(qtKey);
    // No client certificate is asked for: clients prove themselves with their access token.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    return configuration;
}

} // namespace tavrel::link
