#include "rt_tools/rt_bench_peer_set.h"

#include <algorithm>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_peer_decoder.h"
#include "rt_tools/rt_peer_packet.h"

namespace {

int MillisecondsUntil(RtBenchPeerSet::Clock::time_point when) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(when - RtBenchPeerSet::Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool RtBenchPeerSet::Join(const std::vector<std::string> &uuids, int kind,
                          Clock::time_point deadline, std::string *error) {
    const size_t first = _peers.size();
    for (const std::string &uuid : uuids) {
        _peers.push_back(std::make_unique<RtBenchConnection>());
        _writing.push_back(true);
        RtBenchConnection &peer = *_peers.back();
        peer.uuid = uuid;
        if (!peer.StartConnect(_port, _tls) || !_poller.Add(&peer, _peers.size() - 1, true)) {
            *error = "cannot open connection " + std::to_string(_peers.size());
            return false;
        }
    }
    size_t waiting = uuids.size();
    std::vector<RtBenchPoller::Event> ready;
    while (waiting > 0) {
        if (Clock::now() > deadline) {
            *error = std::to_string(waiting) + " of " + std::to_string(uuids.size()) +
                     " handshakes unanswered at the time bound";
            return false;
        }
        // A crowd slowed down by the database can take longer than the router's idle time-out.
        KeepAlive(Clock::now());
        _poller.Wait(std::min(MillisecondsUntil(deadline), 1000), &ready);
        for (const RtBenchPoller::Event &event : ready) {
            if (event.index < first) {
                // Earlier peers only send their keep-alives while a batch joins.
                if (event.writable) {
                    Flush(event.index);
                }
                continue;
            }
            RtBenchConnection &peer = *_peers[event.index];
            if (event.writable && !peer.connected) {
                if (!peer.FinishConnect()) {
                    *error = "connection refused for peer " + peer.uuid;
                    return false;
                }
                peer.connected_at = Clock::now();
                RtPeerIdentity identity;
                identity.uuid = peer.uuid;
                identity.node_uuid = "node-" + peer.uuid;
                identity.hostname = "bench-host";
                const RtPeerPacket handShake = RtPeerPacket::HandShake(kind, identity);
                peer.Queue(handShake.Data(), handShake.Length());
            }
            if (event.writable && !Flush(event.index)) {
                *error = "connection lost while hand-shaking peer " + peer.uuid;
                return false;
            }
            if (!event.readable) {
                continue;
            }
            if (!Read(event.index, error)) {
                return false;
            }
            const char *packet = nullptr;
            int length = 0;
            while (peer.Input().Next(&packet, &length) == BD_SUCCESS) {
                const RtPeerPacket answer(std::vector<char>(packet, packet + length));
                if (!answer.IsControl(kBdControlHandShakeSuccess) || peer.answered) {
                    *error = std::string("peer ") + peer.uuid + " got " +
                             RtPeerDecoder::ClassName(answer.Class()) + "/" +
                             RtPeerDecoder::SubKindName(answer.Class(), answer.SubKind()) +
                             " instead of its handshake answer";
                    return false;
                }
                peer.answered = true;
                peer.answered_at = Clock::now();
                --waiting;
            }
        }
    }
    return true;
}

bool RtBenchPeerSet::Flush(size_t index) {
    RtBenchConnection &peer = *_peers[index];
    if (!peer.Flush()) {
        return false;
    }
    if (_writing[index] != peer.HasOutput()) {
        _writing[index] = peer.HasOutput();
        _poller.Update(&peer, index, _writing[index]);
    }
    return true;
}

bool RtBenchPeerSet::Read(size_t index, std::string *error) {
    if (_peers[index]->ReadAvailable() == BD_SUCCESS) {
        return true;
    }
    *error = "the router closed the connection of peer " + _peers[index]->uuid;
    return false;
}

void RtBenchPeerSet::KeepAlive(Clock::time_point now) {
    if (now - _lastKeepalive < std::chrono::seconds(10)) {
        return;
    }
    _lastKeepalive = now;
    const RtPeerPacket keepAlive = RtPeerPacket::KeepAlive();
    for (size_t i = 0; i < _peers.size(); ++i) {
        _peers[i]->Queue(keepAlive.Data(), keepAlive.Length());
        Flush(i);
    }
}
