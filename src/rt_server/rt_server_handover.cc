#include "rt_server/rt_server_handover.h"

#include <cstring>
#include <set>
#include <utility>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"
#include "bd_netframwork/bd_packet_handler.h"

namespace {

const char kMagic[8] = {'R', 'T', 'H', 'A', 'N', 'D', 'O', 'V'};
const size_t kHeaderBytes = sizeof(kMagic) + 4 + 8 + 8;
// The fewest payload bytes one connection and one UUID binding take: counts beyond what the
// payload can hold are refused before anything is allocated for them.
const size_t kConnectionMinBytes = 4 + 4 + 4 + 8 + 8 + 4 + 4 + 4 + 4 + 4;
const size_t kBindingMinBytes = 4 + 1;
const size_t kQueuedMinBytes = 4;  // a slot is an empty entry
const size_t kAnswerMinBytes = 4 + 4 + 4 + 8 + 1 + 4 + 1;
const size_t kResultMinBytes = 8 + 4;
const size_t kRequestMinBytes = 1 + 8 + 4;
const size_t kSessionMinBytes = 8 + 4 + 8;
const size_t kTextMinBytes = 4;

uint64_t Checksum(const char *data, size_t length) {
    // FNV-1a over 8-byte words: catches a truncated or damaged state at memory speed, which
    // matters with hundreds of MiB of queued packets; nobody forges it, the sender is ourselves.
    uint64_t hash = 14695981039346656037ull;
    size_t at = 0;
    for (; at + sizeof(uint64_t) <= length; at += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, data + at, sizeof(word));
        hash = (hash ^ word) * 1099511628211ull;
    }
    for (; at < length; ++at) {
        hash = (hash ^ static_cast<unsigned char>(data[at])) * 1099511628211ull;
    }
    return hash;
}

// Writes an encoding at out, or only counts its bytes when out is null: the state is counted
// first, so that it is written once, straight where it goes.
class Writer {
  public:
    explicit Writer(char *out) : _out(out) {}
    void Unsigned(uint64_t value, int bytes) {
        for (int i = 0; _out != nullptr && i < bytes; ++i) {
            _out[_length + i] = static_cast<char>(value >> (8 * i));
        }
        _length += bytes;
    }
    void Int(int64_t value, int bytes) { Unsigned(static_cast<uint64_t>(value), bytes); }
    void Text(const std::string &text) {
        Unsigned(text.size(), 4);
        if (_out != nullptr) {
            std::memcpy(_out + _length, text.data(), text.size());
        }
        _length += text.size();
    }
    size_t Length() const { return _length; }

  private:
    char *_out;
    size_t _length = 0;
};

// The header in front of a payload of length bytes at whole + kHeaderBytes.
void Seal(uint32_t version, size_t length, char *whole) {
    Writer header(whole);
    for (char c : kMagic) {
        header.Unsigned(static_cast<unsigned char>(c), 1);
    }
    header.Unsigned(version, 4);
    header.Unsigned(length, 8);
    header.Unsigned(Checksum(whole + kHeaderBytes, length), 8);
}

class Reader {
  public:
    Reader(const char *data, size_t length) : _data(data), _left(length) {}

    uint64_t Unsigned(int bytes) {
        if (!Need(bytes)) {
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<uint64_t>(static_cast<unsigned char>(_data[i])) << (8 * i);
        }
        Skip(bytes);
        return value;
    }
    int32_t Int32() { return static_cast<int32_t>(static_cast<uint32_t>(Unsigned(4))); }
    int64_t Int64() { return static_cast<int64_t>(Unsigned(8)); }
    std::string Text(size_t most) {
        const uint64_t length = Unsigned(4);
        if (length > most) {
            Fail("a field longer than " + std::to_string(most) + " bytes");
        }
        if (!Need(length)) {
            return "";
        }
        std::string text(_data, length);
        Skip(length);
        return text;
    }
    // A count of items each at least itemBytes long, refused when the rest cannot hold them.
    size_t Count(size_t itemBytes) {
        const uint64_t count = Unsigned(4);
        if (count > _left / itemBytes) {
            Fail("a count beyond the state's length");
            return 0;
        }
        return count;
    }
    void Fail(const std::string &why) {
        if (_why.empty()) {
            _why = why;
        }
        _left = 0;
    }
    bool Ok() const { return _why.empty(); }
    size_t Left() const { return _left; }
    const std::string &Why() const { return _why; }

  private:
    bool Need(uint64_t bytes) {
        if (bytes > _left) {
            Fail("the state ends early");
            return false;
        }
        return Ok();
    }
    void Skip(uint64_t bytes) {
        _data += bytes;
        _left -= bytes;
    }
    const char *_data;
    size_t _left;
    std::string _why;
};

