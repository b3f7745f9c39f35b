// Cutting the byte stream into packets, over a real loopback socket.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_packet.h"
#include "bd_netframwork/bd_poll.h"
#include "support/eventually.h"
#include "support/loopback.h"
#include "support/packet_bytes.h"
#include "support/recording_connection.h"

namespace {

class FramingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(manager.Init(), 0);
        conn = new RecordingConnection();
        ASSERT_EQ(conn->Init(pair.local, &manager), 0);
        conn->SetTimeout(manager.NowSeconds() + 30);
        ASSERT_EQ(manager.AddMapFdToConn(pair.local, conn, kBdReadInterest), 0);
    }
    void TearDown() override { manager.Destroy(); }

    // Sends bytes from the peer and lets the connection read them.
    int Deliver(const std::string &bytes) {
        SendAll(pair.peer, bytes);
        EXPECT_TRUE(WaitReadable(pair.local));
        return conn->OnIn(nullptr);
    }

    BdConnManager manager;
    LoopbackPair pair;
    RecordingConnection *conn = nullptr;  // owned by manager
};

TEST_F(FramingTest, HeaderCompletesOnItsSixteenthByte) {
    std::string keepAlive = NetPacket(0);
    EXPECT_EQ(Deliver(keepAlive.substr(0, 15)), BD_SOCKET_EAGAIN);
    EXPECT_TRUE(conn->packets.empty());
    EXPECT_EQ(conn->BytesHeld(), 15);

    EXPECT_EQ(Deliver(keepAlive.substr(15)), BD_SOCKET_EAGAIN);
    ASSERT_EQ(conn->packets.size(), 1u);
    EXPECT_EQ(conn->packets[0], keepAlive);
    EXPECT_EQ(conn->BytesHeld(), 0);
    EXPECT_EQ(conn->GetCloseFlag(), 0u);
}

TEST_F(FramingTest, LongPacketGrowsBufferToItsLengthAndShrinksBackOnceHandled) {
    std::string packet = NetPacket(50000 - 16, 'p');
    EXPECT_EQ(Deliver(packet.substr(0, 1000)), BD_SOCKET_EAGAIN);
    EXPECT_EQ(conn->Capacity(), 50000);
    EXPECT_EQ(conn->Held(), packet.substr(0, 1000));

    EXPECT_EQ(Deliver(packet.substr(1000)), BD_SOCKET_EAGAIN);
    ASSERT_EQ(conn->packets.size(), 1u);
    EXPECT_EQ(conn->packets[0], packet);
    EXPECT_EQ(conn->Capacity(), BdConnection::kReadBufferInitialSize);
}

