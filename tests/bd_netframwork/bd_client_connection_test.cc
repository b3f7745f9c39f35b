// The packet connection: write discipline, event order, closing, packet sorting and senders.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_packet.h"
#include "bd_netframwork/bd_poll.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/packet_bytes.h"
#include "support/recording_connection.h"

namespace {

// Records which handlers ran, in order.
class SortingConnection : public RecordingConnection {
  public:
    int OnIn(epoll_event *event) override {
        calls += "in ";
        return RecordingConnection::OnIn(event);
    }
    int OnOut(epoll_event *event) override {
        calls += "out ";
        return RecordingConnection::OnOut(event);
    }
    int HandleNormalPacket(const char *data, int length) override {
        calls += "normal ";
        return BdClientConnection::HandleNormalPacket(data, length);
    }
    int HandleOtherPacket(const char *data, int length) override {
        calls += "other ";
        return BdClientConnection::HandleOtherPacket(data, length);
    }
    int HandlePublicPacket(int, int, const char *, int) override {
        calls += "public ";
        return 0;
    }
    std::string calls;
};

// A packet of length bytes with the given class and sub-kind, from peer type 5 to 6, module type 7.
std::string RouterPacket(int length, int level1, int level2, const std::string &source = "src",
                         const std::string &target = "dst") {
    PacketBytes packet(std::max(length, 120));
    packet.NetHeader().Route(source, target, 5, 6, 7, level1, level2);
    return packet.str().substr(0, static_cast<size_t>(length));
}

class ClientConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(manager.Init(), 0);
        manager.SetCurrentProcessUUID("router-uuid");
        conn = new SortingConnection();
        ASSERT_EQ(conn->Init(pair.local, &manager), 0);
        conn->SetTimeout(manager.NowSeconds() + 30);
        ASSERT_EQ(manager.AddMapFdToConn(pair.local, conn, kBdReadInterest), 0);
        manager.WaitAndHandleEvent(0);  // this thread runs the loop from now on
    }
    void TearDown() override { manager.Destroy(); }

    void Queue(const std::string &packet) {
        ASSERT_EQ(conn->PutWriteQueueItem(MallocCopy(packet), static_cast<int>(packet.size())), 0);
    }
    // The packets this connection queued, as its peer receives them.
    std::string Flush() {
        for (int turn = 0; turn < 8; ++turn) {
            manager.WaitAndHandleEvent(0);
        }
        return ReceiveAvailable(pair.peer);
    }

    BdConnManager manager;
    LoopbackPair pair;
    SortingConnection *conn = nullptr;  // owned by manager
};

// A turn sends as much as a turn reads from one sender (a read slice's packets here), so a target
// that takes everything never falls behind; what is left goes on the next turn, without epoll.
TEST_F(ClientConnectionTest, QueueGoesOutASlicePerTurnWithoutAskingEpoll) {
    std::string firstTurn;
    for (int i = 0; i < BdConnection::kReadSlicePackets; ++i) {
        firstTurn += NetPacket(i, 'a');
        Queue(NetPacket(i, 'a'));
    }
    const std::string secondTurn = NetPacket(100, 'b') + NetPacket(200, 'c');
    Queue(NetPacket(100, 'b'));
    Queue(NetPacket(200, 'c'));
    for (const std::string &expected : {firstTurn, secondTurn}) {
        EXPECT_EQ(conn->GetEventMask(), kBdReadInterest);
        EXPECT_EQ(manager.CountWritePending(), 1u);  // what a clean stop waits for
        manager.WaitAndHandleEvent(1);
        EXPECT_EQ(ReceiveAvailable(pair.peer), expected);
    }
    manager.WaitAndHandleEvent(0);
    EXPECT_FALSE(manager.OutputQueued(*conn));
    EXPECT_EQ(manager.CountWritePending(), 0u);
}

// Another thread cannot touch the loop's lists: its packet arms write interest, which wakes the
// loop.
TEST_F(ClientConnectionTest, PacketQueuedByAnotherThreadWakesTheLoop) {
    std::string a = NetPacket(100, 'a');
    std::thread([&] { Queue(a); }).join();
    EXPECT_EQ(conn->GetEventMask(), kBdReadWriteInterest);
    EXPECT_EQ(manager.WaitAndHandleEvent(1), 1);
    EXPECT_EQ(ReceiveAvailable(pair.peer), a);
    EXPECT_EQ(conn->GetEventMask(), kBdReadInterest);
}

