#include "rt_server/rt_server_monitor.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <memory>

#include "bd_common/bd_time.h"
#include "rt_server/rt_server_metrics.h"
#include "rt_server/rt_server_monitor_pages.h"

namespace {

// How long the monitoring thread waits on its sockets before it looks at the deadlines and at a
// stop again: a late close costs at most this.
constexpr int32_t kServeSliceMs = 200;
// /peers goes out in pieces of this size, each formatted when the socket takes the last.
constexpr size_t kPeersPieceBytes = 64 * 1024;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

MHD_Result Queue(MHD_Connection *connection, unsigned int status, MHD_Response *response,
                 const char *contentType) {
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Reply(MHD_Connection *connection, unsigned int status, const std::string &body,
                 const char *contentType) {
    return Queue(connection, status,
                 MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()),
                                                 MHD_RESPMEM_MUST_COPY),
                 contentType);
}

ssize_t ReadPeers(void *stream, uint64_t, char *out, size_t size) {
    const size_t n = static_cast<RtPeersPageStream *>(stream)->Read(out, size);
    return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : static_cast<ssize_t>(n);
}

void FreePeers(void *stream) {
    delete static_cast<RtPeersPageStream *>(stream);
}

// A page of a hundred thousand peers is never held whole: the response formats it from the
// snapshot it keeps alive, piece by piece as the socket takes it.
MHD_Result ReplyPeers(MHD_Connection *connection,
                      std::shared_ptr<const RtServerSnapshot> snapshot) {
    auto *stream = new RtPeersPageStream(std::move(snapshot));
    MHD_Response *response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kPeersPieceBytes,
                                                               &ReadPeers, stream, &FreePeers);
    if (response == nullptr) {
        delete stream;
    }
    return Queue(connection, MHD_HTTP_OK, response, "application/json");
}

MHD_Result Answer(void *, MHD_Connection *connection, const char *url, const char *method,
                  const char *, const char *, size_t *, void **) {
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "GET only\n", "text/plain");
    }
    RtMonitorView view;
    view.metrics = &g_rt_server_metrics;
    view.snapshot = g_rt_server_metrics.Snapshot();
    view.steady_second = BdTime::Now(BdTime::kMonotonicClock).ToSecond();
    view.wall_second = BdTime::Now().ToSecond();
    const std::string path = url;
    if (path == "/metrics") {
        return Reply(connection, MHD_HTTP_OK, RtMetricsPage(view), "text/plain; version=0.0.4");
    }
    if (path == "/peers") {
        return ReplyPeers(connection, std::move(view.snapshot));
    }
    if (path == "/healthz") {
        std::string text;
        const int status = RtHealthPage(view, &text);
        return Reply(connection, status, text, "text/plain");
    }
    return Reply(connection, MHD_HTTP_NOT_FOUND, "not found: try /metrics, /peers or /healthz\n",
                 "text/plain");
}

}  // namespace

struct RtServerMonitor::Callbacks {
    static void Connection(void *self, MHD_Connection *connection, void **,
                           MHD_ConnectionNotificationCode code) {
        auto &deadlines = static_cast<RtServerMonitor *>(self)->_deadlines;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            deadlines[connection] = NowMs() + kRequestDeadlineMs;
        } else {
            deadlines.erase(connection);
        }
    }
    // The next request on a kept-alive connection gets a deadline of its own.
    static void Completed(void *self, MHD_Connection *connection, void **,
                          MHD_RequestTerminationCode) {
        auto &deadlines = static_cast<RtServerMonitor *>(self)->_deadlines;
        auto found = deadlines.find(connection);
        if (found != deadlines.end()) {
            found->second = NowMs() + kRequestDeadlineMs;
        }
    }
};

bool RtServerMonitor::Start(const std::string &ip, int port) {
    if (_daemon != nullptr) {
        return true;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) {
        return false;
    }
    // No thread of the library's own: Serve runs it, and closes what overstays between runs.
    _daemon = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_ERROR_LOG, static_cast<uint16_t>(port), nullptr, nullptr, &Answer,
        nullptr, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&address),
        MHD_OPTION_CONNECTION_LIMIT, kMostConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        kMostConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(kRequestDeadlineMs / 1000), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kConnectionMemoryBytes, MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::Connection, this,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::Completed, this, MHD_OPTION_END);
    if (_daemon == nullptr) {
        return false;
    }
    _stopping.store(false);
    _thread = std::thread(&RtServerMonitor::Serve, this);
    return true;
}

void RtServerMonitor::Stop() {
    if (_daemon == nullptr) {
        return;
    }
    _stopping.store(true);
    _thread.join();
    // The thread is gone, so the callbacks this runs touch _deadlines alone.
    MHD_stop_daemon(_daemon);
    _daemon = nullptr;
    _deadlines.clear();
}

void RtServerMonitor::Serve() {
    while (!_stopping.load()) {
        MHD_run_wait(_daemon, kServeSliceMs);
        CloseOverdue();
    }
}

void RtServerMonitor::CloseOverdue() {
    const int64_t now = NowMs();
    for (auto &entry : _deadlines) {
        if (entry.second > now) {
            continue;
        }
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(entry.first, MHD_CONNECTION_INFO_CONNECTION_FD);
        // The descriptor stays the library's: shut down, not closed, it reports the end to the
        // library, which closes it and forgets the connection.
        if (info != nullptr) {
            shutdown(info->connect_fd, SHUT_RDWR);
        }
        entry.second = std::numeric_limits<int64_t>::max();
    }
}
