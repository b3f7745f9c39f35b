#ifndef RT_SERVER_RT_RECORD_BATCH_H_
#define RT_SERVER_RT_RECORD_BATCH_H_

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "rt_server/rt_write_request.h"

class BdDatabase;
class RtDatabaseOperation;

// Runs requests of the database writer as few round trips as it can: the lookups of a whole batch
// sent as one text, then every write of the batch sent as one transaction, with the very
// statements the router's five operations run, in the order the requests came. The rows end
// exactly as the operations run one by one would leave them.
//
// Failures are told apart by the server's answer:
//   - the database is away (a client-side error: refused, lost, timed out; or a server going
//     down): the batch stops and Run reports it, nothing of the open transaction committed;
//   - a conflict a retry may cure (1047 node not ready, 1180 commit failed, 1213 deadlock): the
//     step is run again (a failed transaction from its lookups on), kRetryableAttempts times in
//     all, then it counts as the database being away;
//   - anything else is the statement's own content (a text the server refuses, a value too long):
//     that statement alone is left out. A peer whose write fails this way fails alone, keeping
//     the rows it wrote before; an offline statement of several UUIDs is cut in halves until the
//     UUIDs that fail alone are found, and each of those is dropped and logged once.
//
// The database writer's thread only; the operation and database belong to it.
class RtRecordBatch {
  public:
    static constexpr int kRetryableAttempts = 3;
    // Pause before another attempt after a retryable conflict, times the attempt number.
    static constexpr int kRetryPauseMilliseconds = 50;
    // Largest text sent at once when the server does not say (its max_allowed_packet is read at
    // every connect and used, less a margin, when smaller).
    static constexpr size_t kMaxStatementBytes = 4 * 1024 * 1024;

    // operation must be bound to database.
    RtRecordBatch(BdDatabase *database, RtDatabaseOperation *operation, size_t maxBytes);

    // Runs requests, which must not name one key of a table twice (see Fits), and appends the
    // result of every peer request. false when the database went away: then nothing of the batch
    // is applied and no result appended.
    bool Run(const std::vector<RtWriteRequest> &requests, std::vector<RtWriteResult> *results);
    // The UUIDs of the peers refused because their lookup found a row of another spelling.
    const std::vector<std::string> &Refused() const { return _refused; }

    // Whether request can join a batch whose keys are in keys, adding its own when it can: a peer
    // may not write one key of a table twice in a batch, since its lookup ran before the earlier
    // write created the row.
    static bool Fits(const RtWriteRequest &request, std::set<std::string> *keys);
    // The keys a peer request writes, each told by its table; none for an offline mark.
    static std::vector<std::string> Keys(const RtWriteRequest &request);

  private:
    // One write of the transaction: a peer's row, or one group of offline UUIDs (its two
    // statements, so that a UUID both fail on is dropped once).
    struct WriteItem {
        size_t owner;                    // index of the request
        std::vector<std::string> sql;    // its statements
        std::vector<std::string> uuids;  // offline groups: the UUIDs they name
    };
    enum class Failure { kRetry, kAway, kContent };

    // Lookups of every peer request: found gets one flag per lookup of each request; a request
    // whose lookup fails gets its code. false when the database went away.
    bool LookUp(const std::vector<RtWriteRequest> &requests, std::vector<std::vector<bool>> *found,
                std::vector<int> *codes);
    // What became of the writes of a step.
    enum class Step { kDone, kRetry, kAway };
    // The writes of every request still good, as one transaction, rolled back on a retryable
    // conflict (kRetry: the step runs again from its lookups); attempts counts those conflicts.
    Step WriteAll(const std::vector<RtWriteRequest> &requests,
                  const std::vector<std::vector<bool>> &found, std::vector<int> *codes,
                  int *attempts);
    // Runs statements from index from in texts of at most _maxBytes. Returns the index of the
    // first statement that did not run (size when all ran); the rows of each that ran appended.
    size_t RunFrom(const std::vector<std::string> &statements, size_t from,
                   std::vector<std::vector<std::vector<std::string>>> *rows,
                   std::vector<std::vector<std::string>> *columns = nullptr);
    // A lookup's key: its column and the UUID asked for.
    struct KeyOf {
        std::string column;
        const std::string *uuid;
    };
    // What the last failure means. A retryable one within its attempts pauses and gives kRetry;
    // attempts counts them for the current step.
    Failure Classify(int *attempts);
    // Offline groups for uuids, each statement under _maxBytes.
    void AddOffline(const std::vector<std::string> &uuids, size_t owner,
                    std::vector<WriteItem> *items);
    WriteItem OfflineGroup(std::vector<std::string> uuids, size_t owner);

    BdDatabase *_database;            // not owned
    RtDatabaseOperation *_operation;  // not owned
    size_t _maxBytes;
    std::vector<std::string> _refused;
};

#endif  // RT_SERVER_RT_RECORD_BATCH_H_
