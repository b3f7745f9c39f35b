// The database writer's thread against the real database: batches leave the rows exactly as the
// router's operations one by one would, one bad row fails alone, and a database that goes away
// refuses handshakes at once and gets the kept offline marks once it is back; its threads run
// batches of other rows side by side and answer in order.
#include "rt_server/rt_database_writer.h"
#include "rt_server/rt_server_handover.h"
#include "rt_server/rt_threaded_record_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_delay_proxy.h"
#include "support/eventually.h"
#include "support/peer_tables.h"
#include "support/test_database.h"

namespace {

RtPeerRows Client(const std::string &uuid, const std::string &hostname = "host") {
    RtPeerRows rows;
    rows.kind = kBdHandShakeClient;
    rows.agent = BdAgent{uuid, hostname, "10.0.0.1", "Linux", "Debian 12", "64 bit"};
    return rows;
}

RtPeerRows ModuleServer(const std::string &uuid, const std::string &node) {
    RtPeerRows rows;
    rows.kind = kBdHandShakeModuleServer;
    rows.node = BdNode{node, "10.0.0.2", "node-host", "Linux", "Debian 12", "64 bit"};
    rows.server.module_uuid = uuid;
    rows.server.node_uuid = node;
    rows.server.module_type = 5;
    return rows;
}

class RtDatabaseWriterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!TestDatabaseAddress::FromEnvironment(&address_))
            GTEST_SKIP() << "RT_DB_HOST is not set";
        ASSERT_TRUE(tables_.Connect(address_));
        ASSERT_TRUE(tables_.Clear());
        proxy_ = std::make_unique<RtDelayProxy>(address_.host, address_.port);
        ASSERT_TRUE(proxy_->Start());
        RtDatabaseAddress through{address_.host, address_.user, address_.password, address_.name,
                                  proxy_->Port()};
        through.host = "127.0.0.1";
        through_ = through;
        writer_ = std::make_unique<RtDatabaseWriter>(through);
        ASSERT_EQ(writer_->Start([this] { ++results_waiting_; }), 0);
    }
    void TearDown() override {
        tables_.Exec(
            "ALTER TABLE bd_agent MODIFY agent_uuid VARCHAR(64) COLLATE utf8_nopad_bin NOT NULL");
        tables_.Exec("DROP TRIGGER IF EXISTS refuse_poison");
        tables_.Exec("DROP TRIGGER IF EXISTS conflict_on_insert");
        tables_.Exec("DROP TRIGGER IF EXISTS slow_insert");
        tables_.Exec("DROP TABLE IF EXISTS conflicts_seen");
        tables_.Exec("DROP TRIGGER IF EXISTS seen_update");
        tables_.Exec("DROP TRIGGER IF EXISTS seen_insert");
        tables_.Exec("DROP TABLE IF EXISTS writes_seen");
        writer_.reset();
        proxy_.reset();
    }

    // Submits a peer under the next ticket; the ticket, or -1 when refused.
    long Submit(const RtPeerRows &rows) {
        const uint64_t ticket = next_ticket_++;
        return writer_->SubmitPeer(ticket, rows) == BD_SUCCESS ? static_cast<long>(ticket) : -1;
    }
    // Takes results until count have come; each came with a results-waiting call.
    bool Collect(size_t count, int timeoutMs = 20000) {
        return Eventually(
            [&] {
                std::vector<RtWriteResult> results;
                writer_->TakeResults(&results);
                for (const RtWriteResult &result : results)
                    codes_[result.ticket] = result.code;
                return codes_.size() >= count && results_waiting_.load() > 0;
            },
            timeoutMs);
    }

    TestDatabaseAddress address_;
    RtDatabaseAddress through_;  // the database behind proxy_
    PeerTables tables_;
    std::unique_ptr<RtDelayProxy> proxy_;
    std::unique_ptr<RtDatabaseWriter> writer_;
    std::map<uint64_t, int> codes_;
    std::atomic<int> results_waiting_{0};
    uint64_t next_ticket_ = 1;
};

