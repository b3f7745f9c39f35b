// The router's ParsePacket over arbitrary packet sequences from three connections, with a record
// writer that finishes, fails, refuses or never finishes handshakes in whatever order the input
// says, and connections that go away while their handshakes wait. The sanitizers and the leak
// check are the oracle: a connection that went must never be called back.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_server/rt_server_accepted_connection.h"
#include "support/scripted_record_writer.h"

namespace {

const char *const kUuids[] = {"platform", "agent", "module", ""};
constexpr int kConnections = 3;

// Reads the input front to back; zeros once it is used up.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string Bytes(size_t n) {
        n = std::min(n, size_ - std::min(at_, size_));
        std::string bytes(reinterpret_cast<const char *>(data_ + at_), n);
        at_ += n;
        return bytes;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// A packet with a router header of the input's choosing over known UUIDs, then input bytes.
std::string Packet(Input *in) {
    std::string packet(kBdBodyOffset, '\0');
    BdRouterHeader router{};
    const char *source = kUuids[in->Byte() % 4];
    const char *target = kUuids[in->Byte() % 4];
    memcpy(router.source_uuid, source, strlen(source));
    memcpy(router.target_uuid, target, strlen(target));
    router.source_type = in->Byte() % 3;
    router.message_level1_type = in->Byte() % 6;
    router.message_level2_type = in->Byte() % 5;
    memcpy(&packet[kBdRouterHeaderOffset], &router, sizeof(router));
    // Handshake data, or other bytes of any length.
    const size_t more = in->Byte() % 2 == 0 ? kBdHandShakePacketLen - kBdBodyOffset : in->Byte();
    std::string body = in->Bytes(more);
    if (router.message_level1_type == kBdMessageHandShake &&
        body.size() >= sizeof(BdHandShakePacket)) {
        const char *uuid = kUuids[in->Byte() % 4];
        memset(&body[0], 0, kBdUuidFieldLen);
        memcpy(&body[0], uuid, strlen(uuid));
    }
    packet += body;
    if (in->Byte() % 8 == 0)
        packet.resize(in->Byte());  // short or cut packets too
    return packet;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    BdConnManager manager;
    manager.Init();
    manager.SetCurrentProcessUUID("router");
    ScriptedWriter writer;
    RtServerAcceptedConnection *connections[kConnections];
    int peers[kConnections];
    int fds[kConnections];
    for (int i = 0; i < kConnections; ++i) {
        int pair[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair);
        peers[i] = pair[1];
        fds[i] = pair[0];
        connections[i] = new RtServerAcceptedConnection(&writer);
        connections[i]->Init(pair[0], &manager);
        connections[i]->SetTimeout(manager.NowSeconds() + 30);
        manager.AddMapFdToConn(pair[0], connections[i], EPOLLIN | EPOLLET);
    }
    bool alive[kConnections] = {true, true, true};

    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        const int which = in.Byte() % kConnections;
        switch (op % 5) {
            case 0:
            case 1:
                if (alive[which]) {
                    const std::string packet = Packet(&in);
                    connections[which]->ParsePacket(packet.data(), static_cast<int>(packet.size()));
                }
                break;
            case 2:
                if (!writer.requests.empty())
                    writer.Finish(in.Byte() % writer.requests.size(),
                                  in.Byte() % 2 == 0 ? BD_SUCCESS : BD_SQL_QUERY_ERROR);
                break;
            case 3:
                writer.refuse = in.Byte() % 3;
                break;
            case 4:
                if (alive[which]) {
                    connections[which]->CloseSelf();
                    alive[which] = false;
                }
                break;
        }
        // A rebound UUID destroys the older connection at once; the manager knows who is left.
        for (int i = 0; i < kConnections; ++i) {
            BdConnection *found = nullptr;
            if (alive[i] &&
                (manager.QueryConnFromFD(fds[i], &found) != 0 || found != connections[i]))
                alive[i] = false;
        }
        std::list<std::string> lost;
        manager.CheckTimeout(&lost);
    }
    // Whatever still waits gets its rows; nothing may be called back on a connection that went.
    for (size_t i = 0; i < writer.requests.size(); ++i)
        writer.Finish(i, BD_SUCCESS);
    manager.Destroy();
    for (int peer : peers)
        close(peer);
    return 0;
}
