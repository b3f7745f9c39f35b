// What became of the server-side TLS handshakes of this process, for monitoring. Counted by the
// event-loop thread, the one writer of each counter; read by any thread.
#ifndef BD_NETFRAMWORK_BD_TLS_HANDSHAKE_COUNTS_H
#define BD_NETFRAMWORK_BD_TLS_HANDSHAKE_COUNTS_H

#include "bd_common/bd_counter.h"

struct BdTlsHandshakeCounts {
    BdCounter completed;
    BdCounter failed;     // a certificate refused, bytes that are not TLS, the peer gone
    BdCounter timed_out;  // reaped with the handshake still pending
};

inline BdTlsHandshakeCounts g_bd_tls_handshakes;

#endif  // BD_NETFRAMWORK_BD_TLS_HANDSHAKE_COUNTS_H
