#include "rt_server/rt_server_handover.h"

#include <algorithm>
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

// The layout is written down once, in the templates below, for both directions: each takes an
// Io (Writer or Reader) and a state to write from or read into.

// Writes an encoding at out, or only counts its bytes when out is null: the state is counted
// first, so that it is written once, straight where it goes.
class Writer {
  public:
    static constexpr bool kReading = false;
    explicit Writer(char *out) : _out(out) {}
    void Unsigned(uint64_t value, int bytes) {
        for (int i = 0; _out != nullptr && i < bytes; ++i) {
            _out[_length + i] = static_cast<char>(value >> (8 * i));
        }
        _length += bytes;
    }
    template <typename T>
    void Number(const T &value, int bytes) {
        Unsigned(static_cast<uint64_t>(value), bytes);
    }
    void Flag(bool value) { Unsigned(value ? 1 : 0, 1); }
    void Text(const std::string &text, size_t /*most*/) {
        Unsigned(text.size(), 4);
        if (_out != nullptr) {
            std::memcpy(_out + _length, text.data(), text.size());
        }
        _length += text.size();
    }
    // The count, then each item as item describes it.
    template <typename T, typename Item>
    void List(const std::vector<T> &items, size_t /*itemBytes*/, Item item) {
        Unsigned(items.size(), 4);
        for (const T &each : items) {
            item(each);
        }
    }
    // What is written is right: only the reader checks.
    template <typename Valid>
    void Check(Valid /*valid*/, const char * /*why*/) {}
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

// Reads what Writer wrote. The first failure is kept as the reason and ends the reading: every
// later read gives zeros and empty texts.
class Reader {
  public:
    static constexpr bool kReading = true;
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
    template <typename T>
    void Number(T &field, int bytes) {
        field = static_cast<T>(Unsigned(bytes));
    }
    // A byte other than 0 or 1 fails the next Check.
    void Flag(bool &field) {
        const uint64_t value = Unsigned(1);
        field = value == 1;
        _badFlag = _badFlag || value > 1;
    }
    void Text(std::string &field, size_t most) {
        const uint64_t length = Unsigned(4);
        if (length > most) {
            Fail("a field longer than " + std::to_string(most) + " bytes");
        }
        if (Need(length)) {
            field.assign(_data, length);
            Skip(length);
        }
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
    template <typename T, typename Item>
    void List(std::vector<T> &items, size_t itemBytes, Item item) {
        const size_t count = Count(itemBytes);
        for (size_t i = 0; i < count && Ok(); ++i) {
            items.emplace_back();
            item(items.back());
        }
    }
    // Fails with why unless what was read since the last check is valid.
    template <typename Valid>
    void Check(Valid valid, const char *why) {
        if (Ok() && (std::exchange(_badFlag, false) || !valid())) {
            Fail(why);
        }
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
    bool _badFlag = false;
    std::string _why;
};

// The longest UUID text a packet can carry, what a read buffer may hold (a packet and the read
// slice that followed it), the longest field of a handshake's rows (the handshake's text fields
// and the peer's address), and of a database server's name and port.
const size_t kUuidMost = kBdUuidFieldLen;
const size_t kHeldInputMost = static_cast<size_t>(kBdMaxPacketLength) * 2;
const size_t kRowFieldMost = 64;
const size_t kServerNameMost = 1024;

bool IsHandshakeKind(int kind) {
    return kind >= kBdHandShakeClient && kind <= kBdHandShakeServerPlatform;
}

template <typename Io, typename Answer>
void TransferAnswer(Io &io, Answer &answer) {
    io.Number(answer.kind, 4);
    io.Text(answer.uuid, kUuidMost);
    io.Text(answer.request, kBdMaxPacketLength);
    io.Number(answer.ticket, 8);
    io.Flag(answer.done);
    io.Number(answer.code, 4);
    io.Flag(answer.over_quota);
    io.Check(
        [&answer] {
            const BdHandShakePacket *handshake = nullptr;
            return IsHandshakeKind(answer.kind) &&
                   BdPacketHandler::GetPacketHandshakeData(answer.request.data(),
                                                           static_cast<int>(answer.request.size()),
                                                           &handshake) == BD_SUCCESS;
        },
        "a waiting handshake out of range");
}

// The fields of a handshake's rows that the router fills (RtServerAcceptedConnection::PeerRows).
template <typename Io, typename Rows>
void TransferRows(Io &io, Rows &rows) {
    io.Number(rows.kind, 4);
    for (auto *field :
         {&rows.agent.agent_uuid, &rows.agent.hostname, &rows.agent.ip, &rows.agent.os_type,
          &rows.agent.os_version, &rows.agent.process_type, &rows.node.node_uuid, &rows.node.ip,
          &rows.node.host_name, &rows.node.os_type, &rows.node.os_version, &rows.node.process_type,
          &rows.server.module_uuid, &rows.server.node_uuid}) {
        io.Text(*field, kRowFieldMost);
    }
    io.Number(rows.node.global_share_flag, 4);
    io.Number(rows.server.module_type, 4);
    io.Check([&rows] { return IsHandshakeKind(rows.kind); }, "a handshake's rows out of range");
}

template <typename Io, typename Request>
void TransferRequest(Io &io, Request &request) {
    uint64_t kind = request.kind;
    io.Number(kind, 1);
    io.Number(request.ticket, 8);
    if (kind == RtWriteRequest::kPeer) {
        TransferRows(io, request.rows);
        return;
    }
    if constexpr (Io::kReading) {
        if (kind != RtWriteRequest::kOffline || request.ticket != 0) {
            io.Fail("a database request out of range");
            return;
        }
        request.kind = RtWriteRequest::kOffline;
    }
    io.List(request.uuids, kTextMinBytes, [&io](auto &uuid) { io.Text(uuid, kUuidMost); });
    io.Check([&request] { return !request.uuids.empty(); }, "an offline mark without UUIDs");
}

template <typename Io, typename Backlog>
void TransferBacklog(Io &io, Backlog &backlog) {
    io.Number(backlog.next_ticket, 8);
    io.List(backlog.results, kResultMinBytes, [&io](auto &result) {
        io.Number(result.ticket, 8);
        io.Number(result.code, 4);
    });
    io.List(backlog.requests, kRequestMinBytes,
            [&io](auto &request) { TransferRequest(io, request); });
    io.List(backlog.stale_sessions, kSessionMinBytes, [&io](auto &session) {
        io.Number(session.id, 8);
        io.Text(session.server, kServerNameMost);
        io.Number(session.started, 8);
    });
    io.List(backlog.refused_spellings, kTextMinBytes,
            [&io](auto &uuid) { io.Text(uuid, kUuidMost); });
}

template <typename Io, typename Connection>
void TransferConnection(Io &io, Connection &conn) {
    io.Number(conn.fd, 4);
    io.Number(conn.address, 4);
    io.Number(conn.peer_kind, 4);
    io.Number(conn.deadline, 8);
    io.Number(conn.start_second, 8);
    io.List(conn.uuids, kBindingMinBytes, [&io](auto &binding) {
        io.Text(binding.first, kUuidMost);
        io.Flag(binding.second);
        io.Check([&binding] { return !binding.first.empty(); }, "a UUID binding out of range");
    });
    io.Text(conn.held_input, kHeldInputMost);
    io.List(conn.queued, kQueuedMinBytes, [&io](auto &packet) {
        io.Text(packet, kBdMaxPacketLength);
        io.Check([&packet] { return packet.empty() || packet.size() >= sizeof(BdHeader); },
                 "a queued packet shorter than a header");
    });
    io.Number(conn.sent_of_front, 4);
    io.List(conn.answers, kAnswerMinBytes, [&io](auto &answer) { TransferAnswer(io, answer); });
    io.Check(
        [&conn] {
            // Each waiting handshake has its slot, and a slot is never partly sent: the front's
            // sent bytes lie within a packet, or are none.
            const size_t slots = std::count(conn.queued.begin(), conn.queued.end(), std::string());
            const int64_t front = conn.queued.empty() ? 0 : conn.queued[0].size();
            return conn.fd >= 3 && conn.peer_kind >= 0 && conn.peer_kind <= 4 &&
                   conn.deadline > 0 && conn.sent_of_front >= 0 &&
                   (front == 0 ? conn.sent_of_front == 0 : conn.sent_of_front < front) &&
                   slots == conn.answers.size();
        },
        "a connection's values out of range");
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

template <typename Io, typename State>
void TransferPayload(Io &io, State &state) {
    io.Number(state.plain_listen_fd, 4);
    io.Number(state.tls_listen_fd, 4);
    io.Text(state.platform_uuid, kUuidMost);
    io.List(state.connections, kConnectionMinBytes,
            [&io](auto &conn) { TransferConnection(io, conn); });
    TransferBacklog(io, state.writer);
}

}  // namespace

size_t RtHandoverLength(const RtHandoverState &state) {
    Writer counter(nullptr);
    TransferPayload(counter, state);
    return kHeaderBytes + counter.Length();
}

void RtEncodeHandoverInto(const RtHandoverState &state, char *out) {
    Writer payload(out + kHeaderBytes);
    TransferPayload(payload, state);
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
    TransferPayload(in, *state);
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
