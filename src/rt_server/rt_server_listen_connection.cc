#include "rt_server/rt_server_listen_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_network.h"
#include "bd_netframwork/bd_poll.h"
#include "rt_server/rt_server_accepted_connection.h"
#include "rt_server/rt_server_timeline.h"

BD_LOG_SOURCE_FILE("rt_server_listen_connection")

namespace {

int OpenReserveDescriptor() {
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

RtAddressQuota *RtServerListenConnection::_quota = nullptr;

int RtServerListenConnection::Open(BdConnManager *manager, const std::string &ip, int port,
                                   SSL_CTX *context, RtRecordWriter *writer,
                                   RtServerListenConnection **listener) {
    auto *opened = new RtServerListenConnection();
    opened->Init(ip, port, manager);
    opened->SetTlsContext(context);
    opened->_recordWriter = writer;
    int failure = BD_SUCCESS;
    if (opened->Bind() != BD_SUCCESS) {
        failure = BD_SOCKET_BIND_ERROR;
    } else if (opened->Listen() != BD_SUCCESS) {
        failure = BD_SOCKET_LISTEN_ERROR;
    }
    if (failure != BD_SUCCESS) {
        // Not registered yet, so still ours to tear down.
        opened->Destroy();
        delete opened;
        return failure;
    }
    Register(manager, opened, listener);
    return BD_SUCCESS;
}

int RtServerListenConnection::Adopt(BdConnManager *manager, int fd, SSL_CTX *context,
                                    RtRecordWriter *writer, RtServerListenConnection **listener) {
    auto *adopted = new RtServerListenConnection();
    if (adopted->Init(fd, manager) != BD_SUCCESS) {
        delete adopted;
        return BD_PARAMETER_INVALID;
    }
    adopted->SetTlsContext(context);
    adopted->_recordWriter = writer;
    Register(manager, adopted, listener);
    // Connections that came while no image listened wait in the backlog: an edge-triggered
    // listener must look at once.
    manager->QueueInput(adopted);
    return BD_SUCCESS;
}

void RtServerListenConnection::Register(BdConnManager *manager, RtServerListenConnection *opened,
                                        RtServerListenConnection **listener) {
    opened->SetNonBlocking();
    opened->SetTimeout(BdTime::Now().ToSecond() + kListenDeadlineSeconds);
    manager->AddMapFdToConn(opened->GetFD(), opened, EPOLLIN | EPOLLET);
    *listener = opened;
}

RtServerListenConnection::RtServerListenConnection() : _reserveFd(OpenReserveDescriptor()) {}

RtServerListenConnection::~RtServerListenConnection() {
    if (_reserveFd >= 0) {
        close(_reserveFd);
    }
}

int RtServerListenConnection::OnIn(epoll_event * /*event*/) {
    int dropped = 0;
    int result = 0;
    int taken = 0;
    for (;;) {
        if (taken == kMaxAcceptsPerTurn) {
            // Edge-triggered: what is still pending would never be reported again.
            _manager->QueueInput(this);
            break;
        }
        sockaddr_in peer{};
        int fd = -1;
        const int rc = _network->Accept(reinterpret_cast<sockaddr *>(&peer), &fd);
        if (rc == BD_SOCKET_EAGAIN) {
            break;
        }
        if (rc != BD_SUCCESS) {
            // errno is still that of the failed accept.
            if (errno != EMFILE && errno != ENFILE) {
                result = 1;
                break;
            }
            const int drop = DropPendingConnection();
            if (drop != BD_SUCCESS) {
                result = drop == BD_SOCKET_EAGAIN ? 0 : 1;
                break;
            }
            ++dropped;
            continue;
        }
        ++taken;
        g_rt_server_timeline.Note(RtServerTimeline::kAccepted);

        if (_quota != nullptr && !_quota->Take(peer.sin_addr.s_addr)) {
            RefuseConnection(fd, peer);
            continue;
        }
        auto *connection = new RtServerAcceptedConnection(_recordWriter);
        connection->Init(fd, _manager);
        connection->HoldQuotaPlace(_quota, peer.sin_addr.s_addr);
        BD_LOG(BD_LOG_DEBUG, 0,
               "accepted a connection fd: " + std::to_string(fd) +
                   ", current socket ip: " + connection->GetPeerIP(),
               "");
        connection->SetNonBlocking();
        long firstDeadline = RtServerAcceptedConnection::kIdleTimeoutSeconds;
        if (_tlsContext != nullptr) {
            // A session that cannot even be made leaves the connection closed for the reaper.
            if (connection->StartServerTls(_tlsContext) != BD_SUCCESS) {
                connection->CloseSelf();
            }
            firstDeadline = kTlsHandshakeSeconds;
        }
        connection->SetTimeout(_manager->NowSeconds() + firstDeadline);
        // From here on the manager owns the connection and deletes it when it is reaped.
        _manager->AddMapFdToConn(fd, connection, kBdReadInterest);
    }
    if (dropped > 0) {
        BD_LOG(
            BD_LOG_ERROR, BD_ERROR,
            "out of file descriptors, closed " + std::to_string(dropped) + " pending connections",
            "OnIn");
    }
    return result;
}

int RtServerListenConnection::DropPendingConnection() {
    if (_reserveFd < 0) {
        _reserveFd = OpenReserveDescriptor();
    }
    if (_reserveFd < 0) {
        return BD_ERROR;
    }
    close(_reserveFd);
    int fd;
    do {
        fd = accept4(GetFD(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const int acceptError = errno;
    if (fd >= 0) {
        close(fd);
    }
    _reserveFd = OpenReserveDescriptor();
    if (fd >= 0) {
        return BD_SUCCESS;
    }
    return acceptError == EAGAIN || acceptError == EWOULDBLOCK ? BD_SOCKET_EAGAIN : BD_ERROR;
}

void RtServerListenConnection::RefuseConnection(int fd, const sockaddr_in &peer) {
    char address[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof(address));
    // Written before the close, so that the entry is there once the peer sees it.
    BD_LOG(BD_LOG_ERROR, BD_ERROR,
           std::string("refused a connection from ") + address +
               ": it holds the most connections allowed per address",
           "OnIn");
    close(fd);
}

int RtServerListenConnection::OnErr(epoll_event * /*event*/) {
    return 0;
}

int RtServerListenConnection::ParsePacket(const char * /*data*/, int /*length*/) {
    return 0;
}
