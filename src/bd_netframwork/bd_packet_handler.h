// BdPacketHandler: reads one packet in place and builds packets into buffers.
//
// A handler is a local of one function call: it is never shared between threads and never kept
// between calls. It is in one of three states:
//   empty     after construction, InitNormal() or Destroy(): no packet, length 0. The accessors
//             and copies give BD_OBJECT_NOT_INIT; the writers still work, since
//             they write into a buffer passed to them, never into the handler's packet.
//   pointing  after InitPointer(): reads the caller's buffer in place. The caller owns that buffer
//             and must keep it alive and unchanged until the handler is destroyed or
//             re-initialised; the handler never frees it.
//   owning    after InitCopy(): reads its own malloc copy of the packet and frees it in Destroy().
// Destroy() returns to empty from either state. Re-initialising a handler releases a copy it
// owned, and the destructor calls Destroy(), so a forgotten Destroy() does not leak.
//
// Every pointer an accessor hands out points into the handler's packet (member form) or the
// caller's buffer (buffer form): it is valid only while that packet is, and is never to be freed.
// Buffers the copies and builders hand out are malloc blocks owned by the caller from then on;
// they are freed with free(), which a connection's write queue does once it has sent them.
//
// Every operation returns 0 or an error code: BD_OBJECT_NOT_INIT (empty handler),
// BD_PARAMETER_INVALID (null pointer, length below 1, destination too small, required text
// empty), BD_MEMORY_ERROR (allocation failed), BD_NET_PACKET_INVALID (packet shorter than the
// structure asked for). A failed operation checks everything before its first write:
// it changes neither the handler nor the caller's buffers and fills no out-parameter. Operations
// report and never log; their callers log.
//
// Text arguments longer than their field minus one byte are cut to fit, so every text field a
// writer fills keeps a terminating zero byte.
#ifndef BD_NETFRAMWORK_BD_PACKET_HANDLER_H
#define BD_NETFRAMWORK_BD_PACKET_HANDLER_H

#include <string>

#include "bd_common/bd_error.h"
#include "bd_netframwork/bd_packet.h"

class BdPacketHandler {
  public:
    BdPacketHandler();
    ~BdPacketHandler();
    // A copy of an owning handler would free the same block twice.
    BdPacketHandler(const BdPacketHandler &) = delete;
    BdPacketHandler &operator=(const BdPacketHandler &) = delete;

    // Reads `packet` in place (pointing state); never pass the handler's own copy, which this
    // releases. BD_PARAMETER_INVALID if packet is null or length < 1.
    int InitPointer(char *packet, int length);
    // Copies `packet` into a block the handler owns (owning state). BD_PARAMETER_INVALID if packet
    // is null or length < 1; BD_MEMORY_ERROR if the copy cannot be allocated, which leaves the
    // handler empty.
    int InitCopy(const char *packet, int length);
    // Empties the handler before it serves only as a writer; always 0.
    int InitNormal();
    // Frees an owned copy, forgets the packet; always 0.
    int Destroy();

    // Accessors over the handler's packet: a pointer into it at the structure's fixed offset.
    // BD_PARAMETER_INVALID if out is null; BD_OBJECT_NOT_INIT if the handler is empty;
    // BD_NET_PACKET_INVALID if the packet is too short (length rule in brackets).
    int GetPacketHeader(BdHeader **out);                                // [>= 16]
    int GetPacketRouterHeader(BdRouterHeader **out);                    // [>= 120]
    int GetPacketModuleHeader(BdModuleHeader **out);                    // [>= 272]
    int GetPacketHandshakeData(BdHandShakePacket **out);                // [>= 456]
    int GetCommonPacketData(char **out);                                // [>= 272], payload at 272
    int GetCommonAckHeader(BdCommonAckHeader **out);                    // [>= 280]
    int BdGetRpcCreateConnMessage(BdRpcCreateConnectionMessage **out);  // [== 448]

    // The same accessors over a caller's buffer, with the same offsets and length rules:
    // BD_PARAMETER_INVALID if packet or out is null (for the last two also if length < 1),
    // BD_NET_PACKET_INVALID if the length rule fails. Callable from any thread; they touch nothing
    // but their arguments.
    static int GetPacketHeader(const char *packet, int length, const BdHeader **out);
    static int GetPacketRouterHeader(const char *packet, int length, const BdRouterHeader **out);
    static int GetPacketModuleHeader(const char *packet, int length, const BdModuleHeader **out);
    static int GetPacketHandshakeData(const char *packet, int length,
                                      const BdHandShakePacket **out);
    static int GetCommonPacketData(const char *packet, int length, const char **out);
    static int GetCommonAckHeader(const char *packet, int length, const BdCommonAckHeader **out);
    static int BdGetRpcCreateConnMessage(const char *packet, int length,
                                         const BdRpcCreateConnectionMessage **out);

