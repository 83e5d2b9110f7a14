#include "tests/support/TestCertificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace {

EVP_PKEY* NewKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key)
        throw std::runtime_error("cannot make a test key");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension || !X509_add_ext(certificate, extension, -1))
        throw std::runtime_error("cannot add a test certificate extension");
    X509_EXTENSION_free(extension);
}

// Signs the certificate with signer, writes it and its key as dir/name.pem
// and dir/name.key, and frees it.
TestCertificate SignAndWrite(const std::string& dir, const std::string& name, X509* certificate,
                             EVP_PKEY* key, EVP_PKEY* signer) {
    X509_sign(certificate, signer, EVP_sha256());
    TestCertificate files{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
    BIO* pem = BIO_new_file(files.certificate.c_str(), "w");
    BIO* pkey = BIO_new_file(files.key.c_str(), "w");
    const bool written = pem && pkey && PEM_write_bio_X509(pem, certificate) &&
                         PEM_write_bio_PrivateKey(pkey, key, nullptr, nullptr, 0, nullptr, nullptr);
    BIO_free(pem);  // either may be null
    BIO_free(pkey);
    X509_free(certificate);
    if (!written)
        throw std::runtime_error("cannot write the test certificate " + files.certificate);
    return files;
}

// A certificate whose subject holds the common names for key, by issuer
// (null: itself), not yet signed.
X509* NewCertificate(const std::vector<std::string>& commonNames, EVP_PKEY* key,
                     const X509_NAME* issuer, long validFrom, long validUntil) {
    static long serial = 1;
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), validFrom);
    X509_gmtime_adj(X509_getm_notAfter(certificate), validUntil);
    X509_set_pubkey(certificate, key);
    for (const std::string& commonName : commonNames)
        X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0);
    X509_set_issuer_name(certificate, issuer ? issuer : X509_get_subject_name(certificate));
    return certificate;
}

}  // namespace

TestCa::TestCa(const std::string& dir, const std::string& commonName)
    : m_dir(dir), m_key(NewKey()), m_name(nullptr) {
    EVP_PKEY* key = static_cast<EVP_PKEY*>(m_key);
    X509* certificate = NewCertificate({commonName}, key, nullptr, -3600, 86400);
    AddExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign");
    m_name = X509_NAME_dup(X509_get_subject_name(certificate));
    m_files = SignAndWrite(dir, commonName, certificate, key, key);
}

TestCa::~TestCa() {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(m_key));
    X509_NAME_free(static_cast<X509_NAME*>(m_name));
}

TestCertificate TestCa::Issue(const std::string& commonName, const std::string& ip, long validFrom,
                              long validUntil) const {
    return IssueNamed(commonName, {commonName}, ip.empty() ? "" : "IP:" + ip, validFrom,
                      validUntil);
}

TestCertificate TestCa::IssueNamed(const std::string& fileName,
                                   const std::vector<std::string>& commonNames,
                                   const std::string& altNames, long validFrom,
                                   long validUntil) const {
    EVP_PKEY* key = NewKey();
    X509* certificate =
        NewCertificate(commonNames, key, static_cast<X509_NAME*>(m_name), validFrom, validUntil);
    if (!altNames.empty())
        AddExtension(certificate, nullptr, NID_subject_alt_name, altNames);
    TestCertificate files =
        SignAndWrite(m_dir, fileName, certificate, key, static_cast<EVP_PKEY*>(m_key));
    EVP_PKEY_free(key);
    return files;
}
