#include "rt_server/rt_server_accepted_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_util.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_packet_handler.h"
#include "rt_server/rt_server_error.h"
#include "rt_server/rt_server_timeline.h"

BD_LOG_SOURCE_FILE("rt_server_accepted_connection")

namespace {

// What the three handshake kinds log, and the handler each entry names; indexed by kind.
struct HandShakeTexts {
    const char *handler;          // the function log readers know the kind's entries by
    const char *registered;       // debug, followed by the UUID
    const char *data_missing;     // the packet is too short for the handshake data
    const char *database_failed;  // a row could not be written
};

const HandShakeTexts &TextsFor(int kind) {
    static const HandShakeTexts kClient = {
        "HandleClientHandShakePacket",
        "add client to map, uuid: ", "get handshake packet pointer failed",
        "update database for client failed"};
    static const HandShakeTexts kModuleServer = {
        "HandleServerModuleShakePacket",
        "add server module to map, uuid: ", "get handshake packet pointer failed",
        "update database failed for server module"};
    static const HandShakeTexts kServerPlatform = {
        "HandleServerPlatformHandShakePacket",
        "add server platform to map, uuid: ", "get handshake packet data pointer failed",
        "update database for server platform failed"};
    switch (kind) {
        case kBdHandShakeClient:
            return kClient;
        case kBdHandShakeModuleServer:
            return kModuleServer;
        default:
            return kServerPlatform;
    }
}

}  // namespace

bool RtServerAcceptedConnection::AdmitPacket(const char *packet, int available, int total) {
    // Whatever is not forwarded is answered, if at all, on this connection's own queue.
    BdConnection *target = this;
    if (available >= kBdBodyOffset) {
        const auto *router =
            reinterpret_cast<const BdRouterHeader *>(packet + kBdRouterHeaderOffset);
        BdConnection *found = nullptr;
        if ((router->message_level1_type == kBdMessageNormal ||
             router->message_level1_type == kBdMessageLog) &&
            _manager->QueryConnFromUUID(BdPacketText(router->target_uuid), &found) == BD_SUCCESS) {
            target = found;
        }
    }
    _admittedTarget = {target->GetFD(), target->GetSerial()};
    return _manager->AdmitPacket(this, target, total);
}

BdConnection *RtServerAcceptedConnection::TargetOf(const std::string &uuid) {
    // The target admission found, while it is still registered: bindings move only by
    // destroying the connection that held them, which its serial would show.
    BdConnection *target = nullptr;
    if (_manager->QueryConnFromFD(_admittedTarget.first, &target) == BD_SUCCESS && target != this &&
        target->GetSerial() == _admittedTarget.second) {
        return target;
    }
    return _manager->QueryConnFromUUID(uuid, &target) == BD_SUCCESS ? target : nullptr;
}

int RtServerAcceptedConnection::ParsePacket(const char *packet, int length) {
    const int result = DispatchPacket(packet, length);
    // What admission found was this packet's; a packet handed over otherwise was not admitted.
    _admittedTarget = {-1, 0};
    return result;
}

int RtServerAcceptedConnection::DispatchPacket(const char *packet, int length) {
    if (packet == nullptr || length <= 0) {
        return BD_PARAMETER_INVALID;
    }
    if (length < kBdKeepAlivePacketLen) {
        return BD_NET_HEADER_INCOMPLETE;
    }

    // A refused claim closed the connection; whatever followed it in the same read is dropped.
    if (GetCloseFlag() == 1) {
        return BD_SUCCESS;
    }

    // Any packet, a keep-alive included, proves the peer is alive.
    SetTimeout(_manager->NowSeconds() + kIdleTimeoutSeconds);
    if (length == kBdKeepAlivePacketLen) {
        return BD_SUCCESS;
    }

    const BdRouterHeader *router = nullptr;
    if (BdPacketHandler::GetPacketRouterHeader(packet, length, &router) != BD_SUCCESS) {
        return BD_NET_HEADER_INCOMPLETE;
    }

    // Until a server platform has registered, only its handshake and the web side get through.
    if (_manager->GetServerReadyFlag() == 0 &&
        router->message_level2_type != kBdHandShakeServerPlatform &&
        router->source_type != kBdPeerTypeWeb) {
        return AnswerNotReady(packet, length, router->message_level1_type == kBdMessageHandShake);
    }

    switch (router->message_level1_type) {
        case kBdMessageHandShake:
            return HandleHandshakePacket(router->message_level2_type, packet, length);
        case kBdMessageNormal:
        case kBdMessageLog:
            return RoutePacket(*router, packet, length);
        default:
            // Control packets and unknown classes are not for the router to answer.
            return BD_SUCCESS;
    }
}

