// BdTlsHandshakeBudget: the share of the event loop that TLS handshakes may take.
//
// A handshake step that runs a key exchange and signs costs the loop from about 0.1 ms (ECDSA
// P-256) to 1.7 ms (RSA-2048); thousands of peers connecting at once would hold every other peer
// for seconds if each turn ran all of them. So the loop spends at most kSliceMicros on handshake
// steps in every kWindowMicros: a connection whose step finds the slice spent waits on the
// manager's input-ready list and is served on a later turn, after the other peers' events, which
// therefore wait at most about one slice.
//
// One per process, for the one event loop: event-loop thread only.
#ifndef BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H
#define BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H

#include <cstdint>

class BdTlsHandshakeBudget {
  public:
    // Handshake work the loop may do before it serves the others again: well below the 50 ms a
    // peer may notice, a few dozen full handshakes.
    static constexpr int64_t kSliceMicros = 20000;
    // The slice comes back this often, so handshakes still take most of a loop they contend for.
    static constexpr int64_t kWindowMicros = 25000;

    static BdTlsHandshakeBudget &Loop();

    // True while the current window has handshake time left; a window that is over starts anew.
    bool Allows();
    // A handshake step took micros.
    void Spend(int64_t micros) { _spentMicros += micros; }
    // Steady-clock microseconds, the clock of Spend.
    static int64_t NowMicros();

  private:
    int64_t _windowStart = 0;
    int64_t _spentMicros = 0;
};

#endif  // BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H
