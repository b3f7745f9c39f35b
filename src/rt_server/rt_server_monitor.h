#ifndef RT_SERVER_RT_SERVER_MONITOR_H_
#define RT_SERVER_RT_SERVER_MONITOR_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>

struct MHD_Connection;
struct MHD_Daemon;

// The monitoring listener: /metrics, /peers and /healthz over HTTP, served by a thread of its own
// that runs the HTTP library in its epoll mode, so descriptor numbers above 1023 (a router with
// a thousand peers) are served like any other. That thread reads only what the event loop
// publishes for it (g_rt_server_metrics: counters and the connections' snapshot), never a
// connection or the database itself. Start and Stop belong to the main thread; everything else
// runs on the monitoring thread.
//
// Slow or idle clients cannot lock the pages out: the listener takes many connections, one
// address may hold only part of them, and every request must be read, answered and sent within a
// deadline counted from the connection's start (or from the previous answer on a kept-alive
// connection), however slowly its bytes trickle in.
class RtServerMonitor {
  public:
    // Connections served at once; each costs one descriptor and at most kConnectionMemoryBytes.
    static constexpr unsigned kMostConnections = 1024;
    // Connections one address may hold, so one client cannot take every place.
    static constexpr unsigned kMostConnectionsPerAddress = 128;
    // A request is read, answered and sent within this, or its connection is closed.
    static constexpr int kRequestDeadlineMs = 10000;
    // Per connection: the request line and headers of a GET fit in far less.
    static constexpr size_t kConnectionMemoryBytes = 16 * 1024;

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
    // The monitoring thread: serves until Stop.
    void Serve();
    // Shuts down the sockets of requests past their deadline; the library then closes them.
    void CloseOverdue();
    // The library's callbacks, which run on the monitoring thread and keep _deadlines.
    struct Callbacks;

    MHD_Daemon *_daemon = nullptr;
    std::thread _thread;
    std::atomic<bool> _stopping{false};
    // Open connections and when their current request must be done (steady clock, ms); the
    // monitoring thread's only.
    std::unordered_map<MHD_Connection *, int64_t> _deadlines;
};

#endif  // RT_SERVER_RT_SERVER_MONITOR_H_
