#include "bd_netframwork/bd_connection.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bd_common/bd_error.h"
#include "bd_common/bd_log_entry.h"
#include "bd_common/bd_time.h"
#include "bd_netframwork/bd_conn_manager.h"
#include "bd_netframwork/bd_memory_return.h"
#include "bd_netframwork/bd_network.h"
#include "bd_netframwork/bd_packet.h"
#include "bd_netframwork/bd_poll.h"

BD_LOG_SOURCE_FILE("src/bd_netframwork/bd_connection")

BdConnection::BdConnection()
    : _manager(nullptr),
      _reapSchedule(nullptr),
      _network(nullptr),
      _fd(-1),
      _eventMask(0),
      _timeout(0),
      _closeFlag(0),
      _readBuffer(nullptr),
      _bytesHeld(0),
      _readBufferCapacity(0),
      _sendOffset(0),
      _initialised(false),
      _workThreadManager(nullptr),
      _workThreadsEnabled(false),
      _slicePacketsLeft(kReadSlicePackets),
      _serial(0),
      _queuedBytes(0),
      _reservedSlots(0) {}

BdConnection::~BdConnection() {
    ReleaseResources();
}

int BdConnection::InitCommon(BdConnManager *manager, const std::function<void()> &openSocket) {
    if (_initialised) {
        return BD_OBJECT_REPEAT;
    }
    _network = new (std::nothrow) BdNetwork();
    if (_network == nullptr) {
        return BD_MEMORY_ERROR;
    }
    openSocket();
    // Not touched until bytes arrive, so an idle connection costs little resident memory.
    _readBuffer = static_cast<char *>(malloc(kReadBufferInitialSize));
    if (_readBuffer == nullptr) {
        delete _network;
        _network = nullptr;
        return BD_MEMORY_ERROR;
    }
    _readBufferCapacity = kReadBufferInitialSize;
    _manager = manager;
    _reapSchedule = manager->ReapSchedule();
    _bytesHeld = 0;
    _sendOffset = 0;
    _closeFlag = 0;
    _startSecond = BdTime::Now().ToSecond();
    _initialised = true;
    return BD_SUCCESS;
}

