#include "rt_server/rt_server_metrics.h"

#include <algorithm>

#include "bd_common/bd_time.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_connection.h"
#include "rt_server/rt_database_writer.h"
#include "rt_server/rt_server_accepted_connection.h"

RtServerMetrics g_rt_server_metrics;

const char *RtPeerKindName(int kind) {
    static const char *const kNames[kRtPeerKindCount] = {"unbound", "client", "module_server",
                                                         "platform", "web"};
    return kind >= 0 && kind < kRtPeerKindCount ? kNames[kind] : kNames[0];
}

void RtServerMetrics::BeginSnapshot(BdConnManager *manager) {
    _building = std::make_unique<RtServerSnapshot>();
    _toVisit.clear();
    _visited = 0;
    // Only the keys under the manager's lock: the rows are copied a slice a turn.
    manager->ForEachConnection([this](BdConnection &connection) {
        _toVisit.emplace_back(connection.GetFD(), connection.GetSerial());
    });
    _building->peers.reserve(_toVisit.size());
}

bool RtServerMetrics::ContinueSnapshot(BdConnManager *manager, const RtDatabaseWriter &writer) {
    if (_building == nullptr) {
        return false;
    }
    RtServerSnapshot &snapshot = *_building;
    const size_t end = std::min(_toVisit.size(), _visited + kSnapshotSliceRows);
    for (; _visited < end; ++_visited) {
        BdConnection *connection = nullptr;
        // Gone since it was noted, or its descriptor taken by a newer connection: not counted.
        if (manager->QueryConnFromFD(_toVisit[_visited].first, &connection) != 0 ||
            connection->GetSerial() != _toVisit[_visited].second) {
            continue;
        }
        // The listener is the one connection that is not a peer's.
        auto *peer = dynamic_cast<RtServerAcceptedConnection *>(connection);
        if (peer == nullptr) {
            continue;
        }
        RtServerPeerRow row;
        row.uuid = peer->GetUUID();
        row.kind = peer->GetPeerKind();
        row.address = peer->PeerAddress();
        row.connected_since = peer->GetStartSecond();
        const BdConnection::Traffic &traffic = peer->GetTraffic();
        row.packets_in = traffic.packets_in.Get();
        row.bytes_in = traffic.bytes_in.Get();
        row.packets_out = traffic.packets_out.Get();
        row.bytes_out = traffic.bytes_out.Get();
        row.queued_bytes = peer->QueuedBytes();
        ++snapshot.connections;
        ++snapshot.connections_by_kind[row.kind];
        if (!row.uuid.empty()) {
            ++snapshot.bound_by_kind[row.kind];
        }
        snapshot.queued_bytes_total += row.queued_bytes;
        snapshot.queued_bytes_largest = std::max(snapshot.queued_bytes_largest, row.queued_bytes);
        snapshot.peers.push_back(std::move(row));
    }
    if (_visited < _toVisit.size()) {
        return false;
    }
    snapshot.taken_second = BdTime::Now().ToSecond();
    for (int reason = 0; reason < BdConnection::kCloseReasonCount; ++reason) {
        snapshot.closed[reason] = manager->ClosedCount(reason);
    }
    snapshot.platform_present = manager->GetServerReadyFlag() == 1;
    RtDatabaseFigures &database = snapshot.database;
    database.available = writer.Available();
    database.last_answer_second = writer.LastAnswerSecond();
    database.queued_handshakes = writer.QueuedHandshakes();
    database.queued_offline_marks = writer.QueuedOfflineMarks();
    database.batches = writer.Batches();
    database.failed_batches = writer.FailedBatches();
    database.batch_micros_total = writer.BatchMicrosTotal();
    database.longest_batch_micros = writer.LongestBatchMicros();
    std::atomic_store(&_snapshot, std::shared_ptr<const RtServerSnapshot>(std::move(_building)));
    _toVisit.clear();
    return true;
}

std::shared_ptr<const RtServerSnapshot> RtServerMetrics::Snapshot() const {
    return std::atomic_load(&_snapshot);
}
