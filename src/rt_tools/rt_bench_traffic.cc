#include "rt_tools/rt_bench_traffic.h"

#include <cstring>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_peer_decoder.h"
#include "rt_tools/rt_peer_packet.h"

namespace {

// The payload is one JSON object: {"s":"<flow, 6 digits>","q":"<sequence, 10 digits>","f":
// "<filler>"}, and a line feed, padded by the filler to the requested size. Fixed positions let
// the receiver find the flow and the sequence number without parsing.
const char kFlowKey[] = "{\"s\":\"";
const char kSequenceKey[] = "\",\"q\":\"";
const char kFillerKey[] = "\",\"f\":\"";
const char kEnd[] = "\"}\n";
const int kFlowDigits = 6;
const int kSequenceDigits = 10;
const int kFlowAt = kBdPayloadOffset + sizeof(kFlowKey) - 1;
const int kSequenceAt = kFlowAt + kFlowDigits + sizeof(kSequenceKey) - 1;

void WriteDigits(char *at, int count, uint64_t value) {
    for (int i = count - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

bool ReadDigits(const char *at, int count, uint64_t *value) {
    uint64_t parsed = 0;
    for (int i = 0; i < count; ++i) {
        if (at[i] < '0' || at[i] > '9') {
            return false;
        }
        parsed = parsed * 10 + static_cast<uint64_t>(at[i] - '0');
    }
    *value = parsed;
    return true;
}

std::string Payload(size_t flow, int size) {
    std::string payload = kFlowKey + std::string(kFlowDigits, '0') + kSequenceKey +
                          std::string(kSequenceDigits, '0') + kFillerKey;
    WriteDigits(&payload[sizeof(kFlowKey) - 1], kFlowDigits, flow);
    // Filler that differs between flows and along the packet, so a byte from the wrong place
    // does not compare equal.
    const size_t filler = size - payload.size() - (sizeof(kEnd) - 1);
    for (size_t i = 0; i < filler; ++i) {
        payload += static_cast<char>('a' + (flow * 7 + i) % 26);
    }
    return payload + kEnd;
}

// The router carries the types without reading them; any values do.
RtPeerRoute Route(const std::string &from, const std::string &to) {
    return {from, to, 5, 6, 7};
}

}  // namespace

RtBenchTraffic::RtBenchTraffic(RtBenchPeerSet *peers, const std::vector<RtBenchFlow> &flows,
                               const RtBenchTrafficSpec &spec)
    : _peers(peers), _spec(spec), _dirty(peers->Size(), false) {
    for (size_t i = 0; i < flows.size(); ++i) {
        FlowState state;
        state.ends = flows[i];
        const std::string &from = peers->Peer(flows[i].sender).uuid;
        const std::string &to = peers->Peer(flows[i].receiver).uuid;
        const std::string payload = Payload(i, spec.payload_size);
        state.request = RtPeerPacket::Normal(Route(from, to), payload).Bytes();
        if (spec.echo) {
            state.reply = RtPeerPacket::Normal(Route(to, from), payload).Bytes();
        }
        state.sent_at.resize(spec.window);
        _flows.push_back(std::move(state));
    }
}

void RtBenchTraffic::TopUp(size_t flow) {
    FlowState &state = _flows[flow];
    const Clock::time_point now = Clock::now();
    while (state.in_flight < _spec.window && state.next_send < _spec.messages) {
        WriteDigits(&state.request[kSequenceAt], kSequenceDigits, state.next_send);
        state.sent_at[state.next_send % _spec.window] = now;
        _peers->Peer(state.ends.sender).Queue(state.request.data(), state.request.size());
        ++state.next_send;
        ++state.in_flight;
    }
    _dirty[state.ends.sender] = true;
}

bool RtBenchTraffic::FlowOf(const char *packet, int length, size_t *flow, int *sequence) const {
    uint64_t flowNumber = 0;
    uint64_t sequenceNumber = 0;
    if (length < kSequenceAt + kSequenceDigits ||
        !ReadDigits(packet + kFlowAt, kFlowDigits, &flowNumber) ||
        !ReadDigits(packet + kSequenceAt, kSequenceDigits, &sequenceNumber) ||
        flowNumber >= _flows.size()) {
        return false;
    }
    *flow = flowNumber;
    *sequence = static_cast<int>(sequenceNumber);
    return true;
}

bool RtBenchTraffic::Take(size_t peer, const char *packet, int length, std::string *error) {
    if (length == kBdKeepAlivePacketLen) {
        return true;
    }
    size_t flow = 0;
    int sequence = 0;
    if (!FlowOf(packet, length, &flow, &sequence)) {
        const RtPeerPacket stray(std::vector<char>(packet, packet + length));
        *error = "peer " + _peers->Peer(peer).uuid + " received a stray " +
                 RtPeerDecoder::ClassName(stray.Class()) + "/" +
                 RtPeerDecoder::SubKindName(stray.Class(), stray.SubKind()) + " packet of " +
                 std::to_string(length) + " bytes";
        return false;
    }
    FlowState &state = _flows[flow];
    // With echo a request arrives at the receiver, its answer back at the sender.
    const bool isRequest = !_spec.echo || peer == state.ends.receiver;
    const std::vector<char> &expected = isRequest ? state.request : state.reply;
    int &next = _spec.echo && isRequest ? state.next_request : state.next_delivery;
    const size_t destination = isRequest ? state.ends.receiver : state.ends.sender;
    const size_t tail = kSequenceAt + kSequenceDigits;
    if (peer != destination || sequence != next || static_cast<size_t>(length) != expected.size() ||
        std::memcmp(packet, expected.data(), kSequenceAt) != 0 ||
        std::memcmp(packet + tail, expected.data() + tail, length - tail) != 0) {
        *error = "flow " + std::to_string(flow) + ": expected packet " + std::to_string(next) +
                 " at " + _peers->Peer(destination).uuid + ", got packet " +
                 std::to_string(sequence) + " of " + std::to_string(length) + " bytes at " +
                 _peers->Peer(peer).uuid +
                 (sequence == next ? " with different bytes" : " (lost or reordered)");
        return false;
    }
    ++next;
    _result->bytes += length;
    if (_spec.echo && isRequest) {
        std::vector<char> &reply = state.reply;
        std::memcpy(&reply[kSequenceAt], packet + kSequenceAt, kSequenceDigits);
        _peers->Peer(state.ends.receiver).Queue(reply.data(), reply.size());
        _dirty[state.ends.receiver] = true;
        return true;
    }
    const auto latency = std::chrono::duration_cast<std::chrono::microseconds>(
        Clock::now() - state.sent_at[sequence % _spec.window]);
    _result->latencies_us.push_back(static_cast<uint32_t>(latency.count()));
    ++_result->delivered;
    --state.in_flight;
    TopUp(flow);
    return true;
}

bool RtBenchTraffic::Run(Clock::time_point deadline, RtBenchTrafficResult *result,
                         std::string *error) {
    _result = result;
    const uint64_t total = static_cast<uint64_t>(_flows.size()) * _spec.messages;
    result->latencies_us.reserve(total);
    const Clock::time_point start = Clock::now();
    for (size_t flow = 0; flow < _flows.size(); ++flow) {
        TopUp(flow);
    }
    std::vector<RtBenchPoller::Event> ready;
    while (result->delivered < total) {
        for (size_t peer = 0; peer < _dirty.size(); ++peer) {
            if (_dirty[peer] && !_peers->Flush(peer)) {
                *error = "the router closed the connection of peer " + _peers->Peer(peer).uuid;
                return false;
            }
            _dirty[peer] = false;
        }
        const Clock::time_point now = Clock::now();
        if (now > deadline) {
            *error = "time bound reached with " + std::to_string(result->delivered) + " of " +
                     std::to_string(total) + " packets delivered";
            return false;
        }
        _peers->KeepAlive(now);
        _peers->Poller().Wait(100, &ready);
        for (const RtBenchPoller::Event &event : ready) {
            RtBenchConnection &peer = _peers->Peer(event.index);
            if (event.writable) {
                _dirty[event.index] = true;
            }
            if (!event.readable) {
                continue;
            }
            if (!_peers->Read(event.index, error)) {
                return false;
            }
            const char *packet = nullptr;
            int length = 0;
            int framed;
            while ((framed = peer.Input().Next(&packet, &length)) == BD_SUCCESS) {
                if (!Take(event.index, packet, length, error)) {
                    return false;
                }
            }
            if (framed != BD_NET_HEADER_INCOMPLETE) {
                *error = "peer " + peer.uuid + " received bytes that are not packets";
                return false;
            }
        }
    }
    result->seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return true;
}
