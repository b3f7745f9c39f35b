#include "rt_tools/rt_peer_packet.h"

#include "bd_netframwork/bd_packet_handler.h"

namespace {

// A zeroed buffer of total bytes whose net header announces the rest.
std::vector<char> NewPacket(int total) {
    std::vector<char> bytes(total, 0);
    BdPacketHandler::PackHeader(bytes.data(), total, total - BdPacketHandler::GetHeaderLen(), 0,
                                static_cast<int>(kBdPacketMagic));
    return bytes;
}

void PackRoute(std::vector<char> *bytes, const RtPeerRoute &route, int level1Type, int level2Type) {
    const int total = static_cast<int>(bytes->size());
    BdPacketHandler::PackRouterHeader(bytes->data(), total, total - kBdControlPacketLen,
                                      route.source_uuid, route.target_uuid, route.source_type,
                                      route.target_type, route.module_type, level1Type, level2Type);
}

}  // namespace

RtPeerPacket RtPeerPacket::KeepAlive() {
    return RtPeerPacket(NewPacket(kBdKeepAlivePacketLen));
}

RtPeerPacket RtPeerPacket::HandShake(int kind, const RtPeerIdentity &identity) {
    std::vector<char> bytes = NewPacket(kBdHandShakePacketLen);
    RtPeerRoute route;
    route.source_uuid = identity.uuid;
    route.source_type = identity.source_type;
    route.module_type = identity.module_type;
    PackRoute(&bytes, route, kBdMessageHandShake, kind);
    // An empty UUID is refused by the writer; the body then stays zero, which is what a peer
    // without an identity would send.
    BdPacketHandler::PackHandShakePacket(bytes.data(), kBdHandShakePacketLen, identity.uuid, "",
                                         identity.os_type, identity.os_version,
                                         identity.process_type, identity.hostname,
                                         identity.aux_value, identity.node_uuid);
    return RtPeerPacket(std::move(bytes));
}

RtPeerPacket RtPeerPacket::Normal(const RtPeerRoute &route, const std::string &payload,
                                  const RtPeerModuleFields &module) {
    const int payloadLen = static_cast<int>(payload.size());
    const int total = kBdNormalPacketMinLen + payloadLen;
    std::vector<char> bytes = NewPacket(total);
    PackRoute(&bytes, route, kBdMessageNormal, kBdNormalSubKind);
    BdPacketHandler::PackModuleHeader(
        bytes.data(), total, payloadLen, module.reference_uuid, module.message_mode_type,
        module.aux_value_1, module.opcode_level, module.opcode_type, module.opcode,
        module.aux_value_2, module.source_thread_uuid, module.target_thread_uuid);
    if (payloadLen > 0) {
        BdPacketHandler::PackCommonData(bytes.data(), total, payload.data(), payloadLen);
    }
    return RtPeerPacket(std::move(bytes));
}

RtPeerPacket RtPeerPacket::Log(const RtPeerRoute &route, int level2Type, const std::string &data) {
    std::vector<char> bytes = NewPacket(kBdControlPacketLen + static_cast<int>(data.size()));
    PackRoute(&bytes, route, kBdMessageLog, level2Type);
    std::copy(data.begin(), data.end(), bytes.begin() + kBdControlPacketLen);
    return RtPeerPacket(std::move(bytes));
}

const BdRouterHeader *RtPeerPacket::Router() const {
    const BdRouterHeader *header = nullptr;
    if (BdPacketHandler::GetPacketRouterHeader(Data(), Length(), &header) != 0) {
        return nullptr;
    }
    return header;
}

int RtPeerPacket::Class() const {
    return Router() ? Router()->message_level1_type : 0;
}
int RtPeerPacket::SubKind() const {
    return Router() ? Router()->message_level2_type : 0;
}
int RtPeerPacket::SourceType() const {
    return Router() ? Router()->source_type : 0;
}
int RtPeerPacket::TargetType() const {
    return Router() ? Router()->target_type : 0;
}
int RtPeerPacket::ModuleType() const {
    return Router() ? Router()->module_type : 0;
}
int RtPeerPacket::RouterDataLen() const {
    return Router() ? Router()->data_len : 0;
}

std::string RtPeerPacket::SourceUuid() const {
    return Router() ? BdPacketText(Router()->source_uuid) : std::string();
}

std::string RtPeerPacket::TargetUuid() const {
    return Router() ? BdPacketText(Router()->target_uuid) : std::string();
}

bool RtPeerPacket::IsControl(int subKind) const {
    return Class() == kBdMessageControl && SubKind() == subKind;
}

const BdHandShakeSuccessData *RtPeerPacket::SuccessData() const {
    if (!IsControl(kBdControlHandShakeSuccess) || Length() != kBdHandShakeSuccessPacketLen) {
        return nullptr;
    }
    return reinterpret_cast<const BdHandShakeSuccessData *>(Data() + kBdBodyOffset);
}

std::string RtPeerPacket::RouterUuid() const {
    return SuccessData() ? BdPacketText(SuccessData()->router_uuid) : std::string();
}

std::string RtPeerPacket::ServerPlatformUuid() const {
    return SuccessData() ? BdPacketText(SuccessData()->server_platform_uuid) : std::string();
}

std::string RtPeerPacket::Payload() const {
    const char *payload = nullptr;
    if (BdPacketHandler::GetCommonPacketData(Data(), Length(), &payload) != 0) {
        return std::string();
    }
    return std::string(payload, Data() + Length());
}