TEST_F(RtDatabaseWriterTest, ABatchLeavesTheRowsAsTheOperationsOneByOneWould) {
    ASSERT_TRUE(
        tables_.Exec("INSERT INTO bd_agent (agent_uuid, hostname, register_flag, "
                     "online_flag) VALUES ('known', 'old', 7, 2)"));
    proxy_->SetFrozen(true);  // everything below lands in one batch
    Submit(Client("known", "new"));
    Submit(Client("fresh"));
    writer_->SubmitOffline({"fresh", "gone"});
    Submit(Client("gone"));   // back before its offline mark: it ends online
    Submit(Client("fresh"));  // the same key again: after the offline mark, online again
    Submit(ModuleServer("module-1", "node-1"));
    Submit(ModuleServer("module-2", "node-1"));  // the same new node
    writer_->SubmitOffline({"module-2", "known"});
    proxy_->SetFrozen(false);
    ASSERT_TRUE(Collect(6));
    for (const auto &code : codes_)
        EXPECT_EQ(code.second, 0) << "ticket " << code.first;

    EXPECT_EQ(
        tables_.Rows("SELECT agent_uuid, hostname, register_flag, online_flag FROM bd_agent "
                     "ORDER BY agent_uuid"),
        (std::vector<std::vector<std::string>>{
            {"fresh", "host", "2", "1"}, {"gone", "host", "2", "1"}, {"known", "new", "7", "2"}}));
    EXPECT_EQ(tables_.Rows("SELECT module_uuid, node_uuid, online_flag FROM bd_module_server "
                           "ORDER BY module_uuid"),
              (std::vector<std::vector<std::string>>{{"module-1", "node-1", "1"},
                                                     {"module-2", "node-1", "2"}}));
    EXPECT_EQ(tables_.Value("SELECT COUNT(*) FROM bd_node WHERE node_uuid = 'node-1' AND "
                            "auto_upgrade_flag = 2"),
              "1");
}

// Calls back record the order they came in.
struct AnswerOrder : RtRecordsDone {
    void OnPeerRecordsWritten(uint64_t ticket, int /*code*/) override { tickets.push_back(ticket); }
    std::vector<uint64_t> tickets;
};

TEST_F(RtDatabaseWriterTest, MoreAnswersThanOneTurnTakesAreAllCalledBackInOrder) {
    BdConnManager manager;
    ASSERT_EQ(manager.Init(), 0);
    RtThreadedRecordWriter threaded(through_);
    ASSERT_EQ(threaded.Start(&manager), 0);
    AnswerOrder done;
    std::vector<uint64_t> asked;
    proxy_->SetFrozen(true);  // every answer comes back at once
    for (int i = 0; i < 3 * RtThreadedRecordWriter::kMaxAnswersPerTurn + 1; ++i) {
        uint64_t ticket = 0;
        ASSERT_EQ(threaded.WritePeerRecords(Client("peer-" + std::to_string(i)), &done, &ticket),
                  0);
        asked.push_back(ticket);
    }
    proxy_->SetFrozen(false);
    ASSERT_TRUE(Eventually(
        [&] {
            manager.WaitAndHandleEvent(1);
            return done.tickets.size() == asked.size();
        },
        20000));
    EXPECT_EQ(done.tickets, asked);
    threaded.Stop();
    manager.Destroy();
}

