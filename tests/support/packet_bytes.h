// Expected packet bytes written by hand at literal offsets, independent of the packet structures,
// so a wrong structure cannot agree with itself.
#ifndef TESTS_SUPPORT_PACKET_BYTES_H_
#define TESTS_SUPPORT_PACKET_BYTES_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class PacketBytes {
  public:
    explicit PacketBytes(size_t length) : bytes_(length, 0) {}
    PacketBytes(const char *packet, int length) : bytes_(packet, packet + length) {}

    PacketBytes &Int32(size_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes_.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
        }
        return *this;
    }
    PacketBytes &Text(size_t offset, const std::string &text) {
        for (size_t i = 0; i < text.size(); ++i) {
            bytes_.at(offset + i) = static_cast<uint8_t>(text[i]);
        }
        return *this;
    }
    // The net header every packet starts with: magic, data_len, eight zero bytes.
    PacketBytes &NetHeader() {
        return Int32(0, 0xFAFBFCFDu).Int32(4, static_cast<uint32_t>(bytes_.size() - 16));
    }
    // The router header's addressing and class, the fields every routed packet carries.
    PacketBytes &Route(const std::string &source, const std::string &target, int sourceType,
                       int targetType, int moduleType, int level1, int level2) {
        Text(16, source).Text(56, target).Int32(96, sourceType).Int32(100, targetType);
        Int32(104, moduleType).Int32(108, static_cast<uint32_t>(bytes_.size() - 120));
        return Int32(112, level1).Int32(116, level2);
    }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    std::string str() const { return std::string(bytes_.begin(), bytes_.end()); }

  private:
    std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> Bytes(const char *packet, int length) {
    return std::vector<uint8_t>(packet, packet + length);
}

// A net header announcing dataLen bytes after it.
inline std::string NetHeader(int32_t dataLen, uint32_t magic = 0xFAFBFCFDu) {
    std::string header(16, '\0');
    memcpy(&header[0], &magic, 4);
    memcpy(&header[4], &dataLen, 4);
    return header;
}

// A whole packet: net header, then dataLen bytes of fill.
inline std::string NetPacket(int32_t dataLen, char fill = 'x', uint32_t magic = 0xFAFBFCFDu) {
    return NetHeader(dataLen, magic) + std::string(static_cast<size_t>(dataLen), fill);
}

#endif  // TESTS_SUPPORT_PACKET_BYTES_H_
