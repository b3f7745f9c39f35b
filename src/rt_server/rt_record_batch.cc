#include "rt_server/rt_record_batch.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log.h"
#include "bd_common/bd_log_entry.h"
#include "bd_database/bd_database.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_server/rt_database_operation.h"
#include "rt_server/rt_server_error.h"

BD_LOG_SOURCE_FILE("rt_record_batch");

namespace {

using Results = std::vector<std::vector<std::vector<std::string>>>;

const char kStartTransaction[] = "START TRANSACTION";
const char kCommit[] = "COMMIT";
const char kRollback[] = "ROLLBACK";
// Room left in a text for the statement separators and the protocol's own header.
const size_t kPacketMargin = 1024;

// Errors after which the server, not the statement, is the trouble.
bool IsAwayError(unsigned int error) {
    return error == 0 || (error >= CR_MIN_ERROR && error <= CR_MAX_ERROR) ||
           (error >= CER_MIN_ERROR && error <= CER_MAX_ERROR) || error == ER_CON_COUNT_ERROR ||
           error == ER_SERVER_SHUTDOWN || error == ER_CONNECTION_KILLED ||
           error == ER_QUERY_INTERRUPTED;
}

// A cluster node out of its primary component (1047), a commit the certification refused (1180)
// and a deadlock with another writer (1213) pass when tried again.
bool IsRetryableError(unsigned int error) {
    return error == ER_UNKNOWN_COM_ERROR || error == ER_ERROR_DURING_COMMIT ||
           error == ER_LOCK_DEADLOCK;
}

}  // namespace

RtRecordBatch::RtRecordBatch(BdDatabase *database, RtDatabaseOperation *operation, size_t maxBytes)
    : _database(database),
      _operation(operation),
      _maxBytes(maxBytes > kPacketMargin * 2 ? maxBytes - kPacketMargin : maxBytes) {}

bool RtRecordBatch::Fits(const RtWriteRequest &request, std::set<std::string> *keys) {
    const std::vector<std::string> mine = Keys(request);
    if (std::any_of(mine.begin(), mine.end(),
                    [keys](const std::string &key) { return keys->count(key) != 0; })) {
        return false;
    }
    keys->insert(mine.begin(), mine.end());
    return true;
}

std::vector<std::string> RtRecordBatch::Keys(const RtWriteRequest &request) {
    std::vector<std::string> mine;
    if (request.kind != RtWriteRequest::kPeer) {
        return mine;
    }
    const RtPeerRows &rows = request.rows;
    if (rows.kind == kBdHandShakeClient) {
        mine.push_back("a" + rows.agent.agent_uuid);
    } else {
        mine.push_back("m" + rows.server.module_uuid);
        if (rows.kind == kBdHandShakeModuleServer) {
            mine.push_back("n" + rows.node.node_uuid);
        }
    }
    return mine;
}

bool RtRecordBatch::Run(const std::vector<RtWriteRequest> &requests,
                        std::vector<RtWriteResult> *results) {
    std::vector<int> codes;
    // A conflict found at the writes runs the whole step again, lookups included: a row another
    // writer created meanwhile must be updated, not inserted a second time.
    int writeAttempts = 0;
    for (Step step = Step::kRetry; step == Step::kRetry;) {
        codes.assign(requests.size(), BD_SUCCESS);
        std::vector<std::vector<bool>> found(requests.size());
        if (!LookUp(requests, &found, &codes)) {
            return false;
        }
        step = WriteAll(requests, found, &codes, &writeAttempts);
        if (step == Step::kAway) {
            return false;
        }
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].kind == RtWriteRequest::kPeer &&
            requests[i].ticket != RtWriteRequest::kNoAnswer) {
            results->push_back({requests[i].ticket, codes[i]});
        }
    }
    return true;
}

