// A packet connection that records every whole packet the framing hands it.
#ifndef TESTS_SUPPORT_RECORDING_CONNECTION_H_
#define TESTS_SUPPORT_RECORDING_CONNECTION_H_

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bd_netframwork/bd_client_connection.h"

// A malloc copy of bytes, as the write queue takes it.
inline char *MallocCopy(const std::string &bytes) {
    char *block = static_cast<char *>(malloc(bytes.size()));
    memcpy(block, bytes.data(), bytes.size());
    return block;
}

// Records every packet, then runs onPacket when set; echo queues a copy back to the peer. Exposes
// the read buffer for framing checks.
class RecordingConnection : public BdClientConnection {
  public:
    int ParsePacket(const char *data, int length) override {
        packets.emplace_back(data, static_cast<size_t>(length));
        if (echo) {
            PutWriteQueueItem(MallocCopy(packets.back()), length);
        }
        if (onPacket) {
            onPacket(data, length);
        }
        return 0;
    }
    bool AdmitPacket(const char *, int, int total) override { return !admit || admit(total); }
    const BdNetwork *Network() const { return _network; }
    int Capacity() const { return _readBufferCapacity; }
    int BytesHeld() const { return _bytesHeld; }
    std::string Held() const { return std::string(_readBuffer, static_cast<size_t>(_bytesHeld)); }

    std::vector<std::string> packets;
    bool echo = false;
    std::function<void(const char *, int)> onPacket;
    // Asked once a packet's headers are in, with its length; every packet is admitted when unset.
    std::function<bool(int)> admit;
};

#endif  // TESTS_SUPPORT_RECORDING_CONNECTION_H_
