// The handshake logic in process, with a record writer the test drives: answers wait for the
// rows, keep their order whatever order the rows finish in, and what is forwarded to a peer
// meanwhile still follows its answer.
#include "rt_server/rt_server_accepted_connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_poll.h"
#include "rt_server/rt_server_error.h"
#include "rt_tools/rt_peer_framer.h"
#include "rt_tools/rt_peer_packet.h"
#include "support/loopback.h"
#include "support/scripted_record_writer.h"

namespace {

struct Peer {
    LoopbackPair pair;
    RtPeerFramer framer;
};

class AcceptedConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(manager_.Init(), 0);
        manager_.SetCurrentProcessUUID("router");
    }
    void TearDown() override { manager_.Destroy(); }

    Peer *Connect() {
        peers_.push_back(std::make_unique<Peer>());
        auto *conn = new RtServerAcceptedConnection(&writer_);
        conn->Init(peers_.back()->pair.local, &manager_);
        conn->SetTimeout(manager_.NowSeconds() + 30);
        manager_.AddMapFdToConn(conn->GetFD(), conn, kBdReadInterest);
        return peers_.back().get();
    }
    void Send(Peer *peer, const RtPeerPacket &packet) {
        SendAll(peer->pair.peer, std::string(packet.Data(), packet.Length()));
        Pump();
    }
    void HandShake(Peer *peer, int kind, const std::string &uuid) {
        RtPeerIdentity identity;
        identity.uuid = uuid;
        identity.node_uuid = "node-" + uuid;
        Send(peer, RtPeerPacket::HandShake(kind, identity));
    }
    void Pump(BdConnManager *manager = nullptr) {
        for (int turn = 0; turn < 6; ++turn)
            (manager != nullptr ? manager : &manager_)->WaitAndHandleEvent(0);
    }
    // "success", "not-ready" or "normal:<payload>" for every packet the peer has received, once
    // manager (the test's own by default) has turned.
    std::vector<std::string> Received(Peer *peer, BdConnManager *manager = nullptr) {
        Pump(manager);
        const std::string bytes = ReceiveAvailable(peer->pair.peer, 50);
        if (!bytes.empty())
            peer->framer.Append(bytes.data(), bytes.size());
        std::vector<std::string> seen;
        const char *data = nullptr;
        int length = 0;
        while (peer->framer.Next(&data, &length) == 0) {
            const RtPeerPacket packet(std::vector<char>(data, data + length));
            if (packet.IsControl(kBdControlHandShakeSuccess))
                seen.push_back("success");
            else if (packet.IsControl(kBdControlServerNotReady))
                seen.push_back("not-ready");
            else
                seen.push_back("normal:" + packet.Payload());
        }
        return seen;
    }
    // A registered server platform, so that clients are served.
    Peer *Platform() {
        Peer *platform = Connect();
        HandShake(platform, kBdHandShakeServerPlatform, "platform");
        EXPECT_EQ(manager_.GetServerReadyFlag(), 0u);
        writer_.Finish(writer_.requests.size() - 1, 0);
        EXPECT_EQ(manager_.GetServerReadyFlag(), 1u);
        EXPECT_EQ(Received(platform), std::vector<std::string>{"success"});
        return platform;
    }

    BdConnManager manager_;
    ScriptedWriter writer_;
    std::vector<std::unique_ptr<Peer>> peers_;
};

TEST_F(AcceptedConnectionTest, TheAnswerWaitsForTheRowsAndWhatIsForwardedMeanwhileFollowsIt) {
    Peer *platform = Platform();
    Peer *agent = Connect();
    HandShake(agent, kBdHandShakeClient, "agent");
    ASSERT_EQ(writer_.requests.size(), 2u);
    EXPECT_EQ(writer_.requests[1].rows.agent.agent_uuid, "agent");
    EXPECT_EQ(writer_.requests[1].rows.agent.ip, "127.0.0.1");

    // Bound at once: packets reach the agent's connection, but wait behind its answer.
    Send(platform, RtPeerPacket::Normal({"platform", "agent"}, "early"));
    EXPECT_TRUE(Received(agent).empty());
    writer_.Finish(1, 0);
    Send(platform, RtPeerPacket::Normal({"platform", "agent"}, "late"));
    EXPECT_EQ(Received(agent),
              (std::vector<std::string>{"success", "normal:early", "normal:late"}));
}

