#include "opcua/crypto/CertificateMaker.h"

#include "opcua/crypto/Primitives.h"

#include <openssl/bn.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace tavrel::opcua::crypto {

namespace {

struct Deleter
{
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(BIGNUM* number) const { BN_free(number); }
    void operator()(X509_EXTENSION* extension) const { X509_EXTENSION_free(extension); }
};

bool AddText(X509_NAME* name, const char* field, const std::string& value)
{
    return value.empty()
        || X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(value.data()),
                                      static_cast<int>(value.size()), -1, 0)
        == 1;
}

bool AddExtension(X509* certificate, X509V3_CTX& context, int nid, const std::string& value)
{
    std::unique_ptr<X509_EXTENSION, Deleter> extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

std::string AlternativeNames(const CertificateRequest& request)
{
    std::string names = "URI:" + request.applicationUri;
    for (const std::string& dns : request.dnsNames) {
        names += ",DNS:" + dns;
    }
    for (const std::string& ip : request.ipAddresses) {
        names += ",IP:" + ip;
    }
    return names;
}

} // namespace

tl::expected<Certificate, std::string> MakeCertificate(const CertificateRequest& request, const PrivateKey& key,
                                                       std::optional<Issuer> issuer)
{
    const auto fail = [](const std::string& what) {
        return tl::unexpected("cannot make the certificate (" + what + "): " + OpenSslReason());
    };
    std::unique_ptr<X509, Deleter> certificate(X509_new());
    const Bytes serialBytes = RandomBytes(16);
    std::unique_ptr<BIGNUM, Deleter> serial(
        BN_bin2bn(serialBytes.data(), static_cast<int>(serialBytes.size()), nullptr));
    if (!certificate || !serial || X509_set_version(certificate.get(), 2) != 1
        || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get()))) {
        return fail("serial");
    }
    if (!ASN1_TIME_set(X509_getm_notBefore(certificate.get()), static_cast<time_t>(request.notBeforeMs / 1000))
        || !ASN1_TIME_set(X509_getm_notAfter(certificate.get()), static_cast<time_t>(request.notAfterMs / 1000))) {
        return fail("validity");
    }
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    if (!AddText(subject, "CN", request.commonName) || !AddText(subject, "O", request.organization)) {
        return fail("subject");
    }
    X509* signer = issuer ? issuer->certificate.Handle() : certificate.get();
    EVP_PKEY* signingKey = issuer ? issuer->key.Handle() : key.Handle();
    if (X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer)) != 1
        || X509_set_pubkey(certificate.get(), key.Handle()) != 1) {
        return fail("issuer");
    }
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, signer, certificate.get(), nullptr, nullptr, 0);
    const std::string usage = request.authority
        ? "critical,digitalSignature,keyCertSign,cRLSign"
        : "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyCertSign";
    const bool extended
        = request.authority || AddExtension(certificate.get(), context, NID_ext_key_usage, "serverAuth,clientAuth");
    if (!AddExtension(certificate.get(), context, NID_basic_constraints,
                      request.authority ? "critical,CA:TRUE" : "critical,CA:FALSE")
        || !AddExtension(certificate.get(), context, NID_key_usage, usage) || !extended
        || !AddExtension(certificate.get(), context, NID_subject_key_identifier, "hash")
        || !AddExtension(certificate.get(), context, NID_authority_key_identifier, "keyid:always")
        || (!request.applicationUri.empty()
            && !AddExtension(certificate.get(), context, NID_subject_alt_name, AlternativeNames(request)))) {
        return fail("extensions");
    }
    if (X509_sign(certificate.get(), signingKey, EVP_sha256()) == 0) {
        return fail("signature");
    }
    return Certificate(certificate.release());
}

} // namespace tavrel::opcua::crypto
