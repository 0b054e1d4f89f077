// The run loop served from GLib's main loop, on the one GUI thread: a
// source on the run loop's embeddable descriptor dispatches every timer
// and socket message that is ready whenever the descriptor turns readable.
// Because the source belongs to the default main context, nested main
// loops (the wizard's modal dialogs) serve it as well.
//
// Not here: creating the run loop (QxRunLoopInitialize) or its messages.
#pragma once

#include <glib.h>

class KestGLibRunLoop {
public:
    KestGLibRunLoop() = default;
    ~KestGLibRunLoop() { detach(); }
    KestGLibRunLoop(const KestGLibRunLoop&) = delete;
    KestGLibRunLoop& operator=(const KestGLibRunLoop&) = delete;

    // Watches the descriptor of the run loop of this thread (which must
    // exist); false when there is none.
    bool attach();
    void detach();
    bool attached() const { return sourceId_ != 0; }

private:
    static gboolean OnReady(gint descriptor, GIOCondition condition, gpointer self);
    guint sourceId_ = 0;
};