// The longest UUID text a packet can carry, what a read buffer may hold (a packet and the read
// slice that followed it), the longest field of a handshake's rows (the handshake's text fields
// and the peer's address), and of a database server's name and port.
const size_t kUuidMost = kBdUuidFieldLen;
const size_t kHeldInputMost = static_cast<size_t>(kBdMaxPacketLength) * 2;
const size_t kRowFieldMost = 64;
const size_t kServerNameMost = 1024;
const size_t kPacketHeaderBytes = 16;

void ReadAnswer(Reader *in, RtPendingAnswer *answer) {
    answer->kind = in->Int32();
    answer->uuid = in->Text(kUuidMost);
    answer->request = in->Text(kBdMaxPacketLength);
    answer->ticket = in->Unsigned(8);
    const uint64_t done = in->Unsigned(1);
    answer->code = in->Int32();
    const uint64_t overQuota = in->Unsigned(1);
    const BdHandShakePacket *handshake = nullptr;
    if (answer->kind < kBdHandShakeClient || answer->kind > kBdHandShakeServerPlatform ||
        done > 1 || overQuota > 1 ||
        (in->Ok() && BdPacketHandler::GetPacketHandshakeData(
                         answer->request.data(), static_cast<int>(answer->request.size()),
                         &handshake) != BD_SUCCESS)) {
        in->Fail("a waiting handshake out of range");
    }
    answer->done = done == 1;
    answer->over_quota = overQuota == 1;
}

void WriteAnswer(const RtPendingAnswer &answer, Writer *out) {
    out->Int(answer.kind, 4);
    out->Text(answer.uuid);
    out->Text(answer.request);
    out->Unsigned(answer.ticket, 8);
    out->Unsigned(answer.done ? 1 : 0, 1);
    out->Int(answer.code, 4);
    out->Unsigned(answer.over_quota ? 1 : 0, 1);
}

// The fields of a handshake's rows that the router fills (RtServerAcceptedConnection::PeerRows).
void ReadRows(Reader *in, RtPeerRows *rows) {
    rows->kind = in->Int32();
    for (std::string *field :
         {&rows->agent.agent_uuid, &rows->agent.hostname, &rows->agent.ip, &rows->agent.os_type,
          &rows->agent.os_version, &rows->agent.process_type, &rows->node.node_uuid, &rows->node.ip,
          &rows->node.host_name, &rows->node.os_type, &rows->node.os_version,
          &rows->node.process_type, &rows->server.module_uuid, &rows->server.node_uuid}) {
        *field = in->Text(kRowFieldMost);
    }
    rows->node.global_share_flag = in->Int32();
    rows->server.module_type = in->Int32();
    if (rows->kind < kBdHandShakeClient || rows->kind > kBdHandShakeServerPlatform) {
        in->Fail("a handshake's rows out of range");
    }
}

void WriteRows(const RtPeerRows &rows, Writer *out) {
    out->Int(rows.kind, 4);
    for (const std::string *field :
         {&rows.agent.agent_uuid, &rows.agent.hostname, &rows.agent.ip, &rows.agent.os_type,
          &rows.agent.os_version, &rows.agent.process_type, &rows.node.node_uuid, &rows.node.ip,
          &rows.node.host_name, &rows.node.os_type, &rows.node.os_version, &rows.node.process_type,
          &rows.server.module_uuid, &rows.server.node_uuid}) {
        out->Text(*field);
    }
    out->Int(rows.node.global_share_flag, 4);
    out->Int(rows.server.module_type, 4);
}

void ReadBacklog(Reader *in, RtWriterBacklog *backlog) {
    backlog->next_ticket = in->Unsigned(8);
    const size_t results = in->Count(kResultMinBytes);
    for (size_t i = 0; i < results && in->Ok(); ++i) {
        const uint64_t ticket = in->Unsigned(8);
        backlog->results.push_back({ticket, in->Int32()});
    }
    const size_t requests = in->Count(kRequestMinBytes);
    for (size_t i = 0; i < requests && in->Ok(); ++i) {
        backlog->requests.emplace_back();
        RtWriteRequest &request = backlog->requests.back();
        const uint64_t kind = in->Unsigned(1);
        request.ticket = in->Unsigned(8);
        if (kind == RtWriteRequest::kPeer) {
            ReadRows(in, &request.rows);
        } else if (kind == RtWriteRequest::kOffline && request.ticket == 0) {
            request.kind = RtWriteRequest::kOffline;
            const size_t uuids = in->Count(kTextMinBytes);
            for (size_t u = 0; u < uuids && in->Ok(); ++u) {
                request.uuids.push_back(in->Text(kUuidMost));
            }
            if (request.uuids.empty()) {
                in->Fail("an offline mark without UUIDs");
            }
        } else {
            in->Fail("a database request out of range");
        }
    }
    const size_t sessions = in->Count(kSessionMinBytes);
    for (size_t i = 0; i < sessions && in->Ok(); ++i) {
        RtWriterSession session;
        session.id = in->Unsigned(8);
        session.server = in->Text(kServerNameMost);
        session.started = in->Int64();
        backlog->stale_sessions.push_back(std::move(session));
    }
    const size_t refused = in->Count(kTextMinBytes);
    for (size_t i = 0; i < refused && in->Ok(); ++i) {
        backlog->refused_spellings.push_back(in->Text(kUuidMost));
    }
}

