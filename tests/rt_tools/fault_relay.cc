#include "fault_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "bd_netframwork/bd_packet_handler.h"
#include "rt_tools/rt_peer_framer.h"

namespace {

void SendAll(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

}  // namespace

FaultRelay::FaultRelay(Fault fault, int faultAt) : fault_(fault), fault_at_(faultAt) {}

FaultRelay::~FaultRelay() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listen_fd_ >= 0)
        close(listen_fd_);
}

bool FaultRelay::Start() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(listen_fd_, 64) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread(&FaultRelay::Loop, this);
    return true;
}

void FaultRelay::Loop() {
    std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
    std::map<int, std::unique_ptr<RtPeerFramer>> framers;
    std::map<std::string, int> byUuid;
    std::string held;  // the packet kept back until its sender's next one has gone out
    int held_target = -1;
    int held_source = -1;
    int normal = 0;
    while (!stop_) {
        if (poll(fds.data(), fds.size(), 50) <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int fd = accept(listen_fd_, nullptr, nullptr);
            fds.push_back({fd, POLLIN, 0});
            framers[fd] = std::make_unique<RtPeerFramer>();
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            RtPeerFramer &framer = *framers[fds[i].fd];
            const ssize_t n = recv(fds[i].fd, framer.Reserve(65536), 65536, 0);
            if (n <= 0)
                continue;
            framer.Commit(static_cast<size_t>(n));
            const char *packet = nullptr;
            int length = 0;
            while (framer.Next(&packet, &length) == 0) {
                const BdRouterHeader *router = nullptr;
                if (BdPacketHandler::GetPacketRouterHeader(packet, length, &router) != 0)
                    continue;  // keep-alive
                if (router->message_level1_type == kBdMessageHandShake) {
                    const BdHandShakePacket *data = nullptr;
                    BdPacketHandler::GetPacketHandshakeData(packet, length, &data);
                    byUuid[BdPacketText(data->uuid)] = fds[i].fd;
                    BdPacketHandler request;
                    request.InitCopy(packet, length);
                    char *answer = nullptr;
                    int answerLength = 0;
                    request.CreateHandShakeSuccessPacket("relay", kBdPeerTypeRouter, "relay",
                                                         "platform", &answer, &answerLength);
                    request.Destroy();
                    SendAll(fds[i].fd, answer, answerLength);
                    free(answer);
                    continue;
                }
                const int target = byUuid[BdPacketText(router->target_uuid)];
                std::string copy(packet, length);
                ++normal;
                if (normal == fault_at_ && fault_ == kDrop)
                    continue;
                if (normal == fault_at_ && fault_ == kCorrupt)
                    copy[copy.size() - 5] ^= 0x01;
                if (normal == fault_at_ && fault_ == kSwap) {
                    held = copy;
                    held_target = target;
                    held_source = fds[i].fd;
                    continue;
                }
                SendAll(target, copy.data(), copy.size());
                if (!held.empty() && held_source == fds[i].fd) {
                    SendAll(held_target, held.data(), held.size());
                    held.clear();
                }
            }
        }
    }
    for (size_t i = 1; i < fds.size(); ++i)
        close(fds[i].fd);
}
