#include "rt_server/rt_server_monitor.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstring>

#include "bd_common/bd_time.h"
#include "rt_server/rt_database_writer.h"
#include "rt_server/rt_server_metrics.h"
#include "rt_server/rt_server_monitor_pages.h"

namespace {

MHD_Result Reply(MHD_Connection *connection, unsigned int status, const std::string &body,
                 const char *contentType) {
    MHD_Response *response = MHD_create_response_from_buffer(
        body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
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
        return Reply(connection, MHD_HTTP_OK, RtPeersPage(view), "application/json");
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
    _daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG, static_cast<uint16_t>(port), nullptr,
        nullptr, &Answer, nullptr, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&address),
        MHD_OPTION_CONNECTION_LIMIT, 16U, MHD_OPTION_CONNECTION_TIMEOUT, 10U, MHD_OPTION_END);
    return _daemon != nullptr;
}

void RtServerMonitor::Stop() {
    if (_daemon == nullptr) {
        return;
    }
    MHD_stop_daemon(_daemon);
    _daemon = nullptr;
}
