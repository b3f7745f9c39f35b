#ifndef RT_SERVER_RT_RECORD_WRITER_H_
#define RT_SERVER_RT_RECORD_WRITER_H_

#include <cstdint>
#include <list>
#include <string>

#include "rt_server/rt_write_request.h"

// Told when a peer's rows are written. Event-loop thread.
class RtRecordsDone {
  public:
    // The rows asked for under ticket are written (code 0) or failed (the failing write's code).
    virtual void OnPeerRecordsWritten(uint64_t ticket, int code) = 0;

  protected:
    ~RtRecordsDone() = default;
};

// What the router's core writes to the database, without waiting for it: the rows of a peer that
// hand-shook, and the UUIDs of peers that left. The accepted connections are given one (not owned;
// it outlives them); the router's is the database writer, tests give one that delays, fails or
// reorders.
//
// Event-loop thread only, for every operation and every call back.
class RtRecordWriter {
  public:
    // The refusal of WritePeerRecords when too many handshakes wait already; negative, so that no
    // error code of the system reads as one.
    static constexpr int kQueueFull = -1;

    virtual ~RtRecordWriter() = default;

    // Asks for the peer's rows. 0: done->OnPeerRecordsWritten(*ticket, code) follows later, unless
    // Forget(*ticket) comes first. kQueueFull: refused at once, nothing follows.
    virtual int WritePeerRecords(const RtPeerRows &rows, RtRecordsDone *done, uint64_t *ticket) = 0;
    // The one waiting for ticket goes away; nothing is called for it any more.
    virtual void Forget(uint64_t ticket) = 0;
    // done waits for ticket, asked for before this image of the process was executed (an
    // upgrade in place hands the waiting handshakes over): it is called back as if it had asked.
    virtual void Await(uint64_t ticket, RtRecordsDone *done) = 0;
    // Marks the UUIDs offline once everything asked for before is written; empties the list.
    virtual void MarkOffline(std::list<std::string> *uuids) = 0;
};

#endif  // RT_SERVER_RT_RECORD_WRITER_H_
