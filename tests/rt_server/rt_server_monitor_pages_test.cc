// The peers' page as a stream: the same bytes whatever pieces the socket takes them in.
#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>
#include <sstream>
#include <string>

#include "rt_server/rt_server_monitor_pages.h"

namespace {

std::shared_ptr<RtServerSnapshot> Snapshot(int rows) {
    auto snapshot = std::make_shared<RtServerSnapshot>();
    snapshot->taken_second = 1700000000;
    for (int i = 0; i < rows; ++i) {
        RtServerPeerRow row;
        row.uuid = "agent-" + std::to_string(i);
        row.kind = kRtPeerClient;
        row.address = "10.0.0.1";
        row.connected_since = 1600000000 + i;
        row.packets_in = 1;
        row.bytes_in = 2;
        row.packets_out = 3;
        row.bytes_out = 4;
        row.queued_bytes = 5;
        snapshot->peers.push_back(row);
    }
    return snapshot;
}

std::string ReadAll(std::shared_ptr<RtServerSnapshot> snapshot, size_t piece) {
    RtPeersPageStream stream(std::move(snapshot));
    std::string page, buffer(piece, '\0');
    for (size_t n; (n = stream.Read(&buffer[0], piece)) > 0;)
        page.append(buffer, 0, n);
    return page;
}

TEST(RtPeersPageStreamTest, WritesOneCompactObjectWithMembersInOrderInPiecesOfAnySize) {
    auto snapshot = Snapshot(2);
    snapshot->peers[1].uuid = "quote\"and\ncontrol";
    snapshot->peers[1].kind = kRtPeerWeb;
    const std::string row =
        "{\"address\":\"10.0.0.1\",\"bytes_in\":2,\"bytes_out\":4,\"connected_since\":%,"
        "\"kind\":\"$\",\"packets_in\":1,\"packets_out\":3,\"queued_bytes\":5,\"uuid\":\"#\"}";
    auto fill = [&](const char *since, const char *kind, const char *uuid) {
        std::string text = row;
        text.replace(text.find('%'), 1, since);
        text.replace(text.find('$'), 1, kind);
        text.replace(text.find('#'), 1, uuid);
        return text;
    };
    const std::string expected = "{\"peers\":[" + fill("1600000000", "client", "agent-0") + "," +
                                 fill("1600000001", "web", "quote\\\"and\\ncontrol") +
                                 "],\"taken\":1700000000}\n";
    for (size_t piece : {1, 7, 65536})
        EXPECT_EQ(ReadAll(snapshot, piece), expected) << "pieces of " << piece;
    EXPECT_EQ(ReadAll(Snapshot(0), 5), "{\"peers\":[],\"taken\":1700000000}\n");
}

TEST(RtPeersPageStreamTest, ManyThousandRowsParseBackInOrder) {
    const std::string page = ReadAll(Snapshot(10000), 65536);
    Json::Value parsed;
    std::istringstream json(page);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), json, &parsed, nullptr));
    ASSERT_EQ(parsed["peers"].size(), 10000u);
    EXPECT_EQ(parsed["peers"][9999]["uuid"].asString(), "agent-9999");
}

}  // namespace
