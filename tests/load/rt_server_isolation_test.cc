// One peer can take neither time nor memory from the others: a flooding peer next to a ping-pong
// pair, a fast streamer to a slow reader, and many large packets whose memory must come back.
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bd_netframwork/bd_connection.h"
#include "load_test_fixture.h"

namespace {

constexpr int kMiB = 1024 * 1024;
constexpr long kKbPerMiB = 1024;
// The longest a flood may pause its neighbours. A sanitizer build on a shared machine is several
// times slower and its scheduling noise alone comes near the Release bound, so it checks a looser
// one; either is far below the whole flood the router used to spend on one peer.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kLongestPauseMs = 250;
#else
constexpr double kLongestPauseMs = 50;
#endif

class RtServerIsolationTest : public RtServerLoadTest {
  protected:
    // Memory is measured here.
    RtServerIsolationTest() { LimitSanitizerQuarantine(0); }

    long ResidentMiB() const { return ProcessProbe::ResidentKb(router_->Pid()) / kKbPerMiB; }

    // Sends bytes over and over on fd without ever reading, until stop; a send that would block
    // for long is retried, so the thread notices stop while the router holds it back.
    static void Flood(int fd, const std::string &bytes, const std::atomic<bool> &stop) {
        timeval patience{0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof(patience));
        size_t offset = 0;
        while (!stop) {
            const ssize_t sent =
                send(fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
            if (sent > 0)
                offset = (offset + static_cast<size_t>(sent)) % bytes.size();
            else if (errno != EAGAIN && errno != EINTR)
                return;
        }
    }
};

TEST_F(RtServerIsolationTest, FloodingPeersPauseNeitherAPingPongPairNorGrowTheRouter) {
    RtPeerClient a, b, keepingAlive, sendingToItself;
    Register(&a, kBdHandShakeClient, "a");
    Register(&b, kBdHandShakeClient, "b");
    Register(&keepingAlive, kBdHandShakeClient, "keeping-alive");
    Register(&sendingToItself, kBdHandShakeClient, "sending-to-itself");
    const long before = ResidentMiB();

    // One sends keep-alives at line rate; the other keep-alives and packets to itself that it
    // never reads.
    const RtPeerPacket keepAlive = RtPeerPacket::KeepAlive();
    std::string keepAlives;
    for (int i = 0; i < 64; ++i)
        keepAlives.append(keepAlive.Data(), keepAlive.Length());
    std::string toItself = keepAlives;
    const RtPeerPacket packet = RtPeerPacket::Normal(
        Route("sending-to-itself", "sending-to-itself"), std::string(64 * 1024, 'f'));
    toItself.append(packet.Data(), packet.Length());
    std::atomic<bool> stop{false};
    std::thread flood([&] { Flood(keepingAlive.GetFD(), keepAlives, stop); });
    std::thread floodItself([&] { Flood(sendingToItself.GetFD(), toItself, stop); });

    long mostResident = 0;
    int exchanges = 0;
    const double longestPause = PairLongestPause(
        &a, &b, 8, [&] { mostResident = std::max(mostResident, ResidentMiB()); }, &exchanges);
    stop = true;
    flood.join();
    floodItself.join();

    Figure("pair_exchanges", exchanges, "");
    Figure("pair_longest_pause_ms", longestPause * 1000, "ms");
    Figure("router_resident_before_mib", before, "MiB");
    Figure("router_resident_most_mib", mostResident, "MiB");
    EXPECT_LE(longestPause * 1000, kLongestPauseMs);
    EXPECT_LE(mostResident, 256);
    EXPECT_TRUE(router_->Running());
}

TEST_F(RtServerIsolationTest, AFastStreamerToASlowReaderLosesNothingAndStaysBounded) {
    RtPeerClient streamer, reader;
    Register(&streamer, kBdHandShakeClient, "streamer");
    Register(&reader, kBdHandShakeClient, "reader");
    const long before = ResidentMiB();

    // 1 MiB packets as fast as the router takes them, to a reader of 20 MiB/s.
    const int kPackets = 100;
    std::atomic<int> sendResult{0};
    std::thread stream([&] {
        for (int i = 0; i < kPackets && sendResult == 0; ++i) {
            std::string payload(kMiB, 's');
            payload.replace(0, std::to_string(i).size(), std::to_string(i));
            sendResult = streamer.SendNormal(Route("streamer", "reader"), payload);
        }
    });

    long mostResident = 0;
    int received = 0;
    const Clock::time_point start = Clock::now();
    while (received < kPackets) {
        RtPeerPacket got;
        if (reader.Receive(&got, 10000) != 0) {
            ADD_FAILURE() << "packet " << received << " did not arrive";
            break;
        }
        EXPECT_EQ(
            got.Payload().compare(0, std::to_string(received).size(), std::to_string(received)), 0);
        ++received;
        mostResident = std::max(mostResident, ResidentMiB());
        const double due = received / 20.0;
        const double early = due - SecondsSince(start);
        if (early > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(early));
        if (received % 20 == 0) {
            KeepPlatformAlive();
            // The streamer's own packets keep it alive; its socket belongs to its thread.
            ASSERT_EQ(reader.SendKeepAlive(), 0);
        }
    }
    stream.join();

    Figure("streamed_mib", received, "MiB");
    Figure("router_resident_before_mib", before, "MiB");
    Figure("router_resident_most_mib", mostResident, "MiB");
    EXPECT_EQ(sendResult, 0);
    EXPECT_EQ(received, kPackets);
    // Three connections' read slices, one target's allowance and the packet beyond it.
    const long bound = before + 3 * BdConnection::kReadSliceBytes / kMiB +
                       BdConnection::kQueueAllowanceBytes / kMiB + 2 + 16;
    EXPECT_LE(mostResident, bound);
    EXPECT_EQ(tables_.AgentOnline("streamer"), "1");
    EXPECT_EQ(tables_.AgentOnline("reader"), "1");
}

TEST_F(RtServerIsolationTest, MemoryOfLargePacketsComesBackWhilePeersIdleAndAfterTheyGo) {
    const int kPeers = 200;
    std::vector<RtPeerClient> peers(kPeers);
    for (int i = 0; i < kPeers; ++i)
        Register(&peers[i], kBdHandShakeClient, "big-" + std::to_string(i));
    const long before = ResidentMiB();

    // Each sends one 8 MiB packet, a control packet that the router reads whole and drops, then a
    // small one to itself: its echo proves the large one was handled. Then it idles.
    std::vector<char> bytes =
        RtPeerPacket::Normal(Route("big", "big"), std::string(8 * kMiB, 'b')).Bytes();
    const int32_t control = kBdMessageControl;
    std::memcpy(
        bytes.data() + kBdRouterHeaderOffset + offsetof(BdRouterHeader, message_level1_type),
        &control, sizeof(control));
    const RtPeerPacket large(bytes);
    for (int i = 0; i < kPeers; ++i) {
        const std::string uuid = "big-" + std::to_string(i);
        ASSERT_EQ(peers[i].Send(large), 0) << uuid;
        ASSERT_EQ(peers[i].SendNormal(Route(uuid, uuid), "after"), 0);
        RtPeerPacket got;
        ASSERT_EQ(peers[i].Receive(&got, 10000), 0) << uuid;
        ASSERT_EQ(got.Payload(), "after");
        // On a busy machine the round can outlast the idle time-out of the peers still waiting.
        if (i % 20 == 0) {
            KeepPlatformAlive();
            for (RtPeerClient &peer : peers)
                ASSERT_EQ(peer.SendKeepAlive(), 0);
        }
    }
    // Trimming follows the loop turn after the frees; the keep-alive makes one.
    long idle = 0;
    EXPECT_TRUE(Eventually(
        [&] {
            KeepPlatformAlive();
            idle = ResidentMiB();
            return idle <= before + 64;
        },
        5000));

    for (RtPeerClient &peer : peers)
        peer.Close();
    ASSERT_TRUE(Eventually([&] { return tables_.AgentOnline("big-199") == "2"; }, kLoopTurnMs));
    long after = 0;
    EXPECT_TRUE(Eventually(
        [&] {
            KeepPlatformAlive();
            after = ResidentMiB();
            return after <= before + 64;
        },
        5000));
    Figure("router_resident_before_mib", before, "MiB");
    Figure("router_resident_idle_mib", idle, "MiB");
    Figure("router_resident_after_close_mib", after, "MiB");
}

}  // namespace