static_assert(kBdHandShakeClient == kRtPeerClient &&
                  kBdHandShakeModuleServer == kRtPeerModuleServer &&
                  kBdHandShakeServerPlatform == kRtPeerPlatform,
              "handshake kinds index the peer kinds");

int RtServerAcceptedConnection::AnswerNotReady(const char *packet, int length, bool handshake) {
    if (handshake) {
        g_rt_server_metrics.handshakes_not_ready.Add();
    }
    g_rt_server_metrics.not_ready_answers.Add();
    return PackAndSendServerNotReadyAckPacket(kBdPeerTypeRouter, packet, length);
}

int RtServerAcceptedConnection::RoutePacket(const BdRouterHeader &router, const char *packet,
                                            int length) {
    if (router.source_type == kBdPeerTypeWeb && !BindWebPeer(router)) {
        return BD_NET_PACKET_INVALID;
    }

    const int result = Forward(router, packet, length);
    const std::string message = "transmit common packet, ret: " + std::to_string(result) +
                                ", current fd: " + std::to_string(GetFD());
    if (result == BD_SUCCESS) {
        BD_LOG(BD_LOG_DEBUG, 0, message, "");
    } else {
        BD_LOG(BD_LOG_ERROR, result, message, "ParsePacket");
    }
    return result;
}

bool RtServerAcceptedConnection::BindWebPeer(const BdRouterHeader &router) {
    const std::string source = BdPacketText(router.source_uuid);
    BD_LOG(BD_LOG_DEBUG, 0,
           "recive packet from web, uuid : " + source +
               ", target uuid :" + BdPacketText(router.target_uuid),
           "");
    if (!MayClaim(source, BdPeerIdentity::kWeb)) {
        return false;
    }
    // Without a UUID there is nothing to bind, and no older connection can be named by it.
    if (source.empty()) {
        return true;
    }

    const int fd = GetFD();
    int boundFd = -1;
    const int rc = _manager->QueryFDFromUUID(source, &boundFd);
    if (rc == BD_SUCCESS && boundFd == fd) {
        return true;
    }
    if (rc != BD_SUCCESS && rc != BD_SOCKET_FD_NOT_EXIST) {
        return true;
    }
    const int bound = _manager->AddWebMapUUIDToFD(source, fd);
    if (bound == BD_OBJECT_REPEAT) {
        // Web traffic needs no handshake, so it must not take a hand-shaken peer's UUID (and its
        // connection) away; the packet is still forwarded.
        BD_LOG(BD_LOG_ERROR, bound,
               "web packet names uuid " + source + " held by a hand-shaken peer, fd " +
                   std::to_string(boundFd) + " keeps it, current fd: " + std::to_string(fd),
               "ParsePacket");
    } else if (bound != BD_SUCCESS) {
        LogUuidRefused(source, bound);
    } else {
        if (_peerKind == kRtPeerUnknown) {
            _peerKind = kRtPeerWeb;
        }
        if (rc == BD_SUCCESS) {
            // The web side reconnected: its older connection went at once, and since the web peer
            // is still here it is not reported lost.
            BD_LOG(BD_LOG_DEBUG, 0,
                   "web connection fd change from " + std::to_string(boundFd) + " to " +
                       std::to_string(fd),
                   "");
        }
    }
    return true;
}

void RtServerAcceptedConnection::LogUuidRefused(const std::string &uuid, int code) {
    BD_LOG(BD_LOG_ERROR, code,
           "uuid " + uuid + " refused, this connection holds the most uuids allowed, current fd: " +
               std::to_string(GetFD()),
           "ParsePacket");
}

