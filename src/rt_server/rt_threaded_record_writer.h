#ifndef RT_SERVER_RT_THREADED_RECORD_WRITER_H_
#define RT_SERVER_RT_THREADED_RECORD_WRITER_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "rt_server/rt_database_writer.h"
#include "rt_server/rt_record_writer.h"

class BdConnManager;

// The router's record writer: the database writer's threads, seen from the event loop. Requests go
// to the writer's queue; when results wait, a writer thread posts a task to the connection
// manager's loop (BdConnManager::Post), which calls the waiting connections back there.
//
// Owned by the application and must outlive the manager's connections (each may Forget its ticket
// while it is destroyed) and the manager's life (its posted tasks name this object; the manager's
// Destroy drops them). Event-loop thread only, except the writer's counters.
class RtThreadedRecordWriter : public RtRecordWriter {
  public:
    explicit RtThreadedRecordWriter(const RtDatabaseAddress &address);
    ~RtThreadedRecordWriter() override;
    RtThreadedRecordWriter(const RtThreadedRecordWriter &) = delete;
    RtThreadedRecordWriter &operator=(const RtThreadedRecordWriter &) = delete;

    // See RtDatabaseWriter::SetIdleProbe.
    void SetIdleProbe(bool on) { _writer.SetIdleProbe(on); }
    // Starts the writer's threads, which hand their results to manager's loop: 0 or 1.
    int Start(BdConnManager *manager);
    // Ends the threads; every waiting call back is dropped.
    void Stop();

    int WritePeerRecords(const RtPeerRows &rows, RtRecordsDone *done, uint64_t *ticket) override;
    void Forget(uint64_t ticket) override;
    void Await(uint64_t ticket, RtRecordsDone *done) override { _waiting[ticket] = done; }
    void MarkOffline(std::list<std::string> *uuids) override;

    // An upgrade in place, between two turns: no batch is taken from here on, and what is not
    // finished is told (RtDatabaseWriter::HandOver), with the outcomes not yet called back first
    // and only those somebody waits for. ResumeAfterHandOver: the exec failed, the writer goes
    // on as before.
    RtWriterBacklog HandOver();
    void ResumeAfterHandOver() { _writer.ResumeAfterHandOver(); }
    // In the new image, before Start: the backlog is finished as the old image would have; the
    // connections handed over wait for their tickets again through Await.
    void TakeOver(RtWriterBacklog backlog);

    // Answers called back in one turn of the event loop, so that a storm of finished handshakes
    // does not hold up the traffic of the peers already connected.
    static constexpr int kMaxAnswersPerTurn = 64;

    // Waits until everything asked for so far is written, at most until deadline; true when it is.
    bool WaitUntilWritten(std::chrono::steady_clock::time_point deadline) {
        return _writer.WaitUntilDone(deadline);
    }

    const RtDatabaseWriter &Writer() const { return _writer; }

  private:
    // The posted task: calls back the connections whose rows the writer has finished, in the
    // writer's order, at most kMaxAnswersPerTurn of them, and posts itself again while some are
    // left.
    void Deliver();

    BdConnManager *_manager = nullptr;  // not owned
    RtDatabaseWriter _writer;
    std::unordered_map<uint64_t, RtRecordsDone *> _waiting;
    std::deque<RtWriteResult> _undelivered;  // taken from the writer, not yet called back
    uint64_t _nextTicket = 1;
};

#endif  // RT_SERVER_RT_THREADED_RECORD_WRITER_H_
