#include "rt_tools/rt_bench_big_slow.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bd_netframwork/bd_memory_return.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_bench_db_storm.h"
#include "rt_tools/rt_bench_pair.h"
#include "rt_tools/rt_peer_client.h"

namespace {

using Clock = RtBenchPair::Clock;

constexpr int kMiB = 1024 * 1024;
constexpr int kPayloadBytes = 60 * kMiB;
constexpr int kPacketsPerSender = 3;
constexpr int kReadBytesPerSecond = kMiB;
constexpr int kReadSlice = 64 * 1024;
constexpr int kLoadSeconds = 40;
constexpr int kStartSeconds = 5;
// The packet's number, at the start of its payload.
constexpr int kNumberDigits = 16;
// The router's defaults the bound is computed from: queue budget, largest packet.
constexpr long kBudgetKib = 512 * 1024;
constexpr long kLargestPacketKib = 64 * 1024;
constexpr long kIdleConnectionKib = 40;

std::string PacketNumber(int number) {
    char text[kNumberDigits + 1];
    snprintf(text, sizeof(text), "%0*d", kNumberDigits, number);
    return text;
}

// One reader's side, written by its thread and read once the thread is joined.
struct Reader {
    RtPeerClient client;
    std::string sender_uuid;
    uint64_t bytes = 0;
    int headers = 0;      // packet starts seen
    int lost = 0;         // packets skipped, or a start that is not the next packet's
    bool closed = false;  // the router closed it
    bool cut = false;     // closed in the middle of a packet
};

// The shared state of one run.
struct Load {
    std::vector<std::unique_ptr<RtPeerClient>> senders;
    std::vector<std::unique_ptr<Reader>> readers;
    std::string prefix;
    int packet_length = 0;  // header plus payload
    int header_length = 0;
    // One payload for all senders; each packet is built from it with its number set.
    std::mutex payload_lock;
    std::string payload = std::string(kPayloadBytes, 'g');
    std::atomic<bool> stop{false};
    std::atomic<int> sendFailures{0};
    // The first packets are built (3 GB at the defaults) before the pair starts, so that the
    // pair's pauses are the router's, not this process's page faults.
    std::atomic<int> built{0};
    std::atomic<bool> go{false};
};

void Send(Load *load, int index) {
    const RtPeerRoute route{load->prefix + "s" + std::to_string(index),
                            load->prefix + "r" + std::to_string(index)};
    for (int number = 0; number < kPacketsPerSender && !load->stop; ++number) {
        RtPeerPacket packet;
        {
            std::lock_guard<std::mutex> hold(load->payload_lock);
            load->payload.replace(0, kNumberDigits, PacketNumber(number));
            packet = RtPeerPacket::Normal(route, load->payload);
        }
        if (number == 0) {
            ++load->built;
            while (!load->go && !load->stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (load->stop) {
                return;
            }
        }
        if (load->senders[index]->Send(packet) != 0) {
            if (!load->stop) {
                ++load->sendFailures;
            }
            return;
        }
    }
}

// Checks a packet's start: its sender, and that its number is the next one.
void CheckStart(Reader *reader, const std::vector<char> &start) {
    const RtPeerPacket head(start);
    const std::string number = head.Payload();
    const int expected = reader->headers++;
    if (head.SourceUuid() != reader->sender_uuid || number != PacketNumber(expected)) {
        const int got = head.SourceUuid() == reader->sender_uuid ? atoi(number.c_str()) : -1;
        reader->lost += got > expected ? got - expected : 1;
        reader->headers = std::max(reader->headers, got + 1);
    }
}

// 1 MiB/s in 64 KiB slices, each taken when the rate allows it, straight from the socket: the
// reader never holds a whole packet. A keep-alive now and then keeps it from being reaped.
void ReadSlowly(Load *load, Reader *reader) {
    const int fd = reader->client.GetFD();
    std::vector<char> slice(kReadSlice);
    std::vector<char> start;
    int offset = 0;  // in the current packet
    const int checked = load->header_length + kNumberDigits;
    const Clock::time_point begin = Clock::now();
    Clock::time_point keptAlive = begin;
    while (!load->stop) {
        const double due = static_cast<double>(reader->bytes) / kReadBytesPerSecond;
        std::this_thread::sleep_until(std::min(
            begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(due)),
            Clock::now() + std::chrono::milliseconds(200)));
        if (Clock::now() - keptAlive > std::chrono::seconds(RtBenchPair::kKeepAliveSeconds)) {
            reader->client.SendKeepAlive();
            keptAlive = Clock::now();
        }
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 200) <= 0) {
            continue;
        }
        const ssize_t got = recv(fd, slice.data(), slice.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (got <= 0) {
            reader->closed = true;
            reader->cut = offset != 0;
            return;
        }
        reader->bytes += static_cast<uint64_t>(got);
        for (ssize_t used = 0; used < got;) {
            int take =
                static_cast<int>(std::min<ssize_t>(got - used, load->packet_length - offset));
            if (offset < checked) {
                take = std::min(take, checked - offset);
                start.insert(start.end(), slice.data() + used, slice.data() + used + take);
                if (offset + take == checked) {
                    CheckStart(reader, start);
                    start.clear();
                }
            }
            offset = (offset + take) % load->packet_length;
            used += take;
        }
    }
}

