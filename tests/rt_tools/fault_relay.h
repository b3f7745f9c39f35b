#ifndef TESTS_RT_TOOLS_FAULT_RELAY_H_
#define TESTS_RT_TOOLS_FAULT_RELAY_H_

#include <atomic>
#include <string>
#include <thread>

// A minimal stand-in for the router that hand-shakes every peer and forwards normal packets by
// target UUID, but can be told to lose, corrupt or reorder one of them: it proves that the
// benchmark notices each fault. Runs on its own thread from Start until destruction.
class FaultRelay {
  public:
    enum Fault { kFaithful, kDrop, kCorrupt, kSwap };

    // fault hits the normal packet number faultAt (counted from 1 over all senders).
    FaultRelay(Fault fault, int faultAt);
    ~FaultRelay();
    FaultRelay(const FaultRelay &) = delete;
    FaultRelay &operator=(const FaultRelay &) = delete;

    // Listens on a free loopback port and starts relaying; false when the socket fails.
    bool Start();
    int Port() const { return port_; }

  private:
    void Loop();

    Fault fault_;
    int fault_at_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

#endif  // TESTS_RT_TOOLS_FAULT_RELAY_H_
