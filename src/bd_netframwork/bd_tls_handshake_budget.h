// BdTlsHandshakeBudget: the share of each event-loop turn that TLS handshakes may take.
//
// A handshake step that runs a key exchange and signs costs the loop from about 0.3 ms (ECDSA
// P-256) to 1.8 ms (RSA-2048); thousands of peers connecting at once would hold every other peer
// for seconds if one turn ran all of them. So one turn spends at most kTurnMicros on handshake
// steps (and one step more): a connection whose step finds the turn's budget spent waits on the
// manager's input-ready list and is served on a later turn, after the other peers' events. The
// first step of a turn posts the budget's renewal to the loop (BdConnManager::Post), which runs it
// at the start of the next turn; a loop with nothing else to do thus runs handshakes back to back.
//
// One per process, for the one event loop: event-loop thread only.
#ifndef BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H
#define BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H

#include <cstdint>

class BdConnManager;

class BdTlsHandshakeBudget {
  public:
    // Handshake work in one turn: one to a few full handshakes (RSA-2048 to ECDSA), so that the
    // few turns a ping-pong pair needs per round trip stay well under 50 ms however many wait;
    // 2 ms and 5 ms gave the same storm time, and 2 ms the shorter pauses.
    static constexpr int64_t kTurnMicros = 2000;

    // A renewal lost with the loop's posts (the manager destroyed and made again meanwhile) is
    // made up for after this long, far beyond any turn.
    static constexpr int64_t kLostRenewalMicros = 1000000;

    static BdTlsHandshakeBudget &Loop();

    // True while this turn has handshake time left.
    bool Allows();
    // A handshake step of a connection on manager took micros.
    void Spend(int64_t micros, BdConnManager *manager);
    // Steady-clock microseconds, the clock of Spend.
    static int64_t NowMicros();

  private:
    void Renew();

    int64_t _spentMicros = 0;
    bool _renewalPosted = false;
    int64_t _renewalPostedAt = 0;
};

#endif  // BD_NETFRAMWORK_BD_TLS_HANDSHAKE_BUDGET_H
