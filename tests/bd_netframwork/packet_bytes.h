// Expected packet bytes written by hand at literal offsets, independent of the packet structures,
// so a wrong structure cannot agree with itself.
#ifndef TESTS_BD_NETFRAMWORK_PACKET_BYTES_H
#define TESTS_BD_NETFRAMWORK_PACKET_BYTES_H

#include <cstdint>
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
    const std::vector<uint8_t> &bytes() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> Bytes(const char *packet, int length) {
    return std::vector<uint8_t>(packet, packet + length);
}

#endif  // TESTS_BD_NETFRAMWORK_PACKET_BYTES_H
