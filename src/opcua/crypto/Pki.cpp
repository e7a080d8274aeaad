#include "opcua/crypto/Pki.h"

#include "common/Files.h"
#include "opcua/StatusCodes.h"
#include "opcua/crypto/CertificateMaker.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <tuple>

namespace tavrel::opcua::crypto {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kHourMs = 3600LL * 1000;
constexpr std::int64_t kTenYearsMs = 3653LL * 24 * kHourMs;
constexpr unsigned kOwnKeyBits = 2048;
constexpr const char* kFolders[]
    = { "own/certs", "own/private", "trusted/certs", "trusted/crl", "issuers/certs", "issuers/crl", "rejected/certs" };

struct Deleter
{
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
    void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
    void operator()(X509_CRL* list) const { X509_CRL_free(list); }
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using CrlPtr = std::unique_ptr<X509_CRL, Deleter>;

/// Writes a file that must not exist yet, with `mode`: true, or false when it is there already.
tl::expected<bool, std::string> WriteNewFile(const fs::path& path, std::span<const std::uint8_t> bytes, mode_t mode)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor < 0) {
        const int error = errno;
        if (error == EEXIST) {
            return false;
        }
        return tl::unexpected("cannot create " + common::QuotedPath(path) + ": " + std::strerror(error));
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = errno;
            ::close(descriptor);
            fs::remove(path);
            return tl::unexpected("cannot write " + common::QuotedPath(path) + ": " + std::strerror(error));
        }
        written += static_cast<std::size_t>(n);
    }
    const bool synced = ::fsync(descriptor) == 0;
    ::close(descriptor);
    if (!synced) {
        return tl::unexpected("cannot write " + common::QuotedPath(path) + " to the disk");
    }
    return true;
}

std::span<const std::uint8_t> AsBytes(const std::string& text)
{
    return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
}

std::vector<Certificate> ReadCertificates(const fs::path& folder)
{
    std::vector<Certificate> certificates;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file(error)) {
            if (auto certificate = Certificate::FromFile(entry.path().string())) {
                certificates.push_back(std::move(*certificate));
            }
        }
    }
    return certificates;
}

std::vector<CrlPtr> ReadRevocationLists(const fs::path& folder)
{
    std::vector<CrlPtr> lists;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const auto bytes = common::ReadWholeFile(entry.path());
        if (!bytes) {
            continue;
        }
        std::unique_ptr<BIO, Deleter> bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
        X509_CRL* list = bytes->find("-----BEGIN X509 CRL-----") != std::string::npos
            ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr)
            : d2i_X509_CRL_bio(bio.get(), nullptr);
        if (list != nullptr) {
            lists.emplace_back(list);
        }
    }
    OpenSslReason(); // files that are no lists leave their reasons behind
    return lists;
}

std::string DateText(std::int64_t ms)
{
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm parts {};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

tl::expected<std::pair<Certificate, PrivateKey>, std::string> LoadOwn(const fs::path& certificatePath,
                                                                      const fs::path& keyPath)
{
    struct stat info
    {
    };
    if (::stat(keyPath.c_str(), &info) != 0) {
        return tl::unexpected("cannot read " + common::QuotedPath(keyPath) + ": " + std::strerror(errno));
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return tl::unexpected("the OPC UA server's private key " + common::QuotedPath(keyPath)
                              + " may be read by others: make it readable by its owner only (chmod 600)");
    }
    auto key = PrivateKey::FromPemFile(keyPath.string());
    if (!key) {
        return tl::unexpected(key.error());
    }
    auto certificate = Certificate::FromFile(certificatePath.string());
    if (!certificate) {
        return tl::unexpected(certificate.error());
    }
    if (!key->Matches(*certificate)) {
        return tl::unexpected(common::QuotedPath(keyPath) + " is not the key of "
                              + common::QuotedPath(certificatePath));
    }
    return std::pair { std::move(*certificate), std::move(*key) };
}

tl::expected<std::pair<Certificate, PrivateKey>, std::string>
MakeOwn(const fs::path& certificatePath, const fs::path& keyPath, const OwnIdentity& identity, std::int64_t nowMs)
{
    auto key = PrivateKey::GenerateRsa(kOwnKeyBits);
    if (!key) {
        return tl::unexpected(key.error());
    }
    CertificateRequest request;
    request.commonName = "Tavrel@" + identity.hostName;
    request.organization = "Tavrel";
    request.applicationUri = identity.applicationUri;
    request.dnsNames = identity.dnsNames;
    request.ipAddresses = identity.ipAddresses;
    request.notBeforeMs = nowMs - kHourMs; // a client whose clock is a little behind still accepts it
    request.notAfterMs = nowMs + kTenYearsMs;
    auto certificate = MakeCertificate(request, *key);
    if (!certificate) {
        return tl::unexpected(certificate.error());
    }
    const std::string pem = key->ToPem();
    // Neither file was there a moment ago: one there now is another start's, which is not overwritten.
    for (const auto& [path, bytes, mode] :
         { std::tuple { keyPath, AsBytes(pem), mode_t { 0600 } },
           std::tuple { certificatePath, std::span(certificate->Der()), mode_t { 0644 } } }) {
        const auto written = WriteNewFile(path, bytes, mode);
        if (!written) {
            return tl::unexpected(written.error());
        }
        if (!*written) {
            return tl::unexpected(common::QuotedPath(path) + " appeared while Tavrel was making it: start again");
        }
    }
    return std::pair { std::move(*certificate), std::move(*key) };
}

} // namespace