bool RtServerAcceptedConnection::MayClaim(const std::string &uuid, unsigned kind) {
    const BdPeerIdentity &identity = GetPeerIdentity();
    std::string refusal;
    if (!identity.Permits(uuid, kind)) {
        refusal = "certificate names " + identity.Describe();
    } else if (!identity.proven) {
        BdConnection *holder = nullptr;
        if (_manager->QueryConnFromUUID(uuid, &holder) == BD_SUCCESS && holder != this &&
            holder->GetPeerIdentity().proven) {
            refusal = "uuid held by certificate " + holder->GetPeerIdentity().Describe();
        }
    }
    if (refusal.empty()) {
        return true;
    }
    BD_LOG(BD_LOG_ERROR, BD_NET_PACKET_INVALID,
           "refused claim fd: " + std::to_string(GetFD()) + " ip: " + GetPeerIP() +
               ", claims uuid " + uuid + " as " + BdPeerIdentity::KindName(kind) + ", " + refusal +
               ", connection close",
           "MayClaim");
    CloseSelf();
    return false;
}

void RtServerAcceptedConnection::OnTlsHandshakeDone() {
    SetTimeout(_manager->NowSeconds() + kIdleTimeoutSeconds);
}

int RtServerAcceptedConnection::HandleNormalPacket(const char *packet, int length) {
    const BdRouterHeader *router = nullptr;
    if (packet == nullptr ||
        BdPacketHandler::GetPacketRouterHeader(packet, length, &router) != BD_SUCCESS) {
        return BD_PARAMETER_INVALID;
    }
    return Forward(*router, packet, length);
}

int RtServerAcceptedConnection::Forward(const BdRouterHeader &router, const char *packet,
                                        int length) {
    const std::string target = BdPacketText(router.target_uuid);
    TraceForward(target);

    BdConnection *targetConnection = TargetOf(target);
    if (targetConnection == nullptr) {
        g_rt_server_metrics.target_lost_answers.Add();
        return PackAndSendTargetConnLostPacket(kBdPeerTypeRouter, packet, length);
    }
    // A target that is closing would only free the copy unsent.
    if (targetConnection->GetCloseFlag() == 1) {
        return BD_SUCCESS;
    }
    // The packet lives in this connection's read buffer only for this call, so the target's
    // queue gets a block of its own, which it owns from here on.
    char *copy = PacketBlock(packet, length);
    if (copy == nullptr) {
        return BD_MEMORY_ERROR;
    }
    // A refused copy stays ours: free it rather than leak it, and report the packet undelivered.
    const int queued = targetConnection->PutWriteQueueItem(copy, length);
    if (queued != BD_SUCCESS) {
        free(copy);
        return queued;
    }
    if (router.message_level1_type == kBdMessageLog) {
        g_rt_server_metrics.forwarded_log.Add();
        g_rt_server_metrics.forwarded_log_bytes.Add(length);
    } else {
        g_rt_server_metrics.forwarded_normal.Add();
        g_rt_server_metrics.forwarded_normal_bytes.Add(length);
    }
    return BD_SUCCESS;
}

void RtServerAcceptedConnection::TraceForward(const std::string &target) const {
    // UUIDs come from peers; the trace keeps one line per packet whatever they hold.
    if (BdUtil::HasControlChars(_uuid) || BdUtil::HasControlChars(target)) {
        BdLog::GetLogger()->WriteStdoutLine({"transmit packet from ",
                                             BdUtil::EscapeControlChars(_uuid), " to ",
                                             BdUtil::EscapeControlChars(target)});
    } else {
        BdLog::GetLogger()->WriteStdoutLine({"transmit packet from ", _uuid, " to ", target});
    }
}

int RtServerAcceptedConnection::HandleHandshakePacket(int level2Type, const char *packet,
                                                      int length) {
    if (packet == nullptr || length <= 0) {
        return BD_PARAMETER_INVALID;
    }
    switch (level2Type) {
        case kBdHandShakeClient:
            return HandleClientHandShakePacket(packet, length);
        case kBdHandShakeModuleServer:
            return HandleServerModuleShakePacket(packet, length);
        case kBdHandShakeServerPlatform:
            return HandleServerPlatformHandShakePacket(packet, length);
        default:
            BD_LOG(BD_LOG_ERROR, BD_PARAMETER_INVALID,
                   "recieve invalid packet from " + GetUUID() +
                       ", message_level2_type: " + std::to_string(level2Type),
                   "HandleHandshakePacket");
            return BD_PARAMETER_INVALID;
    }
}

int RtServerAcceptedConnection::HandleClientHandShakePacket(const char *packet, int length) {
    return RegisterPeer(kBdHandShakeClient, packet, length);
}

