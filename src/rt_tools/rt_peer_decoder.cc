#include "rt_tools/rt_peer_decoder.h"

#include <initializer_list>
#include <memory>
#include <sstream>

#include "bd_netframwork/bd_packet_handler.h"

namespace {

// The packet's shape when it is too short to carry a router header.
const char *ShortShape(int length) {
    return length == kBdKeepAlivePacketLen ? "keep-alive" : "malformed";
}

bool ParseJson(const std::string &text, Json::Value *value) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), value, &errors);
}

Json::Value ModuleJson(const BdModuleHeader &module) {
    Json::Value json(Json::objectValue);
    json["reference_uuid"] = BdPacketText(module.reference_uuid);
    json["source_thread_uuid"] = BdPacketText(module.source_thread_uuid);
    json["target_thread_uuid"] = BdPacketText(module.target_thread_uuid);
    json["message_mode_type"] = module.message_mode_type;
    json["aux_value_1"] = module.aux_value_1;
    json["aux_value_2"] = module.aux_value_2;
    json["opcode_level"] = module.opcode_level;
    json["opcode_type"] = module.opcode_type;
    json["opcode"] = module.opcode;
    json["data_len"] = module.data_len;
    return json;
}

Json::Value HandShakeJson(const BdHandShakePacket &data) {
    Json::Value json(Json::objectValue);
    json["uuid"] = BdPacketText(data.uuid);
    json["aux_value"] = data.aux_value;
    json["aux_text"] = BdPacketText(data.aux_text);
    json["os_type"] = BdPacketText(data.os_type);
    json["os_version"] = BdPacketText(data.os_version);
    json["process_type"] = BdPacketText(data.process_type);
    json["hostname"] = BdPacketText(data.hostname);
    json["node_uuid"] = BdPacketText(data.node_uuid);
    return json;
}

// Bytes after the router header, as text.
std::string Body(const RtPeerPacket &packet) {
    return std::string(packet.Data() + kBdBodyOffset, packet.Data() + packet.Length());
}

// The fields of a decoded body, one line, in their order on the wire; an empty text shows as
// "(empty)" so that the columns stay readable.
void AppendFields(std::ostringstream &out, const Json::Value &object,
                  std::initializer_list<const char *> keys) {
    out << ' ';
    for (const char *key : keys) {
        const Json::Value &value = object[key];
        std::string shown = value.isString() ? value.asString() : std::to_string(value.asInt());
        out << ' ' << key << ' ' << (shown.empty() ? "(empty)" : shown);
    }
    out << '\n';
}

}  // namespace

const char *RtPeerDecoder::ClassName(int level1Type) {
    switch (level1Type) {
        case kBdMessageControl:
            return "control";
        case kBdMessageHandShake:
            return "handshake";
        case kBdMessageNormal:
            return "normal";
        case kBdMessageLog:
            return "log";
        default:
            return "unknown";
    }
}

const char *RtPeerDecoder::SubKindName(int level1Type, int level2Type) {
    static const char *const kControl[] = {"handshake-success", "server-not-ready",
                                           "target-connection-lost", "invalid-data"};
    static const char *const kHandShake[] = {"client", "module-server", "server-platform"};
    static const char *const kLog[] = {"log-1", "log-2"};
    switch (level1Type) {
        case kBdMessageControl:
            return level2Type >= 1 && level2Type <= 4 ? kControl[level2Type - 1] : "unknown";
        case kBdMessageHandShake:
            return level2Type >= 1 && level2Type <= 3 ? kHandShake[level2Type - 1] : "unknown";
        case kBdMessageNormal:
            return level2Type == kBdNormalSubKind ? "normal" : "unknown";
        case kBdMessageLog:
            return level2Type >= 1 && level2Type <= 2 ? kLog[level2Type - 1] : "unknown";
        default:
            return "unknown";
    }
}