OwnIdentity HostIdentity(const std::string& applicationUri)
{
    OwnIdentity identity;
    identity.applicationUri = applicationUri;
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    identity.hostName = name;
    identity.dnsNames.push_back(name);
    addrinfo hints {};
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) == 0 && found != nullptr) {
        if (found->ai_canonname != nullptr && identity.hostName != found->ai_canonname) {
            identity.dnsNames.emplace_back(found->ai_canonname);
        }
        ::freeaddrinfo(found);
    }
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) == 0) {
        for (const ifaddrs* at = interfaces; at != nullptr; at = at->ifa_next) {
            char text[INET6_ADDRSTRLEN] = {};
            const sockaddr* address = at->ifa_addr;
            if (address != nullptr && address->sa_family == AF_INET) {
                ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
            } else if (address != nullptr && address->sa_family == AF_INET6) {
                const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
                if (IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr)) {
                    continue; // only meaningful with an interface name, which a certificate cannot carry
                }
                ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
            }
            if (text[0] != '\0'
                && std::find(identity.ipAddresses.begin(), identity.ipAddresses.end(), text)
                    == identity.ipAddresses.end()) {
                identity.ipAddresses.emplace_back(text);
            }
        }
        ::freeifaddrs(interfaces);
    }
    return identity;
}

Pki::Pki(fs::path root, bool autoAccept, std::shared_ptr<const Certificate> certificate,
         std::shared_ptr<const PrivateKey> key)
    : m_root(std::move(root))
    , m_autoAccept(autoAccept)
    , m_certificate(std::move(certificate))
    , m_key(std::move(key))
{
}

tl::expected<std::unique_ptr<Pki>, std::string> Pki::Open(const fs::path& root, const OwnIdentity& identity,
                                                          bool autoAccept, std::int64_t nowMs)
{
    std::error_code error;
    for (const char* folder : kFolders) {
        fs::create_directories(root / folder, error);
        if (error) {
            return tl::unexpected("cannot make " + common::QuotedPath(root / folder) + ": " + error.message());
        }
    }
    fs::permissions(root / "own/private", fs::perms::owner_all, error);
    const fs::path certificatePath = root / "own/certs/tavrel.der";
    const fs::path keyPath = root / "own/private/tavrel.pem";
    const bool hasCertificate = fs::exists(certificatePath, error);
    const bool hasKey = fs::exists(keyPath, error);
    if (hasCertificate != hasKey) {
        return tl::unexpected(common::QuotedPath(hasCertificate ? certificatePath : keyPath) + " is there without "
                              + common::QuotedPath(hasCertificate ? keyPath : certificatePath)
                              + ": put the missing file back, or remove both to make a new certificate");
    }
    auto own = hasCertificate ? LoadOwn(certificatePath, keyPath) : MakeOwn(certificatePath, keyPath, identity, nowMs);
    if (!own) {
        return tl::unexpected(own.error());
    }
    return std::unique_ptr<Pki>(new Pki(root, autoAccept, std::make_shared<const Certificate>(std::move(own->first)),
                                        std::make_shared<const PrivateKey>(std::move(own->second))));
}

std::shared_ptr<const ChannelSecurity> Pki::Security() const
{
    auto security = std::make_shared<ChannelSecurity>();
    security->certificate = m_certificate;
    security->key = m_key;
    security->validator
        = [this](const Certificate& certificate, std::int64_t nowMs) { return Validate(certificate, nowMs); };
    return security;
}

