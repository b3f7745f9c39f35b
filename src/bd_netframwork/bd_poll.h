// BdPoll: the epoll instance of one connection manager.
//
// Owned by BdConnManager, which creates it in Init and closes it in Destroy. Every operation is a
// single system call, so the object may be shared by the threads of that manager without a lock;
// the manager serialises registration changes itself.
#ifndef BD_NETFRAMWORK_BD_POLL_H
#define BD_NETFRAMWORK_BD_POLL_H

#include <sys/epoll.h>

#include <cstdint>

// Every descriptor is registered edge-triggered with one of these two masks: read interest while a
// connection's write queue is empty, read and write interest while it holds data.
// EPOLLRDHUP: a connection stops reading after a short read, so a peer's close must arrive as its
// own mark on the event rather than be found by reading on to the end.
constexpr uint32_t kBdReadInterest = EPOLLIN | EPOLLRDHUP | EPOLLET;
constexpr uint32_t kBdReadWriteInterest = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

class BdPoll {
  public:
    // Most events one wait returns, and the size hint of the instance.
    static constexpr int kMaxEvents = 4096;

    // Operations of BdPollCtl.
    static constexpr int kCtlAdd = EPOLL_CTL_ADD;
    static constexpr int kCtlDelete = EPOLL_CTL_DEL;
    static constexpr int kCtlModify = EPOLL_CTL_MOD;

    BdPoll();
    // Closes the instance if Destroy was not called.
    ~BdPoll();
    // A copy would close the same epoll descriptor twice.
    BdPoll(const BdPoll &) = delete;
    BdPoll &operator=(const BdPoll &) = delete;

    // Creates the epoll instance (closing one made before): 0, or 1 when it cannot be created.
    int Init();
    // Waits at most timeoutSeconds for up to kMaxEvents events into events, which must hold that
    // many. The number of events, or -1 for a time-out and for a failure alike.
    int BdPollWait(epoll_event *events, const int &timeoutSeconds);
    // epoll_ctl(op) of fd with the event bits mask and the descriptor as event data: 0, or 1.
    int BdPollCtl(int fd, int op, unsigned int mask);
    // The same with data as the event data, so that an event names more than a descriptor number
    // (the manager adds the connection's serial).
    int BdPollCtl(int fd, int op, unsigned int mask, uint64_t data);
    // Closes the instance; returns 1.
    int Destroy();

  private:
    int _epollFd;  // -1 when closed
};

#endif  // BD_NETFRAMWORK_BD_POLL_H
