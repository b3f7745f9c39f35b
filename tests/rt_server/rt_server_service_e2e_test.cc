// The router under a service manager: readiness, status and watchdog over the notification
// socket.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "rt_server_e2e_fixture.h"
#include "rt_tools/rt_router_setup.h"

namespace {

// The manager's end: a datagram socket that collects every notification sent to it.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() {
        close(fd_);
        unlink(path_.c_str());
    }
    bool Bound() const { return bound_; }

    // Everything received so far, one notification a line.
    const std::string &Heard() {
        char datagram[4096];
        ssize_t n;
        while ((n = recv(fd_, datagram, sizeof(datagram), 0)) > 0)
            heard_.append(datagram, n).push_back('\n');
        return heard_;
    }
    bool Hears(const std::string &text, int timeoutMs) {
        return Eventually([&] { return Heard().find(text) != std::string::npos; }, timeoutMs);
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::string heard_;
};

class RtServerServiceTest : public RtServerE2eTest {
  protected:
    RtServerServiceTest() { start_router_in_setup_ = false; }
};

TEST_F(RtServerServiceTest, ManagerHearsReadyOnceListeningThenStatusAndWatchdog) {
    NotifySocket manager(root_.Path() + "/notify");
    ASSERT_TRUE(manager.Bound());
    router_->SetEnv("NOTIFY_SOCKET", root_.Path() + "/notify");
    router_->SetEnv("WATCHDOG_USEC", "1000000");
    ASSERT_TRUE(router_->Start());

    ASSERT_TRUE(manager.Hears("READY=1\nSTATUS=0 peers registered, no server platform\n", 30000))
        << manager.Heard() << router_->Stderr();
    EXPECT_TRUE(RtRouterAccepts(router_->Port()));

    RtPeerClient platform;
    RegisterPlatform(&platform);
    EXPECT_TRUE(manager.Hears("STATUS=1 peers registered, server platform present", kLoopTurnMs))
        << manager.Heard();
    EXPECT_TRUE(manager.Hears("WATCHDOG=1", kLoopTurnMs)) << manager.Heard();
}

}  // namespace
