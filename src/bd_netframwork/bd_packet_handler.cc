#include "bd_netframwork/bd_packet_handler.h"

#include <json/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Where a structure starts in a packet and how long the packet must be to hold it. Both accessor
// forms read the same place, so each layout is written once.
struct Place {
    int offset;
    int minLength;
    bool exactLength;
};

constexpr Place kHeaderPlace{0, kBdKeepAlivePacketLen, false};
constexpr Place kRouterHeaderPlace{kBdRouterHeaderOffset, kBdControlPacketLen, false};
constexpr Place kModuleHeaderPlace{kBdBodyOffset, kBdNormalPacketMinLen, false};
constexpr Place kHandshakePlace{kBdBodyOffset, kBdHandShakePacketLen, false};
constexpr Place kPayloadPlace{kBdPayloadOffset, kBdNormalPacketMinLen, false};
constexpr Place kCommonAckPlace{kBdPayloadOffset, kBdCommonAckPacketMinLen, false};
constexpr Place kRpcCreateConnPlace{kBdPayloadOffset, kBdRpcCreateConnPacketLen, true};

int CheckLength(int length, const Place &place) {
    bool fits = place.exactLength ? length == place.minLength : length >= place.minLength;
    return fits ? BD_SUCCESS : BD_NET_PACKET_INVALID;
}

template <typename T>
int LocateInBuffer(const char *packet, int length, const T **out, const Place &place,
                   bool refuseLengthBelowOne) {
    if (packet == nullptr || out == nullptr || (refuseLengthBelowOne && length < 1)) {
        return BD_PARAMETER_INVALID;
    }
    int rc = CheckLength(length, place);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    *out = reinterpret_cast<const T *>(packet + place.offset);
    return BD_SUCCESS;
}

// The member accessors' form: an empty handler (null packet) gives 2 rather than 4.
template <typename T>
int LocateInHandler(char *packet, int length, T **out, const Place &place) {
    if (out == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    if (packet == nullptr || length < 1) {
        return BD_OBJECT_NOT_INIT;
    }
    int rc = CheckLength(length, place);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    *out = reinterpret_cast<T *>(packet + place.offset);
    return BD_SUCCESS;
}

// The field is zeroed beforehand; its last byte stays zero so a reader finds the end inside it.
template <size_t N>
void CopyText(char (&field)[N], const std::string &text) {
    memcpy(field, text.data(), std::min(text.size(), N - 1));
}

template <typename T>
T *ZeroedAt(char *buf, int offset) {
    memset(buf + offset, 0, sizeof(T));
    return reinterpret_cast<T *>(buf + offset);
}

// Gives a finished packet to the caller, or frees it when a step of its building failed.
int HandOver(char *packet, int length, int rc, char **out, int *outLength) {
    if (rc != BD_SUCCESS) {
        free(packet);
        return rc;
    }
    *out = packet;
    *outLength = length;
    return BD_SUCCESS;
}

// Peers parse the answer with their own JSON readers, but expect the fast writer's exact text:
// compact, followed by a line feed.
std::string OpIdPayload(long opId) {
    Json::Value root;
    root["op_id"] = std::to_string(opId);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::FastWriter writer;
#pragma GCC diagnostic pop
    return writer.write(root);
}

}  // namespace

BdPacketHandler::BdPacketHandler() : _packet(nullptr), _length(0), _owned(false) {}

BdPacketHandler::~BdPacketHandler() {
    Destroy();
}

int BdPacketHandler::InitPointer(char *packet, int length) {
    if (packet == nullptr || length < 1) {
        return BD_PARAMETER_INVALID;
    }
    Destroy();
    _packet = packet;
    _length = length;
    return BD_SUCCESS;
}

int BdPacketHandler::InitCopy(const char *packet, int length) {
    if (packet == nullptr || length < 1) {
        return BD_PARAMETER_INVALID;
    }
    char *copy = static_cast<char *>(malloc(length));
    if (copy != nullptr) {
        memcpy(copy, packet, length);
    }
    // Released only after copying, in case the caller passed the handler's own packet.
    Destroy();
    if (copy == nullptr) {
        return BD_MEMORY_ERROR;
    }
    _packet = copy;
    _length = length;
    _owned = true;
    return BD_SUCCESS;
}

int BdPacketHandler::InitNormal() {
    return Destroy();
}

