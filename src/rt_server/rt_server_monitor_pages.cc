#include "rt_server/rt_server_monitor_pages.h"

#include <json/json.h>

#include <algorithm>
#include <sstream>

#include "bd_netframwork/bd_tls_handshake_counts.h"

namespace {

// Per BdConnection::CloseReason, in its order.
const char *const kCloseReasons[] = {"idle", "peer_close", "error", "write_deadline", "replaced"};
static_assert(sizeof(kCloseReasons) / sizeof(kCloseReasons[0]) == BdConnection::kCloseReasonCount,
              "one name per close reason");

// One metric family: its help and type lines, then the samples the caller adds.
class Family {
  public:
    Family(std::ostringstream *out, const char *name, const char *type, const char *help)
        : _out(out), _name(name) {
        *_out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
    }
    Family &Sample(double value) { return Labelled("", value); }
    Family &Labelled(const std::string &labels, double value) {
        *_out << _name;
        if (!labels.empty()) {
            *_out << '{' << labels << '}';
        }
        *_out << ' ' << value << '\n';
        return *this;
    }

  private:
    std::ostringstream *_out;
    const char *_name;
};

// Seconds since the writer last heard from the database; -1 when it never did.
int64_t AnswerAge(const RtMonitorView &view) {
    const int64_t answered = view.snapshot->database.last_answer_second;
    return answered == 0 ? -1 : view.steady_second - answered;
}

std::string Label(const char *name, const std::string &value) {
    return std::string(name) + "=\"" + value + "\"";
}

}  // namespace

std::string RtMetricsPage(const RtMonitorView &view) {
    const RtServerMetrics &m = *view.metrics;
    const RtServerSnapshot &s = *view.snapshot;
    const RtDatabaseFigures &db = s.database;
    std::ostringstream out;
    out.precision(15);

    Family connections(&out, "rt_server_connections", "gauge", "Open peer connections by kind.");
    for (int kind = 0; kind < kRtPeerKindCount; ++kind) {
        connections.Labelled(Label("kind", RtPeerKindName(kind)), s.connections_by_kind[kind]);
    }
    Family bound(&out, "rt_server_peers_bound", "gauge", "Peers bound to a UUID by kind.");
    for (int kind = kRtPeerClient; kind < kRtPeerKindCount; ++kind) {
        bound.Labelled(Label("kind", RtPeerKindName(kind)), s.bound_by_kind[kind]);
    }
    Family handshakes(&out, "rt_server_handshakes_total", "counter",
                      "Handshakes answered, by result and kind.");
    for (int kind = kRtPeerClient; kind <= kRtPeerPlatform; ++kind) {
        handshakes.Labelled(Label("result", "ok") + "," + Label("kind", RtPeerKindName(kind)),
                            m.handshakes_ok[kind].Get());
    }
    handshakes.Labelled(Label("result", "not_ready"), m.handshakes_not_ready.Get());
    Family(&out, "rt_server_forwarded_packets_total", "counter", "Packets forwarded, by class.")
        .Labelled(Label("class", "normal"), m.forwarded_normal.Get())
        .Labelled(Label("class", "log"), m.forwarded_log.Get());
    Family(&out, "rt_server_forwarded_bytes_total", "counter", "Bytes forwarded, by class.")
        .Labelled(Label("class", "normal"), m.forwarded_normal_bytes.Get())
        .Labelled(Label("class", "log"), m.forwarded_log_bytes.Get());
    Family(&out, "rt_server_target_lost_answers_total", "counter",
           "Packets answered with target connection lost.")
        .Sample(m.target_lost_answers.Get());
    Family(&out, "rt_server_not_ready_answers_total", "counter",
           "Packets answered with server not ready.")
        .Sample(m.not_ready_answers.Get());
    Family closed(&out, "rt_server_connections_closed_total", "counter",
                  "Connections closed, by reason.");
    for (int reason = 0; reason < BdConnection::kCloseReasonCount; ++reason) {
        closed.Labelled(Label("reason", kCloseReasons[reason]), s.closed[reason]);
    }
    Family(&out, "rt_server_tls_handshakes_total", "counter",
           "TLS handshakes on the TLS port, by how they ended.")
        .Labelled(Label("result", "ok"), g_bd_tls_handshakes.completed.Get())
        .Labelled(Label("result", "failed"), g_bd_tls_handshakes.failed.Get())
        .Labelled(Label("result", "timed_out"), g_bd_tls_handshakes.timed_out.Get());
    Family(&out, "rt_server_write_queue_bytes", "gauge", "Bytes queued for peers, all together.")
        .Sample(s.queued_bytes_total);
    Family(&out, "rt_server_write_queue_largest_bytes", "gauge",
           "Bytes queued for the peer with the longest queue.")
        .Sample(s.queued_bytes_largest);
    Family(&out, "rt_server_database_available", "gauge",
           "1 while the database writer finds the database available.")
        .Sample(db.available ? 1 : 0);
    Family(&out, "rt_server_database_queue", "gauge", "Requests waiting for the database writer.")
        .Labelled(Label("request", "handshake"), db.queued_handshakes)
        .Labelled(Label("request", "offline_mark"), db.queued_offline_marks);
    Family(&out, "rt_server_database_batches_total", "counter",
           "Batches of statements the database writer ran, each a few round trips.")
        .Sample(db.batches);
    Family(&out, "rt_server_database_batch_failures_total", "counter",
           "Batches that failed because the database went away.")
        .Sample(db.failed_batches);
    Family(&out, "rt_server_database_batch_seconds_total", "counter", "Time spent running batches.")
        .Sample(db.batch_micros_total / 1e6);
    Family(&out, "rt_server_database_batch_longest_seconds", "gauge", "The longest batch so far.")
        .Sample(db.longest_batch_micros / 1e6);
    Family(&out, "rt_server_database_last_answer_age_seconds", "gauge",
           "Seconds since the database last answered the writer.")
        .Sample(AnswerAge(view));
    Family(&out, "rt_server_platform_present", "gauge", "1 while a server platform is registered.")
        .Sample(s.platform_present ? 1 : 0);
    Family(&out, "rt_server_listening", "gauge", "1 while the listening socket is open.")
        .Sample(m.listening.load(std::memory_order_relaxed) ? 1 : 0);
    Family(&out, "rt_server_snapshot_age_seconds", "gauge",
           "Age of the connection figures above, taken by the main loop.")
        .Sample(view.wall_second - s.taken_second);
    return out.str();
}

