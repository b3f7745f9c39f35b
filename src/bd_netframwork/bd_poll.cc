#include "bd_netframwork/bd_poll.h"

#include <unistd.h>

BdPoll::BdPoll() : _epollFd(-1) {}

BdPoll::~BdPoll() {
    if (_epollFd >= 0) {
        close(_epollFd);
    }
}

int BdPoll::Init() {
    Destroy();
    _epollFd = epoll_create(kMaxEvents);
    return _epollFd < 0 ? 1 : 0;
}

int BdPoll::BdPollWait(epoll_event *events, const int &timeoutSeconds) {
    int n = epoll_wait(_epollFd, events, kMaxEvents, timeoutSeconds * 1000);
    return n > 0 ? n : -1;
}

int BdPoll::BdPollCtl(int fd, int op, unsigned int mask) {
    return BdPollCtl(fd, op, mask, static_cast<uint32_t>(fd));
}

int BdPoll::BdPollCtl(int fd, int op, unsigned int mask, uint64_t data) {
    epoll_event event{};
    event.events = mask;
    event.data.u64 = data;
    return epoll_ctl(_epollFd, op, fd, &event) == 0 ? 0 : 1;
}

int BdPoll::Destroy() {
    if (_epollFd >= 0) {
        close(_epollFd);
        _epollFd = -1;
    }
    return 1;
}
