// The binary packet layout every process of the system exchanges.
//
// A packet is a prefix of: BdHeader (16 bytes at 0), BdRouterHeader (104 bytes at 16), then a body
// at 120 chosen by the packet class: BdModuleHeader (152 bytes) plus a JSON payload at 272 for a
// normal packet, BdHandShakePacket (336 bytes) for a handshake, BdHandShakeSuccessData (80 bytes)
// for a handshake-success answer, raw bytes for a log packet, nothing for the other control
// packets.
//
// Every structure is packed (alignment 1), so a pointer to one may sit at any offset of a received
// buffer. Read and write the fields through the structure (`header->data_len`); never take the
// address of an integer field, which would be a misaligned int pointer.
//
// Integers are little-endian, the host order of every machine the system runs on: fields are
// never byte-swapped, so this layout only builds on a little-endian host.
//
// A text field of width N holds the text without a terminator, zero-filled to N bytes. The writers
// keep at least one zero byte, but a peer may not: read text fields with BdPacketText().
#ifndef BD_NETFRAMWORK_BD_PACKET_H
#define BD_NETFRAMWORK_BD_PACKET_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "bd_common/bd_error.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "packets are exchanged in host order, which must be little-endian");

constexpr uint32_t kBdPacketMagic = 0xFAFBFCFDu;
// Largest packet accepted from a peer, net header included. Without a bound one header could make
// the receiver allocate gigabytes before a single payload byte arrived.
constexpr int kBdMaxPacketLength = 64 * 1024 * 1024;
constexpr int kBdUuidFieldLen = 40;

// Packet classes (message_level1_type).
constexpr int kBdMessageControl = 1;
constexpr int kBdMessageHandShake = 2;
constexpr int kBdMessageNormal = 3;
constexpr int kBdMessageLog = 4;

// Sub-kinds of a control packet (message_level2_type of class 1).
constexpr int kBdControlHandShakeSuccess = 1;
constexpr int kBdControlServerNotReady = 2;
constexpr int kBdControlTargetConnLost = 3;
constexpr int kBdControlInvalidData = 4;

// Sub-kinds of a handshake (message_level2_type of class 2): the kind of peer introducing itself.
constexpr int kBdHandShakeClient = 1;
constexpr int kBdHandShakeModuleServer = 2;
constexpr int kBdHandShakeServerPlatform = 3;

// The only sub-kind of a normal packet.
constexpr int kBdNormalSubKind = 0;

// Peer types (source_type, target_type) with a fixed meaning; other processes choose their own.
constexpr int kBdPeerTypeWeb = 1;
constexpr int kBdPeerTypeRouter = 2;

// opcode_level of a normal packet.
constexpr int kBdOpcodeLevelPublic = 1;
constexpr int kBdOpcodeLevelPrivate = 2;

#pragma pack(push, 1)

// Net header: lets the framing layer cut the byte stream into packets.
struct BdHeader {
    uint32_t magic;    // always kBdPacketMagic
    int32_t data_len;  // bytes after this header: the packet is data_len + 16 bytes
    int64_t reserved;  // written as 0, never read
};

// Router header: addressing and class; the router forwards by target_uuid.
struct BdRouterHeader {
    char source_uuid[kBdUuidFieldLen];
    char target_uuid[kBdUuidFieldLen];
    int32_t source_type;
    int32_t target_type;
    int32_t module_type;
    int32_t data_len;  // bytes after this header: packet length - 120
    int32_t message_level1_type;
    int32_t message_level2_type;
};

// Module header of a normal packet; the JSON payload follows it.
struct BdModuleHeader {
    char reference_uuid[kBdUuidFieldLen];  // carried back unchanged by a reply
    char source_thread_uuid[kBdUuidFieldLen];
    char target_thread_uuid[kBdUuidFieldLen];  // non-empty: deliver to that work thread
    int32_t message_mode_type;
    int32_t aux_value_1;
    int32_t aux_value_2;
    int32_t opcode_level;  // kBdOpcodeLevelPublic or kBdOpcodeLevelPrivate
    int32_t opcode_type;
    int32_t opcode;
    int32_t reserved;  // never written, so always 0
    int32_t data_len;  // payload bytes: packet length - 272
};

// Body of a handshake: who the sending process is.
struct BdHandShakePacket {
    char uuid[kBdUuidFieldLen];  // becomes the UUID of the sender's connection
    int32_t aux_value;
    char aux_text[kBdUuidFieldLen];
    char os_type[64];
    char os_version[64];
    char process_type[20];
    char hostname[64];
    char node_uuid[kBdUuidFieldLen];
};

// Body of a handshake-success answer.
struct BdHandShakeSuccessData {
    char router_uuid[kBdUuidFieldLen];
    char server_platform_uuid[kBdUuidFieldLen];
};

// Bodies at offset 272 that nothing in this program reads or writes; only their size and place
// are fixed, so their contents stay opaque.
struct BdCommonAckHeader {
    char bytes[8];
};
struct BdRpcCreateConnectionMessage {
    char bytes[176];
};

#pragma pack(pop)

// Where each part starts, counted from the first byte of the packet.
constexpr int kBdRouterHeaderOffset = sizeof(BdHeader);
constexpr int kBdBodyOffset = kBdRouterHeaderOffset + sizeof(BdRouterHeader);
constexpr int kBdPayloadOffset = kBdBodyOffset + sizeof(BdModuleHeader);