Json::Value RtPeerDecoder::ToJson(const RtPeerPacket &packet) {
    Json::Value json(Json::objectValue);
    json["length"] = packet.Length();
    if (packet.Length() < kBdControlPacketLen) {
        json["class_name"] = ShortShape(packet.Length());
        return json;
    }
    const int level1 = packet.Class();
    json["class"] = level1;
    json["class_name"] = ClassName(level1);
    json["sub_kind"] = packet.SubKind();
    json["sub_kind_name"] = SubKindName(level1, packet.SubKind());
    json["source_uuid"] = packet.SourceUuid();
    json["target_uuid"] = packet.TargetUuid();
    json["source_type"] = packet.SourceType();
    json["target_type"] = packet.TargetType();
    json["module_type"] = packet.ModuleType();
    json["data_len"] = packet.RouterDataLen();

    const BdModuleHeader *module = nullptr;
    const BdHandShakePacket *handShake = nullptr;
    if (packet.IsControl(kBdControlHandShakeSuccess)) {
        json["router_uuid"] = packet.RouterUuid();
        json["server_platform_uuid"] = packet.ServerPlatformUuid();
    } else if (level1 == kBdMessageHandShake &&
               BdPacketHandler::GetPacketHandshakeData(packet.Data(), packet.Length(),
                                                       &handShake) == 0) {
        json["handshake"] = HandShakeJson(*handShake);
    } else if (level1 == kBdMessageLog) {
        json["log_data"] = Body(packet);
    } else if ((level1 == kBdMessageNormal || packet.IsControl(kBdControlTargetConnLost)) &&
               BdPacketHandler::GetPacketModuleHeader(packet.Data(), packet.Length(), &module) ==
                   0) {
        // A target-connection-lost answer carries the undelivered packet's body unchanged.
        json["module"] = ModuleJson(*module);
        const std::string payload = packet.Payload();
        Json::Value value;
        if (ParseJson(payload, &value)) {
            json["payload"] = value;
        } else {
            json["payload_text"] = payload;
        }
    } else if (packet.Length() > kBdControlPacketLen) {
        json["body_text"] = Body(packet);
    }
    return json;
}

std::string RtPeerDecoder::ToText(const RtPeerPacket &packet) {
    const Json::Value json = ToJson(packet);
    std::ostringstream out;
    if (!json.isMember("class")) {
        out << json["class_name"].asString() << "  " << packet.Length() << " bytes\n";
        return out.str();
    }
    out << json["class_name"].asString() << '/' << json["sub_kind_name"].asString() << "  "
        << packet.Length() << " bytes  (class " << packet.Class() << ", sub-kind "
        << packet.SubKind() << ")\n";
    out << "  source_uuid " << packet.SourceUuid() << "  source_type " << packet.SourceType()
        << '\n';
    out << "  target_uuid " << packet.TargetUuid() << "  target_type " << packet.TargetType()
        << '\n';
    out << "  module_type " << packet.ModuleType() << "  data_len " << packet.RouterDataLen()
        << '\n';
    if (json.isMember("router_uuid")) {
        out << "  router_uuid " << json["router_uuid"].asString() << '\n';
        out << "  server_platform_uuid " << json["server_platform_uuid"].asString() << '\n';
    }
    if (json.isMember("handshake")) {
        AppendFields(out, json["handshake"],
                     {"uuid", "aux_value", "aux_text", "os_type", "os_version", "process_type",
                      "hostname", "node_uuid"});
    }
    if (json.isMember("module")) {
        const Json::Value &module = json["module"];
        AppendFields(out, module, {"reference_uuid", "source_thread_uuid", "target_thread_uuid"});
        AppendFields(out, module,
                     {"message_mode_type", "aux_value_1", "aux_value_2", "opcode_level",
                      "opcode_type", "opcode", "data_len"});
    }
    if (json.isMember("payload")) {
        Json::FastWriter writer;
        out << "  payload " << writer.write(json["payload"]);
    }
    for (const char *key : {"payload_text", "log_data", "body_text"}) {
        if (json.isMember(key)) {
            out << "  " << key << ' ' << json[key].asString() << '\n';
        }
    }
    return out.str();
}
