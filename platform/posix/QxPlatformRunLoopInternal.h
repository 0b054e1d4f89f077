// Between the POSIX socket layer and the POSIX run-loop backend.
#pragma once

// Drops the backend's selection for a descriptor that is about to be
// closed, as closing a socket on Windows cancels its WSAAsyncSelect.
// Queued notifications for it are then never delivered.
void QxPlatformRunLoopForgetSocket(int fd);
