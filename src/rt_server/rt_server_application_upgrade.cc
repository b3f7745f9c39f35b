// SIGUSR2: the upgrade in place, both sides of the exec.
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_log_entry.h"
#include "bd_netframwork/bd_poll.h"
#include "rt_server/rt_server_accepted_connection.h"
#include "rt_server/rt_server_application.h"
#include "rt_server/rt_server_config.h"

BD_LOG_SOURCE_FILE("rt_server_application")

namespace {

// How long the hand-over waits for a moment when no connection is half-way closed (a TLS peer's,
// or one whose UUIDs are still to be marked offline) before it is put off.
const std::chrono::seconds kQuietWait(5);

}  // namespace

void RtServerApplication::TakeHandOver() {
    _executedByUpgrade = true;
    auto state = std::make_unique<RtHandoverState>();
    if (RtServerUpgrade::TakeState(state.get(), &_handoverRefused)) {
        _handedOver = std::move(state);
    }
}

void RtServerApplication::BeginUpgrade() {
    if (_upgradePhase != kNoUpgrade) {
        return;
    }
    BD_LOG(BD_LOG_DEBUG, 0, "upgrade asked for, checking the new binary", "Upgrade");
    _upgradePhase = kChecking;
    _upgrade.StartCheck([this](bool passed, const std::string &output) {
        _connManager.Post([this, passed, output] { OnUpgradeChecked(passed, output); });
    });
}

void RtServerApplication::OnUpgradeChecked(bool passed, const std::string &output) {
    _upgrade.EndCheck();
    if (_upgradePhase != kChecking) {
        return;
    }
    if (!passed) {
        _upgradePhase = kNoUpgrade;
        BD_LOG(
            BD_LOG_ERROR, BD_ERROR,
            "upgrade refused, the new binary's --check-config failed (" + output + "), serving on",
            "Upgrade");
        return;
    }
    _upgradePhase = kHandingOver;
    _upgradeDeadline = std::chrono::steady_clock::now() + kQuietWait;
}

bool RtServerApplication::UpgradeQuiet() {
    std::vector<RtServerAcceptedConnection *> accepted = AcceptedConnections();
    size_t tls = 0;
    bool busy = false;
    for (RtServerAcceptedConnection *conn : accepted) {
        if (conn->UsesTls()) {
            // A TLS session cannot be handed over: its peer reconnects.
            if (conn->GetCloseFlag() == 0) {
                conn->CloseSelf();
                ++tls;
            }
            busy = true;
        }
        // A closed connection goes first, and its UUIDs are handed to the writer by this image.
        busy = busy || conn->GetCloseFlag() != 0;
    }
    if (tls > 0) {
        BD_LOG(BD_LOG_ERROR, BD_ERROR,
               "upgrade closes " + std::to_string(tls) + " TLS connections, their peers reconnect",
               "Upgrade");
    }
    return !busy && !_connManager.LostUuidsPending();
}

void RtServerApplication::ContinueUpgrade() {
    if (_upgradePhase != kHandingOver) {
        return;
    }
    if (UpgradeQuiet()) {
        HandOver();
        return;
    }
    if (std::chrono::steady_clock::now() >= _upgradeDeadline) {
        _upgradePhase = kNoUpgrade;
        BD_LOG(BD_LOG_ERROR, BD_ERROR, "upgrade put off: connections still closing, serving on",
               "Upgrade");
    }
}

std::vector<RtServerAcceptedConnection *> RtServerApplication::AcceptedConnections() {
    std::vector<RtServerAcceptedConnection *> accepted;
    _connManager.ForEachConnection([&accepted](BdConnection &conn) {
        if (auto *peer = dynamic_cast<RtServerAcceptedConnection *>(&conn)) {
            accepted.push_back(peer);
        }
    });
    return accepted;
}