std::optional<ErrorMessage> Pki::Validate(const Certificate& certificate, std::int64_t nowMs) const
{
    if (nowMs < certificate.NotBeforeMs() || nowMs > certificate.NotAfterMs()) {
        return ErrorMessage { status::kBadCertificateTimeInvalid,
                              "the certificate of " + certificate.Subject() + " is valid from "
                                  + DateText(certificate.NotBeforeMs()) + " to " + DateText(certificate.NotAfterMs()) };
    }
    if (m_autoAccept) {
        return std::nullopt;
    }
    const std::vector<Certificate> trusted = ReadCertificates(m_root / "trusted/certs");
    const std::vector<Certificate> issuers = ReadCertificates(m_root / "issuers/certs");
    std::vector<CrlPtr> lists = ReadRevocationLists(m_root / "trusted/crl");
    for (auto& list : ReadRevocationLists(m_root / "issuers/crl")) {
        lists.push_back(std::move(list));
    }
    // A self-signed certificate is trusted as it is: its revocation is its removal from trusted/.
    const bool selfSigned = X509_check_issued(certificate.Handle(), certificate.Handle()) == X509_V_OK;
    const auto same = [&](const Certificate& c) { return c.Sha1Thumbprint() == certificate.Sha1Thumbprint(); };
    if (selfSigned && std::any_of(trusted.begin(), trusted.end(), same)) {
        return std::nullopt;
    }
    std::unique_ptr<X509_STORE, Deleter> store(X509_STORE_new());
    std::unique_ptr<STACK_OF(X509), Deleter> chain(sk_X509_new_null());
    std::unique_ptr<X509_STORE_CTX, Deleter> context(X509_STORE_CTX_new());
    if (!store || !chain || !context) {
        return ErrorMessage { status::kBadOutOfMemory, "no memory to check a certificate" };
    }
    for (const Certificate& anchor : trusted) {
        X509_STORE_add_cert(store.get(), anchor.Handle());
    }
    for (const Certificate& issuer : issuers) {
        sk_X509_push(chain.get(), issuer.Handle());
    }
    for (const CrlPtr& list : lists) {
        X509_STORE_add_crl(store.get(), list.get());
    }
    X509_STORE_CTX_init(context.get(), store.get(), certificate.Handle(), chain.get());
    X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_time(parameters, static_cast<time_t>(nowMs / 1000));
    X509_VERIFY_PARAM_set_flags(parameters, X509_V_FLAG_PARTIAL_CHAIN | (lists.empty() ? 0UL : X509_V_FLAG_CRL_CHECK));
    const bool good = X509_verify_cert(context.get()) == 1;
    const int fault = X509_STORE_CTX_get_error(context.get());
    OpenSslReason();
    if (good) {
        return std::nullopt;
    }
    const std::string reason = X509_verify_cert_error_string(fault);
    const std::string who = "the certificate of " + certificate.Subject() + ": ";
    switch (fault) {
    case X509_V_ERR_CERT_REVOKED:
        return ErrorMessage { status::kBadCertificateRevoked, who + reason };
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        return ErrorMessage { status::kBadCertificateRevocationUnknown, who + reason };
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return ErrorMessage { status::kBadCertificateIssuerTimeInvalid, who + reason };
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return ErrorMessage { status::kBadCertificateInvalid, who + reason };
    default:
        return Reject(certificate, reason);
    }
}

std::optional<ErrorMessage> Pki::Reject(const Certificate& certificate, std::string reason) const
{
    // The reason goes to the client: it names the certificate, not where the server keeps it.
    const fs::path copy = m_root / "rejected/certs" / (certificate.ThumbprintHex() + ".der");
    const auto written = WriteNewFile(copy, certificate.Der(), 0644);
    return ErrorMessage { status::kBadSecurityChecksFailed,
                          "the certificate of " + certificate.Subject() + " (" + certificate.ThumbprintHex()
                              + ") is not trusted: " + reason
                              + (written ? "; an administrator of the server may trust it"
                                         : "; the server could not keep it for its administrator") };
}

tl::expected<fs::path, std::string> Pki::Trust(const fs::path& file) const
{
    auto certificate = Certificate::FromFile(file.string());
    if (!certificate) {
        return tl::unexpected(certificate.error());
    }
    const std::string name = certificate->ThumbprintHex() + ".der";
    const fs::path target = m_root / "trusted/certs" / name;
    if (auto written = WriteNewFile(target, certificate->Der(), 0644); !written) {
        return tl::unexpected(written.error());
    }
    std::error_code error;
    fs::remove(m_root / "rejected/certs" / name, error);
    return target;
}

std::size_t Pki::RejectedCount() const
{
    std::error_code error;
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(m_root / "rejected/certs", error)) {
        count += entry.is_regular_file(error) ? 1 : 0;
    }
    return count;
}

} // namespace tavrel::opcua::crypto
