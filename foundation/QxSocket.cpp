// Socket objects: a socket handle, the callback types enabled for it, and
// the run-loop source that schedules it.
//
// While its source is in the run loop, a socket is in the socket table
// under its handle and registered with the backend for the events of its
// enabled types; a notification is looked up there by handle. Read and
// write events are told apart only as far as the callback types go:
//
//   network event                     callback type
//   read, accept, connect, close      1 (read)
//   write                             8 (write)
//   out-of-band                       none
//
// After a write event the write type is dropped from the enabled set
// (option 0x08 is never set), without telling the backend: write callbacks
// come once per enabling. Read stays enabled (option 0x01).
//
// Not here: the socket calls themselves; callers own creating, binding and
// reading their sockets.
#include <cstring>

#include "QxRunLoopInternal.h"

namespace {

struct SocketPayload {
    QxRunLoopRef runLoop;  // null while not scheduled: no notifications
    QxSocketHandle handle;  // kQxInvalidSocket once closed
    uint32_t options;
    uint32_t enabled;  // callback types
    QxSocketCallback callback;
    QxSocketContext context;
    QxRunLoopSourceRef source;  // created on first request
};

constexpr uint32_t kReadEvents = kQxSocketEventRead | kQxSocketEventAccept |
                                 kQxSocketEventConnect | kQxSocketEventClose;

SocketPayload* SocketOf(QxSocketRef object) {
    return static_cast<SocketPayload*>(QxLObjectPayload(object));
}

bool IsSocket(QxLObjectRef object) {
    return gQxRunLoop.socketType != 0 && QxLObjectIsType(object, gQxRunLoop.socketType);
}

// The handle as a plain 32-bit key of the table.
const void* TableKey(QxSocketHandle handle) {
    return reinterpret_cast<const void*>(
        static_cast<uintptr_t>(static_cast<uint32_t>(handle)));
}

// Asks the backend for the events of the enabled types, or for none while
// the socket is not scheduled. Callers ignore the result.
QxStatus Register(const SocketPayload* payload) {
    if (payload->handle == kQxInvalidSocket) return kStatusOK;
    uint32_t events = 0;
    if (payload->runLoop != nullptr) {
        if (payload->enabled & kQxSocketReadCallback) events |= kReadEvents;
        if (payload->enabled & kQxSocketWriteCallback) events |= kQxSocketEventWrite;
    }
    if (gQxRunLoop.window == nullptr) return kStatusNotInitialized;
    return QxPlatformSocketSelect(gQxRunLoop.window, payload->handle, events);
}

// Schedule callback of the socket's source.
void ScheduleSocket(void* info, QxRunLoopRef runLoop, QxLStringRef) {
    QxRunLoopLock();
    SocketPayload* payload = SocketOf(info);
    payload->runLoop = runLoop;
    if (gQxRunLoop.socketTable != nullptr &&
        QxLDictionarySetValue(gQxRunLoop.socketTable, TableKey(payload->handle), info) ==
            kStatusOK) {
        Register(payload);
    }
    QxRunLoopUnlock();
}

// Cancel callback of the socket's source.
void CancelSocket(void* info, QxRunLoopRef, QxLStringRef) {
    QxRunLoopLock();
    SocketPayload* payload = SocketOf(info);
    payload->runLoop = nullptr;
    if (gQxRunLoop.socketTable != nullptr) {
        QxLDictionaryRemoveValue(gQxRunLoop.socketTable, TableKey(payload->handle));
    }
    Register(payload);
    QxRunLoopUnlock();
}

void InvalidateSocket(QxSocketRef socket) {
    QxRunLoopLock();
    SocketPayload* payload = SocketOf(socket);
    if (gQxRunLoop.socketTable != nullptr) {
        QxLDictionaryRemoveValue(gQxRunLoop.socketTable, TableKey(payload->handle));
    }
    if ((payload->options & kQxSocketCloseOnInvalidate) && payload->handle != kQxInvalidSocket) {
        QxPlatformSocketClose(payload->handle);
        payload->handle = kQxInvalidSocket;
    }
    QxRunLoopSourceRef source = payload->source;
    payload->source = nullptr;
    QxRunLoopUnlock();
    if (source != nullptr) {
        QxRunLoopSourceInvalidateObject(source);
        QxLObjectRelease(source);
    }
}

void FinalizeSocket(QxLObjectRef object) { InvalidateSocket(object); }

// The type is registered again if the registry was reset since.
bool SocketTypeRegistered() {
    if (gQxRunLoop.socketType == 0) return false;
    const char* name = QxLTypeName(gQxRunLoop.socketType);
    return name != nullptr && std::strcmp(name, "QxSocket") == 0;
}

// Run loop, "QxSocket" type and socket table.
QxStatus SetUpSocketLayer() {
    QxStatus status = QxRunLoopEnsureInitialized();
    if (status != kStatusOK) return status;
    QxRunLoopLock();
    if (!SocketTypeRegistered()) {
        QxLClassRecord record{};
        record.name = "QxSocket";
        record.finalize = FinalizeSocket;
        gQxRunLoop.socketType = QxLRegisterType(&record);
        if (gQxRunLoop.socketType == 0) status = kStatusUnknown;
    }
    if (status == kStatusOK && gQxRunLoop.socketTable == nullptr &&
        QxLDictionaryCreate(nullptr, nullptr, &gQxRunLoop.socketTable) != kStatusOK) {
        gQxRunLoop.socketTable = nullptr;
        status = kStatusNoMemory;
    }
    QxRunLoopUnlock();
    return status;
}

}  // namespace