TEST_F(RtDatabaseWriterTest, OneBadRowFailsAloneAndEveryOtherRowIsWritten) {
    const std::string tooLong(300, 'h');  // hostname holds 255 characters
    // A row the server refuses to change, whatever statement names it.
    ASSERT_TRUE(
        tables_.Exec("CREATE TRIGGER refuse_poison BEFORE UPDATE ON bd_agent FOR EACH ROW "
                     "IF NEW.agent_uuid = 'poison' THEN SIGNAL SQLSTATE '45000'; END IF"));
    Submit(Client("poison"));
    Submit(Client("before"));
    ASSERT_TRUE(Collect(2));
    proxy_->SetFrozen(true);
    const long bad = Submit(Client("long-host", tooLong));
    Submit(Client("after"));
    writer_->SubmitOffline({"before", "x1", "poison", "x2", "x3"});
    proxy_->SetFrozen(false);
    ASSERT_TRUE(Collect(4));
    // The offline mark runs as a whole, in a batch of its own or with the handshakes.
    EXPECT_TRUE(Eventually([&] { return tables_.AgentOnline("before") == "2"; }, 10000));
    EXPECT_EQ(tables_.AgentOnline("poison"), "1");
    tables_.Exec("DROP TRIGGER refuse_poison");
    EXPECT_NE(codes_[bad], 0);
    EXPECT_EQ(tables_.AgentOnline("after"), "1");
    EXPECT_EQ(tables_.AgentOnline("long-host"), "");

    // Later marks are not held up by the dropped one.
    writer_->SubmitOffline({"after"});
    EXPECT_TRUE(Eventually([&] { return tables_.AgentOnline("after") == "2"; }, 10000));
}

TEST_F(RtDatabaseWriterTest, AGoneDatabaseIsTriedForEachHandshakeAndGetsTheKeptMarksWhenBack) {
    Submit(Client("stays"));
    Submit(Client("leaves"));
    ASSERT_TRUE(Collect(2));
    proxy_->SetDown(true);
    const long failed = Submit(Client("unlucky"));
    ASSERT_TRUE(Collect(3));
    EXPECT_NE(codes_[failed], 0);
    EXPECT_FALSE(writer_->Available());
    // Each handshake has the database tried again, and fails with the try.
    const long refused = Submit(Client("refused"));
    ASSERT_GE(refused, 0);
    ASSERT_TRUE(Collect(4));
    EXPECT_NE(codes_[refused], 0);
    writer_->SubmitOffline({"leaves", "stays"});
    // Back before its mark ran: it stays online, whatever its handshake gets.
    ASSERT_GE(Submit(Client("stays")), 0);
    ASSERT_TRUE(Collect(5));
    // Kept marks are not written: whoever waits for them gives up at the deadline.
    const auto now = [] { return std::chrono::steady_clock::now(); };
    EXPECT_FALSE(writer_->WaitUntilDone(now() + std::chrono::milliseconds(200)));

    proxy_->SetDown(false);
    // The very first handshake once the database is back is written.
    const long first = Submit(Client("first"));
    ASSERT_TRUE(Collect(6));
    EXPECT_EQ(codes_[first], 0);
    EXPECT_TRUE(writer_->Available());
    EXPECT_TRUE(writer_->WaitUntilDone(now() + std::chrono::milliseconds(5000)));
    EXPECT_EQ(tables_.AgentOnline("leaves"), "2");
    EXPECT_EQ(tables_.AgentOnline("stays"), "1");
    EXPECT_EQ(tables_.AgentOnline("first"), "1");
}

