// BdTlsHandshakeBudget: the share of each event-loop turn that TLS handshakes may take.
//
// A handshake step that runs a key exchange and signs costs the loop from about 0.3 ms (ECDSA
// P-256) to 1.8 ms (RSA-2048); thousands of peers connecting at once would hold every other peer
// for seconds if one turn ran all of them. So one turn spends at most kTurnMicros on handshake
// steps (and one step more): a connection whose step finds the turn's budget spent waits on the
// manager's input-ready list and is served on a later turn, after the other peers' events. The
// budget is renewed by the first step of each new turn of its loop (BdConnManager::Turn); a loop
// with nothing else to do thus runs handshakes back to back.
//
// Owned by its BdConnManager, one per loop: event-loop thread only.
#ifndef BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H
#define BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H

#include <chrono>
#include <cstdint>

class BdTlsHandshakeBudget {
  public:
    // Handshake work in one turn: one to a few full handshakes (RSA-2048 to ECDSA), so that the
    // few turns a ping-pong pair needs per round trip stay well under 50 ms however many wait;
    // 2 ms and 5 ms gave the same storm time, and 2 ms the shorter pauses.
    static constexpr int64_t kTurnMicros = 2000;

    // True while the loop's turn has handshake time left.
    bool Allows(uint64_t turn) {
        if (turn != _turn) {
            _turn = turn;
            _spentMicros = 0;
        }
        return _spentMicros < kTurnMicros;
    }
    // A handshake step allowed in this turn took micros.
    void Spend(int64_t micros) { _spentMicros += micros; }
    // Steady-clock microseconds, the clock of Spend.
    static int64_t NowMicros() {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

  private:
    uint64_t _turn = 0;
    int64_t _spentMicros = 0;
};

#endif  // BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H
