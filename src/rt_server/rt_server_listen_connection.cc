#include "rt_server/rt_server_listen_connection.h"

#include <netinet/in.h>
#include <sys/epoll.h>

#include <string>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_time.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_network.h"
#include "rt_server/rt_server_accepted_connection.h"

int RtServerListenConnection::OnIn(epoll_event * /*event*/) {
    for (;;) {
        sockaddr_in peer{};
        int fd = -1;
        const int rc = _network->Accept(reinterpret_cast<sockaddr *>(&peer), &fd);
        if (rc == BD_SOCKET_EAGAIN)
            return 0;
        if (rc != BD_SUCCESS)
            return 1;

        auto *connection = new RtServerAcceptedConnection();
        connection->Init(fd, _manager);
        BdLog::GetLogger()->WriteLocalLog(BD_LOG_DEBUG,
                                          "accepted a connection fd: " + std::to_string(fd) +
                                              ", current socket ip: " + connection->GetPeerIP(),
                                          0, "", 0, "");
        connection->SetNonBlocking();
        connection->SetTimeout(BdTime::Now().ToSecond() +
                               RtServerAcceptedConnection::kIdleTimeoutSeconds);
        // From here on the manager owns the connection and deletes it when it is reaped.
        _manager->AddMapFdToConn(fd, connection, EPOLLIN | EPOLLET);
    }
}

int RtServerListenConnection::OnErr(epoll_event * /*event*/) {
    return 0;
}

int RtServerListenConnection::ParsePacket(const char * /*data*/, int /*length*/) {
    return 0;
}
