#include "rt_server/rt_server_handover.h"

#include <gtest/gtest.h>

#include <string>

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
    ASSERT_EQ(got.connections.size(), 2u);
    const RtHandoverConnection &busy = got.connections[1];
    EXPECT_EQ(busy.fd, 8);
    EXPECT_EQ(busy.address, 0x0100007fu);
    EXPECT_EQ(busy.deadline, 1700000030);
    EXPECT_EQ(busy.uuids, sent.connections[1].uuids);
    EXPECT_EQ(busy.held_input, sent.connections[1].held_input);
    EXPECT_EQ(busy.queued, sent.connections[1].queued);
    EXPECT_EQ(busy.sent_of_front, 120);
    EXPECT_EQ(RtEncodeHandover(got), RtEncodeHandover(sent));
}

TEST(RtServerHandoverTest, OtherVersionsCutsAndDamageAreRefused) {
    const std::string bytes = RtEncodeHandover(SampleState());
    std::string why;
    EXPECT_FALSE(Decodes(RtSealHandoverPayload(bytes.substr(28), 0), &why));
    EXPECT_EQ(why, "hand-over state version 0, this image reads 1");
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

// A right header around values the new image must not act on.
TEST(RtServerHandoverTest, ValuesOutOfRangeAreRefusedBehindARightHeader) {
    const auto refused = [](RtHandoverState state) {
        std::string why;
        RtHandoverState got;
        const bool ok = RtDecodeHandover(RtEncodeHandover(state), &got, &why);
        return !ok && why.rfind("hand-over state not understood: ", 0) == 0 &&
               got.connections.empty();
    };
    RtHandoverState state = SampleState();
    state.connections[1].fd = 7;
    EXPECT_TRUE(refused(state));
    state = SampleState();
    state.connections[0].fd = 2;
    EXPECT_TRUE(refused(state));
    state = SampleState();
    state.connections[1].sent_of_front = 200;
    EXPECT_TRUE(refused(state));
    state = SampleState();
    state.connections[0].sent_of_front = 1;  // nothing queued
    EXPECT_TRUE(refused(state));
    state = SampleState();
    state.connections[1].queued[1] = "short";
    EXPECT_TRUE(refused(state));
    state = SampleState();
    state.connections[0].uuids[0].first.clear();
    EXPECT_TRUE(refused(state));
    state = SampleState();
    state.plain_listen_fd = state.tls_listen_fd = -1;
    EXPECT_TRUE(refused(state));

    // A count beyond what the payload holds is refused before anything is made for it.
    std::string payload = RtEncodeHandover(RtHandoverState{5, -1, "", {}}).substr(28);
    payload.replace(payload.size() - 4, 4, std::string("\xff\xff\xff\x7f", 4));
    std::string why;
    EXPECT_FALSE(Decodes(RtSealHandoverPayload(payload), &why));
    EXPECT_EQ(why, "hand-over state not understood: a count beyond the state's length");
}

}  // namespace
