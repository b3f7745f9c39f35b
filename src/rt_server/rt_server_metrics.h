#ifndef RT_SERVER_RT_SERVER_METRICS_H_
#define RT_SERVER_RT_SERVER_METRICS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bd_common/bd_counter.h"
#include "bd_netframwork/bd_connection.h"

class BdConnManager;
class RtDatabaseWriter;

// Peer kinds as the monitoring pages name them: the three handshake kinds and the web side.
enum RtPeerKind {
    kRtPeerUnknown = 0,
    kRtPeerClient,
    kRtPeerModuleServer,
    kRtPeerPlatform,
    kRtPeerWeb,
    kRtPeerKindCount
};
const char *RtPeerKindName(int kind);

// One connection as the monitoring thread sees it.
struct RtServerPeerRow {
    std::string uuid;  // empty until the peer is bound
    int kind = kRtPeerUnknown;
    std::string address;
    long connected_since = 0;  // wall-clock seconds
    uint64_t packets_in = 0, bytes_in = 0, packets_out = 0, bytes_out = 0;
    int64_t queued_bytes = 0;
};

// The database writer as its own counters tell it.
struct RtDatabaseFigures {
    bool available = false;
    int64_t last_answer_second = 0;  // BdTime::kMonotonicClock; 0: never
    size_t queued_handshakes = 0;
    size_t queued_offline_marks = 0;
    uint64_t batches = 0;
    uint64_t failed_batches = 0;
    uint64_t batch_micros_total = 0;
    uint64_t longest_batch_micros = 0;
};

// What the event loop last published about its connections and its database writer; never
// changed once published.
struct RtServerSnapshot {
    long taken_second = 0;  // wall clock
    size_t connections = 0;
    size_t connections_by_kind[kRtPeerKindCount] = {};
    size_t bound_by_kind[kRtPeerKindCount] = {};
    int64_t queued_bytes_total = 0;
    int64_t queued_bytes_largest = 0;
    uint64_t closed[BdConnection::kCloseReasonCount] = {};  // per BdConnection::CloseReason
    bool platform_present = false;
    std::vector<RtServerPeerRow> peers;
    RtDatabaseFigures database;
};

// The router's monitoring state. Threads: every counter has one writer, the event-loop thread
// (see BdCounter), and the monitoring thread only reads. The loop also publishes, at most once a
// second and only while monitoring is on, a snapshot of its connections and of the database
// writer's counters, which the monitoring thread takes whole (Snapshot) through an atomic
// exchange of a shared pointer: so that thread never touches a connection, and the packet path
// takes no lock. The loop builds a snapshot in slices of kSnapshotSliceRows connections, one
// slice a turn (BeginSnapshot, then ContinueSnapshot until it publishes), so a hundred thousand
// peers cost each turn a millisecond or two rather than one turn a tenth of a second.
class RtServerMetrics {
  public:
    // Handshakes answered with success, by kind (RtPeerKind); and answered with not-ready.
    BdCounter handshakes_ok[kRtPeerKindCount];
    BdCounter handshakes_not_ready;
    // Normal and log packets forwarded, and their bytes.
    BdCounter forwarded_normal, forwarded_normal_bytes;
    BdCounter forwarded_log, forwarded_log_bytes;
    BdCounter target_lost_answers;
    BdCounter not_ready_answers;

    // Set by the main thread as the listener opens and closes.
    std::atomic<bool> listening{false};

    // Connections copied into the snapshot per loop turn: about a millisecond of the loop's time.
    static constexpr size_t kSnapshotSliceRows = 4096;

    // Event-loop thread: notes manager's connections (descriptor and serial only) for a new
    // snapshot, dropping one still being built.
    void BeginSnapshot(BdConnManager *manager);
    // Event-loop thread: copies the next slice of the noted connections still registered; once
    // all are copied, reads manager's platform flag and closed counts and writer's counters,
    // publishes the snapshot and returns true. False while more slices remain or none was begun.
    bool ContinueSnapshot(BdConnManager *manager, const RtDatabaseWriter &writer);
    // True between BeginSnapshot and the ContinueSnapshot that publishes.
    bool Building() const { return _building != nullptr; }
    // Any thread: the last snapshot published (an empty one before the first).
    std::shared_ptr<const RtServerSnapshot> Snapshot() const;

  private:
    std::shared_ptr<const RtServerSnapshot> _snapshot = std::make_shared<RtServerSnapshot>();
    // The snapshot being built and the connections (descriptor, serial) it has still to copy;
    // event-loop thread.
    std::unique_ptr<RtServerSnapshot> _building;
    std::vector<std::pair<int, uint64_t>> _toVisit;
    size_t _visited = 0;
};

// The process's one set of metrics.
extern RtServerMetrics g_rt_server_metrics;

#endif  // RT_SERVER_RT_SERVER_METRICS_H_
