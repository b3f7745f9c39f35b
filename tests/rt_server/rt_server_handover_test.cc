#include "rt_server/rt_server_handover.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_peer_packet.h"

namespace {

RtHandoverState SampleState() {
    RtHandoverState state;
    state.plain_listen_fd = 5;
    state.tls_listen_fd = 6;
    state.platform_uuid = "platform-1";
    RtHandoverConnection idle;
    idle.fd = 7;
    idle.address = 0x0100007f;
    idle.peer_kind = 1;
    idle.deadline = 1700000030;
    idle.start_second = 1700000000;
    idle.uuids = {{"agent-1", false}};
    state.connections.push_back(idle);
    RtHandoverConnection busy = idle;
    busy.fd = 8;
    busy.uuids = {{"web-1", true}, {"web-2", true}};
    busy.held_input = std::string(50, 'h');
    busy.queued = {std::string(200, 'a'), std::string(16, 'b')};
    busy.sent_of_front = 120;
    state.connections.push_back(busy);
    // A handshake waiting for its rows, with a packet queued behind the slot of its answer, and
    // one whose rows are written, waiting behind it.
    RtHandoverConnection waiting = idle;
    waiting.fd = 9;
    waiting.uuids = {{"agent-2", false}, {"module-2", false}};
    waiting.queued = {std::string(), std::string(64, 'c'), std::string()};
    const std::vector<char> request =
        RtPeerPacket::HandShake(kBdHandShakeClient, RtPeerIdentity{}).Bytes();
    waiting.answers.push_back({kBdHandShakeClient, "agent-2",
                               std::string(request.begin(), request.end()), 41, false, 0, false});
    waiting.answers.push_back({kBdHandShakeModuleServer, "module-2",
                               std::string(request.begin(), request.end()), 42, true, 0, false});
    state.connections.push_back(waiting);
    RtWriterBacklog &writer = state.writer;
    writer.next_ticket = 50;
    writer.results = {{42, 0}, {43, 2000}};
    RtWriteRequest peer;
    peer.ticket = 41;
    peer.rows.kind = kBdHandShakeModuleServer;
    peer.rows.node.node_uuid = "node-2";
    peer.rows.node.ip = "127.0.0.1";
    peer.rows.server.module_uuid = "module-2";
    peer.rows.server.module_type = 7;
    RtWriteRequest marks;
    marks.kind = RtWriteRequest::kOffline;
    marks.uuids = {"gone-1", "gone-2"};
    writer.requests = {peer, marks};
    writer.stale_sessions = {{17, "127.0.0.1:3306", 1700000000}};
    writer.refused_spellings = {"AGENT-3"};
    return state;
}

bool Decodes(const std::string &bytes, std::string *why) {
    RtHandoverState state;
    return RtDecodeHandover(bytes, &state, why);
}

TEST(RtServerHandoverTest, StateSurvivesTheRoundTrip) {
    const RtHandoverState sent = SampleState();
    RtHandoverState got;
    std::string why;
    ASSERT_TRUE(RtDecodeHandover(RtEncodeHandover(sent), &got, &why)) << why;
    EXPECT_EQ(got.plain_listen_fd, 5);
    EXPECT_EQ(got.tls_listen_fd, 6);
    EXPECT_EQ(got.platform_uuid, "platform-1");
    ASSERT_EQ(got.connections.size(), 3u);
    const RtHandoverConnection &busy = got.connections[1];
    EXPECT_EQ(busy.fd, 8);
    EXPECT_EQ(busy.address, 0x0100007fu);
    EXPECT_EQ(busy.deadline, 1700000030);
    EXPECT_EQ(busy.uuids, sent.connections[1].uuids);
    EXPECT_EQ(busy.held_input, sent.connections[1].held_input);
    EXPECT_EQ(busy.queued, sent.connections[1].queued);
    EXPECT_EQ(busy.sent_of_front, 120);
    ASSERT_EQ(got.connections[2].answers.size(), 2u);
    const RtPendingAnswer &first = got.connections[2].answers[0];
    EXPECT_EQ(first.uuid, "agent-2");
    EXPECT_EQ(first.request, sent.connections[2].answers[0].request);
    EXPECT_EQ(first.ticket, 41u);
    EXPECT_FALSE(first.done);
    EXPECT_TRUE(got.connections[2].answers[1].done);
    EXPECT_EQ(got.connections[2].queued, sent.connections[2].queued);
    EXPECT_EQ(got.writer.next_ticket, 50u);
    ASSERT_EQ(got.writer.results.size(), 2u);
    EXPECT_EQ(got.writer.results[1].code, 2000);
    ASSERT_EQ(got.writer.requests.size(), 2u);
    EXPECT_EQ(got.writer.requests[0].rows.server.module_type, 7);
    EXPECT_EQ(got.writer.requests[0].rows.node.ip, "127.0.0.1");
    EXPECT_EQ(got.writer.requests[1].uuids, sent.writer.requests[1].uuids);
    ASSERT_EQ(got.writer.stale_sessions.size(), 1u);
    EXPECT_EQ(got.writer.stale_sessions[0].server, "127.0.0.1:3306");
    EXPECT_EQ(got.writer.refused_spellings, sent.writer.refused_spellings);
    EXPECT_EQ(RtEncodeHandover(got), RtEncodeHandover(sent));
}

TEST(RtServerHandoverTest, OtherVersionsCutsAndDamageAreRefused) {
    const std::string bytes = RtEncodeHandover(SampleState());
    std::string why;
    EXPECT_FALSE(Decodes(RtSealHandoverPayload(bytes.substr(28), 1), &why));
    EXPECT_EQ(why, "hand-over state version 1, this image reads 2");
    for (size_t length = 0; length < bytes.size(); ++length) {
        EXPECT_FALSE(Decodes(bytes.substr(0, length), &why)) << length;
    }
    for (size_t at = 0; at < bytes.size(); ++at) {
        std::string damaged = bytes;
        damaged[at] ^= 0x40;
        EXPECT_FALSE(Decodes(damaged, &why)) << at;
    }
    EXPECT_FALSE(Decodes("not a state at all, no", &why));
    EXPECT_EQ(why, "not a hand-over state");
}

// A right header around values the new image must not act on: each is refused with the reason
// the new image logs, and nothing of it is kept.
TEST(RtServerHandoverTest, ValuesOutOfRangeAreRefusedBehindARightHeader) {
    const auto refusal = [](RtHandoverState state) {
        std::string why;
        RtHandoverState got;
        const bool ok = RtDecodeHandover(RtEncodeHandover(state), &got, &why);
        const std::string prefix = "hand-over state not understood: ";
        return ok || why.rfind(prefix, 0) != 0 || !got.connections.empty()
                   ? "accepted or kept: " + why
                   : why.substr(prefix.size());
    };
    const std::string connection = "a connection's values out of range";
    RtHandoverState state = SampleState();
    state.connections[1].fd = 7;
    EXPECT_EQ(refusal(state), "descriptor 7 named twice");
    state = SampleState();
    state.connections[0].fd = 2;
    EXPECT_EQ(refusal(state), connection);
    state = SampleState();
    state.connections[1].sent_of_front = 200;
    EXPECT_EQ(refusal(state), connection);
    state = SampleState();
    state.connections[0].sent_of_front = 1;  // nothing queued
    EXPECT_EQ(refusal(state), connection);
    state = SampleState();
    state.connections[1].queued[1] = "short";
    EXPECT_EQ(refusal(state), "a queued packet shorter than a header");
    state = SampleState();
    state.connections[0].uuids[0].first.clear();
    EXPECT_EQ(refusal(state), "a UUID binding out of range");
    state = SampleState();
    state.plain_listen_fd = state.tls_listen_fd = -1;
    EXPECT_EQ(refusal(state), "no listening descriptor");
    state = SampleState();
    state.tls_listen_fd = state.plain_listen_fd;
    EXPECT_EQ(refusal(state), "a listening descriptor out of range");
    state = SampleState();
    state.platform_uuid = std::string(kBdUuidFieldLen + 1, 'p');
    EXPECT_EQ(refusal(state), "a field longer than 40 bytes");
    // Every waiting handshake has its slot on the queue, and a slot is never partly sent.
    state = SampleState();
    state.connections[2].queued.pop_back();
    EXPECT_EQ(refusal(state), connection);
    state = SampleState();
    state.connections[2].sent_of_front = 1;
    EXPECT_EQ(refusal(state), connection);
    state = SampleState();
    state.connections[2].answers[0].request.resize(200);  // no handshake data to answer from
    EXPECT_EQ(refusal(state), "a waiting handshake out of range");
    state = SampleState();
    state.connections[2].answers[0].kind = 4;
    EXPECT_EQ(refusal(state), "a waiting handshake out of range");
    // Tickets the writer never gave out, rows of no handshake kind, a mark that names nobody.
    state = SampleState();
    state.writer.next_ticket = 42;
    EXPECT_EQ(refusal(state), "a ticket the database writer never gave out");
    state = SampleState();
    state.connections[2].answers[0].ticket = 0;
    EXPECT_EQ(refusal(state), "a ticket the database writer never gave out");
    state = SampleState();
    state.writer.requests[0].rows.kind = 0;
    EXPECT_EQ(refusal(state), "a handshake's rows out of range");
    state = SampleState();
    state.writer.requests[1].uuids.clear();
    EXPECT_EQ(refusal(state), "an offline mark without UUIDs");

    // A count beyond what the payload holds is refused before anything is made for it.
    std::string payload = RtEncodeHandover(RtHandoverState{5, -1, "", {}, {}}).substr(28);
    payload.replace(payload.size() - 4, 4, std::string("\xff\xff\xff\x7f", 4));
    std::string why;
    EXPECT_FALSE(Decodes(RtSealHandoverPayload(payload), &why));
    EXPECT_EQ(why, "hand-over state not understood: a count beyond the state's length");
    EXPECT_FALSE(
        Decodes(RtSealHandoverPayload(RtEncodeHandover(SampleState()).substr(28) + "x"), &why));
    EXPECT_EQ(why, "hand-over state not understood: bytes after the database writer's backlog");
    // The first connection's web flag (after the listeners, the platform, the connection's fixed
    // fields and its first UUID) reads neither yes nor no.
    payload = RtEncodeHandover(SampleState()).substr(28);
    ASSERT_EQ(payload.substr(62, 7), "agent-1");
    payload[69] = 2;
    EXPECT_FALSE(Decodes(RtSealHandoverPayload(payload), &why));
    EXPECT_EQ(why, "hand-over state not understood: a UUID binding out of range");
}

// What an image on the previous release hands over must still be taken: the layout of a known
// state is pinned by its length and its header, whose checksum covers every payload byte.
TEST(RtServerHandoverTest, LayoutStaysWhatTheRunningImageWrites) {
    const std::string bytes = RtEncodeHandover(SampleState());
    std::string header;
    for (size_t i = 0; i < 28; ++i) {
        static const char kDigits[] = "0123456789abcdef";
        header += kDigits[static_cast<unsigned char>(bytes[i]) >> 4];
        header += kDigits[static_cast<unsigned char>(bytes[i]) & 15];
    }
    EXPECT_EQ(bytes.size(), 1810u);
    EXPECT_EQ(header, "525448414e444f5602000000f606000000000000537a526dd8d7b6ed");
}

}  // namespace