// An upgrade in place while a batch waits on a frozen database: the writer tells what runs and
// what is queued, in order, with the session the batch runs on, and the next image's writer
// writes all of it once the database answers, under the same tickets.
TEST_F(RtDatabaseWriterTest, WhatAHandOverTellsIsWrittenByTheWriterThatTakesItOver) {
    Submit(Client("leaves"));
    ASSERT_TRUE(Collect(1));
    proxy_->SetFrozen(true);
    const long running = Submit(Client("running"));
    ASSERT_TRUE(Eventually([&] { return writer_->QueuedHandshakes() == 0; }, 5000));
    writer_->SubmitOffline({"leaves"});
    const long queued = Submit(ModuleServer("queued", "node-q"));
    RtWriterBacklog backlog = writer_->HandOver();
    ASSERT_EQ(backlog.requests.size(), 3u);
    EXPECT_EQ(backlog.requests[0].ticket, static_cast<uint64_t>(running));
    EXPECT_EQ(backlog.requests[1].ticket, static_cast<uint64_t>(queued));
    EXPECT_EQ(backlog.requests[2].uuids, std::vector<std::string>{"leaves"});
    // One session per running batch: the second connection may have taken the module server's
    // handshake too, and waits on the frozen database as well.
    EXPECT_GE(backlog.stale_sessions.size(), 1u);
    EXPECT_LE(backlog.stale_sessions.size(), 2u);
    EXPECT_TRUE(backlog.results.empty());

    // The old image's threads end with the exec; its statement in flight is its session's.
    writer_.reset();
    proxy_->SetFrozen(false);
    writer_ = std::make_unique<RtDatabaseWriter>(through_);
    writer_->TakeOver(&backlog);
    ASSERT_EQ(writer_->Start([this] { ++results_waiting_; }), 0);
    ASSERT_TRUE(Collect(3));
    EXPECT_EQ(codes_[running], 0);
    EXPECT_EQ(codes_[queued], 0);
    const auto now = [] { return std::chrono::steady_clock::now(); };
    EXPECT_TRUE(writer_->WaitUntilDone(now() + std::chrono::milliseconds(10000)));
    EXPECT_EQ(tables_.AgentOnline("running"), "1");
    EXPECT_EQ(tables_.ModuleServerOnline("queued"), "1");
    EXPECT_EQ(tables_.AgentOnline("leaves"), "2");
}

// On a table whose keys compare loosely, the mark of a peer refused for another spelling of a
// stored UUID is left out of its batch; a hand-over while that batch runs carries nothing the
// next image would refuse as damage.
TEST_F(RtDatabaseWriterTest, AHandOverAfterARefusedSpellingsMarkIsUnderstood) {
    ASSERT_TRUE(tables_.Exec(
        "ALTER TABLE bd_agent MODIFY agent_uuid VARCHAR(64) COLLATE utf8_general_ci NOT NULL"));
    ASSERT_TRUE(tables_.Exec(
        "INSERT INTO bd_agent (agent_uuid, hostname, online_flag) VALUES ('agent-a', 'h', 1)"));
    const long refused = Submit(Client("AGENT-A"));
    ASSERT_TRUE(Collect(1));
    ASSERT_NE(codes_[refused], 0);
    const auto now = [] { return std::chrono::steady_clock::now(); };
    ASSERT_TRUE(writer_->WaitUntilDone(now() + std::chrono::seconds(10)));

    // Held by a hand-over, the mark and a handshake are taken as one batch once it resumes.
    proxy_->SetFrozen(true);
    writer_->HandOver();
    writer_->SubmitOffline({"AGENT-A"});
    const long running = Submit(Client("other"));
    writer_->ResumeAfterHandOver();
    ASSERT_TRUE(Eventually(
        [&] { return writer_->QueuedHandshakes() == 0 && writer_->QueuedOfflineMarks() == 0; },
        5000));
    RtHandoverState state;
    state.plain_listen_fd = 3;
    state.writer = writer_->HandOver();
    state.writer.next_ticket = next_ticket_;
    ASSERT_EQ(state.writer.requests.size(), 1u);
    EXPECT_EQ(state.writer.requests[0].ticket, static_cast<uint64_t>(running));
    RtHandoverState decoded;
    std::string why;
    EXPECT_TRUE(RtDecodeHandover(RtEncodeHandover(state), &decoded, &why)) << why;
    writer_.reset();
    proxy_->SetFrozen(false);
    EXPECT_EQ(tables_.AgentOnline("agent-a"), "1");
}

// Handshakes that waited behind offline marks when the database went away fail, but were back
// after their marks: whatever the database made of the marks, those peers end online.
TEST_F(RtDatabaseWriterTest, PeersBackBeforeTheirKeptMarksStayOnline) {
    Submit(Client("returns"));
    Submit(Client("gone"));
    ASSERT_TRUE(Collect(2));
    proxy_->SetFrozen(true);
    writer_->SubmitOffline({"returns", "gone"});
    // Let the marks be taken into a batch of their own before the peer comes back.
    ASSERT_TRUE(Eventually([&] { return writer_->QueuedOfflineMarks() == 0; }, 5000));
    const long back = Submit(Client("returns"));
    proxy_->SetDown(true);  // the batch waiting on the frozen database fails
    proxy_->SetFrozen(false);
    ASSERT_TRUE(Collect(3));
    EXPECT_NE(codes_[back], 0);
    proxy_->SetDown(false);
    const auto now = [] { return std::chrono::steady_clock::now(); };
    ASSERT_TRUE(Eventually(
        [&] { return writer_->WaitUntilDone(now() + std::chrono::milliseconds(100)); }, 10000));
    EXPECT_EQ(tables_.AgentOnline("gone"), "2");
    EXPECT_EQ(tables_.AgentOnline("returns"), "1");
}

