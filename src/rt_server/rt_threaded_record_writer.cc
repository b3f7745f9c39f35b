#include "rt_server/rt_threaded_record_writer.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <vector>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_connection.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_server/rt_server_error.h"

BD_LOG_SOURCE_FILE("rt_threaded_record_writer");

namespace {

// The wake-up descriptor must never be reaped as idle: about 9.5 years.
const long kNeverSeconds = 300000000L;

// The writer's wake-up descriptor in the manager's epoll set. It reads no packets and never times
// out; it owns a duplicate of the descriptor, so the manager may close it whenever it likes.
class WakeUpConnection : public BdConnection {
  public:
    explicit WakeUpConnection(RtThreadedRecordWriter *writer) : _writer(writer) {}
    int OnIn(epoll_event * /*event*/) override {
        // The wake-up is edge-triggered: answers left for later turns must be asked for here.
        if (_writer->DeliverResults()) {
            _manager->QueueInput(this);
        }
        return BD_SUCCESS;
    }
    int ParsePacket(const char * /*data*/, int /*length*/) override { return BD_SUCCESS; }

  private:
    RtThreadedRecordWriter *_writer;  // not owned
};

}  // namespace

RtThreadedRecordWriter::RtThreadedRecordWriter(const RtDatabaseAddress &address)
    : _writer(address) {}

RtThreadedRecordWriter::~RtThreadedRecordWriter() {
    Stop();
}

int RtThreadedRecordWriter::Start(BdConnManager *manager) {
    if (_writer.Start() != BD_SUCCESS) {
        return BD_ERROR;
    }
    const int fd = dup(_writer.WakeFd());
    auto *wakeUp = new WakeUpConnection(this);
    if (fd < 0 || wakeUp->Init(fd, manager) != BD_SUCCESS) {
        if (fd >= 0) {
            close(fd);
        }
        delete wakeUp;
        Stop();
        return BD_ERROR;
    }
    wakeUp->SetTimeout(manager->NowSeconds() + kNeverSeconds);
    manager->AddMapFdToConn(fd, wakeUp, EPOLLIN | EPOLLET);
    return BD_SUCCESS;
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
        BD_LOG(
            BD_LOG_ERROR, RT_DATABASE_OPERATION_ERROR,
            "database writer queue full, handshake refused, uuid: " +
                (rows.kind == kBdHandShakeClient ? rows.agent.agent_uuid : rows.server.module_uuid),
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
