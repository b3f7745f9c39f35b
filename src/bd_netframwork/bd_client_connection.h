// BdClientConnection: a connection that speaks the packet protocol over one socket.
//
// It turns EPOLLIN edges into whole packets, sorts each packet by its router header, sends its
// write queue when the socket is writable, and offers the senders that answer a peer with control
// packets. Subclasses replace ParsePacket and HandleNormalPacket and keep the rest.
//
// Threads. OnIn, OnOut, OnErr, ParsePacket and the Handle... operations run on the event-loop
// thread only, inside the manager's dispatch; so do the senders when the router calls them.
// PackAndSendOpIdPacket touches nothing but the request and the write queue, so another thread may
// call it too; the other senders read UUIDs or the read buffer, which belong to the event-loop
// thread, and are called there only. A packet handed to ParsePacket or a handler
// lies in the read buffer and is valid only during the call. Every reply is a malloc block owned by
// the write queue from the moment it is queued.
//
// One turn reads a slice (see BdConnection) and sends as much as a read slice; what is left waits
// on the manager's ready lists, which stand in for the edges epoll will not repeat. A socket that
// refuses data keeps the packet and its send offset, with write interest armed.
//
// TLS: on an accepted socket StartServerTls makes the connection speak TLS. OnIn and OnOut first
// move the TLS handshake on as far as the socket allows, without blocking the loop; until it is
// complete no packet is read. A failed handshake is logged and closes the connection; one that is
// still pending when the manager reaps the connection (its deadline passed) is logged as timed
// out. Once complete, the peer's certificate, if any, becomes its identity and
// OnTlsHandshakeDone runs.
//
// Failure: every read or write failure, a hang-up and an invalid net header are logged and close
// the connection by its close flag; the manager destroys it on its next CheckTimeout.
#ifndef BD_NETFRAMWORK_BD_CLIENT_CONNECTION_H
#define BD_NETFRAMWORK_BD_CLIENT_CONNECTION_H

#include <string>

#include <openssl/ssl.h>

#include "bd_netframwork/bd_connection.h"

class BdClientConnection : public BdConnection {
  public:
    BdClientConnection() = default;

    // Virtual operations, in slot order.

    int Init(const std::string &address, int port, BdConnManager *manager) override;
    int Init(int fd, BdConnManager *manager) override;
    int Destroy() override;
    // Reads one slice and hands its whole packets to ParsePacket. Returns BD_SOCKET_EAGAIN when the
    // socket is drained, or when nothing is read because the input is held or already queued for
    // this turn; 0 when the slice ended with input left (queued for the next turn). Any other
    // result closed the connection: BD_PEER_CLOSE_CONNECTION the peer closed, BD_ERROR a receive
    // error or an invalid net header, BD_MEMORY_ERROR the read buffer could not grow,
    // BD_OBJECT_NOT_INIT not initialised (nothing closed). The event may be null.
    int OnIn(epoll_event *event) override;
    // Sends one write slice of the queue; the manager calls it once per turn for a connection on
    // its output-ready list. 0 when packets were completed or one partly sent; BD_SOCKET_EAGAIN
    // when the socket refused data (kept for the next writable edge); BD_QUEUE_EMPTY when the
    // queue was empty (back to read interest); BD_CONNECTION_WRITE_ITEM_INVALID for an invalid
    // queue item (dropped, connection open); any other result closed the connection.
    int OnOut(epoll_event *event) override;
    // A hang-up: logs and closes; returns 0.
    int OnErr(epoll_event *event) override;
    // Base sorting by message_level1_type: class 1 sub-kind 1 to HandleHandShakeSuccessAckPacket
    // (other control packets ignored), class 3 to HandleNormalPacket, anything else to
    // HandleOtherPacket. BD_PARAMETER_INVALID for null data or length <= 0,
    // BD_NET_HEADER_INCOMPLETE below 120 bytes, no handler called; else 0 whatever the handler
    // returned.
    int ParsePacket(const char *data, int length) override;

    // Senders: each builds one reply in a new malloc block and queues it on this connection,
    // returning PutWriteQueueItem's result. On failure nothing is queued, nothing leaks, the
    // failure is logged where a message exists and its code returned. All give BD_OBJECT_NOT_INIT
    // when not initialised and BD_PARAMETER_INVALID for a null request or length < 1.