int BdConnection::Init(const std::string &address, int port, BdConnManager *manager) {
    if (address.empty() || port < 1 || manager == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    return InitCommon(manager, [&] { _network->Init(address, port, BdNetwork::kPlainSocket); });
}

int BdConnection::Init(int fd, BdConnManager *manager) {
    if (fd < 1 || manager == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    return InitCommon(manager, [&] {
        _network->Init(fd, BdNetwork::kPlainSocket);
        _fd = fd;
    });
}

void BdConnection::ReleaseResources() {
    if (_network != nullptr) {
        _network->Destroy();
        delete _network;
        _network = nullptr;
    }
    free(_readBuffer);
    BdNoteFreed(static_cast<size_t>(_readBufferCapacity));
    _readBuffer = nullptr;
    for (const _BD_SEND_ITEM &item : _writeQueue) {
        free(item.data);
        BdNoteFreed(item.length > 0 ? static_cast<size_t>(item.length) : 0);
    }
    _writeQueue.clear();
    CountQueued(-QueuedBytes());
    _reservedSlots.store(0, std::memory_order_relaxed);
}

int BdConnection::Destroy() {
    _initialised = false;
    _workThreadsEnabled = false;
    ReleaseResources();
    _manager = nullptr;
    _reapSchedule = nullptr;
    _readBufferCapacity = 0;
    _bytesHeld = 0;
    _fd = -1;
    _closeFlag = 1;
    return BD_SUCCESS;
}

int BdConnection::OnEvent(epoll_event *event) {
    if (event == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    // Writes first: a queue that can move frees memory before more input creates more work.
    if (event->events & EPOLLOUT) {
        OnOut(event);
    }
    if (event->events & (EPOLLIN | EPOLLRDHUP)) {
        OnIn(event);
    }
    if (event->events & EPOLLHUP) {
        OnErr(event);
    }
    return BD_SUCCESS;
}

int BdConnection::OnIn(epoll_event *) {
    return BD_SUCCESS;
}

int BdConnection::OnOut(epoll_event *) {
    return BD_SUCCESS;
}

int BdConnection::OnErr(epoll_event *) {
    CloseSelf();
    return BD_SUCCESS;
}

int BdConnection::ParsePacketHeader(char *data, int length, int *packetLength) {
    if (data == nullptr || length == 0 || packetLength == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    return BdParseNetHeader(data, length > 0 ? static_cast<size_t>(length) : 0, packetLength);
}

int BdConnection::ExtractPackets(int received) {
    _bytesHeld += received;
    // Packets are cut from a moving offset and the remainder is moved to the buffer start once,
    // at the end, rather than after every packet.
    int consumed = 0;
    int pendingLength = 0;  // length of an incomplete packet whose header has arrived
    int rc = BD_SUCCESS;
    while (consumed < _bytesHeld && _slicePacketsLeft > 0 && !_manager->InputPaused(*this)) {
        int remaining = _bytesHeld - consumed;
        int total = 0;
        rc = ParsePacketHeader(_readBuffer + consumed, remaining, &total);
        if (rc == BD_NET_HEADER_INCOMPLETE) {
            rc = BD_SUCCESS;
            break;
        }
        if (rc != BD_SUCCESS) {
            break;
        }
        // Asked before the body is read, so a packet held back costs no more than its headers.
        if (!_packetAdmitted && (remaining >= total || remaining >= kBdBodyOffset)) {
            if (!AdmitPacket(_readBuffer + consumed, remaining, total)) {
                break;
            }
            _packetAdmitted = true;
        }
        if (remaining < total) {
            pendingLength = total;
            break;
        }
        _packetAdmitted = false;
        _traffic.packets_in.Add();
        _traffic.bytes_in.Add(total);
        const char *const buffer = _readBuffer;
        ParsePacket(_readBuffer + consumed, total);
        _manager->ReleaseAdmission(*this);
        consumed += total;
        // The packet left with the buffer it filled (PacketBlock): nothing else was in it.
        if (_readBuffer != buffer) {
            consumed = _bytesHeld = 0;
        }
        --_slicePacketsLeft;
    }
    if (consumed > 0) {
        _bytesHeld -= consumed;
        memmove(_readBuffer, _readBuffer + consumed, static_cast<size_t>(_bytesHeld));
    }
    if (rc != BD_SUCCESS) {
        return rc;
    }
    // A packet longer than the buffer: grow to exactly its length, keeping what arrived of it.
    if (pendingLength > _readBufferCapacity && !ResizeReadBuffer(pendingLength)) {
        return BD_MEMORY_ERROR;
    }
    return BD_SUCCESS;
}

bool BdConnection::ResizeReadBuffer(int capacity) {
    char *resized = static_cast<char *>(malloc(static_cast<size_t>(capacity)));
    if (resized == nullptr) {
        return false;
    }
    memcpy(resized, _readBuffer, static_cast<size_t>(_bytesHeld));
    free(_readBuffer);
    BdNoteFreed(static_cast<size_t>(_readBufferCapacity));
    _readBuffer = resized;
    _readBufferCapacity = capacity;
    return true;
}

void BdConnection::ShrinkReadBuffer() {
    // Only an admitted packet keeps the room: one held back may wait for long, and a buffer that
    // carried a long packet is resident to its last page.
    if (_readBufferCapacity <= kReadBufferInitialSize || _packetAdmitted) {
        return;
    }
    // Should it fail, the larger buffer is harmless.
    ResizeReadBuffer(std::max(kReadBufferInitialSize, _bytesHeld));
}

char *BdConnection::PacketBlock(const char *data, int length) {
    // A long packet fills a buffer grown to its length: that buffer goes with it, and reading
    // goes on in a fresh one, so the packet is neither copied nor its pages touched twice.
    if (data == _readBuffer && length == _readBufferCapacity && length > kReadBufferInitialSize) {
        char *fresh = static_cast<char *>(malloc(kReadBufferInitialSize));
        if (fresh != nullptr) {
            char *block = _readBuffer;
            _readBuffer = fresh;
            _readBufferCapacity = kReadBufferInitialSize;
            return block;
        }
    }
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(length)));
    if (copy != nullptr) {
        memcpy(copy, data, static_cast<size_t>(length));
    }
    return copy;
}

bool BdConnection::AdmitPacket(const char *, int, int) {
    return true;
}

int BdConnection::Bind() {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    _network->SetReuseAddr();
    return TakeSocket(_network->Bind(), BD_SOCKET_BIND_ERROR);
}

int BdConnection::Listen() {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    return _network->Listen() == 0 ? BD_SUCCESS : BD_SOCKET_LISTEN_ERROR;
}

int BdConnection::Connect() {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    return TakeSocket(_network->Connect(), BD_SOCKET_CONNECT_ERROR);
}

int BdConnection::TakeSocket(int stepResult, int failure) {
    if (stepResult != 0) {
        return failure;
    }
    _fd = _network->GetSocket();
    return BD_SUCCESS;
}

int BdConnection::SetNonBlocking() {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    return _network->SetNonBlocking() == 0 ? BD_SUCCESS : BD_SOCKET_NONBLOCKING_ERROR;
}

int BdConnection::CloseConnection() {
    return BD_SUCCESS;
}

void BdConnection::CloseSelf(CloseReason reason) {
    if (!_closeReasonSet) {
        _closeReason = reason;
        _closeReasonSet = true;
    }
    CloseSelf();
}

void BdConnection::CloseSelf() {
    _closeFlag = 1;
    if (_reapSchedule != nullptr) {
        _reapSchedule->DueNow();
    }
}

void BdConnection::SetTimeout(long deadline) {
    _timeout = deadline;
    if (_reapSchedule != nullptr) {
        _reapSchedule->DueBy(deadline);
    }
}

std::string BdConnection::GetPeerIP() {
    std::string ip;
    if (_initialised) {
        _network->GetCurrentSocketIP(&ip);
    }
    return ip;
}

std::string BdConnection::GetLocalIP() {
    std::string ip;
    if (_initialised) {
        _network->GetLoacalScoketIP(&ip);
    }
    return ip;
}

int BdConnection::PutWriteQueueItem(char *data, const int &length) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    bool overflowing = false;
    bool sendable = false;
    {
        BdMutexLocker lock(_writeQueueMutex);
        if (_writeQueue.empty()) {
            _manager->StartWriteWait(*this);
        }
        _writeQueue.push_back({data, length});
        _traffic.packets_out.Add();
        _traffic.bytes_out.Add(length > 0 ? length : 0);
        CountQueued(length > 0 ? length : 0);
        overflowing = QueuedBytes() >= kQueueAllowanceBytes;
        sendable = FrontSendable();
    }
    // Past its allowance the queue must keep moving: the reaper looks again once it could have
    // stood still too long.
    if (overflowing) {
        _manager->WatchOverflow(*this);
    }
    if (sendable) {
        ScheduleSend();
    }
    return BD_SUCCESS;
}

int BdConnection::RestoreHandedOver(const std::string &heldInput, int sentOfFront,
                                    long startSecond) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    const int needed = static_cast<int>(heldInput.size());
    if (needed > _readBufferCapacity && !ResizeReadBuffer(needed)) {
        return BD_MEMORY_ERROR;
    }
    heldInput.copy(_readBuffer, heldInput.size());
    _bytesHeld = needed;
    _sendOffset = sentOfFront;
    _startSecond = startSecond;
    return BD_SUCCESS;
}

