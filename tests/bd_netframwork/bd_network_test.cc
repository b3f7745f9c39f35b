// The socket wrapper over real loopback sockets, and TLS with a certificate made for the test.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_network.h"
#include "support/loopback.h"
#include "support/temp_dir.h"

namespace {

// Points NORVALE_ROOT at a fresh directory for the test's life.
class ScopedRoot {
  public:
    ScopedRoot() { setenv("NORVALE_ROOT", dir.Path().c_str(), 1); }
    ~ScopedRoot() { unsetenv("NORVALE_ROOT"); }
    // Writes a self-signed certificate and its key where the server side reads them.
    bool MakeCertificate() {
        std::filesystem::create_directories(dir.Path() + "/etc/norvale");
        std::string command =
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test"
            " -keyout " +
            dir.Path() + "/etc/norvale/private_key.pem -out " + dir.Path() +
            "/etc/norvale/certificate.pem >/dev/null 2>&1";
        return system(command.c_str()) == 0;
    }
    TempDir dir;
};

// A listening BdNetwork on an ephemeral loopback port.
int ListenOn(BdNetwork *listener) {
    const int port = FreeLoopbackPort();
    EXPECT_EQ(listener->Init("127.0.0.1", port, BdNetwork::kPlainSocket), 0);
    EXPECT_EQ(listener->SetReuseAddr(), 0);
    EXPECT_EQ(listener->Bind(), 0);
    EXPECT_EQ(listener->Listen(), 0);
    return port;
}

TEST(BdNetworkTest, OneShotTransfersMapTheirOutcome) {
    LoopbackPair pair;
    BdNetwork local;
    ASSERT_EQ(local.Init(pair.local, BdNetwork::kPlainSocket), 0);
    char buffer[64];
    int received = -1;
    EXPECT_EQ(local.OriginRecv(sizeof(buffer), MSG_DONTWAIT, buffer, &received), BD_SOCKET_EAGAIN);

    int sent = 0;
    EXPECT_EQ(local.OriginSend("hello", 5, MSG_DONTWAIT | MSG_NOSIGNAL, &sent), 0);
    EXPECT_EQ(sent, 5);
    EXPECT_EQ(ReceiveAvailable(pair.peer), "hello");

    pair.ClosePeer();
    EXPECT_EQ(local.OriginRecv(sizeof(buffer), MSG_DONTWAIT, buffer, &received),
              BD_PEER_CLOSE_CONNECTION);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(local.GetCurrentSocketIP(nullptr), 0);
}

TEST(BdNetworkTest, WholeBufferReceiveReportsAPeerThatClosesEarly) {
    LoopbackPair pair;
    fcntl(pair.local, F_SETFL, fcntl(pair.local, F_GETFL) & ~O_NONBLOCK);
    BdNetwork local;
    local.Init(pair.local, BdNetwork::kPlainSocket);
    SendAll(pair.peer, std::string(60, 'x'));
    pair.ClosePeer();
    char buffer[100];
    EXPECT_EQ(local.Recv(100, buffer), BD_SOCKET_CLOSED_BY_PEER);
}

TEST(BdNetworkTest, ReceiveTimeOutIsReported) {
    LoopbackPair pair;
    fcntl(pair.local, F_SETFL, fcntl(pair.local, F_GETFL) & ~O_NONBLOCK);
    BdNetwork local;
    local.Init(pair.local, BdNetwork::kPlainSocket);
    ASSERT_EQ(local.SetRecvTimeout(1), 0);
    char buffer[10];
    EXPECT_EQ(local.Recv(10, buffer), BD_RECV_TIMEOUT);
}

TEST(BdNetworkTest, SetUpRefusesWhatCannotWork) {
    BdNetwork socket;
    EXPECT_EQ(socket.Destroy(), 1);
    EXPECT_EQ(socket.GetSocket(), -1);
    EXPECT_EQ(socket.Send("x", 1), BD_OBJECT_NOT_INIT);
    EXPECT_EQ(socket.Init("", 80, BdNetwork::kPlainSocket), -1);
    ASSERT_EQ(socket.Init("localhost", 0, BdNetwork::kPlainSocket), 0);
    EXPECT_EQ(socket.Init("127.0.0.1", 0, BdNetwork::kPlainSocket), -1);
    EXPECT_EQ(socket.Bind(), -1);  // a host name, not a dotted address
    EXPECT_EQ(socket.Destroy(), 0);
    EXPECT_EQ(socket.GetSocket(), -1);
}

TEST(BdNetworkTest, AcceptDrainsPendingConnectionsThenSaysSo) {
    BdNetwork listener;
    int port = ListenOn(&listener);
    listener.SetNonBlocking();
    int fd = -1;
    EXPECT_EQ(listener.Accept(nullptr, &fd), BD_SOCKET_EAGAIN);

    BdNetwork client;
    client.Init("localhost", port, BdNetwork::kPlainSocket);
    ASSERT_EQ(client.Connect(), 0);
    sockaddr_in peer{};
    ASSERT_TRUE(WaitReadable(listener.GetSocket()));
    ASSERT_EQ(listener.Accept(reinterpret_cast<sockaddr *>(&peer), &fd), 0);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    BdNetwork accepted;
    accepted.Init(fd, BdNetwork::kPlainSocket);
    std::string ip;
    EXPECT_EQ(accepted.GetCurrentSocketIP(&ip), 1);
    EXPECT_EQ(ip, "127.0.0.1");
    EXPECT_EQ(listener.Accept(nullptr, &fd), BD_SOCKET_EAGAIN);
    // Neither the sockets it opens nor those it accepts outlive an exec.
    EXPECT_NE(fcntl(listener.GetSocket(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(accepted.GetSocket(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(BdNetworkTest, ServerTlsWithoutCertificateStaysPlain) {
    ScopedRoot root;
    BdNetwork::SslLoad();
    LoopbackPair pair;
    BdNetwork local;
    local.Init(pair.local, BdNetwork::kPlainSocket);
    EXPECT_EQ(local.ServerSslInit(), 1);
    int sent = 0;
    EXPECT_EQ(local.OriginSend("plain", 5, MSG_NOSIGNAL, &sent), 0);
    EXPECT_EQ(ReceiveAvailable(pair.peer), "plain");
    BdNetwork idle;
    EXPECT_EQ(idle.ClientSslInit(), BD_OBJECT_NOT_INIT);
}

TEST(BdNetworkTest, TlsRoundTripWithTheConfiguredCertificate) {
    ScopedRoot root;
    ASSERT_TRUE(root.MakeCertificate());
    BdNetwork::SslLoad();
    BdNetwork listener;
    int port = ListenOn(&listener);

    std::string serverGot;
    int serverSetUp = -1;
    std::thread server([&] {
        int fd = -1;
        if (listener.Accept(nullptr, &fd) != 0) {
            return;
        }
        BdNetwork accepted;
        accepted.Init(fd, BdNetwork::kPlainSocket);
        serverSetUp = accepted.ServerSslInit();
        char buffer[11] = {0};
        if (serverSetUp == 0 && accepted.Recv(10, buffer) == 0) {
            serverGot = buffer;
            accepted.Send("reply", 5);
        }
        accepted.Destroy();
    });

    BdNetwork client;
    client.Init("127.0.0.1", port, BdNetwork::kPlainSocket);
    ASSERT_EQ(client.Connect(), 0);
    ASSERT_EQ(client.ClientSslInit(), 0);
    EXPECT_EQ(client.Send("0123456789", 10), 0);
    char reply[6] = {0};
    EXPECT_EQ(client.Recv(5, reply), 0);
    EXPECT_STREQ(reply, "reply");
    char more[1];
    EXPECT_EQ(client.Recv(1, more), BD_SOCKET_CLOSED_BY_PEER);
    server.join();
    EXPECT_EQ(serverSetUp, 0);
    EXPECT_EQ(serverGot, "0123456789");
    EXPECT_EQ(client.Destroy(), 0);
}

}  // namespace
