#ifndef RT_SERVER_RT_SERVER_LISTEN_CONNECTION_H_
#define RT_SERVER_RT_SERVER_LISTEN_CONNECTION_H_

#include "bd_netframwork/bd_connection.h"

// The router's listening socket. Registered with the connection manager like any connection and
// owned by it from then on; woken (edge-triggered) when connection requests are pending, it turns
// each into an RtServerAcceptedConnection handed to the same manager. It never reads or writes
// packets and never closes itself: only its Destroy sets its close flag. Main thread only.
class RtServerListenConnection : public BdConnection {
  public:
    // Accepts every pending connection: 0 once none is left, 1 when accept failed otherwise (the
    // rest is taken on the next wake-up).
    int OnIn(epoll_event *event) override;
    // A hang-up on the listening socket is ignored: the router keeps accepting.
    int OnErr(epoll_event *event) override;
    int ParsePacket(const char *data, int length) override;
};

#endif  // RT_SERVER_RT_SERVER_LISTEN_CONNECTION_H_