// A connection that held thousands of UUIDs leaves: their marks are written a slice a batch, and a
// newcomer's handshake goes between two slices instead of waiting for all of them; a peer back
// while its own mark is being written waits for that slice and ends online.
TEST_F(RtDatabaseWriterTest, AHandshakeGoesBetweenTheSlicesOfManyMarks) {
    constexpr int kGone = 3 * static_cast<int>(RtDatabaseWriter::kMaxBatchMarks);
    ASSERT_TRUE(
        tables_.Exec("INSERT INTO bd_agent (agent_uuid, online_flag) SELECT CONCAT('gone-', "
                     "seq), 1 FROM seq_1_to_" +
                     std::to_string(kGone)));
    ASSERT_TRUE(
        tables_.Exec("CREATE TABLE writes_seen (id INT AUTO_INCREMENT PRIMARY KEY, "
                     "uuid VARCHAR(64))"));
    ASSERT_TRUE(
        tables_.Exec("CREATE TRIGGER seen_update AFTER UPDATE ON bd_agent FOR EACH ROW "
                     "INSERT INTO writes_seen (uuid) VALUES (NEW.agent_uuid)"));
    ASSERT_TRUE(
        tables_.Exec("CREATE TRIGGER seen_insert AFTER INSERT ON bd_agent FOR EACH ROW "
                     "INSERT INTO writes_seen (uuid) VALUES (NEW.agent_uuid)"));
    Submit(Client("returns"));
    ASSERT_TRUE(Collect(1));
    std::vector<std::string> gone{"returns"};
    for (int i = 1; i <= kGone; ++i)
        gone.push_back("gone-" + std::to_string(i));
    proxy_->SetFrozen(true);
    writer_->SubmitOffline(gone);
    // The first slice is on its way to the frozen database before the two peers come.
    ASSERT_TRUE(Eventually([&] { return writer_->QueuedOfflineMarks() < gone.size(); }, 5000));
    const long newcomer = Submit(Client("newcomer"));
    const long back = Submit(Client("returns", "again"));
    proxy_->SetFrozen(false);
    ASSERT_TRUE(Collect(3));
    EXPECT_EQ(codes_[newcomer], 0);
    EXPECT_EQ(codes_[back], 0);
    const auto now = [] { return std::chrono::steady_clock::now(); };
    ASSERT_TRUE(writer_->WaitUntilDone(now() + std::chrono::seconds(20)));
    // Most of the marks were written after the newcomer.
    const auto after = tables_.Rows(
        "SELECT COUNT(*) FROM writes_seen WHERE uuid LIKE 'gone-%' AND id > (SELECT MAX(id) FROM "
        "writes_seen WHERE uuid = 'newcomer')");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_GE(std::stoi(after[0][0]), kGone / 2);
    EXPECT_EQ(tables_.AgentOnline("newcomer"), "1");
    EXPECT_EQ(tables_.AgentOnline("returns"), "1");
    EXPECT_EQ(tables_.AgentOnline("gone-1"), "2");
}

