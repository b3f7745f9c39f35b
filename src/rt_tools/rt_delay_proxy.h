#ifndef RT_TOOLS_RT_DELAY_PROXY_H_
#define RT_TOOLS_RT_DELAY_PROXY_H_

#include <atomic>
#include <string>
#include <thread>

// A TCP proxy on a free loopback port in front of a database server, to try the router against a
// slow, frozen or vanished database without touching the server itself:
//   - a delay holds every chunk going to the server that long, so each round trip takes it longer;
//   - frozen, it accepts connections but passes no byte either way (the server seems to hang),
//     and passes what was held once thawed;
//   - down, it closes every connection and every new one at once (the server seems gone).
// Runs on a thread of its own from Start until destruction; the setters may be called from any
// thread.
class RtDelayProxy {
  public:
    RtDelayProxy(std::string targetHost, int targetPort);
    ~RtDelayProxy();
    RtDelayProxy(const RtDelayProxy &) = delete;
    RtDelayProxy &operator=(const RtDelayProxy &) = delete;

    // Listens on a free loopback port and starts the thread; false when the socket fails.
    bool Start();
    int Port() const { return _port; }

    void SetDelayMilliseconds(int delay) { _delayMs = delay; }
    void SetFrozen(bool frozen) { _frozen = frozen; }
    void SetDown(bool down) { _down = down; }

  private:
    void Loop();

    std::string _targetHost;
    int _targetPort;
    int _listenFd = -1;
    int _port = 0;
    std::atomic<int> _delayMs{0};
    std::atomic<bool> _frozen{false};
    std::atomic<bool> _down{false};
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

#endif  // RT_TOOLS_RT_DELAY_PROXY_H_
