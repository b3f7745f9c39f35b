#ifndef RT_SERVER_RT_SERVER_METRICS_H_
#define RT_SERVER_RT_SERVER_METRICS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
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
// writer's counters (PublishSnapshot), which the monitoring thread takes whole (Snapshot) through
// an atomic exchange of a shared pointer: so that thread never touches a connection, and the
// packet path takes no lock.
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

    // Event-loop thread: walks manager's connections, reads its platform flag and writer's
    // counters, and publishes what it finds.
    void PublishSnapshot(BdConnManager *manager, const RtDatabaseWriter &writer);
    // Any thread: the last snapshot published (an empty one before the first).
    std::shared_ptr<const RtServerSnapshot> Snapshot() const;

  private:
    std::shared_ptr<const RtServerSnapshot> _snapshot = std::make_shared<RtServerSnapshot>();
};

// The process's one set of metrics.
extern RtServerMetrics g_rt_server_metrics;

#endif  // RT_SERVER_RT_SERVER_METRICS_H_
