#ifndef RT_SERVER_RT_SERVER_MONITOR_PAGES_H_
#define RT_SERVER_RT_SERVER_MONITOR_PAGES_H_

#include <cstdint>
#include <memory>
#include <string>

#include "rt_server/rt_server_metrics.h"

// What one monitoring request reads: the router's counters and the last snapshot of its
// connections and database writer, all read-only and safe from the monitoring thread.
struct RtMonitorView {
    const RtServerMetrics *metrics = nullptr;
    std::shared_ptr<const RtServerSnapshot> snapshot;
    int64_t steady_second = 0;  // now, on the clock of RtDatabaseFigures::last_answer_second
    long wall_second = 0;       // now, on the wall clock of the snapshot
};

// The database counts as answering while its last answer is at most this old: the writer asks an
// idle one every few seconds, and a statement that hangs fails on the client's time-out well
// before.
constexpr int64_t kRtDatabaseAnswerMaxAgeSeconds = 30;
// The snapshot is refreshed every second by a turning main loop; one this old means the loop is
// stuck.
constexpr long kRtSnapshotMaxAgeSeconds = 30;

// /metrics: the Prometheus text format, version 0.0.4.
std::string RtMetricsPage(const RtMonitorView &view);
// /peers: {"taken": seconds, "peers": [...]} with one object per connection.
std::string RtPeersPage(const RtMonitorView &view);
// /healthz: 200 with "ok" while the listener is open, the main loop turns and the database writer
// finds the database available and heard from it recently; otherwise 503 with a one-line reason
// ending in a line end.
int RtHealthPage(const RtMonitorView &view, std::string *text);

#endif  // RT_SERVER_RT_SERVER_MONITOR_PAGES_H_