int BdPacketHandler::Destroy() {
    if (_owned) {
        free(_packet);
    }
    _packet = nullptr;
    _length = 0;
    _owned = false;
    return BD_SUCCESS;
}

int BdPacketHandler::GetPacketHeader(BdHeader **out) {
    return LocateInHandler(_packet, _length, out, kHeaderPlace);
}

int BdPacketHandler::GetPacketRouterHeader(BdRouterHeader **out) {
    return LocateInHandler(_packet, _length, out, kRouterHeaderPlace);
}

int BdPacketHandler::GetPacketModuleHeader(BdModuleHeader **out) {
    return LocateInHandler(_packet, _length, out, kModuleHeaderPlace);
}

int BdPacketHandler::GetPacketHandshakeData(BdHandShakePacket **out) {
    return LocateInHandler(_packet, _length, out, kHandshakePlace);
}

int BdPacketHandler::GetCommonPacketData(char **out) {
    return LocateInHandler(_packet, _length, out, kPayloadPlace);
}

int BdPacketHandler::GetCommonAckHeader(BdCommonAckHeader **out) {
    return LocateInHandler(_packet, _length, out, kCommonAckPlace);
}

int BdPacketHandler::BdGetRpcCreateConnMessage(BdRpcCreateConnectionMessage **out) {
    return LocateInHandler(_packet, _length, out, kRpcCreateConnPlace);
}

int BdPacketHandler::GetPacketHeader(const char *packet, int length, const BdHeader **out) {
    return LocateInBuffer(packet, length, out, kHeaderPlace, false);
}

int BdPacketHandler::GetPacketRouterHeader(const char *packet, int length,
                                           const BdRouterHeader **out) {
    return LocateInBuffer(packet, length, out, kRouterHeaderPlace, false);
}

int BdPacketHandler::GetPacketModuleHeader(const char *packet, int length,
                                           const BdModuleHeader **out) {
    return LocateInBuffer(packet, length, out, kModuleHeaderPlace, false);
}

int BdPacketHandler::GetPacketHandshakeData(const char *packet, int length,
                                            const BdHandShakePacket **out) {
    return LocateInBuffer(packet, length, out, kHandshakePlace, false);
}

int BdPacketHandler::GetCommonPacketData(const char *packet, int length, const char **out) {
    return LocateInBuffer(packet, length, out, kPayloadPlace, false);
}

int BdPacketHandler::GetCommonAckHeader(const char *packet, int length,
                                        const BdCommonAckHeader **out) {
    return LocateInBuffer(packet, length, out, kCommonAckPlace, true);
}

int BdPacketHandler::BdGetRpcCreateConnMessage(const char *packet, int length,
                                               const BdRpcCreateConnectionMessage **out) {
    return LocateInBuffer(packet, length, out, kRpcCreateConnPlace, true);
}