void QxSocketDispatch(QxSocketHandle handle, uint32_t event) {
    if (gQxRunLoop.socketTable == nullptr) return;
    QxRunLoopLock();
    QxSocketRef socket = QxLDictionaryGet(gQxRunLoop.socketTable, TableKey(handle));
    if (socket == nullptr) {
        QxRunLoopUnlock();
        return;
    }
    SocketPayload* payload = SocketOf(socket);
    uint32_t occurred = 0;
    if (event & kReadEvents) occurred |= kQxSocketReadCallback;
    if (event & kQxSocketEventWrite) occurred |= kQxSocketWriteCallback;
    uint32_t enabled = payload->enabled;
    if ((occurred & kQxSocketReadCallback) && !(payload->options & kQxSocketKeepReadCallback)) {
        payload->enabled &= ~kQxSocketReadCallback;
    }
    if ((occurred & kQxSocketWriteCallback) && !(payload->options & kQxSocketKeepWriteCallback)) {
        payload->enabled &= ~kQxSocketWriteCallback;
    }
    QxSocketCallback callback = payload->callback;
    void* info = payload->context.info;
    QxRunLoopUnlock();
    if ((enabled & occurred) != 0 && callback != nullptr) {
        callback(socket, occurred, nullptr, nullptr, info);
    }
}

QxSocketRef QxSocketCreate(QxSocketHandle handle, uint32_t callbackTypes,
                           QxSocketCallback callback, const QxSocketContext* context) {
    if (SetUpSocketLayer() != kStatusOK) return nullptr;
    void* socket = QxLObjectAllocate(sizeof(SocketPayload), gQxRunLoop.socketType);
    if (socket == nullptr) return nullptr;
    SocketPayload* payload = SocketOf(socket);
    *payload = SocketPayload{};
    payload->handle = handle;
    payload->options = kQxSocketDefaultOptions;
    payload->enabled = callbackTypes;
    payload->callback = callback;
    if (context != nullptr) payload->context = *context;
    return socket;
}

QxRunLoopSourceRef QxSocketCreateRunLoopSource(QxSocketRef socket) {
    if (!IsSocket(socket)) return nullptr;
    QxRunLoopLock();
    SocketPayload* payload = SocketOf(socket);
    if (payload->source == nullptr) {
        QxRunLoopSourceContext context{const_cast<void*>(socket), ScheduleSocket, CancelSocket};
        payload->source = QxRunLoopSourceCreate(&context);
    }
    QxRunLoopSourceRef source = payload->source;
    if (source != nullptr) QxLObjectRetain(source);
    QxRunLoopUnlock();
    return source;
}

void QxSocketEnableCallbacks(QxSocketRef socket, uint32_t types) {
    if (!IsSocket(socket)) return;
    QxRunLoopLock();
    SocketPayload* payload = SocketOf(socket);
    payload->enabled |= types;
    Register(payload);
    QxRunLoopUnlock();
}

void QxSocketDisableCallbacks(QxSocketRef socket, uint32_t types) {
    if (!IsSocket(socket)) return;
    QxRunLoopLock();
    SocketPayload* payload = SocketOf(socket);
    payload->enabled &= ~types;
    Register(payload);
    QxRunLoopUnlock();
}

void QxSocketInvalidate(QxSocketRef socket) {
    if (IsSocket(socket)) InvalidateSocket(socket);
}
