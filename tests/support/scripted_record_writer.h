// A record writer the caller drives: it keeps every request until told to finish it, in any order
// and with any result, or refuses them all; for the handshake tests and the ParsePacket fuzzer.
#ifndef TESTS_SUPPORT_SCRIPTED_RECORD_WRITER_H_
#define TESTS_SUPPORT_SCRIPTED_RECORD_WRITER_H_

#include <cstdint>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "rt_server/rt_record_writer.h"

class ScriptedWriter : public RtRecordWriter {
  public:
    struct Request {
        RtPeerRows rows;
        RtRecordsDone *done;
        uint64_t ticket;
    };
    int WritePeerRecords(const RtPeerRows &rows, RtRecordsDone *done, uint64_t *ticket) override {
        if (refuse != 0)
            return refuse;
        *ticket = next++;
        requests.push_back({rows, done, *ticket});
        return 0;
    }
    void Forget(uint64_t ticket) override { forgotten.insert(ticket); }
    // A ticket asked for elsewhere becomes a request of its own, finished like the others.
    void Await(uint64_t ticket, RtRecordsDone *done) override {
        requests.push_back({RtPeerRows(), done, ticket});
    }
    void MarkOffline(std::list<std::string> *uuids) override { uuids->clear(); }
    // Reports request index finished with code, unless it was forgotten or finished already.
    void Finish(size_t index, int code) {
        const Request &request = requests.at(index);
        if (forgotten.count(request.ticket) == 0 && finished.insert(request.ticket).second)
            request.done->OnPeerRecordsWritten(request.ticket, code);
    }

    std::vector<Request> requests;
    std::set<uint64_t> forgotten;
    std::set<uint64_t> finished;
    int refuse = 0;  // a refusal of RtRecordWriter, or 0 to accept
    uint64_t next = 1;
};

#endif  // TESTS_SUPPORT_SCRIPTED_RECORD_WRITER_H_
