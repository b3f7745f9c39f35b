#include "rt_tools/rt_peer_session.h"

#include <algorithm>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"
#include "rt_tools/rt_peer_decoder.h"

namespace {

// A wait without an end is served in slices of this length.
const int kLongestSliceMs = 3600 * 1000;

int MillisecondsUntil(std::chrono::steady_clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        when - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, kLongestSliceMs));
}

}  // namespace

RtPeerSession::RtPeerSession(const RtPeerOptions &options, std::ostream &out, std::ostream &err)
    : options_(options), out_(out), err_(err) {}

int RtPeerSession::Run() {
    int status = Connect();
    if (status == kRtPeerExitOk && options_.kind != kRtPeerKindWeb)
        status = HandShake();
    if (status == kRtPeerExitOk && options_.send)
        status = SendAll();
    if (status == kRtPeerExitOk)
        status = Listen();
    return status;
}

int RtPeerSession::Connect() {
    const std::string where = options_.host + ":" + std::to_string(options_.port);
    if (options_.tls.enabled) {
        std::string failure;
        if (!tls_context_.Load(
                {options_.tls.ca_file, options_.tls.certificate_file, options_.tls.key_file},
                &failure)) {
            return Fail(kRtPeerExitFailure, failure);
        }
        client_.UseTls(tls_context_.Get());
    }
    const int rc = client_.Connect(options_.host, options_.port, options_.timeout_seconds * 1000);
    if (rc == BD_SOCKET_TIMEOUT)
        return Fail(kRtPeerExitTimeout, "time-out connecting to " + where);
    if (rc != BD_SUCCESS && !client_.TlsFailure().empty())
        return Fail(kRtPeerExitRefused,
                    "TLS handshake failed: " + where + ": " + client_.TlsFailure());
    if (rc != BD_SUCCESS)
        return Fail(kRtPeerExitRefused, "connection refused: " + where);
    next_keepalive_ = Clock::now() + std::chrono::seconds(options_.keepalive_seconds);
    return kRtPeerExitOk;
}

int RtPeerSession::HandShake() {
    RtPeerIdentity identity;
    identity.uuid = options_.uuid;
    identity.node_uuid = options_.node_uuid;
    identity.source_type = options_.source_type;
    identity.module_type = options_.module_type;
    const int rc = client_.Send(RtPeerPacket::HandShake(options_.kind, identity));
    if (rc != BD_SUCCESS)
        return Fail(kRtPeerExitClosed, "connection closed by the router while hand-shaking");

    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(options_.timeout_seconds);
    for (;;) {
        RtPeerPacket answer;
        const int received = client_.Receive(&answer, MillisecondsUntil(deadline));
        if (received != BD_SUCCESS)
            return ReceiveFailure(received, "waiting for the handshake answer");
        Show(answer);
        if (answer.IsControl(kBdControlServerNotReady))
            return refusal_;
        if (answer.IsControl(kBdControlHandShakeSuccess)) {
            platform_uuid_ = answer.ServerPlatformUuid();
            return kRtPeerExitOk;
        }
    }
}

int RtPeerSession::SendAll() {
    RtPeerRoute route;
    route.source_uuid = options_.uuid;
    route.target_uuid = options_.target_uuid.empty() ? platform_uuid_ : options_.target_uuid;
    route.source_type = options_.source_type;
    route.target_type = options_.target_type;
    route.module_type = options_.module_type;
    const RtPeerPacket packet = options_.log_kind != 0
                                    ? RtPeerPacket::Log(route, options_.log_kind, options_.payload)
                                    : RtPeerPacket::Normal(route, options_.payload);
    for (int i = 0; i < options_.count; ++i) {
        if (client_.Send(packet) != BD_SUCCESS)
            return Fail(kRtPeerExitClosed, "connection closed by the router while sending");
    }
    return kRtPeerExitOk;
}

int RtPeerSession::Listen() {
    const bool forever = options_.wait_seconds == RtPeerOptions::kWaitForever;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(forever ? 0 : options_.wait_seconds);
    int received = 0;
    while (options_.expect == 0 || received < options_.expect) {
        Clock::time_point until =
            forever ? Clock::now() + std::chrono::milliseconds(kLongestSliceMs) : deadline;
        if (options_.keepalive_seconds > 0)
            until = std::min(until, next_keepalive_);
        RtPeerPacket packet;
        const int rc = client_.Receive(&packet, MillisecondsUntil(until));
        if (rc == BD_SUCCESS) {
            Show(packet);
            ++received;
            continue;
        }
        if (rc != BD_RECV_TIMEOUT)
            return ReceiveFailure(rc, "listening");
        if (!forever && Clock::now() >= deadline)
            break;
        if (options_.keepalive_seconds > 0 && Clock::now() >= next_keepalive_) {
            if (client_.SendKeepAlive() != BD_SUCCESS)
                return Fail(kRtPeerExitClosed, "connection closed by the router");
            next_keepalive_ = Clock::now() + std::chrono::seconds(options_.keepalive_seconds);
        }
    }
    if (options_.expect > 0 && received < options_.expect) {
        return Fail(kRtPeerExitTimeout, std::to_string(received) + " of " +
                                            std::to_string(options_.expect) +
                                            " expected packets arrived");
    }
    return refusal_;
}

void RtPeerSession::Show(const RtPeerPacket &packet) {
    if (options_.json) {
        Json::FastWriter writer;
        out_ << writer.write(RtPeerDecoder::ToJson(packet));
    } else {
        out_ << RtPeerDecoder::ToText(packet);
    }
    out_.flush();
    if (refusal_ != kRtPeerExitOk)
        return;
    if (packet.IsControl(kBdControlServerNotReady)) {
        refusal_ = Fail(kRtPeerExitNotReady, "server not ready");
    } else if (packet.IsControl(kBdControlTargetConnLost)) {
        // The answer's source is the UUID that could not be reached.
        refusal_ = Fail(kRtPeerExitTargetLost, "target connection lost: " + packet.SourceUuid());
    }
}

int RtPeerSession::Fail(int status, const std::string &message) {
    err_ << "rt_peer: " << message << std::endl;
    return status;
}

int RtPeerSession::ReceiveFailure(int rc, const std::string &whileDoing) {
    if (rc == BD_RECV_TIMEOUT)
        return Fail(kRtPeerExitTimeout, "time-out " + whileDoing);
    if (rc == BD_PEER_CLOSE_CONNECTION)
        return Fail(kRtPeerExitClosed, "connection closed by the router");
    if (rc == BD_NET_HEADER_MAGIC_INVALID || rc == BD_NET_PACKET_INVALID)
        return Fail(kRtPeerExitFailure, "the router sent bytes that are not packets");
    return Fail(kRtPeerExitFailure, "receive failed while " + whileDoing);
}
