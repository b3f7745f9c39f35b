// BdPacketHandler over arbitrary packets: every accessor in both forms, the copies and the
// control-answer builders take the input as a received packet; the writers fill buffers of
// arbitrary size with arbitrary texts and integers drawn from the same input.
//
// The packet and every buffer are heap blocks of exactly their length, so a read or write one byte
// past them is an AddressSanitizer report.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bd_netframwork/bd_packet_handler.h"
#include "fuzz_check.h"

namespace {

// Exactly `length` bytes on the heap, so the sanitizer sees the end.
class ExactBlock {
  public:
    explicit ExactBlock(int length, char fill)
        : data_(static_cast<char *>(malloc(length > 0 ? length : 1))), length_(length) {
        memset(data_, fill, length > 0 ? length : 1);
    }
    ~ExactBlock() { free(data_); }
    ExactBlock(const ExactBlock &) = delete;
    ExactBlock &operator=(const ExactBlock &) = delete;
    char *data() { return data_; }
    int length() const { return length_; }

  private:
    char *data_;
    int length_;
};

// A packet handed to the caller by a copy or a builder, freed at the end of the scope.
struct OwnedPacket {
    char *data = nullptr;
    int length = 0;
    ~OwnedPacket() { free(data); }
};

int ExpectedLengthCode(int length, int minLength) {
    return length >= minLength ? BD_SUCCESS : BD_NET_PACKET_INVALID;
}

// What a writer leaves in a field of width N: the text up to its first zero byte, cut to N - 1.
template <size_t N>
std::string Stored(const std::string &text) {
    std::string upToZero(text.c_str());
    return upToZero.substr(0, N - 1);
}

// Both forms of one accessor agree with the length rule and point at the same fixed offset; the
// whole structure is then read, which trips the sanitizer if the length check was wrong.
template <typename T>
void CheckAccessor(BdPacketHandler &handler, int (BdPacketHandler::*member)(T **),
                   int (*inBuffer)(const char *, int, const T **), const char *packet, int length,
                   int offset, int expected) {
    T *fromHandler = nullptr;
    const T *fromBuffer = nullptr;
    int rc = (handler.*member)(&fromHandler);
    FUZZ_CHECK(rc == expected);
    FUZZ_CHECK(inBuffer(packet, length, &fromBuffer) == expected);
    FUZZ_CHECK((handler.*member)(nullptr) == BD_PARAMETER_INVALID);
    if (rc != BD_SUCCESS) {
        FUZZ_CHECK(fromHandler == nullptr && fromBuffer == nullptr);
        return;
    }
    FUZZ_CHECK(reinterpret_cast<const char *>(fromBuffer) == packet + offset);
    FUZZ_CHECK(reinterpret_cast<const char *>(fromHandler) == packet + offset);
    if (offset + static_cast<int>(sizeof(T)) <= length) {
        T copy;
        memcpy(&copy, fromHandler, sizeof(T));
    }
}

void CheckAccessors(char *packet, int length) {
    BdPacketHandler handler;
    FUZZ_CHECK(handler.InitPointer(packet, length) == BD_SUCCESS);
    CheckAccessor<BdHeader>(handler, &BdPacketHandler::GetPacketHeader,
                            &BdPacketHandler::GetPacketHeader, packet, length, 0,
                            ExpectedLengthCode(length, kBdKeepAlivePacketLen));
    CheckAccessor<BdRouterHeader>(
        handler, &BdPacketHandler::GetPacketRouterHeader, &BdPacketHandler::GetPacketRouterHeader,
        packet, length, kBdRouterHeaderOffset, ExpectedLengthCode(length, kBdControlPacketLen));
    CheckAccessor<BdModuleHeader>(handler, &BdPacketHandler::GetPacketModuleHeader,
                                  &BdPacketHandler::GetPacketModuleHeader, packet, length,
                                  kBdBodyOffset, ExpectedLengthCode(length, kBdNormalPacketMinLen));
    CheckAccessor<BdHandShakePacket>(
        handler, &BdPacketHandler::GetPacketHandshakeData, &BdPacketHandler::GetPacketHandshakeData,
        packet, length, kBdBodyOffset, ExpectedLengthCode(length, kBdHandShakePacketLen));
    CheckAccessor<char>(handler, &BdPacketHandler::GetCommonPacketData,
                        &BdPacketHandler::GetCommonPacketData, packet, length, kBdPayloadOffset,
                        ExpectedLengthCode(length, kBdNormalPacketMinLen));
    CheckAccessor<BdCommonAckHeader>(
        handler, &BdPacketHandler::GetCommonAckHeader, &BdPacketHandler::GetCommonAckHeader, packet,
        length, kBdPayloadOffset, ExpectedLengthCode(length, kBdCommonAckPacketMinLen));
    CheckAccessor<BdRpcCreateConnectionMessage>(
        handler, &BdPacketHandler::BdGetRpcCreateConnMessage,
        &BdPacketHandler::BdGetRpcCreateConnMessage, packet, length, kBdPayloadOffset,
        length == kBdRpcCreateConnPacketLen ? BD_SUCCESS : BD_NET_PACKET_INVALID);
    handler.Destroy();
    BdHeader *header = nullptr;
    FUZZ_CHECK(handler.GetPacketHeader(&header) == BD_OBJECT_NOT_INIT);
}

void CheckCopies(const char *packet, int length, FuzzedDataProvider &input) {
    BdPacketHandler handler;
    FUZZ_CHECK(handler.InitCopy(packet, length) == BD_SUCCESS);
    OwnedPacket copy;
    FUZZ_CHECK(handler.CopyPacket(&copy.data, &copy.length) == BD_SUCCESS);
    FUZZ_CHECK(copy.length == length && memcmp(copy.data, packet, length) == 0);

    ExactBlock dest(input.ConsumeIntegralInRange<int>(0, 2 * kBdNormalPacketMinLen), 0x5a);
    const int dataLength = input.ConsumeIntegral<int>();
    int rc = handler.CopyModuleHeader(dest.data(), dest.length(), dataLength);
    if (dest.length() < kBdNormalPacketMinLen) {
        FUZZ_CHECK(rc == BD_PARAMETER_INVALID);
    } else if (length < kBdNormalPacketMinLen) {
        FUZZ_CHECK(rc == BD_NET_PACKET_INVALID);
    } else {
        FUZZ_CHECK(rc == BD_SUCCESS);
        const BdModuleHeader *copied = reinterpret_cast<BdModuleHeader *>(dest.data() + 120);
        FUZZ_CHECK(copied->data_len == dataLength);
        FUZZ_CHECK(memcmp(copied, packet + kBdBodyOffset, offsetof(BdModuleHeader, data_len)) == 0);
    }
    for (int i = 0; i < dest.length(); ++i) {
        bool inModuleHeader = rc == BD_SUCCESS && i >= kBdBodyOffset && i < kBdPayloadOffset;
        FUZZ_CHECK(inModuleHeader || dest.data()[i] == 0x5a);
    }
}

// The answer's net and router headers: magic, both lengths, class and sub-kind, and the request's
// sender as the target.
void CheckControlAnswer(const OwnedPacket &answer, int expectedLength, int level1Type,
                        int level2Type) {
    FUZZ_CHECK(answer.length == expectedLength);
    const BdHeader *header = reinterpret_cast<const BdHeader *>(answer.data);
    const BdRouterHeader *router =
        reinterpret_cast<const BdRouterHeader *>(answer.data + kBdRouterHeaderOffset);
    FUZZ_CHECK(header->magic == kBdPacketMagic && header->reserved == 0);
    FUZZ_CHECK(header->data_len == expectedLength - kBdRouterHeaderOffset);
    FUZZ_CHECK(router->data_len == expectedLength - kBdBodyOffset);
    FUZZ_CHECK(router->message_level1_type == level1Type);
    FUZZ_CHECK(router->message_level2_type == level2Type);
    FUZZ_CHECK(router->source_uuid[kBdUuidFieldLen - 1] == 0);
    FUZZ_CHECK(router->target_uuid[kBdUuidFieldLen - 1] == 0);
}

void CheckAddressedBack(const OwnedPacket &answer, const BdRouterHeader &request) {
    const BdRouterHeader *router =
        reinterpret_cast<const BdRouterHeader *>(answer.data + kBdRouterHeaderOffset);
    std::string requestSource = BdPacketText(request.source_uuid);
    FUZZ_CHECK(BdPacketText(router->target_uuid) == requestSource.substr(0, kBdUuidFieldLen - 1));
    FUZZ_CHECK(router->target_type == request.source_type);
    FUZZ_CHECK(router->module_type == request.module_type);
}

void CheckBuilders(const char *packet, int length, FuzzedDataProvider &input) {
    BdPacketHandler handler;
    FUZZ_CHECK(handler.InitCopy(packet, length) == BD_SUCCESS);
    const BdRouterHeader *request = reinterpret_cast<const BdRouterHeader *>(packet + 16);
    const int routerRule = ExpectedLengthCode(length, kBdControlPacketLen);
    const std::string sender = input.ConsumeRandomLengthString(48);
    const int senderType = input.ConsumeIntegral<int>();

    OwnedPacket success;
    int rc = handler.CreateHandShakeSuccessPacket(sender, senderType, "router", "platform",
                                                  &success.data, &success.length);
    FUZZ_CHECK(rc == (sender.empty() ? BD_PARAMETER_INVALID : routerRule));
    if (rc == BD_SUCCESS) {
        CheckControlAnswer(success, kBdHandShakeSuccessPacketLen, kBdMessageControl,
                           kBdControlHandShakeSuccess);
        CheckAddressedBack(success, *request);
    }

    OwnedPacket notReady;
    rc = handler.CreateServerNotReadyPacket(sender, senderType, &notReady.data, &notReady.length);
    FUZZ_CHECK(rc == (sender.empty() ? BD_PARAMETER_INVALID : routerRule));
    if (rc == BD_SUCCESS) {
        CheckControlAnswer(notReady, kBdControlPacketLen, kBdMessageControl,
                           kBdControlServerNotReady);
        CheckAddressedBack(notReady, *request);
    }

    const long opId = input.ConsumeIntegral<long>();
    OwnedPacket opIdAnswer;
    rc = handler.CreateOpIdPacket(opId, &opIdAnswer.data, &opIdAnswer.length);
    if (opId < 1) {
        FUZZ_CHECK(rc == BD_PARAMETER_INVALID);
    } else if (length < kBdNormalPacketMinLen) {
        FUZZ_CHECK(rc == BD_NET_PACKET_INVALID);
    } else {
        FUZZ_CHECK(rc == BD_SUCCESS);
        const std::string payload = "{\"op_id\":\"" + std::to_string(opId) + "\"}\n";
        const int total = kBdPayloadOffset + static_cast<int>(payload.size());
        CheckControlAnswer(opIdAnswer, total, kBdMessageNormal, kBdNormalSubKind);
        FUZZ_CHECK(memcmp(opIdAnswer.data + kBdPayloadOffset, payload.data(), payload.size()) == 0);
        FUZZ_CHECK(memcmp(opIdAnswer.data + kBdBodyOffset, packet + kBdBodyOffset,
                          offsetof(BdModuleHeader, data_len)) == 0);
    }
}

// Runs one writer over a buffer of arbitrary length filled with a marker byte: it must refuse a
// buffer shorter than the end of its structure and otherwise change nothing outside
// [begin, end).
template <typename Write>
void CheckWriter(FuzzedDataProvider &input, int begin, int end, bool refusesAnyway, Write write) {
    ExactBlock buf(input.ConsumeIntegralInRange<int>(-1, end + 64), 0x5a);
    int rc = write(buf.data(), buf.length());
    FUZZ_CHECK(rc == (refusesAnyway || buf.length() < end ? BD_PARAMETER_INVALID : BD_SUCCESS));
    for (int i = 0; i < buf.length(); ++i) {
        FUZZ_CHECK((rc == BD_SUCCESS && i >= begin && i < end) || buf.data()[i] == 0x5a);
    }
}

void CheckWriters(FuzzedDataProvider &input) {
    const std::string a = input.ConsumeRandomLengthString(80);
    const std::string b = input.ConsumeRandomLengthString(80);
    const int n = input.ConsumeIntegral<int>();

    CheckWriter(input, 0, kBdKeepAlivePacketLen, false, [&](char *buf, int length) {
        return BdPacketHandler::PackHeader(buf, length, n, 0, static_cast<int>(kBdPacketMagic));
    });
    CheckWriter(input, kBdRouterHeaderOffset, kBdBodyOffset, false, [&](char *buf, int length) {
        int rc = BdPacketHandler::PackRouterHeader(buf, length, n, a, b, 1, 2, 3, 4, 5);
        if (rc == BD_SUCCESS) {
            const BdRouterHeader *h = reinterpret_cast<BdRouterHeader *>(buf + 16);
            FUZZ_CHECK(BdPacketText(h->source_uuid) == Stored<kBdUuidFieldLen>(a));
            FUZZ_CHECK(BdPacketText(h->target_uuid) == Stored<kBdUuidFieldLen>(b));
            FUZZ_CHECK(h->data_len == n && h->message_level2_type == 5);
        }
        return rc;
    });
    CheckWriter(input, kBdBodyOffset, kBdPayloadOffset, false, [&](char *buf, int length) {
        int rc = BdPacketHandler::PackModuleHeader(buf, length, n, a, 1, 2, 3, 4, 5, 6, b, a);
        if (rc == BD_SUCCESS) {
            const BdModuleHeader *h = reinterpret_cast<BdModuleHeader *>(buf + 120);
            FUZZ_CHECK(BdPacketText(h->reference_uuid) == Stored<kBdUuidFieldLen>(a));
            FUZZ_CHECK(BdPacketText(h->source_thread_uuid) == Stored<kBdUuidFieldLen>(b));
            FUZZ_CHECK(h->reserved == 0 && h->data_len == n);
        }
        return rc;
    });
    CheckWriter(input, kBdBodyOffset, kBdHandShakePacketLen, a.empty(), [&](char *buf, int length) {
        int rc = BdPacketHandler::PackHandShakePacket(buf, length, a, b, a, b, a, b, n, b);
        if (rc == BD_SUCCESS) {
            const BdHandShakePacket *h = reinterpret_cast<BdHandShakePacket *>(buf + 120);
            FUZZ_CHECK(BdPacketText(h->uuid) == Stored<kBdUuidFieldLen>(a));
            FUZZ_CHECK(BdPacketText(h->process_type) == Stored<20>(a));
            FUZZ_CHECK(BdPacketText(h->hostname) == Stored<64>(b));
            FUZZ_CHECK(h->aux_value == n);
        }
        return rc;
    });
    CheckWriter(input, kBdBodyOffset, kBdHandShakeSuccessPacketLen, a.empty() || b.empty(),
                [&](char *buf, int length) {
                    return BdPacketHandler::PackHandShakeSuccessPacket(buf, length, a, b);
                });
    // The data may be longer than the buffer has room for; the writer must refuse it.
    const int dataLength = input.ConsumeIntegralInRange<int>(-1, static_cast<int>(a.size()));
    const int roomNeeded = kBdPayloadOffset + (dataLength > 0 ? dataLength : 0);
    CheckWriter(input, kBdPayloadOffset, roomNeeded, dataLength < 1, [&](char *buf, int length) {
        return BdPacketHandler::PackCommonData(buf, length, a.data(), dataLength);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > (1u << 20)) {
        return 0;
    }
    const int length = static_cast<int>(size);
    ExactBlock packet(length, 0);
    memcpy(packet.data(), data, size);
    FuzzedDataProvider input(data, size);
    CheckAccessors(packet.data(), length);
    CheckCopies(packet.data(), length, input);
    CheckBuilders(packet.data(), length, input);
    CheckWriters(input);
    return 0;
}
