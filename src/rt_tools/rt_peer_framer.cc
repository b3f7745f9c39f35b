#include "rt_tools/rt_peer_framer.h"

#include <cstring>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"

char *RtPeerFramer::Reserve(size_t n) {
    // Slide the unread tail to the front before growing: in steady state the buffer stays the
    // size of the largest packet plus one read, and handed-out packets are never copied.
    if (begin_ > 0 && buffer_.size() - end_ < n) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (buffer_.size() - end_ < n)
        buffer_.resize(end_ + n);
    return buffer_.data() + end_;
}

void RtPeerFramer::Append(const char *data, size_t n) {
    std::memcpy(Reserve(n), data, n);
    Commit(n);
}

int RtPeerFramer::Next(const char **packet, int *length) {
    const char *start = buffer_.data() + begin_;
    int total = 0;
    const int rc = BdParseNetHeader(start, Buffered(), &total);
    if (rc != BD_SUCCESS)
        return rc;
    if (Buffered() < static_cast<size_t>(total))
        return BD_NET_HEADER_INCOMPLETE;
    *packet = start;
    *length = total;
    begin_ += total;
    if (begin_ == end_)
        begin_ = end_ = 0;
    return BD_SUCCESS;
}
