#ifndef RT_SERVER_RT_ADDRESS_QUOTA_H_
#define RT_SERVER_RT_ADDRESS_QUOTA_H_

#include <cstdint>
#include <unordered_map>

// How many accepted connections each source address holds, against an optional limit, so that one
// host cannot take every descriptor of the router. Owned by the application for the life of the
// process; the listener takes a place for every connection it accepts and the connection gives it
// back when it is destroyed. Main thread only.
class RtAddressQuota {
  public:
    // The most connections one address may hold; 0 (the default) for no limit.
    void SetMost(int most) { _most = most; }
    // Takes a place for address (IPv4, network byte order); false, taking nothing, when the
    // address holds the most allowed already.
    bool Take(uint32_t address);
    // Gives back a place taken by Take.
    void Release(uint32_t address);

  private:
    int _most = 0;
    std::unordered_map<uint32_t, int> _held;  // addresses with at least one connection
};

#endif  // RT_SERVER_RT_ADDRESS_QUOTA_H_