void RtServerApplication::HandOver() {
    RtHandoverState state;
    RtServerListenConnection *tls = _tlsListener.Listener();
    state.tls_listen_fd = tls != nullptr ? tls->GetFD() : -1;
    state.plain_listen_fd = _listenConnection != tls ? _listenFd : -1;
    if (_connManager.GetServerReadyFlag() == 1) {
        state.platform_uuid = _connManager.GetPTServerUUID();
    }
    std::vector<int> keep{state.plain_listen_fd, state.tls_listen_fd};
    for (RtServerAcceptedConnection *conn : AcceptedConnections()) {
        RtHandoverConnection handed;
        handed.fd = conn->GetFD();
        handed.address = conn->QuotaAddress();
        handed.peer_kind = conn->GetPeerKind();
        handed.deadline = conn->GetTimeout();
        handed.start_second = conn->GetStartSecond();
        handed.uuids = _connManager.BindingsOf(*conn);
        conn->HandOver(&handed);
        keep.push_back(handed.fd);
        state.connections.push_back(std::move(handed));
    }
    state.writer = _recordWriter->HandOver();
    BD_LOG(BD_LOG_DEBUG, 0,
           "upgrade: handing " + std::to_string(state.connections.size()) +
               " connections to the new image",
           "Upgrade");
    BdLog::GetLogger()->FlushGathered();
    const std::string why = RtServerUpgrade::Exec(state, keep, RunningLockFd());
    _recordWriter->ResumeAfterHandOver();
    _upgradePhase = kNoUpgrade;
    BD_LOG(BD_LOG_ERROR, BD_ERROR, "upgrade failed, serving on: " + why, "Upgrade");
}

int RtServerApplication::AdoptListeners() {
    if (_handedOver->plain_listen_fd >= 0) {
        if (RtServerListenConnection::Adopt(&_connManager, _handedOver->plain_listen_fd, nullptr,
                                            _recordWriter.get(),
                                            &_listenConnection) != BD_SUCCESS) {
            return BD_SOCKET_LISTEN_ERROR;
        }
        _listenFd = std::exchange(_handedOver->plain_listen_fd, -1);
    }
    if (_handedOver->tls_listen_fd >= 0) {
        _tlsListener.AdoptListener(&_connManager, std::exchange(_handedOver->tls_listen_fd, -1));
    } else if (_tlsListener.Wanted()) {
        _tlsListener.Start(&_connManager);
    }
    if (_listenConnection == nullptr) {
        _listenConnection = _tlsListener.Listener();
        if (_listenConnection == nullptr) {
            return BD_SOCKET_LISTEN_ERROR;
        }
        _listenFd = _listenConnection->GetFD();
    }
    return BD_SUCCESS;
}

void RtServerApplication::AdoptConnections() {
    // What the peers hold was allowed when they took it; the limits judge what comes next.
    _addressQuota.SetMost(RtServerConfig::kUnlimited);
    _connManager.SetMaxUuidsPerConnection(RtServerConfig::kUnlimited);
    // Ready as before, for the answers the handed-over handshakes are still to get.
    if (!_handedOver->platform_uuid.empty()) {
        _connManager.SetPTServerUUID(_handedOver->platform_uuid);
    }
    for (const RtHandoverConnection &handed : _handedOver->connections) {
        auto *conn = new RtServerAcceptedConnection(_recordWriter.get());
        if (conn->Init(handed.fd, &_connManager) != BD_SUCCESS) {
            delete conn;
            close(handed.fd);
            continue;
        }
        if (handed.address != 0 && _addressQuota.Take(handed.address)) {
            conn->HoldQuotaPlace(&_addressQuota, handed.address);
        }
        conn->SetNonBlocking();
        conn->SetTimeout(static_cast<long>(handed.deadline));
        conn->RestorePeerKind(handed.peer_kind);
        _connManager.AddMapFdToConn(handed.fd, conn, kBdReadInterest);
        for (const auto &binding : handed.uuids) {
            if (binding.second) {
                _connManager.AddWebMapUUIDToFD(binding.first, handed.fd);
            } else {
                _connManager.AddMapUUIDToFD(binding.first, handed.fd);
            }
        }
        if (conn->TakeOver(handed) != BD_SUCCESS) {
            conn->CloseSelf();
        }
        // Bytes that came while no image read wait in the socket, and their edge went with the
        // old image's epoll instance.
        _connManager.QueueInput(conn);
    }
    _addressQuota.SetMost(g_rt_server_conf.GetMaxConnectionsPerAddress());
    _connManager.SetMaxUuidsPerConnection(g_rt_server_conf.GetMaxUuidsPerConnection());
    BD_LOG(BD_LOG_DEBUG, 0,
           "upgrade: took over " + std::to_string(_handedOver->connections.size()) + " connections",
           "Upgrade");
}

void RtServerApplication::ForgetHandOver() {
    if (!_handedOver) {
        return;
    }
    // Only what no connection object has taken yet; the peers reconnect to a fresh start.
    for (int fd : {_handedOver->plain_listen_fd, _handedOver->tls_listen_fd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    for (const RtHandoverConnection &handed : _handedOver->connections) {
        close(handed.fd);
    }
    _handedOver.reset();
}