bool BdConnection::FrontSendable() const {
    return !_writeQueue.empty() && _writeQueue.front().length != kReservedSlotLength;
}

void BdConnection::ReserveWriteSlot() {
    BdMutexLocker lock(_writeQueueMutex);
    // A reserved slot is not waiting for the socket: the stall clock starts once it is answered.
    _writeQueue.push_back({nullptr, kReservedSlotLength});
    _reservedSlots.fetch_add(1, std::memory_order_relaxed);
}

int BdConnection::AnswerInWriteSlot(const std::function<int()> &queueAnswer) {
    std::deque<_BD_SEND_ITEM> behind;
    int64_t behindBytes = 0;
    {
        BdMutexLocker lock(_writeQueueMutex);
        auto slot = _writeQueue.begin();
        while (slot != _writeQueue.end() && slot->length != kReservedSlotLength) {
            ++slot;
        }
        if (slot != _writeQueue.end()) {
            for (auto item = slot + 1; item != _writeQueue.end(); ++item) {
                behindBytes += item->length > 0 ? item->length : 0;
            }
            behind.assign(std::make_move_iterator(slot + 1),
                          std::make_move_iterator(_writeQueue.end()));
            _writeQueue.erase(slot, _writeQueue.end());
            _reservedSlots.fetch_sub(1, std::memory_order_relaxed);
            CountQueued(-behindBytes);
            if (_writeQueue.empty()) {
                _manager->StopWriteWait(*this);
            }
        }
    }
    const int rc = queueAnswer();
    bool sendable = false;
    {
        BdMutexLocker lock(_writeQueueMutex);
        if (_writeQueue.empty() && !behind.empty()) {
            _manager->StartWriteWait(*this);
        }
        _writeQueue.insert(_writeQueue.end(), behind.begin(), behind.end());
        CountQueued(behindBytes);
        sendable = FrontSendable();
    }
    if (sendable) {
        ScheduleSend();
    }
    return rc;
}

