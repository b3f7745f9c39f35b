// Certificate chains of any length under a CA on disk, for the router's limits on what a peer
// may present.
#ifndef TESTS_SUPPORT_TEST_CERTIFICATE_CHAIN_H_
#define TESTS_SUPPORT_TEST_CERTIFICATE_CHAIN_H_

#include <cstdio>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace test_certificate_chain {

inline void AddExtension(X509 *certificate, int nid, const char *value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, nullptr, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for key named cn (and OU ou when not empty), signed by issuer's key.
inline X509 *Issue(EVP_PKEY *key, const std::string &cn, const std::string &ou, X509 *issuer,
                   EVP_PKEY *issuerKey, long serial, bool ca) {
    X509 *certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600L * 24);
    X509_set_pubkey(certificate, key);
    X509_NAME *name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
    if (!ou.empty()) {
        X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(ou.c_str()), -1, -1, 0);
    }
    X509_set_issuer_name(certificate, X509_get_subject_name(issuer));
    if (ca) {
        AddExtension(certificate, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(certificate, NID_subject_alt_name, ("URI:urn:uuid:" + cn).c_str());
        AddExtension(certificate, NID_ext_key_usage, "clientAuth");
    }
    X509_sign(certificate, issuerKey, EVP_sha256());
    return certificate;
}

}  // namespace test_certificate_chain

// Writes to certificateFile a leaf for uuid with OU kind, followed by `intermediates` CA
// certificates, each signed by the next and the last by the CA of caCertificate / caKey (PEM
// files): the order a peer presents them in. The leaf's key goes to keyFile. False when a file
// cannot be read or written.
inline bool WriteCertificateChain(const std::string &caCertificate, const std::string &caKey,
                                  int intermediates, const std::string &uuid,
                                  const std::string &kind, const std::string &certificateFile,
                                  const std::string &keyFile) {
    using namespace test_certificate_chain;
    FILE *in = std::fopen(caCertificate.c_str(), "r");
    X509 *issuer = in != nullptr ? PEM_read_X509(in, nullptr, nullptr, nullptr) : nullptr;
    if (in != nullptr)
        std::fclose(in);
    in = std::fopen(caKey.c_str(), "r");
    EVP_PKEY *issuerKey =
        in != nullptr ? PEM_read_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
    if (in != nullptr)
        std::fclose(in);
    if (issuer == nullptr || issuerKey == nullptr)
        return false;
    // Made from the CA down; written from the leaf up.
    std::vector<X509 *> chain;
    std::vector<EVP_PKEY *> keys{issuerKey};
    chain.push_back(issuer);
    for (int i = 0; i <= intermediates; ++i) {
        EVP_PKEY *key = EVP_EC_gen("P-256");
        const bool leaf = i == intermediates;
        chain.push_back(Issue(key, leaf ? uuid : "intermediate " + std::to_string(i),
                              leaf ? kind : "", chain.back(), keys.back(), 1000 + i, !leaf));
        keys.push_back(key);
    }
    FILE *out = std::fopen(certificateFile.c_str(), "w");
    bool ok = out != nullptr;
    for (size_t i = chain.size() - 1; ok && i > 0; --i)
        ok = PEM_write_X509(out, chain[i]) == 1;
    if (out != nullptr)
        std::fclose(out);
    out = std::fopen(keyFile.c_str(), "w");
    ok = ok && out != nullptr &&
         PEM_write_PrivateKey(out, keys.back(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (out != nullptr)
        std::fclose(out);
    for (X509 *certificate : chain)
        X509_free(certificate);
    for (EVP_PKEY *key : keys)
        EVP_PKEY_free(key);
    return ok;
}

#endif  // TESTS_SUPPORT_TEST_CERTIFICATE_CHAIN_H_