namespace {

// Rows formatted at a time: enough to fill a piece of the response, few enough to stay small.
constexpr size_t kRowsPerRefill = 256;

Json::Value PeerObject(const RtServerPeerRow &row) {
    Json::Value peer(Json::objectValue);
    peer["uuid"] = row.uuid;
    peer["kind"] = RtPeerKindName(row.kind);
    peer["address"] = row.address;
    peer["connected_since"] = static_cast<Json::Int64>(row.connected_since);
    peer["packets_in"] = static_cast<Json::UInt64>(row.packets_in);
    peer["bytes_in"] = static_cast<Json::UInt64>(row.bytes_in);
    peer["packets_out"] = static_cast<Json::UInt64>(row.packets_out);
    peer["bytes_out"] = static_cast<Json::UInt64>(row.bytes_out);
    peer["queued_bytes"] = static_cast<Json::Int64>(row.queued_bytes);
    return peer;
}

}  // namespace

RtPeersPageStream::RtPeersPageStream(std::shared_ptr<const RtServerSnapshot> snapshot)
    : _snapshot(std::move(snapshot)) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    _writer.reset(builder.newStreamWriter());
    // The members in the order a whole-page writer sorts them: "peers" before "taken".
    _pending = "{\"peers\":[";
}

size_t RtPeersPageStream::Read(char *out, size_t size) {
    size_t copied = 0;
    while (copied < size) {
        if (_pendingAt == _pending.size() && !Refill()) {
            break;
        }
        const size_t n = std::min(size - copied, _pending.size() - _pendingAt);
        _pending.copy(out + copied, n, _pendingAt);
        _pendingAt += n;
        copied += n;
    }
    return copied;
}

bool RtPeersPageStream::Refill() {
    if (_ended) {
        return false;
    }
    _pending.clear();
    _pendingAt = 0;
    const std::vector<RtServerPeerRow> &rows = _snapshot->peers;
    const size_t last = std::min(rows.size(), _nextRow + kRowsPerRefill);
    std::ostringstream text;
    for (; _nextRow < last; ++_nextRow) {
        if (_nextRow > 0) {
            text << ',';
        }
        _writer->write(PeerObject(rows[_nextRow]), &text);
    }
    if (_nextRow == rows.size()) {
        text << "],\"taken\":" << _snapshot->taken_second << "}\n";
        _ended = true;
    }
    _pending = text.str();
    return true;
}

int RtHealthPage(const RtMonitorView &view, std::string *text) {
    const long snapshotAge = view.wall_second - view.snapshot->taken_second;
    const RtDatabaseFigures &db = view.snapshot->database;
    if (!view.metrics->listening.load(std::memory_order_relaxed)) {
        *text = "listener not open\n";
    } else if (snapshotAge > kRtSnapshotMaxAgeSeconds) {
        *text = "main loop has not turned for " + std::to_string(snapshotAge) + " s\n";
    } else if (!db.available) {
        *text = "database unavailable\n";
    } else if (db.last_answer_second == 0) {
        *text = "database has not answered yet\n";
    } else if (AnswerAge(view) > kRtDatabaseAnswerMaxAgeSeconds) {
        *text = "database has not answered for " + std::to_string(AnswerAge(view)) + " s\n";
    } else {
        *text = "ok\n";
        return 200;
    }
    return 503;
}