int RtServerAcceptedConnection::HandleServerModuleShakePacket(const char *packet, int length) {
    return RegisterPeer(kBdHandShakeModuleServer, packet, length);
}

int RtServerAcceptedConnection::HandleServerPlatformHandShakePacket(const char *packet,
                                                                    int length) {
    return RegisterPeer(kBdHandShakeServerPlatform, packet, length);
}

int RtServerAcceptedConnection::RegisterPeer(int kind, const char *packet, int length) {
    if (packet == nullptr || length <= 0) {
        return BD_PARAMETER_INVALID;
    }
    g_rt_server_timeline.Note(RtServerTimeline::kRead);
    const HandShakeTexts &texts = TextsFor(kind);

    // The packet stays in the read buffer for this whole call, so it is read in place.
    const BdRouterHeader *router = nullptr;
    int rc = BdPacketHandler::GetPacketRouterHeader(packet, length, &router);
    if (rc != BD_SUCCESS) {
        BD_LOG(BD_LOG_ERROR, rc, "get handshake packet router header pointer failed",
               texts.handler);
        return rc;
    }
    const BdHandShakePacket *data = nullptr;
    rc = BdPacketHandler::GetPacketHandshakeData(packet, length, &data);
    if (rc != BD_SUCCESS) {
        BD_LOG(BD_LOG_ERROR, rc, texts.data_missing, texts.handler);
        return rc;
    }

    const std::string uuid = BdPacketText(data->uuid);
    if (!MayClaim(uuid, BdPeerIdentity::KindOfHandShake(kind))) {
        return BD_NET_PACKET_INVALID;
    }
    const int fd = GetFD();
    BD_LOG(BD_LOG_DEBUG, 0, texts.registered + uuid + ", current fd: " + std::to_string(fd), "");
    // Binding writes the UUID into this connection. An older connection of the same UUID is closed
    // by the manager; the peer itself stays online. Peers rely on every handshake being answered:
    // a UUID that cannot be bound (an empty one) fails at its rows and is answered server-not-ready
    // like any failed write. Only the per-connection quota refuses the handshake itself; it too is
    // answered server-not-ready, and nothing is written.
    rc = _manager->AddMapUUIDToFD(uuid, fd);
    const bool overQuota = rc == BD_ERROR;
    if (overQuota) {
        LogUuidRefused(uuid, rc);
    }

    RtPendingAnswer pending{kind,       uuid,     std::string(packet, length), 0, false,
                            BD_SUCCESS, overQuota};
    ReserveWriteSlot();
    if (overQuota || _recordWriter == nullptr ||
        _recordWriter->WritePeerRecords(PeerRows(kind, *router, *data), this, &pending.ticket) !=
            BD_SUCCESS) {
        pending.done = true;
        pending.code = RT_DATABASE_OPERATION_ERROR;
    } else {
        g_rt_server_timeline.Note(RtServerTimeline::kQueued);
    }
    _pendingAnswers.push_back(std::move(pending));
    AnswerFinished();
    return BD_SUCCESS;
}

void RtServerAcceptedConnection::OnPeerRecordsWritten(uint64_t ticket, int code) {
    for (RtPendingAnswer &pending : _pendingAnswers) {
        if (pending.ticket == ticket && !pending.done) {
            pending.done = true;
            pending.code = code;
            break;
        }
    }
    AnswerFinished();
}

void RtServerAcceptedConnection::AnswerFinished() {
    while (!_pendingAnswers.empty() && _pendingAnswers.front().done) {
        const RtPendingAnswer pending = std::move(_pendingAnswers.front());
        _pendingAnswers.pop_front();
        AnswerInWriteSlot([this, &pending] { return Answer(pending); });
    }
}

int RtServerAcceptedConnection::Answer(const RtPendingAnswer &pending) {
    g_rt_server_timeline.Note(RtServerTimeline::kAnswered);
    const char *request = pending.request.data();
    const int length = static_cast<int>(pending.request.size());
    if (pending.code != BD_SUCCESS) {
        // The quota's refusal is logged already and wrote nothing.
        if (!pending.over_quota) {
            const HandShakeTexts &texts = TextsFor(pending.kind);
            BD_LOG(BD_LOG_ERROR, BD_SQL_QUERY_ERROR, texts.database_failed, texts.handler);
        }
        return AnswerNotReady(request, length, true);
    }
    // The router is ready from the moment the platform's rows are written.
    if (pending.kind == kBdHandShakeServerPlatform) {
        _manager->SetPTServerUUID(pending.uuid);
    }
    // The handshake kinds and the peer kinds are numbered alike.
    _peerKind = pending.kind;
    g_rt_server_metrics.handshakes_ok[pending.kind].Add();
    return PackAndSendHandShakeSuccessAckPacket(kBdPeerTypeRouter, request, length);
}