TEST_F(AcceptedConnectionTest, AnswersKeepTheOrderOfTheHandshakesWhateverOrderTheRowsFinishIn) {
    Platform();
    Peer *agent = Connect();
    HandShake(agent, kBdHandShakeClient, "agent");
    HandShake(agent, kBdHandShakeClient, "agent");
    writer_.refuse = RtRecordWriter::kQueueFull;
    HandShake(agent, kBdHandShakeClient, "agent");
    writer_.Finish(2, RT_DATABASE_OPERATION_ERROR);
    EXPECT_TRUE(Received(agent).empty());
    writer_.Finish(1, 0);
    EXPECT_EQ(Received(agent), (std::vector<std::string>{"success", "not-ready", "not-ready"}));

    // With nothing waiting, a refusal is answered at once.
    HandShake(agent, kBdHandShakeClient, "agent");
    EXPECT_EQ(Received(agent), std::vector<std::string>{"not-ready"});
}

TEST_F(AcceptedConnectionTest, AConnectionThatGoesAwayIsForgottenByTheWriter) {
    Platform();
    Peer *agent = Connect();
    HandShake(agent, kBdHandShakeClient, "agent");
    agent->pair.ClosePeer();
    Pump();
    std::list<std::string> lost;
    manager_.CheckTimeout(&lost);
    EXPECT_EQ(lost, std::list<std::string>{"agent"});
    EXPECT_EQ(writer_.forgotten, std::set<uint64_t>{writer_.requests[1].ticket});
}

// An upgrade in place: the handshakes waiting on a connection, and the packets queued behind
// their answers' slots, go to the image that takes the connection over, which answers each where
// its slot was once the rows are written, as the old image would have.
TEST_F(AcceptedConnectionTest, WaitingHandshakesKeepTheirPlacesInTheImageThatTakesOver) {
    Peer *platform = Platform();
    Peer *agent = Connect();
    HandShake(agent, kBdHandShakeClient, "agent");
    Send(platform, RtPeerPacket::Normal({"platform", "agent"}, "early"));
    HandShake(agent, kBdHandShakeModuleServer, "module");
    Send(platform, RtPeerPacket::Normal({"platform", "module"}, "middle"));
    EXPECT_TRUE(Received(platform).empty());  // both forwarded, nothing refused
    writer_.Finish(2, 0);  // the second's rows: its answer still waits behind the first
    EXPECT_TRUE(Received(agent).empty());

    BdConnection *found = nullptr;
    ASSERT_EQ(manager_.QueryConnFromFD(agent->pair.local, &found), 0);
    RtHandoverConnection handed;
    static_cast<RtServerAcceptedConnection *>(found)->HandOver(&handed);
    ASSERT_EQ(handed.queued.size(), 4u);
    EXPECT_TRUE(handed.queued[0].empty());
    EXPECT_TRUE(handed.queued[2].empty());
    ASSERT_EQ(handed.answers.size(), 2u);
    EXPECT_FALSE(handed.answers[0].done);
    EXPECT_TRUE(handed.answers[1].done);

    // The new image: a manager and a record writer of its own, on the same socket.
    BdConnManager next;
    ASSERT_EQ(next.Init(), 0);
    next.SetCurrentProcessUUID("router");
    next.SetPTServerUUID("platform");
    ScriptedWriter nextWriter;
    auto *conn = new RtServerAcceptedConnection(&nextWriter);
    ASSERT_EQ(conn->Init(dup(agent->pair.local), &next), 0);
    next.AddMapFdToConn(conn->GetFD(), conn, kBdReadInterest);
    ASSERT_EQ(conn->TakeOver(handed), 0);
    ASSERT_EQ(nextWriter.requests.size(), 1u);  // only the first still waits for its rows
    EXPECT_EQ(nextWriter.requests[0].ticket, handed.answers[0].ticket);
    EXPECT_TRUE(Received(agent, &next).empty());
    nextWriter.Finish(0, 0);
    EXPECT_EQ(Received(agent, &next),
              (std::vector<std::string>{"success", "normal:early", "success", "normal:middle"}));
    next.Destroy();
}

}  // namespace