// A conflict (1213) on the writes runs the step again from its lookups: a row another writer
// created meanwhile is updated rather than inserted twice.
TEST_F(RtDatabaseWriterTest, ARetriedConflictLooksTheRowsUpAgain) {
    ASSERT_TRUE(tables_.Exec("DROP TABLE IF EXISTS conflicts_seen"));
    ASSERT_TRUE(tables_.Exec("CREATE TABLE conflicts_seen (n INT) ENGINE = MyISAM"));
    ASSERT_TRUE(tables_.Exec("INSERT INTO conflicts_seen VALUES (0)"));
    // Every insert of the contended row loses a conflict, as on a cluster where another node
    // wrote it first; the count survives the rollback.
    ASSERT_TRUE(
        tables_.Exec("CREATE TRIGGER conflict_on_insert BEFORE INSERT ON bd_agent FOR EACH ROW "
                     "IF NEW.hostname = 'mine' THEN UPDATE conflicts_seen SET n = n + 1; "
                     "SIGNAL SQLSTATE '40001' SET MYSQL_ERRNO = 1213; END IF"));
    proxy_->SetDelayMilliseconds(300);  // room to write the other side's row between attempts
    const long ticket = Submit(Client("contended", "mine"));
    ASSERT_TRUE(
        Eventually([&] { return tables_.Value("SELECT n FROM conflicts_seen") == "1"; }, 10000));
    ASSERT_TRUE(
        tables_.Exec("INSERT INTO bd_agent (agent_uuid, hostname, register_flag, online_flag) "
                     "VALUES ('contended', 'theirs', 2, 2)"));
    ASSERT_TRUE(Collect(1));
    proxy_->SetDelayMilliseconds(0);
    EXPECT_EQ(codes_[ticket], 0);
    EXPECT_EQ(tables_.Rows("SELECT hostname, online_flag FROM bd_agent WHERE agent_uuid = "
                           "'contended'"),
              (std::vector<std::vector<std::string>>{{"mine", "1"}}));
}

// Batches of different rows run at once; a request for a row a running batch writes waits for it,
// and the results come back in the order they were asked for.
TEST_F(RtDatabaseWriterTest, BatchesOverlapOnlyOnOtherRowsAndAnswerInOrder) {
    ASSERT_TRUE(
        tables_.Exec("CREATE TRIGGER slow_insert BEFORE INSERT ON bd_agent FOR EACH ROW "
                     "IF NEW.hostname = 'slow' THEN SET @slept = SLEEP(5); END IF"));
    std::vector<uint64_t> order;
    const auto take = [&] {
        std::vector<RtWriteResult> results;
        writer_->TakeResults(&results);
        for (const RtWriteResult &result : results) {
            order.push_back(result.ticket);
            codes_[result.ticket] = result.code;
        }
    };
    const long slow = Submit(Client("contended", "slow"));
    ASSERT_TRUE(Eventually([&] { return writer_->QueuedHandshakes() == 0; }, 5000));
    const long quick = Submit(Client("quick"));
    ASSERT_TRUE(Eventually([&] { return tables_.AgentOnline("quick") == "1"; }, 4000));
    // Written beside the batch that still sleeps in its insert; its answer waits for that one's.
    EXPECT_EQ(tables_.AgentOnline("contended"), "");
    take();
    const long again = Submit(Client("contended", "again"));
    writer_->SubmitOffline({"quick"});
    const long after = Submit(Client("after"));
    ASSERT_TRUE(Eventually(
        [&] {
            take();
            return order.size() == 4;
        },
        20000));
    EXPECT_EQ(order,
              (std::vector<uint64_t>{static_cast<uint64_t>(slow), static_cast<uint64_t>(quick),
                                     static_cast<uint64_t>(again), static_cast<uint64_t>(after)}));
    for (const auto &code : codes_)
        EXPECT_EQ(code.second, 0) << "ticket " << code.first;
    const auto now = [] { return std::chrono::steady_clock::now(); };
    ASSERT_TRUE(writer_->WaitUntilDone(now() + std::chrono::seconds(10)));
    EXPECT_EQ(tables_.Rows("SELECT agent_uuid, hostname, online_flag FROM bd_agent ORDER BY "
                           "agent_uuid"),
              (std::vector<std::vector<std::string>>{
                  {"after", "host", "1"}, {"contended", "again", "1"}, {"quick", "host", "2"}}));
}

}  // namespace
