#ifndef RT_SERVER_RT_SERVER_MONITOR_H_
#define RT_SERVER_RT_SERVER_MONITOR_H_

#include <string>

struct MHD_Daemon;

// The monitoring listener: /metrics, /peers and /healthz over HTTP, served by the HTTP library's
// own thread. That thread reads only what the event loop publishes for it (g_rt_server_metrics:
// counters and the connections' snapshot; the database connection's statistics), never a
// connection or the database itself. Start and Stop belong to the main thread.
class RtServerMonitor {
  public:
    RtServerMonitor() = default;
    ~RtServerMonitor() { Stop(); }
    RtServerMonitor(const RtServerMonitor &) = delete;
    RtServerMonitor &operator=(const RtServerMonitor &) = delete;

    // Listens on ip:port (IPv4) and starts the serving thread. false when the address is invalid
    // or cannot be bound; a running monitor is left as it is.
    bool Start(const std::string &ip, int port);
    // Stops the thread and closes the socket; nothing when not running.
    void Stop();
    bool Running() const { return _daemon != nullptr; }

  private:
    MHD_Daemon *_daemon = nullptr;
};

#endif  // RT_SERVER_RT_SERVER_MONITOR_H_