bool RtRecordBatch::LookUp(const std::vector<RtWriteRequest> &requests,
                           std::vector<std::vector<bool>> *found, std::vector<int> *codes) {
    std::vector<std::string> statements;
    std::vector<size_t> owners;
    std::vector<KeyOf> keys;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].kind != RtWriteRequest::kPeer) {
            continue;
        }
        const RtPeerRows &rows = requests[i].rows;
        // A missing key fails before anything runs, as the operations do; a module server whose
        // own UUID is missing still writes its node first.
        if (rows.kind == kBdHandShakeClient) {
            if (rows.agent.agent_uuid.empty()) {
                (*codes)[i] = BD_PARAMETER_INVALID;
            } else {
                statements.push_back(_operation->AgentLookup(rows.agent));
                keys.push_back({"agent_uuid", &rows.agent.agent_uuid});
            }
        } else if (rows.kind == kBdHandShakeModuleServer && rows.node.node_uuid.empty()) {
            (*codes)[i] = BD_PARAMETER_INVALID;
        } else {
            if (rows.kind == kBdHandShakeModuleServer) {
                statements.push_back(_operation->NodeLookup(rows.node));
                keys.push_back({"node_uuid", &rows.node.node_uuid});
            }
            if (!rows.server.module_uuid.empty()) {
                statements.push_back(_operation->ModuleServerLookup(rows.server));
                keys.push_back({"module_uuid", &rows.server.module_uuid});
            } else if (rows.kind == kBdHandShakeServerPlatform) {
                (*codes)[i] = BD_PARAMETER_INVALID;
            }
        }
        owners.resize(statements.size(), i);
    }

    // Requests of which nothing is written: their first lookup failed, or a lookup found the row
    // of another spelling of their key.
    std::vector<bool> nothing(requests.size(), false);
    int attempts = 0;
    for (size_t at = 0; at < statements.size();) {
        Results rows;
        std::vector<std::vector<std::string>> columns;
        const size_t stop = RunFrom(statements, at, &rows, &columns);
        for (size_t k = at; k < stop; ++k) {
            const size_t owner = owners[k];
            (*found)[owner].push_back(!rows[k - at].empty());
            if (!nothing[owner] && !RtDatabaseOperation::SameKey(keys[k].column, *keys[k].uuid,
                                                                 columns[k - at], rows[k - at])) {
                nothing[owner] = true;
                (*codes)[owner] = RT_DATABASE_OPERATION_ERROR;
                _refused.push_back(RtPeerUuid(requests[owner].rows));
            }
        }
        if (stop == statements.size()) {
            break;
        }
        if (stop > at) {
            attempts = 0;
        }
        switch (Classify(&attempts)) {
            case Failure::kAway:
                // Every peer of the batch is reported by the writer as its lookup failing.
                return false;
            case Failure::kRetry:
                at = stop;
                break;
            case Failure::kContent:
                (*codes)[owners[stop]] =
                    _operation->LookupFailed(requests[owners[stop]].rows.kind, statements[stop]);
                if ((*found)[owners[stop]].empty()) {
                    nothing[owners[stop]] = true;
                }
                at = stop + 1;
                attempts = 0;
                break;
        }
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        if (nothing[i]) {
            (*found)[i].clear();
        }
    }
    return true;
}