bool BdConnection::HasUnreadInput() const {
    int unread = 0;
    return _fd >= 0 && ioctl(_fd, FIONREAD, &unread) == 0 && unread > 0;
}

void BdConnection::ScheduleSend() {
    // With write interest armed a writable event is pending or to come (the socket refused data,
    // or another thread armed it), and that event puts the connection on the output-ready list.
    if ((GetEventMask() & EPOLLOUT) != 0) {
        return;
    }
    if (_manager->InLoopThread()) {
        _manager->QueueOutput(this);
    } else {
        ArmWriteInterest();
    }
}

void BdConnection::ArmWriteInterest() {
    if (GetEventMask() != kBdReadWriteInterest) {
        _manager->CtlFD(_fd, kBdReadWriteInterest);
    }
}

void BdConnection::DropWriteInterest() {
    if (GetEventMask() != kBdReadInterest) {
        _manager->CtlFD(_fd, kBdReadInterest);
    }
}

int BdConnection::GetWriteQueueItem(char **data, int *length) {
    if (!_initialised) {
        return BD_OBJECT_NOT_INIT;
    }
    if (data == nullptr || length == nullptr) {
        return BD_PARAMETER_INVALID;
    }
    BdMutexLocker lock(_writeQueueMutex);
    if (!FrontSendable()) {
        return BD_QUEUE_EMPTY;
    }
    const _BD_SEND_ITEM item = _writeQueue.front();
    _writeQueue.pop_front();
    CountQueued(item.length > 0 ? -item.length : 0);
    // Taking a packet is progress for the write deadline, as a send would be.
    if (!FrontSendable()) {
        _manager->StopWriteWait(*this);
    } else {
        _manager->StartWriteWait(*this);
    }
    *data = item.data;
    *length = item.length;
    return BD_SUCCESS;
}

bool BdConnection::PeekWriteQueueItem(char **data, int *length) {
    BdMutexLocker lock(_writeQueueMutex);
    if (!FrontSendable()) {
        _manager->StopWriteWait(*this);
        DropWriteInterest();
        return false;
    }
    *data = _writeQueue.front().data;
    *length = _writeQueue.front().length;
    return true;
}

void BdConnection::DropWriteQueueItem() {
    _BD_SEND_ITEM item{nullptr, 0};
    {
        BdMutexLocker lock(_writeQueueMutex);
        if (_writeQueue.empty()) {
            return;
        }
        item = _writeQueue.front();
        _writeQueue.pop_front();
        CountQueued(item.length > 0 ? -item.length : 0);
        // The next goes out in this write slice or the next, without asking epoll again.
        if (!FrontSendable()) {
            _manager->StopWriteWait(*this);
            DropWriteInterest();
        } else {
            _manager->QueueOutput(this);
        }
    }
    free(item.data);
    BdNoteFreed(item.length > 0 ? static_cast<size_t>(item.length) : 0);
    _manager->NoteDrained(*this);
}

void BdConnection::EnableWorkThreads(BdWorkThreadManager *pool) {
    _workThreadManager = pool;
    _workThreadsEnabled = pool != nullptr;
}

void BdConnection::CountQueued(int64_t delta) {
    const int64_t before = _queuedBytes.fetch_add(delta, std::memory_order_relaxed);
    if (_manager != nullptr && delta != 0) {
        _manager->NoteQueuedBytes(delta, before == 0 ? 1 : before + delta == 0 ? -1 : 0);
    }
}

void BdConnection::CloseStalled(const char *what, const std::string &why, const char *function) {
    BD_LOG(BD_LOG_ERROR, BD_SOCKET_TIMEOUT,
           what + std::to_string(_fd) + " uuid: " + _uuid +
               " queued bytes: " + std::to_string(QueuedBytes()) + why + " connection close",
           function);
    CloseSelf(kCloseWriteDeadline);
}
