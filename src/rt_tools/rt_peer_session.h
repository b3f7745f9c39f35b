#ifndef RT_TOOLS_RT_PEER_SESSION_H_
#define RT_TOOLS_RT_PEER_SESSION_H_

#include <chrono>
#include <ostream>
#include <string>

#include "rt_tools/rt_peer_client.h"
#include "rt_tools/rt_peer_options.h"

// One conversation of rt_peer with a router: connect, hand-shake (unless it is the web side),
// send, then print every packet that arrives, keeping the connection alive, until the wait ends
// or enough packets came. Decoded packets go to out, problems to err. The session owns its
// connection; it runs on one thread and is used once.
class RtPeerSession {
  public:
    RtPeerSession(const RtPeerOptions &options, std::ostream &out, std::ostream &err);
    RtPeerSession(const RtPeerSession &) = delete;
    RtPeerSession &operator=(const RtPeerSession &) = delete;

    // The exit status of the conversation (RtPeerExit).
    int Run();

  private:
    using Clock = std::chrono::steady_clock;

    int Connect();
    int HandShake();
    int SendAll();
    int Listen();
    // Writes the packet and remembers the first refusal the router answered with.
    void Show(const RtPeerPacket &packet);
    int Fail(int status, const std::string &message);
    // The status for a receive that did not produce a packet.
    int ReceiveFailure(int rc, const std::string &whileDoing);

    const RtPeerOptions &_options;
    std::ostream &_out;
    std::ostream &_err;
    RtPeerTlsContext _tlsContext;  // loaded when options ask for TLS; outlives _client's use
    RtPeerClient _client;
    std::string _platformUuid;     // from the handshake answer
    int _refusal = kRtPeerExitOk;  // first "server not ready" or "target connection lost" seen
    Clock::time_point _nextKeepalive;
};

#endif  // RT_TOOLS_RT_PEER_SESSION_H_
