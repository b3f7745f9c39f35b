// Certificates made in memory, for suites and fuzz targets that need one without the openssl
// command: self-signed with a fresh P-256 key.
#ifndef TESTS_SUPPORT_TEST_CERTIFICATE_H_
#define TESTS_SUPPORT_TEST_CERTIFICATE_H_

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

// Owns a certificate and its key; not copyable.
class TestCertificate {
  public:
    // subject: (attribute, value) pairs such as ("CN", "agent-1"); altNames: a subjectAltName
    // value such as "URI:urn:uuid:agent-1", or empty for none.
    explicit TestCertificate(const std::vector<std::pair<std::string, std::string>> &subject,
                             const std::string &altNames = "")
        : key_(EVP_EC_gen("P-256")), certificate_(X509_new()) {
        X509_set_version(certificate_, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate_), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate_), 0);
        X509_gmtime_adj(X509_getm_notAfter(certificate_), 3600L * 24 * 365);
        X509_set_pubkey(certificate_, key_);
        X509_NAME *name = X509_get_subject_name(certificate_);
        for (const auto &entry : subject) {
            X509_NAME_add_entry_by_txt(
                name, entry.first.c_str(), MBSTRING_UTF8,
                reinterpret_cast<const unsigned char *>(entry.second.c_str()), -1, -1, 0);
        }
        X509_set_issuer_name(certificate_, name);
        if (!altNames.empty()) {
            X509_EXTENSION *extension =
                X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, altNames.c_str());
            X509_add_ext(certificate_, extension, -1);
            X509_EXTENSION_free(extension);
        }
        X509_sign(certificate_, key_, EVP_sha256());
    }
    ~TestCertificate() {
        X509_free(certificate_);
        EVP_PKEY_free(key_);
    }
    TestCertificate(const TestCertificate &) = delete;
    TestCertificate &operator=(const TestCertificate &) = delete;

    X509 *Get() const { return certificate_; }
    // Writes the certificate and its key as PEM files; false when either cannot be written.
    bool Write(const std::string &certificateFile, const std::string &keyFile) const {
        FILE *out = std::fopen(certificateFile.c_str(), "w");
        bool ok = out != nullptr && PEM_write_X509(out, certificate_) == 1;
        if (out != nullptr)
            std::fclose(out);
        out = std::fopen(keyFile.c_str(), "w");
        ok = ok && out != nullptr &&
             PEM_write_PrivateKey(out, key_, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        if (out != nullptr)
            std::fclose(out);
        return ok;
    }

  private:
    EVP_PKEY *key_;
    X509 *certificate_;
};

#endif  // TESTS_SUPPORT_TEST_CERTIFICATE_H_
