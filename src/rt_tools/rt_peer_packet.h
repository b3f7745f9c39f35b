#ifndef RT_TOOLS_RT_PEER_PACKET_H_
#define RT_TOOLS_RT_PEER_PACKET_H_

#include <string>
#include <vector>

#include "bd_netframwork/bd_packet.h"

// What a peer says about itself in its handshake.
struct RtPeerIdentity {
    std::string uuid;
    std::string node_uuid;
    std::string hostname = "peer-host";
    std::string os_type = "Linux";
    std::string os_version = "Linux 6";
    std::string process_type = "64 bit";
    int source_type = 0;  // the peer type put into the router header
    int module_type = 0;
    int aux_value = 0;
};

// Addressing of a packet the router forwards. A web peer sends with source_type kBdPeerTypeWeb.
struct RtPeerRoute {
    std::string source_uuid;
    std::string target_uuid;
    int source_type = 0;
    int target_type = 0;
    int module_type = 0;
};

// The module header of a normal packet; the router carries it without reading it.
struct RtPeerModuleFields {
    std::string reference_uuid;
    std::string source_thread_uuid;
    std::string target_thread_uuid;
    int message_mode_type = 0;
    int aux_value_1 = 0;
    int aux_value_2 = 0;
    int opcode_level = kBdOpcodeLevelPublic;
    int opcode_type = 0;
    int opcode = 0;
};

// One whole packet as a peer sends or receives it: the exact bytes, plus readers of the fields a
// peer looks at. The layout itself is BdPacketHandler's; nothing here knows an offset. A plain
// value, safe to copy; not shared between threads.
class RtPeerPacket {
  public:
    RtPeerPacket() = default;
    explicit RtPeerPacket(std::vector<char> bytes) : _bytes(std::move(bytes)) {}

    static RtPeerPacket KeepAlive();
    // A 456-byte handshake of kind kBdHandShakeClient, kBdHandShakeModuleServer or
    // kBdHandShakeServerPlatform.
    static RtPeerPacket HandShake(int kind, const RtPeerIdentity &identity);
    static RtPeerPacket Normal(const RtPeerRoute &route, const std::string &payload,
                               const RtPeerModuleFields &module = RtPeerModuleFields());
    // A log packet: the data follows the router header verbatim; level2Type is 1 or 2.
    static RtPeerPacket Log(const RtPeerRoute &route, int level2Type, const std::string &data);

    const std::vector<char> &Bytes() const { return _bytes; }
    const char *Data() const { return _bytes.data(); }
    int Length() const { return static_cast<int>(_bytes.size()); }

    // Router header fields; zero or empty for packets shorter than 120 bytes.
    int Class() const;
    int SubKind() const;
    std::string SourceUuid() const;
    std::string TargetUuid() const;
    int SourceType() const;
    int TargetType() const;
    int ModuleType() const;
    int RouterDataLen() const;
    // True for a control packet of the given sub-kind (kBdControl...).
    bool IsControl(int subKind) const;
    // The two UUIDs of a 200-byte handshake-success answer; empty for any other packet.
    std::string RouterUuid() const;
    std::string ServerPlatformUuid() const;
    // The payload of a normal packet (bytes from 272 to the end); empty for shorter packets.
    std::string Payload() const;

  private:
    const BdRouterHeader *Router() const;
    const BdHandShakeSuccessData *SuccessData() const;

    std::vector<char> _bytes;
};

#endif  // RT_TOOLS_RT_PEER_PACKET_H_
