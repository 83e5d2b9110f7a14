// Certificates for TLS tests, made with OpenSSL's library: a certificate
// authority, and certificates it issues, written as PEM files into a
// directory. Keys are P-256; validity is given in seconds from now, so an
// expired certificate is simply one whose end lies in the past.
#pragma once

#include <string>
#include <vector>

struct TestCertificate {
    std::string certificate;  // PEM file paths
    std::string key;
};

class TestCa {
  public:
    // A self-signed CA named commonName; its files are dir/commonName.{pem,key}.
    TestCa(const std::string& dir, const std::string& commonName);
    ~TestCa();
    TestCa(const TestCa&) = delete;
    TestCa& operator=(const TestCa&) = delete;

    const TestCertificate& Files() const { return m_files; }
    // A certificate for commonName (files dir/commonName.{pem,key}), with an
    // IP address in its subject alternative names when ip is not empty.
    TestCertificate Issue(const std::string& commonName, const std::string& ip = "",
                          long validFrom = -3600, long validUntil = 86400) const;
    // A certificate whose subject holds each of commonNames, in order, and
    // whose subject alternative names, when altNames is not empty, are
    // altNames as OpenSSL's configuration writes them
    // ("DNS:a.example,DNS:b.example"); files dir/fileName.{pem,key}.
    TestCertificate IssueNamed(const std::string& fileName,
                               const std::vector<std::string>& commonNames,
                               const std::string& altNames, long validFrom = -3600,
                               long validUntil = 86400) const;

  private:
    std::string m_dir;
    TestCertificate m_files;
    void* m_key;   // EVP_PKEY
    void* m_name;  // X509_NAME of the CA
};
