#include "rt_tools/rt_peer_framer.h"

#include <cstring>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"

char *RtPeerFramer::Reserve(size_t n) {
    // Slide the unread tail to the front before growing: in steady state the buffer stays the
    // size of the largest packet plus one read, and handed-out packets are never copied.
    if (_begin > 0 && _buffer.size() - _end < n) {
        std::memmove(_buffer.data(), _buffer.data() + _begin, _end - _begin);
        _end -= _begin;
        _begin = 0;
    }
    if (_buffer.size() - _end < n) {
        _buffer.resize(_end + n);
    }
    return _buffer.data() + _end;
}

void RtPeerFramer::Append(const char *data, size_t n) {
    // An empty framer has no buffer yet, and memcpy may not be handed a null pointer even for
    // nothing.
    if (n == 0) {
        return;
    }
    std::memcpy(Reserve(n), data, n);
    Commit(n);
}

int RtPeerFramer::Next(const char **packet, int *length) {
    const char *start = _buffer.data() + _begin;
    int total = 0;
    const int rc = BdParseNetHeader(start, Buffered(), &total);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    if (Buffered() < static_cast<size_t>(total)) {
        return BD_NET_HEADER_INCOMPLETE;
    }
    *packet = start;
    *length = total;
    _begin += total;
    if (_begin == _end) {
        _begin = _end = 0;
    }
    return BD_SUCCESS;
}