// Registers the platform, the pair and every sender and reader; false with *error set when one
// could not hand-shake.
bool RegisterAll(Load *load, int port, RtPeerClient *platform, RtPeerClient *ping,
                 RtPeerClient *pong, std::string *error) {
    const std::string &prefix = load->prefix;
    if (!RtBenchRegister(platform, port, kBdHandShakeServerPlatform, prefix + "platform") ||
        !RtBenchRegister(ping, port, kBdHandShakeClient, prefix + "ping") ||
        !RtBenchRegister(pong, port, kBdHandShakeClient, prefix + "pong")) {
        *error = "the platform or the pair could not register";
        return false;
    }
    for (size_t i = 0; i < load->senders.size(); ++i) {
        Reader *reader = load->readers[i].get();
        if (!RtBenchRegister(load->senders[i].get(), port, kBdHandShakeClient,
                             prefix + "s" + std::to_string(i)) ||
            !RtBenchRegister(&reader->client, port, kBdHandShakeClient,
                             prefix + "r" + std::to_string(i))) {
            *error = "pair " + std::to_string(i) + " could not hand-shake";
            return false;
        }
        // The reader's own buffers are small, so the router's queue for it is what fills.
        const int small = 64 * 1024;
        setsockopt(reader->client.GetFD(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    }
    return true;
}

}  // namespace

bool RtBenchRunBigSlow(RtBenchRouter *router, int senders, const std::string &prefix,
                       int timeBoundSeconds, RtBenchRecord *record, std::string *error) {
    const int port = router->PlainPort();
    Load load;
    load.prefix = prefix;
    for (int i = 0; i < senders; ++i) {
        load.senders.push_back(std::make_unique<RtPeerClient>());
        load.readers.push_back(std::make_unique<Reader>());
        load.readers[i]->sender_uuid = prefix + "s" + std::to_string(i);
    }
    // Every client registers only once the first packets are built: building 3 GB can take
    // longer than the router's 30 s idle time-out on a loaded machine, and a client registered
    // before it would be closed as idle with every reader.
    std::vector<std::thread> threads;
    for (int i = 0; i < senders; ++i) {
        threads.emplace_back(Send, &load, i);
    }
    while (load.built < senders) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    RtPeerClient platform, ping, pong;
    if (!RegisterAll(&load, port, &platform, &ping, &pong, error)) {
        load.stop = true;
        for (std::thread &thread : threads) {
            thread.join();
        }
        return false;
    }
    load.header_length = RtPeerPacket::Normal({prefix, prefix}, "").Length();
    load.packet_length = load.header_length + kPayloadBytes;
    const long baselineKib = router->RssKib();
    record->Add("senders", static_cast<int64_t>(senders));
    record->Add("packet_mib", static_cast<int64_t>(kPayloadBytes / kMiB));
    record->Add("packets_each", static_cast<int64_t>(kPacketsPerSender));
    record->Add("reader_kib_per_s", static_cast<int64_t>(kReadBytesPerSecond / 1024));

    RtBenchPair pair(&ping, &pong, &platform, prefix);
    pair.Start();
    load.go = true;
    for (int i = 0; i < senders; ++i) {
        threads.emplace_back(ReadSlowly, &load, load.readers[i].get());
    }
    // The start, when every sender's first packet arrives at once, apart from the steady state.
    const int loadSeconds = std::min(kLoadSeconds, timeBoundSeconds);
    const int startSeconds = std::min(kStartSeconds, loadSeconds);
    std::this_thread::sleep_for(std::chrono::seconds(startSeconds));
    const double startPauseMs = pair.LongestPauseMs();
    pair.ResetLongestPause();
    std::this_thread::sleep_for(std::chrono::seconds(loadSeconds - startSeconds));
    pair.Stop();
    const double longestPauseMs = std::max(startPauseMs, pair.LongestPauseMs());
    load.stop = true;
    // A sender blocked on a full socket gets out once the socket is shut.
    for (std::unique_ptr<RtPeerClient> &sender : load.senders) {
        shutdown(sender->GetFD(), SHUT_RDWR);
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    int closed = 0, cut = 0, lost = 0;
    uint64_t received = 0;
    for (const std::unique_ptr<Reader> &reader : load.readers) {
        closed += reader->closed ? 1 : 0;
        cut += reader->cut ? 1 : 0;
        lost += reader->lost;
        received += reader->bytes;
    }
    // Connections (each 40 KiB idle), held-back senders (1 MiB each), the budget and the
    // reserve of short queues (1 MiB per target), the largest packet, the heap's kept top.
    const long connections = 2L * senders + 3;
    const long boundKib = baselineKib + connections * kIdleConnectionKib + senders * 1024L +
                          kBudgetKib + (senders + 3) * 1024L + kLargestPacketKib +
                          static_cast<long>(kBdHeapTopKeptBytes / 1024);
    const long peakKib = router->PeakRssKib();
    record->Add("router_baseline_rss_kib", static_cast<int64_t>(baselineKib));
    record->Add("router_peak_rss_kib", static_cast<int64_t>(peakKib));
    record->Add("formula_bound_kib", static_cast<int64_t>(boundKib));
    record->Add("received_mib", static_cast<double>(received) / kMiB, 1);
    record->Add("pair_exchanges", static_cast<int64_t>(pair.Exchanges()));
    record->Add("pair_longest_pause_start_ms", startPauseMs, 1);
    record->Add("pair_longest_pause_steady_ms", pair.LongestPauseMs(), 1);
    record->Add("pair_p99_ms", pair.GapPercentileMs(0.99), 2);
    record->Add("readers_closed", static_cast<int64_t>(closed));
    record->Add("closed_cut", static_cast<int64_t>(cut));
    record->Add("lost", static_cast<int64_t>(lost));
    record->Add("send_failures", static_cast<int64_t>(load.sendFailures));
    bool ok = false;
    if (pair.Failed()) {
        *error = "the ping-pong pair stopped";
    } else if (lost > 0) {
        *error = "a reader missed a packet";
    } else if (closed > 0 || load.sendFailures > 0) {
        // Each fed reader makes progress every second and nobody is idle: nobody is closed.
        *error = "the router closed a reader or a sender";
    } else if (peakKib > boundKib) {
        *error = "the router's peak memory is past the formula's bound";
    } else if (longestPauseMs > 50) {
        *error = "the pair paused longer than 50 ms";
    } else {
        ok = true;
    }
    return ok;
}
