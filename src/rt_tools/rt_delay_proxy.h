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
    int Port() const { return port_; }

    void SetDelayMilliseconds(int delay) { delay_ms_ = delay; }
    void SetFrozen(bool frozen) { frozen_ = frozen; }
    void SetDown(bool down) { down_ = down; }

  private:
    void Loop();

    std::string target_host_;
    int target_port_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<int> delay_ms_{0};
    std::atomic<bool> frozen_{false};
    std::atomic<bool> down_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

#endif  // RT_TOOLS_RT_DELAY_PROXY_H_
