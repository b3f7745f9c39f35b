#include "bd_netframwork/bd_tls_handshake_budget.h"

#include <chrono>

BdTlsHandshakeBudget &BdTlsHandshakeBudget::Loop() {
    static BdTlsHandshakeBudget budget;
    return budget;
}

bool BdTlsHandshakeBudget::Allows() {
    const int64_t now = NowMicros();
    if (now - _windowStart >= kWindowMicros) {
        _windowStart = now;
        _spentMicros = 0;
    }
    return _spentMicros < kSliceMicros;
}

int64_t BdTlsHandshakeBudget::NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
