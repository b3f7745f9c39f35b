#include "bd_netframwork/bd_client_connection.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_util.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_network.h"
#include "bd_netframwork/bd_packet.h"
#include "bd_netframwork/bd_packet_handler.h"
#include "bd_netframwork/bd_poll.h"
#include "bd_netframwork/bd_tls_handshake_counts.h"
#include "bd_netframwork/bd_work_thread.h"
#include "bd_netframwork/bd_work_thread_manager.h"

BD_LOG_SOURCE_FILE("src/bd_netframwork/bd_client_connection")

namespace {

// Non-blocking, and no SIGPIPE from a peer that went away.
constexpr int kTransferFlags = MSG_DONTWAIT | MSG_NOSIGNAL;

}  // namespace

int BdClientConnection::Init(const std::string &address, int port, BdConnManager *manager) {
    return BdConnection::Init(address, port, manager);
}

int BdClientConnection::Init(int fd, BdConnManager *manager) {
    return BdConnection::Init(fd, manager);
}

int BdClientConnection::Destroy() {
    // Reaped with the handshake still pending and no failure of its own: the deadline passed.
    if (_initialised && _closeFlag == 0 && _network->TlsHandshakePending()) {
        g_bd_tls_handshakes.timed_out.Add();
        BD_LOG(BD_LOG_ERROR, BD_SOCKET_TIMEOUT,
               "TLS handshake timed out fd: " + std::to_string(_fd) + " ip: " + GetPeerIP() +
                   " connection close",
               "Destroy");
    }
    _readToEnd = false;
    return BdConnection::Destroy();
}

int BdClientConnection::StartServerTls(SSL_CTX *context) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    return _network->AcceptTls(context) == 0 ? BD_SUCCESS : BD_ERROR;
}

void BdClientConnection::OnTlsHandshakeDone() {}

int BdClientConnection::AdvanceTlsHandshake() {
    if (!_network->TlsHandshakePending()) {
        return BD_SUCCESS;
    }
    // Past the loop's share of handshake work this step waits for a later turn, after the
    // other peers' events.
    if (!_manager->TlsHandshakeAllowed()) {
        _manager->QueueInput(this);
        return BD_SOCKET_EAGAIN;
    }
    bool wantsWrite = false;
    std::string failure;
    const auto started = std::chrono::steady_clock::now();
    const int rc = _network->ContinueTlsHandshake(&wantsWrite, &failure);
    _manager->SpendOnTlsHandshake(std::chrono::steady_clock::now() - started);
    if (rc == BD_SOCKET_EAGAIN) {
        // Write interest only while the handshake itself has bytes the socket refused; the write
        // queue is empty until the peer is known.
        const unsigned int mask = wantsWrite ? kBdReadWriteInterest : kBdReadInterest;
        if (GetEventMask() != mask) {
            _manager->CtlFD(_fd, mask);
        }
        return rc;
    }
    if (rc != BD_SUCCESS) {
        g_bd_tls_handshakes.failed.Add();
        BD_LOG(BD_LOG_ERROR, BD_ERROR,
               "TLS handshake failed fd: " + std::to_string(_fd) + " ip: " + GetPeerIP() +
                   " reason: " + failure + " connection close",
               "AdvanceTlsHandshake");
        CloseSelf();
        return BD_ERROR;
    }
    if (GetEventMask() == kBdReadWriteInterest) {
        _manager->CtlFD(_fd, kBdReadInterest);
    }
    g_bd_tls_handshakes.completed.Add();
    _peerIdentity = BdPeerIdentity::FromCertificate(_network->PeerCertificate());
    BD_LOG(BD_LOG_DEBUG, 0,
           "TLS handshake done fd: " + std::to_string(_fd) + " certificate: " +
               (_peerIdentity.proven ? _peerIdentity.Describe() : std::string("none")),
           "");
    OnTlsHandshakeDone();
    return BD_SUCCESS;
}

void BdClientConnection::CloseAfterFailure(const char *prefix, int code, const char *function,
                                           int line) {
    std::string message = prefix + std::to_string(_fd) + " uuid: " + _uuid + " connection close";
    if (code == BD_PEER_CLOSE_CONNECTION) {
        BD_LOG(BD_LOG_DEBUG, 0, message, "");
    } else {
        BdLogEntry(BD_LOG_ERROR, code, message, kBdLogSourceFile, line, function);
    }
    CloseSelf(code == BD_PEER_CLOSE_CONNECTION ? kClosePeer : kCloseError);
}

