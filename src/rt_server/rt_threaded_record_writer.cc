#include "rt_server/rt_threaded_record_writer.h"

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
    return _writer.Start([this] { _manager->Post([this] { Deliver(); }); });
}

void RtThreadedRecordWriter::Deliver() {
    // Answers left for later turns are asked for again, after the other peers' events.
    if (DeliverResults()) {
        _manager->Post([this] { Deliver(); });
    }
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

bool RtThreadedRecordWriter::DeliverResults() {
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
    return !_undelivered.empty();
}
