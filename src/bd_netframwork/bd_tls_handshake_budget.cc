#include "bd_netframwork/bd_tls_handshake_budget.h"

#include <chrono>

#include "bd_netframwork/bd_conn_manager.h"

BdTlsHandshakeBudget &BdTlsHandshakeBudget::Loop() {
    static BdTlsHandshakeBudget budget;
    return budget;
}

bool BdTlsHandshakeBudget::Allows() {
    if (_renewalPosted && NowMicros() - _renewalPostedAt > kLostRenewalMicros) {
        Renew();
    }
    return _spentMicros < kTurnMicros;
}

void BdTlsHandshakeBudget::Spend(int64_t micros, BdConnManager *manager) {
    _spentMicros += micros;
    if (_renewalPosted) {
        return;
    }
    _renewalPosted = true;
    _renewalPostedAt = NowMicros();
    // Runs when the loop next drains its posts, at the start of a later turn.
    manager->Post([this] { Renew(); });
}

void BdTlsHandshakeBudget::Renew() {
    _spentMicros = 0;
    _renewalPosted = false;
}

int64_t BdTlsHandshakeBudget::NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
