#include "rt_tools/rt_bench_hub.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_bench_db_storm.h"
#include "rt_tools/rt_peer_client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAgents = 10;
constexpr int kPacketBytes = 64 * 1024;
constexpr int kSlowBytesPerSecond = 1024 * 1024;
constexpr auto kAlonePhase = std::chrono::seconds(3);
constexpr auto kAfterClose = std::chrono::seconds(2);

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// One agent's side, written by its reader thread and read once the thread is joined, except
// packets, which the main thread watches.
struct Agent {
    RtPeerClient client;
    std::atomic<uint64_t> packets{0};
    bool closed = false;       // the router closed it
    double longest_gap_s = 0;  // between two packets while agent 0 is fed too
};

// The shared state of one run.
struct Hub {
    std::vector<Agent> agents = std::vector<Agent>(kAgents);
    std::atomic<bool> stop{false};
    // Agent 0 is offline in the database: the router closed it and reported it lost.
    std::atomic<bool> agentZeroGone{false};
    std::atomic<bool> feedAgentZero{false};
    std::atomic<int> sendFailure{0};
};

void ReadAsFastAsPossible(Hub *hub, Agent *agent) {
    Clock::time_point last = Clock::now();
    while (!hub->stop) {
        RtPeerPacket packet;
        const int rc = agent->client.Receive(&packet, 200);
        if (rc == BD_RECV_TIMEOUT) {
            continue;
        }
        if (rc != 0) {
            agent->closed = true;
            return;
        }
        const Clock::time_point now = Clock::now();
        if (hub->feedAgentZero && agent->packets > 0) {
            agent->longest_gap_s = std::max(agent->longest_gap_s, Seconds(now - last));
        }
        last = now;
        ++agent->packets;
    }
}

// 1 MiB/s from the first packet on: each packet is taken when the rate allows it.
void ReadSlowly(Hub *hub, Agent *agent) {
    Clock::time_point start = Clock::now();
    while (!hub->stop) {
        const double due = static_cast<double>(agent->packets) * kPacketBytes / kSlowBytesPerSecond;
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(due)));
        RtPeerPacket packet;
        const int rc = agent->client.Receive(&packet, 200);
        if (rc == BD_RECV_TIMEOUT) {
            continue;
        }
        if (rc != 0) {
            return;
        }
        if (agent->packets == 0) {
            start = Clock::now();
        }
        ++agent->packets;
    }
}