RtRecordBatch::Step RtRecordBatch::WriteAll(const std::vector<RtWriteRequest> &requests,
                                            const std::vector<std::vector<bool>> &found,
                                            std::vector<int> *codes, int *attempts) {
    std::vector<WriteItem> items;
    for (size_t i = 0; i < requests.size(); ++i) {
        const RtWriteRequest &request = requests[i];
        if (request.kind == RtWriteRequest::kOffline) {
            AddOffline(request.uuids, i, &items);
            continue;
        }
        // A failed lookup writes nothing of its peer; a module server whose node was looked up
        // still writes its node.
        if (found[i].empty()) {
            continue;
        }
        const RtPeerRows &rows = request.rows;
        const std::vector<bool> &exists = found[i];
        if (rows.kind == kBdHandShakeClient) {
            items.push_back({i, {_operation->AgentWrite(rows.agent, exists[0])}, {}});
        } else if (rows.kind == kBdHandShakeModuleServer) {
            items.push_back({i, {_operation->NodeWrite(rows.node, exists[0])}, {}});
            if (!rows.server.module_uuid.empty() && (*codes)[i] == BD_SUCCESS) {
                items.push_back({i, {_operation->ModuleServerWrite(rows.server, exists[1])}, {}});
            } else if (rows.server.module_uuid.empty()) {
                (*codes)[i] = BD_PARAMETER_INVALID;
            }
        } else if ((*codes)[i] == BD_SUCCESS) {
            items.push_back({i, {_operation->ModuleServerWrite(rows.server, exists[0])}, {}});
        }
    }
    if (items.empty()) {
        return Step::kDone;
    }

    for (;;) {
        std::vector<std::string> statements{kStartTransaction};
        std::vector<size_t> itemOf{items.size()};
        for (size_t k = 0; k < items.size(); ++k) {
            for (const std::string &sql : items[k].sql) {
                statements.push_back(sql);
                itemOf.push_back(k);
            }
        }
        statements.push_back(kCommit);
        itemOf.push_back(items.size());

        Results ignored;
        const size_t stop = RunFrom(statements, 0, &ignored);
        if (stop == statements.size()) {
            return Step::kDone;
        }
        const Failure failure = Classify(attempts);
        _database->Query(kRollback);
        if (failure == Failure::kRetry) {
            return Step::kRetry;
        }
        // The transaction's own statements refused: the server, not a row, is the trouble.
        if (failure == Failure::kAway || itemOf[stop] == items.size()) {
            _operation->ReportFailedQuery(statements[stop]);
            return Step::kAway;
        }

        // One statement's own content: leave it out and run the rest again.
        *attempts = 0;
        const size_t bad = itemOf[stop];
        WriteItem item = std::move(items[bad]);
        items.erase(items.begin() + bad);
        if (item.uuids.size() > 1) {
            const size_t half = item.uuids.size() / 2;
            std::vector<std::string> first(item.uuids.begin(), item.uuids.begin() + half);
            std::vector<std::string> second(item.uuids.begin() + half, item.uuids.end());
            items.insert(items.begin() + bad, OfflineGroup(std::move(second), item.owner));
            items.insert(items.begin() + bad, OfflineGroup(std::move(first), item.owner));
            continue;
        }
        _operation->ReportFailedQuery(statements[stop]);
        if (item.uuids.empty()) {
            // A peer's later writes do not run after a failed one; its earlier ones stay.
            (*codes)[item.owner] = RT_DATABASE_OPERATION_ERROR;
            for (size_t k = bad; k < items.size();) {
                if (items[k].owner == item.owner) {
                    items.erase(items.begin() + k);
                } else {
                    ++k;
                }
            }
        }
    }
}

void RtRecordBatch::AddOffline(const std::vector<std::string> &uuids, size_t owner,
                               std::vector<WriteItem> *items) {
    // A group grows while its longer statement still fits; each UUID adds its escaped text and
    // the "OR module_uuid = '...' " around it to that statement.
    std::vector<std::string> group;
    size_t bytes = 64;
    for (const std::string &uuid : uuids) {
        const size_t more = 2 * uuid.size() + 24;
        if (!group.empty() && bytes + more > _maxBytes) {
            items->push_back(OfflineGroup(std::move(group), owner));
            group.clear();
            bytes = 64;
        }
        group.push_back(uuid);
        bytes += more;
    }
    if (!group.empty()) {
        items->push_back(OfflineGroup(std::move(group), owner));
    }
}

RtRecordBatch::WriteItem RtRecordBatch::OfflineGroup(std::vector<std::string> uuids, size_t owner) {
    WriteItem item{owner, _operation->OfflineStatements(uuids), {}};
    item.uuids = std::move(uuids);
    return item;
}

size_t RtRecordBatch::RunFrom(const std::vector<std::string> &statements, size_t from,
                              Results *rows, std::vector<std::vector<std::string>> *columns) {
    size_t at = from;
    while (at < statements.size()) {
        std::string text = statements[at];
        size_t count = 1;
        while (at + count < statements.size() &&
               text.size() + 1 + statements[at + count].size() <= _maxBytes) {
            text += ';';
            text += statements[at + count];
            ++count;
        }
        const size_t ran = _database->RunStatements(text, rows, columns);
        rows->resize(at + ran - from);
        if (columns != nullptr) {
            columns->resize(at + ran - from);
        }
        at += ran;
        if (ran < count) {
            return at;
        }
    }
    return at;
}

RtRecordBatch::Failure RtRecordBatch::Classify(int *attempts) {
    const unsigned int error = _database->LastErrorNumber();
    if (IsRetryableError(error)) {
        if (++*attempts >= kRetryableAttempts) {
            return Failure::kAway;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMilliseconds * *attempts));
        return Failure::kRetry;
    }
    return IsAwayError(error) ? Failure::kAway : Failure::kContent;
}
