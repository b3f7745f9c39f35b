#include "rt_tools/rt_peer_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "bd_common/bd_error.h"

namespace {

// A loopback listener whose single accepted socket the test drives by hand.
class LoopbackPeer {
  public:
    LoopbackPeer() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listen_fd_, 1);
    }
    ~LoopbackPeer() {
        CloseAccepted();
        close(listen_fd_);
    }
    int Port() const { return port_; }
    void Accept() { fd_ = accept(listen_fd_, nullptr, nullptr); }
    void Write(const std::vector<char> &bytes, size_t from, size_t to) {
        ASSERT_EQ(send(fd_, bytes.data() + from, to - from, 0), static_cast<ssize_t>(to - from));
    }
    void CloseAccepted() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

  private:
    int listen_fd_ = -1;
    int fd_ = -1;
    int port_ = 0;
};

class RtPeerClientTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(client_.Connect("127.0.0.1", router_.Port()), 0);
        router_.Accept();
    }
    LoopbackPeer router_;
    RtPeerClient client_;
};

TEST_F(RtPeerClientTest, PacketsSplitAcrossWritesAreReassembledAndTimeoutsKeepPartialBytes) {
    RtPeerRoute route;
    route.source_uuid = "a";
    route.target_uuid = "b";
    const RtPeerPacket first = RtPeerPacket::Normal(route, "{\"n\":1}\n");
    const RtPeerPacket second = RtPeerPacket::Log(route, 2, "log");
    std::vector<char> stream = first.Bytes();
    stream.insert(stream.end(), second.Bytes().begin(), second.Bytes().end());

    router_.Write(stream, 0, 10);
    RtPeerPacket got;
    EXPECT_EQ(client_.Receive(&got, 100), BD_RECV_TIMEOUT);
    router_.Write(stream, 10, first.Bytes().size() + 5);
    ASSERT_EQ(client_.Receive(&got, 1000), 0);
    EXPECT_EQ(got.Bytes(), first.Bytes());
    EXPECT_EQ(got.Payload(), "{\"n\":1}\n");
    EXPECT_EQ(client_.Receive(&got, 100), BD_RECV_TIMEOUT);
    router_.Write(stream, first.Bytes().size() + 5, stream.size());
    ASSERT_EQ(client_.Receive(&got, 1000), 0);
    EXPECT_EQ(got.Bytes(), second.Bytes());
    EXPECT_EQ(got.Class(), kBdMessageLog);
    EXPECT_EQ(got.SubKind(), 2);
}

TEST_F(RtPeerClientTest, ReportsBadMagicAndClose) {
    std::vector<char> junk(16, 0x11);
    router_.Write(junk, 0, junk.size());
    RtPeerPacket got;
    EXPECT_EQ(client_.Receive(&got, 1000), BD_NET_HEADER_MAGIC_INVALID);
    router_.CloseAccepted();
    EXPECT_TRUE(client_.WaitForClose(1000));
}

TEST(RtPeerPacketTest, HandShakeCarriesTheIdentity) {
    RtPeerIdentity identity;
    identity.uuid = "peer-uuid";
    identity.node_uuid = "node";
    identity.source_type = 9;
    identity.module_type = 4;
    const RtPeerPacket packet = RtPeerPacket::HandShake(kBdHandShakeModuleServer, identity);
    ASSERT_EQ(packet.Length(), kBdHandShakePacketLen);
    EXPECT_EQ(packet.Class(), kBdMessageHandShake);
    EXPECT_EQ(packet.SubKind(), kBdHandShakeModuleServer);
    EXPECT_EQ(packet.SourceUuid(), "peer-uuid");
    EXPECT_EQ(packet.SourceType(), 9);
    EXPECT_EQ(packet.ModuleType(), 4);
    EXPECT_EQ(packet.RouterDataLen(), kBdHandShakePacketLen - kBdControlPacketLen);
    const auto *data = reinterpret_cast<const BdHandShakePacket *>(packet.Data() + kBdBodyOffset);
    EXPECT_EQ(BdPacketText(data->uuid), "peer-uuid");
    EXPECT_EQ(BdPacketText(data->node_uuid), "node");
    EXPECT_EQ(RtPeerPacket::KeepAlive().Length(), kBdKeepAlivePacketLen);
    EXPECT_EQ(RtPeerPacket::KeepAlive().Class(), 0);
}

}  // namespace