int RtServerAcceptedConnection::Destroy() {
    for (const RtPendingAnswer &pending : _pendingAnswers) {
        if (!pending.done && _recordWriter != nullptr) {
            _recordWriter->Forget(pending.ticket);
        }
    }
    _pendingAnswers.clear();
    if (_quota != nullptr) {
        _quota->Release(_address);
        _quota = nullptr;
    }
    return BdClientConnection::Destroy();
}

void RtServerAcceptedConnection::HandOver(RtHandoverConnection *handed) {
    handed->held_input = HeldInput();
    {
        BdMutexLocker lock(_writeQueueMutex);
        for (const _BD_SEND_ITEM &item : _writeQueue) {
            handed->queued.emplace_back(item.data != nullptr ? std::string(item.data, item.length)
                                                             : std::string());
        }
        handed->sent_of_front = _sendOffset;
    }
    handed->answers.assign(_pendingAnswers.begin(), _pendingAnswers.end());
}

int RtServerAcceptedConnection::TakeOver(const RtHandoverConnection &handed) {
    // Packets and slots go back in turn, so that each answer still goes out where its slot was;
    // the front packet perhaps partly sent. Each packet is copied once, into the block the queue
    // owns.
    const bool packetInFront = !handed.queued.empty() && !handed.queued.front().empty();
    int rc = RestoreHandedOver(handed.held_input, packetInFront ? handed.sent_of_front : 0,
                               static_cast<long>(handed.start_second));
    for (auto entry = handed.queued.begin(); entry != handed.queued.end() && rc == BD_SUCCESS;
         ++entry) {
        if (entry->empty()) {
            ReserveWriteSlot();
            continue;
        }
        char *copy = static_cast<char *>(malloc(entry->size()));
        if (copy == nullptr) {
            return BD_MEMORY_ERROR;
        }
        std::memcpy(copy, entry->data(), entry->size());
        rc = PutWriteQueueItem(copy, static_cast<int>(entry->size()));
        if (rc != BD_SUCCESS) {
            free(copy);
        }
    }
    _pendingAnswers.assign(handed.answers.begin(), handed.answers.end());
    for (const RtPendingAnswer &pending : _pendingAnswers) {
        if (!pending.done && _recordWriter != nullptr) {
            _recordWriter->Await(pending.ticket, this);
        }
    }
    AnswerFinished();
    return rc;
}

RtPeerRows RtServerAcceptedConnection::PeerRows(int kind, const BdRouterHeader &router,
                                                const BdHandShakePacket &data) {
    RtPeerRows rows;
    rows.kind = kind;
    if (kind == kBdHandShakeClient) {
        rows.agent.agent_uuid = BdPacketText(data.uuid);
        rows.agent.hostname = BdPacketText(data.hostname);
        rows.agent.ip = GetPeerIP();
        rows.agent.os_type = BdPacketText(data.os_type);
        rows.agent.os_version = BdPacketText(data.os_version);
        rows.agent.process_type = BdPacketText(data.process_type);
        return rows;
    }
    if (kind == kBdHandShakeModuleServer) {
        rows.node.node_uuid = BdPacketText(data.node_uuid);
        rows.node.ip = GetPeerIP();
        rows.node.host_name = BdPacketText(data.hostname);
        rows.node.os_type = BdPacketText(data.os_type);
        rows.node.os_version = BdPacketText(data.os_version);
        rows.node.process_type = BdPacketText(data.process_type);
    }
    rows.server.module_uuid = BdPacketText(data.uuid);
    rows.server.node_uuid = BdPacketText(data.node_uuid);
    rows.server.module_type = router.module_type;
    return rows;
}

std::string RtServerAcceptedConnection::PeerAddress() {
    if (_address == 0) {
        return GetPeerIP();
    }
    in_addr address{};
    address.s_addr = _address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof(text));
    return text;
}
