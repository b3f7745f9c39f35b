// The monitoring pages' HTTP fetch, against servers that misbehave on purpose.
#include "rt_tools/rt_http_get.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"

namespace {

// A listener whose accept queue is full drops further connection requests, so a connect to it
// hangs as one to a host that silently drops packets does.
TEST(RtHttpGetTest, AServerThatNeverTakesTheConnectionCostsOnlyTheTimeOut) {
    int port = 0;
    const int listener = ListenLoopback(&port);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<int> queued;
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        queued.push_back(fd);
    }
    std::string body;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RtHttpGet("127.0.0.1", port, "/healthz", 300, &body), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    for (int fd : queued) {
        close(fd);
    }
    close(listener);
}

TEST(RtHttpGetTest, ReadsTheStatusAndBodyAndRefusesWhatIsNotHttp) {
    std::string body;
    EXPECT_EQ(RtHttpGet("127.0.0.1", FreeLoopbackPort(), "/", 1000, &body), -1);

    int port = 0;
    const int listener = ListenLoopback(&port);
    for (const std::string &reply :
         {std::string("HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n\r\n"
                      "database away\n"),
          std::string("SSH-2.0-something\r\n")}) {
        std::string got;
        std::thread server([&] {
            const int fd = accept(listener, nullptr, nullptr);
            char request[1024];
            recv(fd, request, sizeof(request), 0);
            SendAll(fd, reply);
            close(fd);
        });
        const int status = RtHttpGet("127.0.0.1", port, "/healthz", 2000, &got);
        server.join();
        if (reply.rfind("HTTP/", 0) == 0) {
            EXPECT_EQ(status, 503);
            EXPECT_EQ(got, "database away\n");
        } else {
            EXPECT_EQ(status, -1);
        }
    }
    close(listener);
}

}  // namespace
