#ifndef RT_TOOLS_RT_PEER_FRAMER_H_
#define RT_TOOLS_RT_PEER_FRAMER_H_

#include <cstddef>
#include <vector>

// Cuts a received byte stream into whole packets by their net headers, the way a peer of the
// router reads its connection. The framer owns its buffer; a packet it hands out points into that
// buffer and stays valid until the next Reserve, Append or Clear. One thread at a time; not
// copyable, since handed-out pointers would then dangle into the wrong object.
class RtPeerFramer {
  public:
    RtPeerFramer() = default;
    RtPeerFramer(const RtPeerFramer &) = delete;
    RtPeerFramer &operator=(const RtPeerFramer &) = delete;

    // Room for at least n more bytes; fill some of it and Commit how many were written.
    char *Reserve(size_t n);
    void Commit(size_t n) { _end += n; }
    void Append(const char *data, size_t n);

    // BD_SUCCESS and the next whole packet (consumed from the buffer); BD_NET_HEADER_INCOMPLETE
    // while more bytes are needed; BD_NET_HEADER_MAGIC_INVALID or BD_NET_PACKET_INVALID (a length
    // beyond kBdMaxPacketLength) for a stream that is not packets, after which the framer stays
    // broken until Clear.
    int Next(const char **packet, int *length);

    size_t Buffered() const { return _end - _begin; }
    void Clear() { _begin = _end = 0; }

  private:
    std::vector<char> _buffer;
    size_t _begin = 0;  // first byte not yet handed out
    size_t _end = 0;    // one past the last received byte
};

#endif  // RT_TOOLS_RT_PEER_FRAMER_H_