bool BdClientConnection::UsesTls() const {
    return _network != nullptr && _network->UsesTls();
}

int BdClientConnection::OnIn(epoll_event *event) {
    if (!_initialised) {
        BD_LOG(BD_LOG_DEBUG, 0, "Connection not init", "");
        return BD_OBJECT_NOT_INIT;
    }
    // Remembered even when nothing is read now: the mark is not repeated for a later turn.
    if (event != nullptr && (event->events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        _readToEnd = true;
    }
    // Held back by the manager, or already due to be read later this turn: the edge is left to
    // the input-ready list.
    if (_manager->InputPaused(*this) || _manager->InputQueued(*this)) {
        return BD_SOCKET_EAGAIN;
    }
    int rc = AdvanceTlsHandshake();
    if (rc != BD_SUCCESS) {
        return rc;
    }
    _slicePacketsLeft = kReadSlicePackets;
    int sliceBytesLeft = _manager->ReadSliceBytes();
    bool drained = false;
    // Packets left in the buffer by the last slice come before new bytes.
    rc = ExtractPackets(0);
    while (rc == BD_SUCCESS) {
        if (_slicePacketsLeft == 0 || sliceBytesLeft == 0 || _manager->InputPaused(*this)) {
            if (!_manager->InputPaused(*this)) {
                _manager->QueueInput(this);
            }
            ShrinkReadBuffer();
            return BD_SUCCESS;
        }
        if (drained) {
            rc = BD_SOCKET_EAGAIN;
            break;
        }
        int wanted = std::min(_readBufferCapacity - _bytesHeld, sliceBytesLeft);
        int received = 0;
        rc = _network->OriginRecv(wanted, kTransferFlags, _readBuffer + _bytesHeld, &received);
        if (rc == BD_SOCKET_EINTR) {
            rc = BD_SUCCESS;
            continue;
        }
        if (rc != BD_SUCCESS) {
            break;
        }
        sliceBytesLeft -= received;
        _manager->CountRead(received);
        rc = ExtractPackets(received);
        // A short read found the socket empty; new bytes raise a new edge, a close its own mark.
        // A TLS session may hold decrypted bytes the socket no longer shows, so it reads on.
        drained = received < wanted && !_readToEnd && !_network->UsesTls();
    }
    if (rc == BD_NET_HEADER_MAGIC_INVALID || rc == BD_NET_PACKET_INVALID) {
        BD_LOG(BD_LOG_ERROR, rc, "recive invalid net packet from " + _uuid, "OnIn");
        rc = BD_ERROR;
    }
    // Drained: the edge is consumed and the connection waits for the next one.
    if (rc == BD_SOCKET_EAGAIN) {
        ShrinkReadBuffer();
        return rc;
    }
    CloseAfterFailure("OnIn() fd: ", rc, "OnIn", __LINE__);
    return rc;
}

int BdClientConnection::OnOut(epoll_event *) {
    if (!_initialised) {
        BD_LOG(BD_LOG_DEBUG, 0, "Connection not init", "");
        return BD_OBJECT_NOT_INIT;
    }
    const int handshake = AdvanceTlsHandshake();
    if (handshake != BD_SUCCESS) {
        return handshake;
    }
    // As much as one turn reads from a sender (a read slice's bytes or packets, and the rest of a
    // packet begun): at one packet a turn, a hub read a slice a turn outran its fastest targets,
    // whose queues then grew as if they were slow consumers.
    int sliceBytesLeft = kReadSliceBytes;
    int rc = BD_SUCCESS;
    for (int packets = 0; packets < kReadSlicePackets && sliceBytesLeft > 0; ++packets) {
        // At the end of a stop only the packet under way is finished, so nobody gets part of one.
        // The item stays at the front while it is sent; the lock is not held during the send.
        char *data = nullptr;
        int length = 0;
        if ((_sendOffset == 0 && _manager->FinishingOnly()) ||
            !PeekWriteQueueItem(&data, &length)) {
            return packets > 0 ? BD_SUCCESS : BD_QUEUE_EMPTY;
        }
        if (data == nullptr || length < 1) {
            DropWriteQueueItem();
            BD_LOG(BD_LOG_ERROR, BD_CONNECTION_WRITE_ITEM_INVALID, "invalid packet in write queue",
                   "OnOut");
            return BD_CONNECTION_WRITE_ITEM_INVALID;
        }
        // Packets that follow in this turn ride with this one: sent one by one, each small one
        // would wait for the peer's delayed acknowledgement of the one before.
        const bool more = packets + 1 < kReadSlicePackets && sliceBytesLeft > length &&
                          QueuedBytes() > length && !HoldsReservedSlot() &&
                          !_manager->FinishingOnly();
        rc = SendFront(data, length, more);
        if (rc != BD_SUCCESS || _sendOffset != 0) {
            break;
        }
        sliceBytesLeft -= length;
        DropWriteQueueItem();
    }
    if (rc == BD_SUCCESS || rc == BD_SOCKET_EAGAIN) {
        return rc;
    }
    // The unsent item stays queued; Destroy frees it.
    CloseAfterFailure("OnWrite() fd: ", rc, "OnOut", __LINE__);
    return rc;
}

int BdClientConnection::SendFront(const char *data, int length, bool more) {
    const int flags = more ? kTransferFlags | MSG_MORE : kTransferFlags;
    for (;;) {
        int sent = 0;
        const int rc = _network->OriginSend(data + _sendOffset, length - _sendOffset, flags, &sent);
        if (rc == BD_SOCKET_EINTR) {
            continue;
        }
        if (rc == BD_SOCKET_EAGAIN) {
            ArmWriteInterest();
            return rc;
        }
        if (rc != BD_SUCCESS) {
            return rc;
        }
        _manager->StartWriteWait(*this);
        _sendOffset += sent;
        if (_sendOffset > length) {
            return BD_ERROR;
        }
        if (_sendOffset == length) {
            _sendOffset = 0;
        } else {
            ArmWriteInterest();  // the socket's buffer is full; the rest waits for the next edge
        }
        return BD_SUCCESS;
    }
}

int BdClientConnection::OnErr(epoll_event *) {
    BD_LOG(BD_LOG_DEBUG, 0,
           "OnErr() fd: " + std::to_string(_fd) + " uuid: " + _uuid + " connection close", "");
    CloseSelf();
    return BD_SUCCESS;
}

int BdClientConnection::ParsePacket(const char *data, int length) {
    if (data == nullptr || length <= 0) {
        return BD_PARAMETER_INVALID;
    }
    const BdRouterHeader *router = nullptr;
    if (BdPacketHandler::GetPacketRouterHeader(data, length, &router) != BD_SUCCESS) {
        return BD_NET_HEADER_INCOMPLETE;
    }
    switch (router->message_level1_type) {
        case kBdMessageControl:
            if (router->message_level2_type == kBdControlHandShakeSuccess) {
                HandleHandShakeSuccessAckPacket(data, length);
            }
            break;
        case kBdMessageNormal:
            HandleNormalPacket(data, length);
            break;
        default:
            HandleOtherPacket(data, length);
            break;
    }
    return BD_SUCCESS;
}

template <typename Build>
int BdClientConnection::AnswerRequest(const char *request, int length, const char *failureMessage,
                                      Build build, const char *function, int line) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    if (request == nullptr || length < 1) {
        return BD_PARAMETER_INVALID;
    }
    // The builders only read the request, so the handler reads it in place rather than a copy.
    BdPacketHandler handler;
    if (handler.InitPointer(const_cast<char *>(request), length) != BD_SUCCESS) {
        return BD_ERROR;
    }
    char *answer = nullptr;
    int answerLength = 0;
    int rc = build(handler, &answer, &answerLength);
    handler.Destroy();
    if (rc != BD_SUCCESS) {
        if (failureMessage != nullptr) {
            BdLogEntry(BD_LOG_ERROR, rc, failureMessage, kBdLogSourceFile, line, function);
        }
        return rc;
    }
    return PutWriteQueueItem(answer, answerLength);
}

