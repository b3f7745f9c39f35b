#ifndef RT_TOOLS_RT_PEER_DECODER_H_
#define RT_TOOLS_RT_PEER_DECODER_H_

#include <json/json.h>

#include <string>

#include "rt_tools/rt_peer_packet.h"

// Turns a received packet into what an operator reads: the class and sub-kind by name, both
// UUIDs, the types and lengths, the body of its class (module header and JSON payload, handshake
// data, handshake-success data, log data). Stateless; callable from any thread.
class RtPeerDecoder {
  public:
    // "control", "handshake", "normal", "log", or "unknown".
    static const char *ClassName(int level1Type);
    // The sub-kind's name within its class ("handshake-success", "server-platform", ...), or
    // "unknown".
    static const char *SubKindName(int level1Type, int level2Type);

    // One JSON object with every decoded field; a payload that parses as JSON is embedded as a
    // value, any other payload or log data as text.
    static Json::Value ToJson(const RtPeerPacket &packet);
    // A few indented lines, one field group per line, ending with a line feed.
    static std::string ToText(const RtPeerPacket &packet);
};

#endif  // RT_TOOLS_RT_PEER_DECODER_H_