    // Server-not-ready answer (120 bytes) to request, from the current process UUID.
    virtual int PackAndSendServerNotReadyAckPacket(int sourceType, const char *request, int length);
    // Handshake-success answer (200 bytes) to request carrying the current process UUID and the
    // server platform UUID; refused (BD_PARAMETER_INVALID) while the latter is empty.
    virtual int PackAndSendHandShakeSuccessAckPacket(int sourceType, const char *request,
                                                     int length);
    // Op-id answer to a normal packet; opId must be at least 1.
    virtual int PackAndSendOpIdPacket(const char *request, int length, long opId);
    // Invalid-data answer (120 bytes) addressed to this connection's peer.
    virtual int PackAndSendInvalidDataAckPacket(int sourceType);
    // Target-connection-lost answer: request's bytes with source and target exchanged in its
    // router header, class 1 sub-kind 3; the rest of the packet is the request's, byte for byte.
    // A long request that filled the read buffer is answered in that buffer (PacketBlock).
    virtual int PackAndSendTargetConnLostPacket(int sourceType, const char *request, int length);

    // On an outgoing connection, the router's answer to our handshake: records the server platform
    // (which sets the manager's ready flag) and this descriptor as the remote server.
    // BD_OBJECT_NOT_INIT, BD_PARAMETER_INVALID, or BD_NET_PACKET_INVALID for a packet that is not
    // exactly 200 bytes (nothing recorded).
    virtual int HandleHandShakeSuccessAckPacket(const char *data, int length);
    // Base handling of a normal packet: to the named work thread if target_thread_uuid is set,
    // else to HandlePublicPacket or HandlePrivatePacket by opcode_level. BD_PARAMETER_INVALID;
    // BD_NET_PACKET_INVALID below 272 bytes; BD_NET_PACKET_INVALID for an unknown opcode level
    // (logged); 0 after handing it to a work thread, whatever the thread answered.
    virtual int HandleNormalPacket(const char *data, int length);
    // Hooks for subclasses: the first two return 0, HandleOtherPacket BD_NET_PACKET_INVALID.
    virtual int HandlePublicPacket(int opcodeType, int opcode, const char *data, int length);
    virtual int HandlePrivatePacket(int opcodeType, int opcode, const char *data, int length);
    virtual int HandleOtherPacket(const char *data, int length);
    // Copies the packet and hands the copy to the work thread registered under threadUuid, which
    // owns it on success. BD_PARAMETER_INVALID; BD_OBJECT_NOT_INIT when work threads are not
    // enabled on this connection; the pool's lookup error; BD_MEMORY_ERROR; or the thread's refusal
    // (logged, copy freed).
    virtual int HandlePushToThreadPacket(const std::string &threadUuid, const char *data,
                                         int length);

    // Called once the TLS handshake completed, before the first packet is read; the peer's
    // identity is known by then. Does nothing here.
    virtual void OnTlsHandshakeDone();

    // Not virtual: the handshake (456 bytes) a process sends first on a connection it opened
    // itself, with this host's facts and the manager's node UUID.
    int PackAndSendHandShakePacket(int moduleType, int sourceType, int targetType, int level2Type,
                                   int auxValue);

    // Makes this accepted connection speak TLS with context (shared, not owned); before it is
    // registered with the manager. 0; BD_ERROR when the session cannot be made;
    // BD_OBJECT_NOT_INIT when not initialised.
    int StartServerTls(SSL_CTX *context);
    // The connection speaks TLS (StartServerTls succeeded).
    bool UsesTls() const;

  private:
    // Moves a pending TLS handshake on: 0 when complete (now or before), BD_SOCKET_EAGAIN while it
    // waits for the socket (write interest armed when it needs to write), BD_ERROR when it failed
    // (logged, connection closed).
    int AdvanceTlsHandshake();
    // Logs the close of a failed read or write (debug level when the peer closed, error level with
    // the code otherwise) and sets the close flag.
    void CloseAfterFailure(const char *prefix, int code, const char *function, int line);
    // Sends what the socket takes of the front packet (data, length) from the send offset, which
    // goes back to 0 once the packet is out: 0, BD_SOCKET_EAGAIN with write interest armed, or
    // the failure that must close the connection.
    int SendFront(const char *data, int length, bool more);
    // Builds an answer to request with build (a builder reading the request in place) and queues
    // it; a request the handler refuses gives BD_ERROR, a build failure is logged with
    // failureMessage.
    template <typename Build>
    int AnswerRequest(const char *request, int length, const char *failureMessage, Build build,
                      const char *function, int line);

    bool _readToEnd = false;  // an event carried the peer's close: read until the socket says so
};

#endif  // BD_NETFRAMWORK_BD_CLIENT_CONNECTION_H