// Lengths of the packet shapes.
constexpr int kBdKeepAlivePacketLen = kBdRouterHeaderOffset;
constexpr int kBdControlPacketLen = kBdBodyOffset;
constexpr int kBdHandShakeSuccessPacketLen = kBdBodyOffset + sizeof(BdHandShakeSuccessData);
constexpr int kBdHandShakePacketLen = kBdBodyOffset + sizeof(BdHandShakePacket);
constexpr int kBdNormalPacketMinLen = kBdPayloadOffset;
constexpr int kBdCommonAckPacketMinLen = kBdPayloadOffset + sizeof(BdCommonAckHeader);
constexpr int kBdRpcCreateConnPacketLen = kBdPayloadOffset + sizeof(BdRpcCreateConnectionMessage);

// The one reading of a net header, for the router's framing and the tools' alike: the header at
// the start of bytes, of which available have arrived. BD_SUCCESS with *packetLength = data_len +
// 16; BD_NET_HEADER_INCOMPLETE while fewer than 16 bytes are there; BD_NET_HEADER_MAGIC_INVALID
// for a wrong magic; BD_NET_PACKET_INVALID for a packet shorter than its header or longer than
// kBdMaxPacketLength, refused before anything is allocated for it.
inline int BdParseNetHeader(const char *bytes, size_t available, int *packetLength) {
    if (available < sizeof(BdHeader)) {
        return BD_NET_HEADER_INCOMPLETE;
    }
    BdHeader header;
    memcpy(&header, bytes, sizeof(header));
    if (header.magic != kBdPacketMagic) {
        return BD_NET_HEADER_MAGIC_INVALID;
    }
    // A negative length would never let the framing make progress.
    const int64_t total = static_cast<int64_t>(header.data_len) + sizeof(BdHeader);
    if (header.data_len < 0 || total > kBdMaxPacketLength) {
        return BD_NET_PACKET_INVALID;
    }
    *packetLength = static_cast<int>(total);
    return BD_SUCCESS;
}

// A text field as a string, stopping at its first zero byte or at its width, whichever comes
// first: a field a peer filled to the brim is never read past its end.
template <size_t N>
inline std::string BdPacketText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// Every process on the wire depends on these numbers; a change here breaks every peer.
static_assert(sizeof(BdHeader) == 16 && offsetof(BdHeader, data_len) == 4 &&
                  offsetof(BdHeader, reserved) == 8,
              "net header layout");
static_assert(sizeof(BdRouterHeader) == 104, "router header size");
static_assert(kBdRouterHeaderOffset + offsetof(BdRouterHeader, source_uuid) == 16 &&
                  kBdRouterHeaderOffset + offsetof(BdRouterHeader, target_uuid) == 56 &&
                  kBdRouterHeaderOffset + offsetof(BdRouterHeader, source_type) == 96 &&
                  kBdRouterHeaderOffset + offsetof(BdRouterHeader, target_type) == 100 &&
                  kBdRouterHeaderOffset + offsetof(BdRouterHeader, module_type) == 104 &&
                  kBdRouterHeaderOffset + offsetof(BdRouterHeader, data_len) == 108 &&
                  kBdRouterHeaderOffset + offsetof(BdRouterHeader, message_level1_type) == 112 &&
                  kBdRouterHeaderOffset + offsetof(BdRouterHeader, message_level2_type) == 116,
              "router header offsets");
static_assert(sizeof(BdModuleHeader) == 152, "module header size");
static_assert(kBdBodyOffset + offsetof(BdModuleHeader, reference_uuid) == 120 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, source_thread_uuid) == 160 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, target_thread_uuid) == 200 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, message_mode_type) == 240 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, aux_value_1) == 244 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, aux_value_2) == 248 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, opcode_level) == 252 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, opcode_type) == 256 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, opcode) == 260 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, reserved) == 264 &&
                  kBdBodyOffset + offsetof(BdModuleHeader, data_len) == 268,
              "module header offsets");
static_assert(sizeof(BdHandShakePacket) == 336, "handshake data size");
static_assert(kBdBodyOffset + offsetof(BdHandShakePacket, uuid) == 120 &&
                  kBdBodyOffset + offsetof(BdHandShakePacket, aux_value) == 160 &&
                  kBdBodyOffset + offsetof(BdHandShakePacket, aux_text) == 164 &&
                  kBdBodyOffset + offsetof(BdHandShakePacket, os_type) == 204 &&
                  kBdBodyOffset + offsetof(BdHandShakePacket, os_version) == 268 &&
                  kBdBodyOffset + offsetof(BdHandShakePacket, process_type) == 332 &&
                  kBdBodyOffset + offsetof(BdHandShakePacket, hostname) == 352 &&
                  kBdBodyOffset + offsetof(BdHandShakePacket, node_uuid) == 416,
              "handshake data offsets");
static_assert(sizeof(BdHandShakeSuccessData) == 80 &&
                  kBdBodyOffset + offsetof(BdHandShakeSuccessData, server_platform_uuid) == 160,
              "handshake-success data layout");
static_assert(kBdKeepAlivePacketLen == 16 && kBdControlPacketLen == 120 &&
                  kBdHandShakeSuccessPacketLen == 200 && kBdHandShakePacketLen == 456 &&
                  kBdNormalPacketMinLen == 272 && kBdCommonAckPacketMinLen == 280 &&
                  kBdRpcCreateConnPacketLen == 448,
              "packet shape lengths");

#endif  // BD_NETFRAMWORK_BD_PACKET_H