int BdClientConnection::PackAndSendServerNotReadyAckPacket(int sourceType, const char *request,
                                                           int length) {
    std::string self = _manager != nullptr ? _manager->GetCurrentProcessUUID() : std::string();
    return AnswerRequest(
        request, length, "create server not ready packet error",
        [&](BdPacketHandler &handler, char **out, int *outLength) {
            return handler.CreateServerNotReadyPacket(self, sourceType, out, outLength);
        },
        "PackAndSendServerNotReadyAckPacket", __LINE__);
}

int BdClientConnection::PackAndSendHandShakeSuccessAckPacket(int sourceType, const char *request,
                                                             int length) {
    std::string self = _manager != nullptr ? _manager->GetCurrentProcessUUID() : std::string();
    std::string platform = _manager != nullptr ? _manager->GetPTServerUUID() : std::string();
    return AnswerRequest(
        request, length, "create handshake packet error",
        [&](BdPacketHandler &handler, char **out, int *outLength) {
            return handler.CreateHandShakeSuccessPacket(self, sourceType, self, platform, out,
                                                        outLength);
        },
        "PackAndSendHandShakeSuccessAckPacket", __LINE__);
}

int BdClientConnection::PackAndSendOpIdPacket(const char *request, int length, long opId) {
    return AnswerRequest(
        request, length, nullptr,
        [&](BdPacketHandler &handler, char **out, int *outLength) {
            return handler.CreateOpIdPacket(opId, out, outLength);
        },
        "PackAndSendOpIdPacket", __LINE__);
}