void WriteBacklog(const RtWriterBacklog &backlog, Writer *out) {
    out->Unsigned(backlog.next_ticket, 8);
    out->Unsigned(backlog.results.size(), 4);
    for (const RtWriteResult &result : backlog.results) {
        out->Unsigned(result.ticket, 8);
        out->Int(result.code, 4);
    }
    out->Unsigned(backlog.requests.size(), 4);
    for (const RtWriteRequest &request : backlog.requests) {
        out->Unsigned(request.kind, 1);
        out->Unsigned(request.ticket, 8);
        if (request.kind == RtWriteRequest::kPeer) {
            WriteRows(request.rows, out);
            continue;
        }
        out->Unsigned(request.uuids.size(), 4);
        for (const std::string &uuid : request.uuids) {
            out->Text(uuid);
        }
    }
    out->Unsigned(backlog.stale_sessions.size(), 4);
    for (const RtWriterSession &session : backlog.stale_sessions) {
        out->Unsigned(session.id, 8);
        out->Text(session.server);
        out->Int(session.started, 8);
    }
    out->Unsigned(backlog.refused_spellings.size(), 4);
    for (const std::string &uuid : backlog.refused_spellings) {
        out->Text(uuid);
    }
}

// Every ticket named is one the writer gave out before the hand-over; those answered by an
// outcome or waiting for one are not 0.
bool TicketsInRange(const RtHandoverState &state) {
    const uint64_t next = state.writer.next_ticket;
    for (const RtWriteResult &result : state.writer.results) {
        if (result.ticket == 0 || result.ticket >= next) {
            return false;
        }
    }
    for (const RtWriteRequest &request : state.writer.requests) {
        if (request.ticket >= next) {
            return false;
        }
    }
    for (const RtHandoverConnection &conn : state.connections) {
        for (const RtPendingAnswer &answer : conn.answers) {
            if (!answer.done && (answer.ticket == 0 || answer.ticket >= next)) {
                return false;
            }
        }
    }
    return true;
}

void ReadConnection(Reader *in, RtHandoverConnection *conn) {
    conn->fd = in->Int32();
    conn->address = static_cast<uint32_t>(in->Unsigned(4));
    conn->peer_kind = in->Int32();
    conn->deadline = in->Int64();
    conn->start_second = in->Int64();
    const size_t bindings = in->Count(kBindingMinBytes);
    for (size_t i = 0; i < bindings && in->Ok(); ++i) {
        std::string uuid = in->Text(kUuidMost);
        const uint64_t web = in->Unsigned(1);
        if (uuid.empty() || web > 1) {
            in->Fail("a UUID binding out of range");
        }
        conn->uuids.emplace_back(std::move(uuid), web == 1);
    }
    conn->held_input = in->Text(kHeldInputMost);
    const size_t packets = in->Count(kQueuedMinBytes);
    size_t slots = 0;
    for (size_t i = 0; i < packets && in->Ok(); ++i) {
        conn->queued.push_back(in->Text(kBdMaxPacketLength));
        const size_t length = conn->queued.back().size();
        slots += length == 0 ? 1 : 0;
        if (length != 0 && length < kPacketHeaderBytes) {
            in->Fail("a queued packet shorter than a header");
        }
    }
    conn->sent_of_front = in->Int32();
    const size_t answers = in->Count(kAnswerMinBytes);
    for (size_t i = 0; i < answers && in->Ok(); ++i) {
        conn->answers.emplace_back();
        ReadAnswer(in, &conn->answers.back());
    }
    // A slot is never partly sent: the front's sent bytes lie within a packet, or are none.
    const int64_t frontLength = conn->queued.empty() ? 0 : conn->queued[0].size();
    if (conn->fd < 3 || conn->peer_kind < 0 || conn->peer_kind > 4 || conn->deadline <= 0 ||
        conn->sent_of_front < 0 ||
        (frontLength == 0 ? conn->sent_of_front != 0 : conn->sent_of_front >= frontLength) ||
        slots != conn->answers.size()) {
        in->Fail("a connection's values out of range");
    }
}

