#include "rt_tools/rt_peer_framer.h"

#include <cstring>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet_handler.h"

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
    const BdHeader *header = nullptr;
    if (BdPacketHandler::GetPacketHeader(start, static_cast<int>(Buffered()), &header) !=
        BD_SUCCESS) {
        return BD_NET_HEADER_INCOMPLETE;
    }
    if (header->magic != kBdPacketMagic || header->data_len < 0)
        return BD_NET_HEADER_MAGIC_INVALID;
    const size_t total = static_cast<size_t>(header->data_len) + sizeof(BdHeader);
    if (Buffered() < total)
        return BD_NET_HEADER_INCOMPLETE;
    *packet = start;
    *length = static_cast<int>(total);
    begin_ += total;
    if (begin_ == end_)
        begin_ = end_ = 0;
    return BD_SUCCESS;
}
