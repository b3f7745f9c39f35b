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
    : _options(options), _out(out), _err(err) {}

int RtPeerSession::Run() {
    int status = Connect();
    if (status == kRtPeerExitOk && _options.kind != kRtPeerKindWeb) {
        status = HandShake();
    }
    if (status == kRtPeerExitOk && _options.send) {
        status = SendAll();
    }
    if (status == kRtPeerExitOk) {
        status = Listen();
    }
    return status;
}

int RtPeerSession::Connect() {
    const std::string where = _options.host + ":" + std::to_string(_options.port);
    if (_options.tls.enabled) {
        std::string failure;
        if (!_tlsContext.Load(
                {_options.tls.ca_file, _options.tls.certificate_file, _options.tls.key_file},
                &failure)) {
            return Fail(kRtPeerExitFailure, failure);
        }
        _client.UseTls(_tlsContext.Get());
    }
    const int rc = _client.Connect(_options.host, _options.port, _options.timeout_seconds * 1000);
    if (rc == BD_SOCKET_TIMEOUT) {
        return Fail(kRtPeerExitTimeout, "time-out connecting to " + where);
    }
    if (rc != BD_SUCCESS && !_client.TlsFailure().empty()) {
        return Fail(kRtPeerExitRefused,
                    "TLS handshake failed: " + where + ": " + _client.TlsFailure());
    }
    if (rc != BD_SUCCESS) {
        return Fail(kRtPeerExitRefused, "connection refused: " + where);
    }
    _nextKeepalive = Clock::now() + std::chrono::seconds(_options.keepalive_seconds);
    return kRtPeerExitOk;
}

int RtPeerSession::HandShake() {
    RtPeerIdentity identity;
    identity.uuid = _options.uuid;
    identity.node_uuid = _options.node_uuid;
    identity.source_type = _options.source_type;
    identity.module_type = _options.module_type;
    const int rc = _client.Send(RtPeerPacket::HandShake(_options.kind, identity));
    if (rc != BD_SUCCESS) {
        return Fail(kRtPeerExitClosed, "connection closed by the router while hand-shaking");
    }

    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(_options.timeout_seconds);
    for (;;) {
        RtPeerPacket answer;
        const int received = _client.Receive(&answer, MillisecondsUntil(deadline));
        if (received != BD_SUCCESS) {
            return ReceiveFailure(received, "waiting for the handshake answer");
        }
        Show(answer);
        if (answer.IsControl(kBdControlServerNotReady)) {
            return _refusal;
        }
        if (answer.IsControl(kBdControlHandShakeSuccess)) {
            _platformUuid = answer.ServerPlatformUuid();
            return kRtPeerExitOk;
        }
    }
}

int RtPeerSession::SendAll() {
    RtPeerRoute route;
    route.source_uuid = _options.uuid;
    route.target_uuid = _options.target_uuid.empty() ? _platformUuid : _options.target_uuid;
    route.source_type = _options.source_type;
    route.target_type = _options.target_type;
    route.module_type = _options.module_type;
    const RtPeerPacket packet = _options.log_kind != 0
                                    ? RtPeerPacket::Log(route, _options.log_kind, _options.payload)
                                    : RtPeerPacket::Normal(route, _options.payload);
    for (int i = 0; i < _options.count; ++i) {
        if (_client.Send(packet) != BD_SUCCESS) {
            return Fail(kRtPeerExitClosed, "connection closed by the router while sending");
        }
    }
    return kRtPeerExitOk;
}

int RtPeerSession::Listen() {
    const bool forever = _options.wait_seconds == RtPeerOptions::kWaitForever;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(forever ? 0 : _options.wait_seconds);
    int received = 0;
    while (_options.expect == 0 || received < _options.expect) {
        Clock::time_point until =
            forever ? Clock::now() + std::chrono::milliseconds(kLongestSliceMs) : deadline;
        if (_options.keepalive_seconds > 0) {
            until = std::min(until, _nextKeepalive);
        }
        RtPeerPacket packet;
        const int rc = _client.Receive(&packet, MillisecondsUntil(until));
        if (rc == BD_SUCCESS) {
            Show(packet);
            ++received;
            continue;
        }
        if (rc != BD_RECV_TIMEOUT) {
            return ReceiveFailure(rc, "listening");
        }
        if (!forever && Clock::now() >= deadline) {
            break;
        }
        if (_options.keepalive_seconds > 0 && Clock::now() >= _nextKeepalive) {
            if (_client.SendKeepAlive() != BD_SUCCESS) {
                return Fail(kRtPeerExitClosed, "connection closed by the router");
            }
            _nextKeepalive = Clock::now() + std::chrono::seconds(_options.keepalive_seconds);
        }
    }
    if (_options.expect > 0 && received < _options.expect) {
        return Fail(kRtPeerExitTimeout, std::to_string(received) + " of " +
                                            std::to_string(_options.expect) +
                                            " expected packets arrived");
    }
    return _refusal;
}

void RtPeerSession::Show(const RtPeerPacket &packet) {
    if (_options.json) {
        Json::FastWriter writer;
        _out << writer.write(RtPeerDecoder::ToJson(packet));
    } else {
        _out << RtPeerDecoder::ToText(packet);
    }
    _out.flush();
    if (_refusal != kRtPeerExitOk) {
        return;
    }
    if (packet.IsControl(kBdControlServerNotReady)) {
        _refusal = Fail(kRtPeerExitNotReady, "server not ready");
    } else if (packet.IsControl(kBdControlTargetConnLost)) {
        // The answer's source is the UUID that could not be reached.
        _refusal = Fail(kRtPeerExitTargetLost, "target connection lost: " + packet.SourceUuid());
    }
}

int RtPeerSession::Fail(int status, const std::string &message) {
    _err << "rt_peer: " << message << std::endl;
    return status;
}

int RtPeerSession::ReceiveFailure(int rc, const std::string &whileDoing) {
    if (rc == BD_RECV_TIMEOUT) {
        return Fail(kRtPeerExitTimeout, "time-out " + whileDoing);
    }
    if (rc == BD_PEER_CLOSE_CONNECTION) {
        return Fail(kRtPeerExitClosed, "connection closed by the router");
    }
    if (rc == BD_NET_HEADER_MAGIC_INVALID || rc == BD_NET_PACKET_INVALID) {
        return Fail(kRtPeerExitFailure, "the router sent bytes that are not packets");
    }
    return Fail(kRtPeerExitFailure, "receive failed while " + whileDoing);
}