int BdPacketHandler::CopyPacket(char **out, int *outLength) {
    if (out == nullptr || outLength == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    if (_packet == nullptr || _length < 1) {
        return BD_OBJECT_NOT_INIT;
    }
    char *copy = static_cast<char *>(malloc(_length));
    if (copy == nullptr) {
        return BD_MEMORY_ERROR;
    }
    memcpy(copy, _packet, _length);
    return HandOver(copy, _length, BD_SUCCESS, out, outLength);
}

int BdPacketHandler::CopyModuleHeader(char *dest, int destLength, int dataLength) {
    if (_packet == nullptr || _length < 1) {
        return BD_OBJECT_NOT_INIT;
    }
    if (dest == nullptr || destLength < kBdNormalPacketMinLen) {
        return BD_PARAMETER_INVALID;
    }
    if (_length < kBdNormalPacketMinLen) {
        return BD_NET_PACKET_INVALID;
    }
    memcpy(dest + kBdBodyOffset, _packet + kBdBodyOffset, sizeof(BdModuleHeader));
    reinterpret_cast<BdModuleHeader *>(dest + kBdBodyOffset)->data_len = dataLength;
    return BD_SUCCESS;
}

int BdPacketHandler::PackHeader(char *buf, int bufLength, int dataLen, int reserved, int magic) {
    if (buf == nullptr || bufLength < kBdKeepAlivePacketLen) {
        return BD_PARAMETER_INVALID;
    }
    BdHeader *header = reinterpret_cast<BdHeader *>(buf);
    header->magic = static_cast<uint32_t>(magic);
    header->data_len = dataLen;
    header->reserved = reserved;
    return BD_SUCCESS;
}

int BdPacketHandler::PackRouterHeader(char *buf, int bufLength, int dataLen,
                                      const std::string &sourceUuid, const std::string &targetUuid,
                                      int sourceType, int targetType, int moduleType,
                                      int level1Type, int level2Type) {
    if (buf == nullptr || bufLength < kBdControlPacketLen) {
        return BD_PARAMETER_INVALID;
    }
    BdRouterHeader *header = ZeroedAt<BdRouterHeader>(buf, kBdRouterHeaderOffset);
    CopyText(header->source_uuid, sourceUuid);
    CopyText(header->target_uuid, targetUuid);
    header->source_type = sourceType;
    header->target_type = targetType;
    header->module_type = moduleType;
    header->data_len = dataLen;
    header->message_level1_type = level1Type;
    header->message_level2_type = level2Type;
    return BD_SUCCESS;
}

int BdPacketHandler::PackModuleHeader(char *buf, int bufLength, int dataLen,
                                      const std::string &referenceUuid, int messageModeType,
                                      int auxValue1, int opcodeLevel, int opcodeType, int opcode,
                                      int auxValue2, const std::string &sourceThreadUuid,
                                      const std::string &targetThreadUuid) {
    if (buf == nullptr || bufLength < kBdNormalPacketMinLen) {
        return BD_PARAMETER_INVALID;
    }
    BdModuleHeader *header = ZeroedAt<BdModuleHeader>(buf, kBdBodyOffset);
    CopyText(header->reference_uuid, referenceUuid);
    CopyText(header->source_thread_uuid, sourceThreadUuid);
    CopyText(header->target_thread_uuid, targetThreadUuid);
    header->message_mode_type = messageModeType;
    header->aux_value_1 = auxValue1;
    header->aux_value_2 = auxValue2;
    header->opcode_level = opcodeLevel;
    header->opcode_type = opcodeType;
    header->opcode = opcode;
    header->data_len = dataLen;
    return BD_SUCCESS;
}

int BdPacketHandler::PackHandShakePacket(char *buf, int bufLength, const std::string &uuid,
                                         const std::string &auxText, const std::string &osType,
                                         const std::string &osVersion,
                                         const std::string &processType,
                                         const std::string &hostname, int auxValue,
                                         const std::string &nodeUuid) {
    if (uuid.empty() || buf == nullptr || bufLength < kBdHandShakePacketLen) {
        return BD_PARAMETER_INVALID;
    }
    BdHandShakePacket *data = ZeroedAt<BdHandShakePacket>(buf, kBdBodyOffset);
    CopyText(data->uuid, uuid);
    data->aux_value = auxValue;
    CopyText(data->aux_text, auxText);
    CopyText(data->os_type, osType);
    CopyText(data->os_version, osVersion);
    CopyText(data->process_type, processType);
    CopyText(data->hostname, hostname);
    CopyText(data->node_uuid, nodeUuid);
    return BD_SUCCESS;
}

int BdPacketHandler::PackHandShakeSuccessPacket(char *buf, int bufLength,
                                                const std::string &routerUuid,
                                                const std::string &serverPlatformUuid) {
    if (routerUuid.empty() || serverPlatformUuid.empty() || buf == nullptr ||
        bufLength < kBdHandShakeSuccessPacketLen) {
        return BD_PARAMETER_INVALID;
    }
    BdHandShakeSuccessData *data = ZeroedAt<BdHandShakeSuccessData>(buf, kBdBodyOffset);
    CopyText(data->router_uuid, routerUuid);
    CopyText(data->server_platform_uuid, serverPlatformUuid);
    return BD_SUCCESS;
}

int BdPacketHandler::PackCommonData(char *buf, int bufLength, const char *data, int dataLength) {
    // Refusing data that does not fit costs one comparison and keeps a wrong length from
    // becoming a write past the buffer.
    if (buf == nullptr || data == nullptr || bufLength < kBdNormalPacketMinLen || dataLength < 1 ||
        dataLength > bufLength - kBdNormalPacketMinLen) {
        return BD_PARAMETER_INVALID;
    }
    memcpy(buf + kBdPayloadOffset, data, dataLength);
    return BD_SUCCESS;
}

int BdPacketHandler::NewControlAnswer(const std::string &senderUuid, int senderType, int level2Type,
                                      int total, char **answer) const {
    const BdRouterHeader *request = nullptr;
    int rc = GetPacketRouterHeader(_packet, _length, &request);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    char *packet = static_cast<char *>(calloc(total, 1));
    if (packet == nullptr) {
        return BD_MEMORY_ERROR;
    }
    rc = PackHeader(packet, total, total - kBdRouterHeaderOffset, 0, kBdPacketMagic);
    if (rc == BD_SUCCESS) {
        rc = PackRouterHeader(packet, total, total - kBdBodyOffset, senderUuid,
                              BdPacketText(request->source_uuid), senderType, request->source_type,
                              request->module_type, kBdMessageControl, level2Type);
    }
    if (rc != BD_SUCCESS) {
        free(packet);
        return rc;
    }
    *answer = packet;
    return BD_SUCCESS;
}

int BdPacketHandler::CreateHandShakeSuccessPacket(const std::string &senderUuid, int senderType,
                                                  const std::string &routerUuid,
                                                  const std::string &serverPlatformUuid, char **out,
                                                  int *outLength) {
    if (_packet == nullptr || _length < 1) {
        return BD_OBJECT_NOT_INIT;
    }
    if (senderUuid.empty() || routerUuid.empty() || serverPlatformUuid.empty() || out == nullptr ||
        outLength == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    char *packet = nullptr;
    int rc = NewControlAnswer(senderUuid, senderType, kBdControlHandShakeSuccess,
                              kBdHandShakeSuccessPacketLen, &packet);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    rc = PackHandShakeSuccessPacket(packet, kBdHandShakeSuccessPacketLen, routerUuid,
                                    serverPlatformUuid);
    return HandOver(packet, kBdHandShakeSuccessPacketLen, rc, out, outLength);
}

int BdPacketHandler::CreateServerNotReadyPacket(const std::string &senderUuid, int senderType,
                                                char **out, int *outLength) {
    if (_packet == nullptr || _length < 1) {
        return BD_OBJECT_NOT_INIT;
    }
    if (senderUuid.empty() || out == nullptr || outLength == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    char *packet = nullptr;
    int rc = NewControlAnswer(senderUuid, senderType, kBdControlServerNotReady, kBdControlPacketLen,
                              &packet);
    return HandOver(packet, kBdControlPacketLen, rc, out, outLength);
}

int BdPacketHandler::CreateOpIdPacket(long opId, char **out, int *outLength) {
    if (_packet == nullptr || _length < 1) {
        return BD_OBJECT_NOT_INIT;
    }
    if (out == nullptr || outLength == nullptr || opId < 1) {
        return BD_PARAMETER_INVALID;
    }
    const BdRouterHeader *request = nullptr;
    const BdModuleHeader *requestModule = nullptr;
    int rc = GetPacketRouterHeader(_packet, _length, &request);
    if (rc == BD_SUCCESS) {
        rc = GetPacketModuleHeader(_packet, _length, &requestModule);
    }
    if (rc != BD_SUCCESS) {
        return rc;
    }
    const std::string payload = OpIdPayload(opId);
    const int payloadLength = static_cast<int>(payload.size());
    const int total = kBdPayloadOffset + payloadLength;
    char *packet = static_cast<char *>(calloc(total, 1));
    if (packet == nullptr) {
        return BD_MEMORY_ERROR;
    }
    rc = PackHeader(packet, total, total - kBdRouterHeaderOffset, 0, kBdPacketMagic);
    if (rc == BD_SUCCESS) {
        // The answer goes back the way the request came: addresses and peer types swap.
        rc = PackRouterHeader(
            packet, total, total - kBdBodyOffset, BdPacketText(request->target_uuid),
            BdPacketText(request->source_uuid), request->target_type, request->source_type,
            request->module_type, kBdMessageNormal, kBdNormalSubKind);
    }
    if (rc == BD_SUCCESS) {
        rc = CopyModuleHeader(packet, total, payloadLength);
    }
    if (rc == BD_SUCCESS) {
        rc = PackCommonData(packet, total, payload.data(), payloadLength);
    }
    return HandOver(packet, total, rc, out, outLength);
}
