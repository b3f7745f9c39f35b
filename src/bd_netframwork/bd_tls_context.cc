#include "bd_netframwork/bd_tls_context.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <openssl/err.h>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_network.h"

namespace {

// Resumed sessions must come back to a context of this program; the name is arbitrary.
const unsigned char kSessionIdContext[] = "rt_server";

// Why the library refused the last step, or why the file cannot be opened at all: the library's
// own text for a missing file is less plain than the system's.
std::string Reason(const std::string &path) {
    FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        const int error = errno;
        ERR_clear_error();
        return std::strerror(error);
    }
    std::fclose(file);
    const unsigned long error = ERR_peek_last_error();
    const char *text = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return text != nullptr ? text : "unreadable";
}

bool Fail(const char *what, const std::string &path, std::string *failure) {
    *failure = std::string("TLS ") + what + " file " + path + ": " + Reason(path);
    return false;
}

bool Configure(SSL_CTX *context, const BdTlsServerContext::Settings &settings,
               std::string *failure) {
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
    // Renegotiation would let a peer make the router run handshakes at will mid-stream.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    // The event loop sends what the socket takes and comes back with the rest later, from the
    // same queued packet.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_max_cert_list(context, BdTlsServerContext::kMaxCertificateListBytes);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(context, kSessionIdContext, sizeof(kSessionIdContext) - 1);

    if (SSL_CTX_use_certificate_chain_file(context, settings.certificate_file.c_str()) != 1) {
        return Fail("certificate", settings.certificate_file, failure);
    }
    if (SSL_CTX_use_PrivateKey_file(context, settings.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
        return Fail("private key", settings.key_file, failure);
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        ERR_clear_error();
        *failure = "TLS private key file " + settings.key_file +
                   ": does not match the certificate " + settings.certificate_file;
        return false;
    }
    if (settings.ca_file.empty()) {
        return true;
    }
    if (SSL_CTX_load_verify_locations(context, settings.ca_file.c_str(), nullptr) != 1) {
        return Fail("CA", settings.ca_file, failure);
    }
    // Tells the peer which CA to choose its certificate by.
    STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(settings.ca_file.c_str());
    if (names != nullptr) {
        SSL_CTX_set_client_CA_list(context, names);
    }
    int mode = SSL_VERIFY_PEER;
    if (settings.require_peer_certificate) {
        mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    }
    SSL_CTX_set_verify(context, mode, nullptr);
    SSL_CTX_set_verify_depth(context, BdTlsServerContext::kVerifyDepth);
    return true;
}

}  // namespace

BdTlsServerContext::~BdTlsServerContext() {
    SSL_CTX_free(_context);
}

int BdTlsServerContext::Load(const Settings &settings, std::string *failure) {
    BdNetwork::SslLoad();
    ERR_clear_error();
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        *failure = "TLS context cannot be created";
        return BD_ERROR;
    }
    if (!Configure(context, settings, failure)) {
        SSL_CTX_free(context);
        return BD_ERROR;
    }
    SSL_CTX_free(_context);
    _context = context;
    return BD_SUCCESS;
}
