// Console programs' side of the system: the requests to stop (Ctrl-C, a
// termination request), whether a stream is a terminal, and system errors
// in words for one-line messages.
//
//   system   requests watched                          a second request
//   POSIX    SIGINT, SIGTERM                           the default action
//   Windows  Ctrl-C, Ctrl-Break, closing the console   the default action
//
// A request only sets the caller's flag: the program notices it at its
// next look (the Linux pump wakes up for a signal; on Windows the handler
// runs on a thread of its own, so the program looks in short slices). The
// first request is the one the program handles; the handlers are then gone,
// so a second one ends a program that no longer responds.
//
// Not here: any other signal, and the run loop's own waiting.
#pragma once

#include <cstddef>
#include <cstdio>

#include "QxLStatus.h"

// Watches for stop requests: each sets *flag to true. The flag must stay
// valid until QxPlatformSignalUnwatch. kStatusAlreadyInitialized while a
// watch is active; kStatusBadParameter for a null flag; the system error.
QxStatus QxPlatformSignalWatch(volatile bool* flag);

// Puts back the handling that was in place before the watch. Does nothing
// without one.
void QxPlatformSignalUnwatch();

// Whether the stream is connected to a terminal (a console on Windows).
bool QxPlatformStreamIsTerminal(FILE* stream);

// Whether the stream is a terminal that can be redrawn in place with the
// usual control sequences (cursor up, erase below), which are turned on
// first where the console needs it; then *rows and *columns hold its size
// (24 by 80 when it cannot be told).
bool QxPlatformStreamLiveScreen(FILE* stream, int* rows, int* columns);

// The system's own wording of a positive error number (strerror, or
// FormatMessage for Windows and Windows Sockets errors), NUL-terminated in
// text (size bytes), without a trailing period or line break. False when the
// system has no text for it (text is then empty).
bool QxPlatformErrorText(QxStatus error, char* text, size_t size);

// Whether a socket error says that the address or port is taken by another
// socket (EADDRINUSE, WSAEADDRINUSE), or that this user may not bind it
// (EACCES, WSAEACCES).
bool QxPlatformErrorIsAddressInUse(QxStatus error);
bool QxPlatformErrorIsAccessDenied(QxStatus error);