int BdClientConnection::PackAndSendInvalidDataAckPacket(int sourceType) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    char *answer = static_cast<char *>(calloc(1, kBdControlPacketLen));
    if (answer == nullptr) {
        BD_LOG(BD_LOG_ERROR, BD_MEMORY_ERROR, "memory allocate failed",
               "PackAndSendInvalidDataAckPacket");
        return BD_MEMORY_ERROR;
    }
    int rc = BdPacketHandler::PackHeader(answer, kBdControlPacketLen,
                                         kBdControlPacketLen - kBdRouterHeaderOffset, 0,
                                         static_cast<int>(kBdPacketMagic));
    if (rc != BD_SUCCESS) {
        free(answer);
        BD_LOG(BD_LOG_ERROR, rc, "pack invalid data ack packet header failed",
               "PackAndSendInvalidDataAckPacket");
        return rc;
    }
    rc = BdPacketHandler::PackRouterHeader(answer, kBdControlPacketLen, 0,
                                           _manager->GetCurrentProcessUUID(), _uuid, sourceType, 0,
                                           0, kBdMessageControl, kBdControlInvalidData);
    if (rc != BD_SUCCESS) {
        free(answer);
        BD_LOG(BD_LOG_ERROR, rc, "pack invalid data ack packet router header failed",
               "PackAndSendInvalidDataAckPacket");
        return rc;
    }
    return PutWriteQueueItem(answer, kBdControlPacketLen);
}

int BdClientConnection::PackAndSendTargetConnLostPacket(int sourceType, const char *request,
                                                        int length) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    if (request == nullptr || length < 1) {
        return BD_PARAMETER_INVALID;
    }
    // The answer is the request itself with its router header rewritten, in a block of its own
    // (for a long request, the read buffer it filled); the header is read before it is rewritten.
    char *answer = PacketBlock(request, length);
    if (answer == nullptr) {
        BD_LOG(BD_LOG_ERROR, BD_MEMORY_ERROR, "initialize packet handler failed",
               "PackAndSendTargetConnLostPacket");
        return BD_MEMORY_ERROR;
    }
    const BdRouterHeader *original = nullptr;
    int rc = BdPacketHandler::GetPacketRouterHeader(answer, length, &original);
    if (rc != BD_SUCCESS) {
        free(answer);
        BD_LOG(BD_LOG_ERROR, rc, "get packet router header pointer from original packet failed",
               "PackAndSendTargetConnLostPacket");
        return rc;
    }
    // The answer goes back to the sender, from the peer it could not reach.
    rc = BdPacketHandler::PackRouterHeader(
        answer, length, original->data_len, BdPacketText(original->target_uuid),
        BdPacketText(original->source_uuid), sourceType, original->source_type,
        original->module_type, kBdMessageControl, kBdControlTargetConnLost);
    if (rc != BD_SUCCESS) {
        free(answer);
        BD_LOG(BD_LOG_ERROR, rc, "pack connection lost packet router header failed",
               "PackAndSendTargetConnLostPacket");
        return rc;
    }
    return PutWriteQueueItem(answer, length);
}

int BdClientConnection::HandleHandShakeSuccessAckPacket(const char *data, int length) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    if (data == nullptr || length <= 0) {
        return BD_PARAMETER_INVALID;
    }
    if (length != kBdHandShakeSuccessPacketLen) {
        return BD_NET_PACKET_INVALID;
    }
    BdHandShakeSuccessData success;
    memcpy(&success, data + kBdBodyOffset, sizeof(success));
    _manager->SetPTServerUUID(BdPacketText(success.server_platform_uuid));
    _manager->SetRemoteServerFD(_fd);
    return BD_SUCCESS;
}

