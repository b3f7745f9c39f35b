#ifndef RT_SERVER_RT_SERVER_MONITOR_PAGES_H_
#define RT_SERVER_RT_SERVER_MONITOR_PAGES_H_

#include <cstdint>
#include <memory>
#include <string>

#include <json/writer.h>

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
// /peers: {"peers": [...], "taken": seconds} with one object per connection, written piece by
// piece from one snapshot, which the stream keeps alive: a page of a hundred thousand peers is
// never held whole, and a reader gets every row of one moment however long it takes. Monitoring
// thread; one stream per response.
class RtPeersPageStream {
  public:
    explicit RtPeersPageStream(std::shared_ptr<const RtServerSnapshot> snapshot);
    RtPeersPageStream(const RtPeersPageStream &) = delete;
    RtPeersPageStream &operator=(const RtPeersPageStream &) = delete;

    // Copies the next at most size bytes of the page to out: how many; 0 once it is all out.
    size_t Read(char *out, size_t size);

  private:
    // Formats the next rows (or the page's end) into _pending; false when nothing is left.
    bool Refill();

    std::shared_ptr<const RtServerSnapshot> _snapshot;
    std::unique_ptr<Json::StreamWriter> _writer;
    size_t _nextRow = 0;
    bool _ended = false;
    std::string _pending;
    size_t _pendingAt = 0;
};
// /healthz: 200 with "ok" while the listener is open, the main loop turns and the database writer
// finds the database available and heard from it recently; otherwise 503 with a one-line reason
// ending in a line end.
int RtHealthPage(const RtMonitorView &view, std::string *text);

#endif  // RT_SERVER_RT_SERVER_MONITOR_PAGES_H_
