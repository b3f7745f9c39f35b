// The stream framing of a packet connection over arbitrary bytes cut at arbitrary points. The
// input is the byte stream a peer sends. It is fed through a socket pair into the real
// BdClientConnection::OnIn in three ways: in large writes, in pseudo-random cuts derived from the
// input, and (for short inputs) one byte per receive. ParsePacket records each packet before the
// connection's own handling. Every way must hand over exactly the packets a plain reading of the
// net headers finds, close the connection exactly when a header is invalid, and otherwise keep the
// incomplete tail.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_packet.h"
#include "fuzz_check.h"
#include "support/recording_connection.h"

namespace {

// The router's answer to a packet whose target is gone: only a packet with a router header can
// be answered, and the answer is the packet itself with the router header rewritten to go back to
// its sender.
void CheckTargetConnLostAnswer(BdClientConnection *connection, const char *data, int length) {
    const int rc = connection->PackAndSendTargetConnLostPacket(kBdPeerTypeRouter, data, length);
    char *answer = nullptr;
    int answerLength = 0;
    const bool queued = connection->GetWriteQueueItem(&answer, &answerLength) == BD_SUCCESS;
    FUZZ_CHECK(queued == (rc == BD_SUCCESS));
    FUZZ_CHECK(queued == (length >= kBdControlPacketLen));
    if (!queued) {
        return;
    }
    const BdRouterHeader *request =
        reinterpret_cast<const BdRouterHeader *>(data + kBdRouterHeaderOffset);
    const BdRouterHeader *router =
        reinterpret_cast<const BdRouterHeader *>(answer + kBdRouterHeaderOffset);
    FUZZ_CHECK(answerLength == length);
    FUZZ_CHECK(memcmp(answer, data, kBdRouterHeaderOffset) == 0);
    FUZZ_CHECK(memcmp(answer + kBdBodyOffset, data + kBdBodyOffset, length - kBdBodyOffset) == 0);
    FUZZ_CHECK(BdPacketText(router->source_uuid) ==
               BdPacketText(request->target_uuid).substr(0, kBdUuidFieldLen - 1));
    FUZZ_CHECK(BdPacketText(router->target_uuid) ==
               BdPacketText(request->source_uuid).substr(0, kBdUuidFieldLen - 1));
    FUZZ_CHECK(router->source_type == kBdPeerTypeRouter);
    FUZZ_CHECK(router->target_type == request->source_type);
    FUZZ_CHECK(router->data_len == request->data_len);
    FUZZ_CHECK(router->message_level1_type == kBdMessageControl);
    FUZZ_CHECK(router->message_level2_type == kBdControlTargetConnLost);
    free(answer);
}

// What the net headers of the whole stream say, read the plain way.
struct Framing {
    std::vector<std::string> packets;
    bool invalid = false;      // a header with a wrong magic or an impossible length
    size_t leftover = 0;       // bytes of an incomplete packet (or header) at the end
    int64_t largestTotal = 0;  // longest packet announced, complete or not
    int64_t pendingTotal = 0;  // length announced by the incomplete packet at the end, if any
};

Framing ReadHeaders(const uint8_t *data, size_t size) {
    Framing framing;
    size_t position = 0;
    while (size - position >= sizeof(BdHeader)) {
        uint32_t magic;
        int32_t dataLen;
        memcpy(&magic, data + position, sizeof(magic));
        memcpy(&dataLen, data + position + sizeof(magic), sizeof(dataLen));
        const int64_t total = static_cast<int64_t>(dataLen) + sizeof(BdHeader);
        if (magic != kBdPacketMagic || dataLen < 0 || total > kBdMaxPacketLength) {
            framing.invalid = true;
            return framing;
        }
        framing.largestTotal = std::max(framing.largestTotal, total);
        if (static_cast<int64_t>(size - position) < total) {
            framing.pendingTotal = total;
            break;
        }
        framing.packets.emplace_back(reinterpret_cast<const char *>(data + position),
                                     static_cast<size_t>(total));
        position += static_cast<size_t>(total);
    }
    framing.leftover = size - position;
    return framing;
}

// Cut lengths of one way of feeding the stream.
class Cuts {
  public:
    enum Kind { kLarge, kRandom, kSingleBytes };
    Cuts(Kind kind, uint64_t seed) : kind_(kind), state_(seed | 1) {}
    size_t Next() {
        switch (kind_) {
            case kLarge:
                return 64 * 1024;
            case kSingleBytes:
                return 1;
            case kRandom:
                break;
        }
        // xorshift64: cheap and fully determined by the input, so a crash replays.
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_ % 4 == 0 ? 1 + state_ % 16 : 1 + (state_ >> 8) % 300;
    }

  private:
    Kind kind_;
    uint64_t state_;
};

void FeedStream(const uint8_t *data, size_t size, Cuts cuts, const Framing &expected) {
    int ends[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
    BdConnManager manager;  // never started: the connection only needs one to register with
    // Every packet is still sorted the packet connection's own way, then answered as the router
    // answers a packet whose target is gone.
    RecordingConnection connection;
    connection.onPacket = [&connection](const char *data, int length) {
        connection.BdClientConnection::ParsePacket(data, length);
        CheckTargetConnLostAnswer(&connection, data, length);
    };
    FUZZ_CHECK(connection.Init(ends[0], &manager) == BD_SUCCESS);

    for (size_t sent = 0; sent < size && connection.GetCloseFlag() == 0;) {
        const size_t chunk = std::min(cuts.Next(), size - sent);
        FUZZ_CHECK(write(ends[1], data + sent, chunk) == static_cast<ssize_t>(chunk));
        sent += chunk;
        const int rc = connection.OnIn(nullptr);
        FUZZ_CHECK(rc == BD_SOCKET_EAGAIN || connection.GetCloseFlag() == 1);
    }

    FUZZ_CHECK(connection.packets == expected.packets);
    FUZZ_CHECK(connection.GetCloseFlag() == (expected.invalid ? 1u : 0u));
    if (!expected.invalid) {
        FUZZ_CHECK(connection.BytesHeld() == static_cast<int>(expected.leftover));
        // The buffer grows for no more than the longest packet announced, and keeps the room of
        // the packet under way once its body has begun; a long packet gone gives its room back.
        FUZZ_CHECK(connection.Capacity() >= BdConnection::kReadBufferInitialSize);
        FUZZ_CHECK(connection.Capacity() <=
                   std::max<int64_t>(BdConnection::kReadBufferInitialSize, expected.largestTotal));
        if (expected.leftover >= kBdBodyOffset) {
            FUZZ_CHECK(connection.Capacity() >= expected.pendingTotal);
        }
        // The peer going away closes the connection and hands over nothing more.
        close(ends[1]);
        ends[1] = -1;
        FUZZ_CHECK(connection.OnIn(nullptr) == BD_PEER_CLOSE_CONNECTION);
        FUZZ_CHECK(connection.GetCloseFlag() == 1);
        FUZZ_CHECK(connection.packets.size() == expected.packets.size());
    }
    if (ends[1] >= 0) {
        close(ends[1]);
    }
    connection.Destroy();  // closes ends[0]
}

uint64_t Fingerprint(const uint8_t *data, size_t size) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    return hash;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Framing expected = ReadHeaders(data, size);
    FeedStream(data, size, Cuts(Cuts::kLarge, 0), expected);
    FeedStream(data, size, Cuts(Cuts::kRandom, Fingerprint(data, size)), expected);
    if (size <= 256) {
        FeedStream(data, size, Cuts(Cuts::kSingleBytes, 0), expected);
    }
    return 0;
}
