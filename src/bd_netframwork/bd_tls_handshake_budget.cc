#include "bd_netframwork/bd_tls_handshake_budget.h"

#include <chrono>

int64_t BdTlsHandshakeBudget::NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