// Reads nothing.
void Stall(Hub *hub, Agent *) {
    while (!hub->stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Round-robin over the agents; agent 0 only while it is fed and open.
void Feed(Hub *hub, RtPeerClient *platform, const std::string &prefix) {
    const std::string payload(kPacketBytes, 'h');
    std::vector<RtPeerPacket> packets;
    for (int i = 0; i < kAgents; ++i) {
        packets.push_back(RtPeerPacket::Normal(
            {prefix + "platform", prefix + std::to_string(i), 5, 6, 7}, payload));
    }
    for (int n = 0; !hub->stop; n = (n + 1) % kAgents) {
        if (n == 0 && (!hub->feedAgentZero || hub->agentZeroGone)) {
            continue;
        }
        const int rc = platform->Send(packets[n]);
        if (rc != 0) {
            hub->sendFailure = rc;
            return;
        }
    }
}

// What comes back to the platform (the lost target's answers) is read away, as a platform does.
void DrainAnswers(Hub *hub, RtPeerClient *platform) {
    while (!hub->stop) {
        RtPeerPacket answer;
        const int rc = platform->Receive(&answer, 200);
        if (rc != 0 && rc != BD_RECV_TIMEOUT) {
            return;
        }
    }
}

uint64_t HealthyPackets(const Hub &hub) {
    uint64_t sum = 0;
    for (int i = 1; i < kAgents; ++i) {
        sum += hub.agents[i].packets;
    }
    return sum;
}

// MiB/s each healthy agent received over a phase.
double HealthyRate(uint64_t packets, Clock::duration phase) {
    return static_cast<double>(packets) * kPacketBytes / (1024.0 * 1024.0) / (kAgents - 1) /
           Seconds(phase);
}

}  // namespace

bool RtBenchRunHub(int port, bool slowReader, const std::string &prefix, int timeBoundSeconds,
                   RtBenchDatabase *database, RtBenchRecord *record, std::string *error) {
    Hub hub;
    RtPeerClient platform;
    if (!RtBenchRegister(&platform, port, kBdHandShakeServerPlatform, prefix + "platform")) {
        *error = "the platform could not hand-shake";
        return false;
    }
    for (int i = 0; i < kAgents; ++i) {
        if (!RtBenchRegister(&hub.agents[i].client, port, kBdHandShakeClient,
                             prefix + std::to_string(i))) {
            *error = "agent " + std::to_string(i) + " could not hand-shake";
            return false;
        }
    }
    // Agent 0's own buffers are small, so the router's queue for it is what fills.
    const int small = 64 * 1024;
    setsockopt(hub.agents[0].client.GetFD(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    record->Add("agents", static_cast<int64_t>(kAgents));
    record->Add("payload", static_cast<int64_t>(kPacketBytes));

    std::vector<std::thread> threads;
    threads.emplace_back(Feed, &hub, &platform, prefix);
    threads.emplace_back(DrainAnswers, &hub, &platform);
    threads.emplace_back(slowReader ? ReadSlowly : Stall, &hub, &hub.agents[0]);
    for (int i = 1; i < kAgents; ++i) {
        threads.emplace_back(ReadAsFastAsPossible, &hub, &hub.agents[i]);
    }

    // The socket may hold packets long after the close, so the database tells when it came.
    const std::string online =
        "SELECT COUNT(*) FROM bd_agent WHERE agent_uuid = '" + prefix + "0' AND online_flag = 1";
    Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(kAlonePhase);
    // Its row must be online before its going offline can tell anything.
    while (database->Count(online) != 1 && Clock::now() < start + kAlonePhase * 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const uint64_t before = HealthyPackets(hub);
    record->Add("healthy_mib_per_s_without", HealthyRate(before, Clock::now() - start), 1);
    hub.feedAgentZero = true;
    start = Clock::now();
    const Clock::time_point bound = start + std::chrono::seconds(timeBoundSeconds);
    while (hub.sendFailure == 0 && Clock::now() < bound) {
        if (database->Count(online) == 0) {
            hub.agentZeroGone = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const Clock::time_point gone = Clock::now();
    if (hub.agentZeroGone) {
        std::this_thread::sleep_for(kAfterClose);
    }
    const Clock::time_point end = Clock::now();
    const uint64_t healthy = HealthyPackets(hub) - before;
    hub.stop = true;
    // A feeder blocked on a full socket gets out once the socket is shut.
    shutdown(platform.GetFD(), SHUT_RDWR);
    for (std::thread &thread : threads) {
        thread.join();
    }

    double longestGap = 0;
    bool healthyClosed = false;
    for (int i = 1; i < kAgents; ++i) {
        longestGap = std::max(longestGap, hub.agents[i].longest_gap_s);
        healthyClosed = healthyClosed || hub.agents[i].closed;
    }
    record->Add("healthy_mib_per_s_with", HealthyRate(healthy, end - start), 1);
    record->Add("healthy_longest_gap_ms", longestGap * 1000, 1);
    record->Add("slow_received_mib",
                static_cast<double>(hub.agents[0].packets) * kPacketBytes / (1024.0 * 1024.0), 1);
    const bool closed = hub.agentZeroGone;
    record->Add("slow_closed_after_s", closed ? Seconds(gone - start) : -1.0, 2);
    if (!closed) {
        *error = "agent 0 was not closed within the time bound";
    } else if (healthyClosed) {
        *error = "a healthy agent was closed";
    }
    return closed && !healthyClosed;
}
