// The run loop served from GLib's main loop (see KestGLibRunLoop.h).
#include "KestGLibRunLoop.h"

#include <glib-unix.h>

#include "QxPlatformRunLoop.h"

bool KestGLibRunLoop::attach() {
    if (sourceId_ != 0) return true;
    int descriptor = QxRunLoopPumpFileDescriptor();
    if (descriptor < 0) return false;
    sourceId_ = g_unix_fd_add(descriptor, G_IO_IN, &KestGLibRunLoop::OnReady, this);
    return sourceId_ != 0;
}

void KestGLibRunLoop::detach() {
    if (sourceId_ == 0) return;
    g_source_remove(sourceId_);
    sourceId_ = 0;
}

gboolean KestGLibRunLoop::OnReady(gint, GIOCondition, gpointer) {
    // A failure here is the backend's and does not stop the wizard: the
    // next readiness tries again.
    QxRunLoopPumpDispatchReady();
    return G_SOURCE_CONTINUE;
}