    // Hands the caller a new malloc block holding the whole packet and its length.
    // BD_PARAMETER_INVALID if out or outLength is null; BD_OBJECT_NOT_INIT if empty;
    // BD_MEMORY_ERROR if the block cannot be allocated.
    int CopyPacket(char **out, int *outLength);
    // Copies the packet's module header to offset 120 of dest and sets the copy's data_len to
    // dataLength. BD_OBJECT_NOT_INIT if empty; BD_PARAMETER_INVALID if dest is null or destLength <
    // 272; BD_NET_PACKET_INVALID if the packet is shorter than 272 bytes.
    int CopyModuleHeader(char *dest, int destLength, int dataLength);

    // Writers: each fills one structure of `buf` at its fixed offset and touches no other byte.
    // They use no handler state, so any thread may call them on a buffer it owns.
    // The structure is zeroed before its texts are copied (PackHeader stores its three fields
    // directly). BD_PARAMETER_INVALID if buf is null or bufLength is below the end of the
    // structure.
    static int PackHeader(char *buf, int bufLength, int dataLen, int reserved, int magic);
    static int PackRouterHeader(char *buf, int bufLength, int dataLen,
                                const std::string &sourceUuid, const std::string &targetUuid,
                                int sourceType, int targetType, int moduleType, int level1Type,
                                int level2Type);
    // Fills every field of the module header but `reserved`.
    static int PackModuleHeader(char *buf, int bufLength, int dataLen,
                                const std::string &referenceUuid, int messageModeType,
                                int auxValue1, int opcodeLevel, int opcodeType, int opcode,
                                int auxValue2, const std::string &sourceThreadUuid,
                                const std::string &targetThreadUuid);
    // Also BD_PARAMETER_INVALID if uuid is empty.
    static int PackHandShakePacket(char *buf, int bufLength, const std::string &uuid,
                                   const std::string &auxText, const std::string &osType,
                                   const std::string &osVersion, const std::string &processType,
                                   const std::string &hostname, int auxValue,
                                   const std::string &nodeUuid);
    // Also BD_PARAMETER_INVALID if either text is empty.
    static int PackHandShakeSuccessPacket(char *buf, int bufLength, const std::string &routerUuid,
                                          const std::string &serverPlatformUuid);
    // Copies dataLength bytes of data to offset 272. BD_PARAMETER_INVALID if buf or data is null,
    // dataLength < 1, or the buffer cannot hold 272 + dataLength bytes.
    static int PackCommonData(char *buf, int bufLength, const char *data, int dataLength);

    static int GetHeaderLen() { return sizeof(BdHeader); }
    static int GetRouterHeaderLen() { return sizeof(BdRouterHeader); }
    static int GetModuleHeaderLen() { return sizeof(BdModuleHeader); }

    // Builders of control packets answering the request held by the handler. On success *out is a
    // new malloc block owned by the caller and *outLength its length; on failure nothing is handed
    // over and every block the builder allocated is freed.

    // 200 bytes, class 1 sub-kind 1, addressed back to the request's sender, carrying routerUuid
    // and serverPlatformUuid. BD_OBJECT_NOT_INIT if empty; BD_PARAMETER_INVALID if a text is empty
    // or out or outLength is null; BD_NET_PACKET_INVALID if the request is shorter than 120 bytes;
    // BD_MEMORY_ERROR.
    int CreateHandShakeSuccessPacket(const std::string &senderUuid, int senderType,
                                     const std::string &routerUuid,
                                     const std::string &serverPlatformUuid, char **out,
                                     int *outLength);
    // 120 bytes, class 1 sub-kind 2, addressed back to the request's sender. BD_OBJECT_NOT_INIT if
    // empty; BD_PARAMETER_INVALID if senderUuid is empty or out or outLength is null;
    // BD_NET_PACKET_INVALID if the request is shorter than 120 bytes; BD_MEMORY_ERROR.
    int CreateServerNotReadyPacket(const std::string &senderUuid, int senderType, char **out,
                                   int *outLength);
    // A normal packet answering the request, whose payload is {"op_id":"<opId>"} and a line feed;
    // the request's module header is kept but for its data_len. BD_OBJECT_NOT_INIT if empty;
    // BD_PARAMETER_INVALID if out or outLength is null or opId < 1; BD_NET_PACKET_INVALID if the
    // request is shorter than 272 bytes; BD_MEMORY_ERROR.
    int CreateOpIdPacket(long opId, char **out, int *outLength);

  private:
    // Allocates a zeroed control answer of `total` bytes with both headers written, addressed back
    // to the request's sender; on failure nothing is left allocated.
    int NewControlAnswer(const std::string &senderUuid, int senderType, int level2Type, int total,
                         char **answer) const;

    char *_packet;  // null when empty
    int _length;    // 0 when empty
    bool _owned;    // true when _packet is the handler's own malloc block
};

#endif  // BD_NETFRAMWORK_BD_PACKET_HANDLER_H
