#include "rt_server/rt_threaded_record_writer.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_server/rt_server_error.h"

BD_LOG_SOURCE_FILE("rt_threaded_record_writer");

RtThreadedRecordWriter::RtThreadedRecordWriter(const RtDatabaseAddress &address)
    : _writer(address) {}

RtThreadedRecordWriter::~RtThreadedRecordWriter() {
    Stop();
}

int RtThreadedRecordWriter::Start(BdConnManager *manager) {
    _manager = manager;
    const int rc = _writer.Start([this] { _manager->Post([this] { Deliver(); }); });
    // Outcomes taken over from the image before are called back at the first turn.
    if (rc == BD_SUCCESS && !_undelivered.empty()) {
        _manager->Post([this] { Deliver(); });
    }
    return rc;
}

void RtThreadedRecordWriter::Stop() {
    _writer.Stop();
    _waiting.clear();
    _undelivered.clear();
}

int RtThreadedRecordWriter::WritePeerRecords(const RtPeerRows &rows, RtRecordsDone *done,
                                             uint64_t *ticket) {
    const uint64_t mine = _nextTicket++;
    const int rc = _writer.SubmitPeer(mine, rows);
    if (rc == kQueueFull) {
        BD_LOG(BD_LOG_ERROR, RT_DATABASE_OPERATION_ERROR,
               "database writer queue full, handshake refused, uuid: " + RtPeerUuid(rows),
               "WritePeerRecords");
    }
    if (rc != BD_SUCCESS) {
        return rc;
    }
    _waiting.emplace(mine, done);
    *ticket = mine;
    return BD_SUCCESS;
}

void RtThreadedRecordWriter::Forget(uint64_t ticket) {
    _waiting.erase(ticket);
}

void RtThreadedRecordWriter::MarkOffline(std::list<std::string> *uuids) {
    if (uuids->empty()) {
        return;
    }
    _writer.SubmitOffline(std::vector<std::string>(uuids->begin(), uuids->end()));
    uuids->clear();
}

RtWriterBacklog RtThreadedRecordWriter::HandOver() {
    RtWriterBacklog backlog = _writer.HandOver();
    backlog.next_ticket = _nextTicket;
    std::vector<RtWriteResult> results(_undelivered.begin(), _undelivered.end());
    results.insert(results.end(), backlog.results.begin(), backlog.results.end());
    backlog.results.clear();
    std::unordered_set<uint64_t> covered;
    for (const RtWriteResult &result : results) {
        if (_waiting.count(result.ticket) != 0 && covered.insert(result.ticket).second) {
            backlog.results.push_back(result);
        }
    }
    for (const RtWriteRequest &request : backlog.requests) {
        covered.insert(request.ticket);
    }
    // A ticket neither decided nor queued was failed by the database going away at this very
    // moment, and its outcome was on its way.
    std::vector<uint64_t> failed;
    for (const auto &waiting : _waiting) {
        if (covered.count(waiting.first) == 0) {
            failed.push_back(waiting.first);
        }
    }
    std::sort(failed.begin(), failed.end());
    for (uint64_t ticket : failed) {
        backlog.results.push_back({ticket, RT_DATABASE_OPERATION_ERROR});
    }
    return backlog;
}

void RtThreadedRecordWriter::TakeOver(RtWriterBacklog backlog) {
    _nextTicket = backlog.next_ticket;
    _undelivered.assign(backlog.results.begin(), backlog.results.end());
    _writer.TakeOver(&backlog);
}

void RtThreadedRecordWriter::Deliver() {
    std::vector<RtWriteResult> results;
    _writer.TakeResults(&results);
    _undelivered.insert(_undelivered.end(), results.begin(), results.end());
    for (int delivered = 0; delivered < kMaxAnswersPerTurn && !_undelivered.empty(); ++delivered) {
        const RtWriteResult result = _undelivered.front();
        _undelivered.pop_front();
        auto waiting = _waiting.find(result.ticket);
        if (waiting == _waiting.end()) {
            continue;
        }
        RtRecordsDone *done = waiting->second;
        _waiting.erase(waiting);
        done->OnPeerRecordsWritten(result.ticket, result.code);
    }
    // Answers left for later turns are asked for again, after the other peers' events.
    if (!_undelivered.empty()) {
        _manager->Post([this] { Deliver(); });
    }
}