TEST_F(ClientConnectionTest, ReservedSlotsHoldLaterPacketsUntilEachAnswerTakesItsPlace) {
    const std::string before = NetPacket(10, 'b'), first = NetPacket(20, '1'),
                      middle = NetPacket(30, 'm'), second = NetPacket(40, '2'),
                      after = NetPacket(50, 'a');
    Queue(before);
    conn->ReserveWriteSlot();
    Queue(middle);
    conn->ReserveWriteSlot();
    Queue(after);
    EXPECT_EQ(Flush(), before);
    EXPECT_EQ(conn->GetEventMask(), kBdReadInterest);
    EXPECT_FALSE(manager.OutputQueued(*conn));  // a reserved slot is nothing to send

    EXPECT_EQ(conn->AnswerInWriteSlot([&] {
        Queue(first);
        return 7;
    }),
              7);
    EXPECT_EQ(Flush(), first + middle);
    conn->AnswerInWriteSlot([&] {
        Queue(second);
        return 0;
    });
    EXPECT_EQ(Flush(), second + after);
    EXPECT_EQ(conn->GetEventMask(), kBdReadInterest);
}

TEST_F(ClientConnectionTest, PartialSendContinuesFromItsOffset) {
    int sendBuffer = 16384, receiveBuffer = 262144;
    setsockopt(pair.local, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
    setsockopt(pair.peer, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    std::string big = NetPacket(2 * 1024 * 1024 - 16, 'z');
    for (size_t i = 16; i < big.size(); i += 7) {
        big[i] = static_cast<char>(i);
    }
    Queue(big);
    Queue(NetPacket(0));

    EXPECT_EQ(conn->OnOut(nullptr), 0);  // partial: the socket took only part of it
    EXPECT_EQ(conn->GetEventMask(), kBdReadWriteInterest);
    std::string received;
    for (int turn = 0; turn < 10000 && received.size() < big.size() + 16; ++turn) {
        manager.WaitAndHandleEvent(0);
        received += ReceiveAvailable(pair.peer, 1);
    }
    EXPECT_EQ(received.size(), big.size() + 16);
    EXPECT_TRUE(received == big + NetPacket(0));
    EXPECT_EQ(conn->GetCloseFlag(), 0u);
}

TEST_F(ClientConnectionTest, WritesAreHandledBeforeReads) {
    epoll_event both{};
    both.events = EPOLLIN | EPOLLOUT;
    conn->OnEvent(&both);
    EXPECT_EQ(conn->calls, "out in ");
}

TEST_F(ClientConnectionTest, HangUpClosesAndIsReaped) {
    manager.AddMapUUIDToFD("peer-a", pair.local);
    epoll_event hangUp{};
    hangUp.events = EPOLLHUP;
    conn->OnEvent(&hangUp);
    EXPECT_EQ(conn->GetCloseFlag(), 1u);

    std::list<std::string> lost;
    manager.CheckTimeout(&lost);
    EXPECT_EQ(lost, std::list<std::string>{"peer-a"});
    BdConnection *gone = nullptr;
    EXPECT_EQ(manager.QueryConnFromFD(pair.local, &gone), BD_CONNECTION_NOT_EXIST);
}

TEST_F(ClientConnectionTest, InvalidQueueItemIsDroppedAndConnectionStays) {
    conn->PutWriteQueueItem(static_cast<char *>(malloc(8)), 0);
    Queue(NetPacket(0));
    EXPECT_EQ(conn->OnOut(nullptr), BD_CONNECTION_WRITE_ITEM_INVALID);
    EXPECT_EQ(conn->GetCloseFlag(), 0u);
    EXPECT_EQ(Flush(), NetPacket(0));
}

TEST_F(ClientConnectionTest, PacketsAreSortedByClass) {
    EXPECT_EQ(conn->BdClientConnection::ParsePacket(RouterPacket(100, 3, 0).data(), 100),
              BD_NET_HEADER_INCOMPLETE);
    std::string normal = RouterPacket(272, 3, 0);
    BdModuleHeader module{};
    module.opcode_level = kBdOpcodeLevelPublic;
    memcpy(&normal[120], &module, sizeof(module));
    conn->BdClientConnection::ParsePacket(normal.data(), 272);
    conn->BdClientConnection::ParsePacket(RouterPacket(120, 4, 1).data(), 120);
    EXPECT_EQ(conn->calls, "normal public other ");

    // Named for a work thread, on a connection without work threads: dropped, still 0.
    conn->calls.clear();
    memcpy(&normal[200], "thread-1", 8);
    EXPECT_EQ(conn->HandleNormalPacket(normal.data(), 272), 0);
    EXPECT_EQ(conn->calls, "normal ");
}

TEST_F(ClientConnectionTest, HandshakeSuccessOfWrongLengthChangesNothing) {
    std::string answer = RouterPacket(200, 1, 1);
    memcpy(&answer[160], "platform", 8);
    EXPECT_EQ(conn->HandleHandShakeSuccessAckPacket(answer.data(), 199), BD_NET_PACKET_INVALID);
    EXPECT_EQ(manager.GetServerReadyFlag(), 0u);

    conn->BdClientConnection::ParsePacket(answer.data(), 200);
    EXPECT_EQ(manager.GetServerReadyFlag(), 1u);
    EXPECT_EQ(manager.GetPTServerUUID(), "platform");
    EXPECT_EQ(manager.GetRemoteServerFD(), pair.local);
}

TEST_F(ClientConnectionTest, TargetLostAnswerDiffersFromRequestOnlyInRouterHeader) {
    std::string request = RouterPacket(300, 3, 0, "sender", "nobody");
    for (size_t i = 120; i < request.size(); ++i) {
        request[i] = static_cast<char>(i * 3);
    }
    ASSERT_EQ(conn->PackAndSendTargetConnLostPacket(2, request.data(), 300), 0);
    // Back to its sender, from the peer it could not reach; every other byte as it came.
    PacketBytes expected(request.data(), 300);
    expected.Route("nobody", "sender", 2, 5, 7, 1, 3);
    EXPECT_EQ(Flush(), expected.str());

    EXPECT_NE(conn->PackAndSendTargetConnLostPacket(2, request.data(), 16), 0);
    EXPECT_EQ(Flush(), "");

    // A long request is answered in the read buffer it filled, rewritten in place.
    std::string longRequest = RouterPacket(60000, 3, 0, "sender", "nobody");
    PacketBytes longExpected(longRequest.data(), 60000);
    longExpected.Route("nobody", "sender", 2, 5, 7, 1, 3);
    conn->onPacket = [&](const char *data, int length) {
        conn->PackAndSendTargetConnLostPacket(2, data, length);
    };
    std::thread sender([&] { SendAll(pair.peer, longRequest); });
    std::string answered;
    EXPECT_TRUE(Eventually(
        [&] {
            manager.WaitAndHandleEvent(0);
            answered += ReceiveAvailable(pair.peer, 10);
            return answered.size() >= longRequest.size();
        },
        5000));
    sender.join();
    EXPECT_EQ(answered, longExpected.str());
}

TEST_F(ClientConnectionTest, HandshakeAnswersNeedAPlatformAndAddressTheSender) {
    std::string handshake = RouterPacket(456, 2, 1, "agent", "");
    EXPECT_EQ(conn->PackAndSendHandShakeSuccessAckPacket(2, handshake.data(), 456),
              BD_PARAMETER_INVALID);
    ASSERT_EQ(conn->PackAndSendServerNotReadyAckPacket(2, handshake.data(), 456), 0);
    manager.SetPTServerUUID("platform");
    ASSERT_EQ(conn->PackAndSendHandShakeSuccessAckPacket(2, handshake.data(), 456), 0);

    std::string answers = Flush();
    ASSERT_EQ(answers.size(), 120u + 200u);
    BdRouterHeader notReady, success;
    memcpy(&notReady, &answers[16], sizeof(notReady));
    memcpy(&success, &answers[120 + 16], sizeof(success));
    EXPECT_STREQ(notReady.target_uuid, "agent");
    EXPECT_EQ(notReady.message_level2_type, 2);
    EXPECT_STREQ(success.source_uuid, "router-uuid");
    EXPECT_EQ(success.message_level2_type, 1);
    EXPECT_STREQ(&answers[120 + 160], "platform");
}

TEST_F(ClientConnectionTest, OutgoingHandshakeCarriesThisProcessAndHost) {
    ASSERT_EQ(conn->PackAndSendHandShakePacket(9, 3, 2, 1, 44), 0);
    std::string packet = Flush();
    ASSERT_EQ(packet.size(), 456u);
    EXPECT_EQ(packet.substr(0, 16), NetHeader(440));
    BdRouterHeader router;
    BdHandShakePacket body;
    memcpy(&router, &packet[16], sizeof(router));
    memcpy(&body, &packet[120], sizeof(body));
    EXPECT_STREQ(router.source_uuid, "router-uuid");
    EXPECT_STREQ(router.target_uuid, "");
    EXPECT_EQ(router.module_type, 9);
    EXPECT_EQ(router.data_len, 336);
    EXPECT_EQ(router.message_level1_type, 2);
    EXPECT_STREQ(body.uuid, "router-uuid");
    EXPECT_EQ(body.aux_value, 44);
    EXPECT_STREQ(body.os_type, "Linux");
    EXPECT_STREQ(body.process_type, "64 bit");
    EXPECT_NE(body.hostname[0], '\0');
}

}  // namespace
