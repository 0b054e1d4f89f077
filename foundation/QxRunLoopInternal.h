// Shared between QxRunLoop.cpp and QxSocket.cpp: the run loop's global
// state and the entry points the hidden window's procedure uses.
#pragma once

#include "QxLDictionary.h"
#include "QxPlatformRunLoop.h"
#include "QxRunLoop.h"

struct QxRunLoopGlobals {
    QxPlatformLock* lock;      // null while not initialised
    QxPlatformWindow* window;  // the hidden window
    uint32_t runLoopType;
    uint32_t sourceType;
    uint32_t timerType;
    uint32_t socketType;       // registered on first use of sockets
    QxRunLoopRef mainRunLoop;
    QxLDictionaryRef socketTable;  // handle (32-bit key) -> QxSocket, not retained
};

extern QxRunLoopGlobals gQxRunLoop;

// The run-loop lock; both do nothing while it does not exist, so that
// objects released after shutdown still tear down.
void QxRunLoopLock();
void QxRunLoopUnlock();

// Invalidation without the public type check (finalisers and sockets call
// it for objects whose type they know).
void QxRunLoopSourceInvalidateObject(QxRunLoopSourceRef source);

// Socket message from the hidden window: the handle and one network event.
void QxSocketDispatch(QxSocketHandle handle, uint32_t event);
