// The first bytes a peer sends to the router's TLS port. The input is fed, in pseudo-random cuts
// derived from it, through a socket pair into a real accepted BdClientConnection that speaks TLS
// from a server context loaded the router's way (certificate, key, a CA asking for peer
// certificates). Whatever arrives, the connection must never hand a packet over before the TLS
// handshake completed, must either wait for more or close, and must see the peer's close at the
// first read after it.
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_network.h"
#include "bd_netframwork/bd_tls_context.h"
#include "fuzz_check.h"
#include "support/recording_connection.h"
#include "support/test_certificate.h"

namespace {

BdTlsServerContext *g_context = nullptr;

uint64_t Fingerprint(const uint8_t *data, size_t size) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    return hash | 1;
}

// One loop turn for the connection: a new turn of the manager (which renews the turn's share of
// handshake work), then the connection reads.
int ReadTurn(BdConnManager *manager, RecordingConnection *connection) {
    manager->WaitAndHandleEvent(0);
    return connection->OnIn(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The server answers with alerts on a socket whose peer may be gone.
    std::signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/fuzz-tls-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    BdTlsServerContext::Settings settings;
    settings.certificate_file = dir + "/certificate.pem";
    settings.key_file = dir + "/private_key.pem";
    // Its own CA, so the context asks peers for certificates as the router's does.
    const TestCertificate certificate({{"CN", "fuzz"}});
    FUZZ_CHECK(certificate.Write(settings.certificate_file, settings.key_file));
    settings.ca_file = settings.certificate_file;
    g_context = new BdTlsServerContext();
    std::string failure;
    FUZZ_CHECK(g_context->Load(settings, &failure) == BD_SUCCESS);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int ends[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
    // The connection is never registered: ReadTurn plays the router's turn for it.
    BdConnManager manager;
    FUZZ_CHECK(manager.Init() == BD_SUCCESS);
    RecordingConnection connection;
    FUZZ_CHECK(connection.Init(ends[0], &manager) == BD_SUCCESS);
    connection.SetNonBlocking();
    FUZZ_CHECK(connection.StartServerTls(g_context->Get()) == BD_SUCCESS);

    uint64_t state = Fingerprint(data, size);
    char discard[65536];
    for (size_t sent = 0; sent < size && connection.GetCloseFlag() == 0;) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        const size_t chunk = std::min<size_t>(1 + state % 512, size - sent);
        FUZZ_CHECK(write(ends[1], data + sent, chunk) == static_cast<ssize_t>(chunk));
        sent += chunk;
        connection.OnOut(nullptr);
        const int rc = ReadTurn(&manager, &connection);
        FUZZ_CHECK(rc == BD_SOCKET_EAGAIN || connection.GetCloseFlag() == 1);
        // What the server answers (its hello, an alert) is read away so it never blocks.
        while (recv(ends[1], discard, sizeof(discard), MSG_DONTWAIT) > 0) {
        }
    }
    // Random bytes cannot finish a handshake, which needs the peer's keys.
    FUZZ_CHECK(connection.packets.empty());

    close(ends[1]);
    // A failure says what the TLS session made of the end, for a reproducer's report.
    if (connection.GetCloseFlag() == 0) {
        ERR_clear_error();
        errno = 0;
        const int rc = ReadTurn(&manager, &connection);
        const int readErrno = errno;
        if (connection.GetCloseFlag() == 0) {
            std::fprintf(
                stderr, "the peer's close was not seen: read rc %d errno %d (%s), TLS %s\n", rc,
                readErrno, std::strerror(readErrno), connection.Network()->DescribeTls().c_str());
            ERR_print_errors_fp(stderr);
        }
    }
    FUZZ_CHECK(connection.GetCloseFlag() == 1);
    connection.Destroy();  // closes ends[0]
    manager.Destroy();
    return 0;
}