TEST_F(FramingTest, ALongPacketLeavesInTheBufferItFilledAndReadingGoesOnInAFreshOne) {
    const std::vector<std::string> sent = {NetPacket(60000, 'a'), NetPacket(100, 'b'),
                                           NetPacket(70000, 'c')};
    std::vector<std::string> blocks;
    std::vector<bool> inPlace;
    conn->onPacket = [&](const char *data, int length) {
        char *block = conn->PacketBlock(data, length);
        inPlace.push_back(block == data);
        blocks.emplace_back(block, static_cast<size_t>(length));
        free(block);
    };
    std::thread sender([&] { SendAll(pair.peer, sent[0] + sent[1] + sent[2]); });
    EXPECT_TRUE(Eventually(
        [&] {
            manager.WaitAndHandleEvent(0);
            return blocks.size() == sent.size();
        },
        5000));
    sender.join();
    EXPECT_EQ(blocks, sent);
    EXPECT_EQ(inPlace, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(conn->Capacity(), BdConnection::kReadBufferInitialSize);
}

// A packet held back may wait for long: its connection keeps what arrived of it, not the buffer
// the long packet before it filled to its last page.
TEST_F(FramingTest, APacketHeldBackKeepsNoLargerBufferThanWhatArrivedOfIt) {
    const std::string taken = NetPacket(200000, 'a');
    const std::string held = NetPacket(200000, 'b');
    conn->admit = [&](int) {
        if (conn->packets.empty())
            return true;
        manager.PaceBehind(conn, conn, 0);  // resumed by the test only
        return false;
    };
    std::thread first([&] { SendAll(pair.peer, taken + held.substr(0, 20000)); });
    EXPECT_TRUE(Eventually(
        [&] {
            manager.WaitAndHandleEvent(0);
            return manager.InputPaused(*conn) && conn->BytesHeld() == 20000;
        },
        5000));
    first.join();
    EXPECT_EQ(conn->Capacity(), BdConnection::kReadBufferInitialSize);
    EXPECT_EQ(conn->Held(), held.substr(0, 20000));

    conn->admit = nullptr;
    manager.ResumeInput(conn->GetFD(), conn->GetSerial());
    std::thread rest([&] { SendAll(pair.peer, held.substr(20000)); });
    EXPECT_TRUE(Eventually(
        [&] {
            manager.WaitAndHandleEvent(0);
            return conn->packets.size() == 2u;
        },
        5000));
    rest.join();
    ASSERT_EQ(conn->packets.size(), 2u);
    EXPECT_EQ(conn->packets[0], taken);
    EXPECT_EQ(conn->packets[1], held);
}

TEST_F(FramingTest, OneTurnHandsOverOneSliceAndTheReadyListTheRest) {
    const int packets = BdConnection::kReadSlicePackets * 2 + 5;
    std::string burst;
    for (int i = 0; i < packets; ++i)
        burst += NetPacket(0);
    EXPECT_EQ(Deliver(burst), BD_SUCCESS);
    EXPECT_EQ(conn->packets.size(), static_cast<size_t>(BdConnection::kReadSlicePackets));
    EXPECT_TRUE(manager.InputQueued(*conn));
    // An edge meanwhile does not add a turn: the ready list serves the connection.
    EXPECT_EQ(conn->OnIn(nullptr), BD_SOCKET_EAGAIN);
    EXPECT_EQ(conn->packets.size(), static_cast<size_t>(BdConnection::kReadSlicePackets));

    manager.WaitAndHandleEvent(0);
    EXPECT_EQ(conn->packets.size(), static_cast<size_t>(BdConnection::kReadSlicePackets * 2));
    manager.WaitAndHandleEvent(0);
    EXPECT_EQ(conn->packets.size(), static_cast<size_t>(packets));
    EXPECT_FALSE(manager.InputQueued(*conn));
}

TEST_F(FramingTest, OneTurnReceivesAtMostASliceOfBytes) {
    const std::string big = NetPacket(BdConnection::kReadSliceBytes * 2, 'b');
    // Room in the kernel for more than a slice, so that the turn, not the socket, ends the read.
    const int room = BdConnection::kReadSliceBytes * 4;
    setsockopt(pair.local, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    std::thread sender([&] { SendAll(pair.peer, big); });
    EXPECT_TRUE(Eventually(
        [&] {
            int unread = 0;
            return ioctl(pair.local, FIONREAD, &unread) == 0 &&
                   unread > BdConnection::kReadSliceBytes;
        },
        5000));
    EXPECT_EQ(conn->OnIn(nullptr), BD_SUCCESS);
    EXPECT_EQ(conn->BytesHeld(), BdConnection::kReadSliceBytes);
    for (int turn = 0; turn < 4 && conn->packets.empty(); ++turn)
        manager.WaitAndHandleEvent(1);
    sender.join();
    ASSERT_EQ(conn->packets.size(), 1u);
    EXPECT_EQ(conn->packets[0], big);
}

TEST_F(FramingTest, TwoAndAHalfPacketsInOneReceive) {
    std::string first = NetPacket(104, 'a');
    std::string second = NetPacket(0);
    std::string third = NetPacket(300, 'c');
    EXPECT_EQ(Deliver(first + second + third.substr(0, 150)), BD_SOCKET_EAGAIN);
    ASSERT_EQ(conn->packets.size(), 2u);
    EXPECT_EQ(conn->packets[0], first);
    EXPECT_EQ(conn->packets[1], second);
    EXPECT_EQ(conn->Held(), third.substr(0, 150));

    Deliver(third.substr(150));
    ASSERT_EQ(conn->packets.size(), 3u);
    EXPECT_EQ(conn->packets[2], third);
}

TEST_F(FramingTest, BadMagicClosesAfterThePacketsBeforeIt) {
    std::string good = NetPacket(104);
    EXPECT_EQ(Deliver(good + NetPacket(104, 'x', 0xDEADBEEFu)), BD_ERROR);
    EXPECT_EQ(conn->packets.size(), 1u);
    EXPECT_EQ(conn->GetCloseFlag(), 1u);
}

TEST_F(FramingTest, NegativeOrOversizedLengthClosesWithoutAllocating) {
    for (int32_t dataLen : {-1, -16, INT32_MIN, kBdMaxPacketLength - 15, INT32_MAX}) {
        SCOPED_TRACE(dataLen);
        BdConnManager other;
        ASSERT_EQ(other.Init(), 0);
        LoopbackPair sockets;
        RecordingConnection *victim = new RecordingConnection();
        victim->Init(sockets.local, &other);
        other.AddMapFdToConn(sockets.local, victim, kBdReadInterest);

        SendAll(sockets.peer, NetHeader(dataLen) + std::string(100, 'x'));
        ASSERT_TRUE(WaitReadable(sockets.local));
        EXPECT_EQ(victim->OnIn(nullptr), BD_ERROR);
        EXPECT_EQ(victim->GetCloseFlag(), 1u);
        EXPECT_TRUE(victim->packets.empty());
        EXPECT_EQ(victim->Capacity(), BdConnection::kReadBufferInitialSize);
        other.Destroy();
    }
}

TEST_F(FramingTest, LargestAllowedLengthIsAccepted) {
    int length = 0;
    std::string header = NetHeader(kBdMaxPacketLength - 16);
    EXPECT_EQ(conn->ParsePacketHeader(&header[0], 16, &length), 0);
    EXPECT_EQ(length, kBdMaxPacketLength);
}

// Reading stops at a short read, so a close already waiting behind the data must still be seen.
TEST_F(FramingTest, PacketThenCloseIsParsedThenClosedInEitherOrderOfArrival) {
    const std::string packet = NetPacket(104);
    for (bool closeWithData : {true, false}) {
        SCOPED_TRACE(closeWithData);
        BdConnManager loop;
        ASSERT_EQ(loop.Init(), 0);
        LoopbackPair sockets;
        RecordingConnection *peerConn = new RecordingConnection();
        ASSERT_EQ(peerConn->Init(sockets.local, &loop), 0);
        ASSERT_EQ(loop.AddMapFdToConn(sockets.local, peerConn, kBdReadInterest), 0);

        SendAll(sockets.peer, packet);
        if (closeWithData) {
            sockets.ClosePeer();
        } else {
            ASSERT_TRUE(Eventually(
                [&] {
                    loop.WaitAndHandleEvent(0);
                    return peerConn->packets.size() == 1u;
                },
                5000));
            EXPECT_EQ(peerConn->GetCloseFlag(), 0u);
            sockets.ClosePeer();
        }
        EXPECT_TRUE(Eventually(
            [&] {
                loop.WaitAndHandleEvent(0);
                return peerConn->GetCloseFlag() == 1u;
            },
            5000));
        ASSERT_EQ(peerConn->packets.size(), 1u);
        EXPECT_EQ(peerConn->packets[0], packet);
        loop.Destroy();
    }
}

}  // namespace