void WritePayload(const RtHandoverState &state, Writer *payload) {
    payload->Int(state.plain_listen_fd, 4);
    payload->Int(state.tls_listen_fd, 4);
    payload->Text(state.platform_uuid);
    payload->Unsigned(state.connections.size(), 4);
    for (const RtHandoverConnection &conn : state.connections) {
        payload->Int(conn.fd, 4);
        payload->Unsigned(conn.address, 4);
        payload->Int(conn.peer_kind, 4);
        payload->Int(conn.deadline, 8);
        payload->Int(conn.start_second, 8);
        payload->Unsigned(conn.uuids.size(), 4);
        for (const auto &binding : conn.uuids) {
            payload->Text(binding.first);
            payload->Unsigned(binding.second ? 1 : 0, 1);
        }
        payload->Text(conn.held_input);
        payload->Unsigned(conn.queued.size(), 4);
        for (const std::string &packet : conn.queued) {
            payload->Text(packet);
        }
        payload->Int(conn.sent_of_front, 4);
        payload->Unsigned(conn.answers.size(), 4);
        for (const RtPendingAnswer &answer : conn.answers) {
            WriteAnswer(answer, payload);
        }
    }
    WriteBacklog(state.writer, payload);
}

}  // namespace

size_t RtHandoverLength(const RtHandoverState &state) {
    Writer counter(nullptr);
    WritePayload(state, &counter);
    return kHeaderBytes + counter.Length();
}

void RtEncodeHandoverInto(const RtHandoverState &state, char *out) {
    Writer payload(out + kHeaderBytes);
    WritePayload(state, &payload);
    Seal(RtHandoverState::kVersion, payload.Length(), out);
}

std::string RtEncodeHandover(const RtHandoverState &state) {
    std::string bytes(RtHandoverLength(state), '\0');
    RtEncodeHandoverInto(state, &bytes[0]);
    return bytes;
}

std::string RtSealHandoverPayload(const std::string &payload, uint32_t version) {
    std::string whole(kHeaderBytes, '\0');
    whole += payload;
    Seal(version, payload.size(), &whole[0]);
    return whole;
}

bool RtDecodeHandover(const char *bytes, size_t size, RtHandoverState *state, std::string *why) {
    *state = RtHandoverState();
    if (size < kHeaderBytes || std::memcmp(bytes, kMagic, sizeof(kMagic)) != 0) {
        *why = "not a hand-over state";
        return false;
    }
    Reader header(bytes + sizeof(kMagic), kHeaderBytes - sizeof(kMagic));
    const uint64_t version = header.Unsigned(4);
    const uint64_t length = header.Unsigned(8);
    const uint64_t checksum = header.Unsigned(8);
    if (version != RtHandoverState::kVersion) {
        *why = "hand-over state version " + std::to_string(version) + ", this image reads " +
               std::to_string(RtHandoverState::kVersion);
        return false;
    }
    if (length != size - kHeaderBytes || Checksum(bytes + kHeaderBytes, length) != checksum) {
        *why = "hand-over state damaged (length or checksum)";
        return false;
    }
    Reader in(bytes + kHeaderBytes, length);
    state->plain_listen_fd = in.Int32();
    state->tls_listen_fd = in.Int32();
    state->platform_uuid = in.Text(kUuidMost);
    const size_t connections = in.Count(kConnectionMinBytes);
    for (size_t i = 0; i < connections && in.Ok(); ++i) {
        state->connections.emplace_back();
        ReadConnection(&in, &state->connections.back());
    }
    ReadBacklog(&in, &state->writer);
    if (in.Ok() && in.Left() != 0) {
        in.Fail("bytes after the database writer's backlog");
    }
    if (in.Ok() && !TicketsInRange(*state)) {
        in.Fail("a ticket the database writer never gave out");
    }
    std::set<int> fds;
    for (int fd : {state->plain_listen_fd, state->tls_listen_fd}) {
        if (fd != -1 && (fd < 3 || !fds.insert(fd).second)) {
            in.Fail("a listening descriptor out of range");
        }
    }
    if (fds.empty()) {
        in.Fail("no listening descriptor");
    }
    for (const RtHandoverConnection &conn : state->connections) {
        if (!fds.insert(conn.fd).second) {
            in.Fail("descriptor " + std::to_string(conn.fd) + " named twice");
        }
    }
    if (!in.Ok()) {
        *why = "hand-over state not understood: " + in.Why();
        *state = RtHandoverState();
        return false;
    }
    return true;
}