int BdClientConnection::HandleNormalPacket(const char *data, int length) {
    if (data == nullptr || length < 1) {
        return BD_PARAMETER_INVALID;
    }
    const BdModuleHeader *module = nullptr;
    if (BdPacketHandler::GetPacketModuleHeader(data, length, &module) != BD_SUCCESS) {
        return BD_NET_PACKET_INVALID;
    }
    if (module->target_thread_uuid[0] != '\0') {
        HandlePushToThreadPacket(BdPacketText(module->target_thread_uuid), data, length);
        return BD_SUCCESS;
    }
    switch (module->opcode_level) {
        case kBdOpcodeLevelPublic:
            return HandlePublicPacket(module->opcode_type, module->opcode, data, length);
        case kBdOpcodeLevelPrivate:
            return HandlePrivatePacket(module->opcode_type, module->opcode, data, length);
        default:
            break;
    }
    const BdRouterHeader *router =
        reinterpret_cast<const BdRouterHeader *>(data + kBdRouterHeaderOffset);
    BD_LOG(BD_LOG_ERROR, BD_NET_PACKET_INVALID,
           "recive an invalid packet from " + BdPacketText(router->source_uuid) +
               ", source type: " + std::to_string(router->source_type) +
               ", message mode type: " + std::to_string(module->message_mode_type) +
               ", opcode level: " + std::to_string(module->opcode_level) + ", opcode type: " +
               std::to_string(module->opcode_type) + ", opcode: " + std::to_string(module->opcode),
           "HandleNormalPacket");
    return BD_NET_PACKET_INVALID;
}

int BdClientConnection::HandlePublicPacket(int, int, const char *, int) {
    return BD_SUCCESS;
}

int BdClientConnection::HandlePrivatePacket(int, int, const char *, int) {
    return BD_SUCCESS;
}

int BdClientConnection::HandleOtherPacket(const char *, int) {
    return BD_NET_PACKET_INVALID;
}

int BdClientConnection::HandlePushToThreadPacket(const std::string &threadUuid, const char *data,
                                                 int length) {
    if (threadUuid.empty() || data == nullptr || length < 1) {
        return BD_PARAMETER_INVALID;
    }
    if (!_workThreadsEnabled || _workThreadManager == nullptr) {
        return BD_OBJECT_NOT_INIT;
    }
    BdWorkThread *thread = nullptr;
    int rc = _workThreadManager->QueryThreadObjFromThreadUuid(threadUuid, &thread);
    if (rc != BD_SUCCESS) {
        return rc;
    }
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(length)));
    if (copy == nullptr) {
        return BD_MEMORY_ERROR;
    }
    memcpy(copy, data, static_cast<size_t>(length));
    rc = thread->InputPacket(copy, length);
    if (rc != BD_SUCCESS) {
        BD_LOG(BD_LOG_ERROR, rc, "push packet to work thread error", "HandlePushToThreadPacket");
        free(copy);
    }
    return rc;
}

int BdClientConnection::PackAndSendHandShakePacket(int moduleType, int sourceType, int targetType,
                                                   int level2Type, int auxValue) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    char *packet = static_cast<char *>(calloc(1, kBdHandShakePacketLen));
    if (packet == nullptr) {
        return BD_MEMORY_ERROR;
    }
    std::string self = _manager->GetCurrentProcessUUID();
    int rc = BdPacketHandler::PackHeader(packet, kBdHandShakePacketLen,
                                         kBdHandShakePacketLen - kBdRouterHeaderOffset, 0,
                                         static_cast<int>(kBdPacketMagic));
    if (rc == BD_SUCCESS) {
        rc = BdPacketHandler::PackRouterHeader(
            packet, kBdHandShakePacketLen, kBdHandShakePacketLen - kBdBodyOffset, self, "",
            sourceType, targetType, moduleType, kBdMessageHandShake, level2Type);
    }
    if (rc == BD_SUCCESS) {
        rc = BdPacketHandler::PackHandShakePacket(
            packet, kBdHandShakePacketLen, self, "", BdUtil::GetOSType(), BdUtil::GetOSVersion(),
            BdUtil::GetProcessType(), BdUtil::GetHostName(), auxValue, _manager->GetNodeUuid());
    }
    if (rc != BD_SUCCESS) {
        free(packet);
        return rc;
    }
    return PutWriteQueueItem(packet, kBdHandShakePacketLen);
}
