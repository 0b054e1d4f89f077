// Keeps the computer awake while a client depends on it: a systemd-logind
// inhibitor lock ("sleep:idle", mode "block") taken over the system bus.
// logind hands back a descriptor; the lock lasts as long as it is open.
//
// Everything is asynchronous and runs on GLib's default main context (the
// GUI thread): hold() only sends the request, and the lock counts as held
// once the reply has arrived there. The system bus address follows GIO's
// rules (DBUS_SYSTEM_BUS_ADDRESS first).
//
// Not here: deciding when to hold (the front end does, from the disc
// service's connections); the Windows counterpart (KestKeepAwake.h).
#pragma once

#include <gio/gio.h>

class KestSleepInhibitor {
public:
    KestSleepInhibitor() = default;
    ~KestSleepInhibitor() { release(); }
    KestSleepInhibitor(const KestSleepInhibitor&) = delete;
    KestSleepInhibitor& operator=(const KestSleepInhibitor&) = delete;

    // Asks logind for the lock without waiting. Nothing while the lock is
    // held or a request is under way. Without a system bus or logind the
    // request quietly comes to nothing (one debug line per process).
    void hold();
    // Lets the computer sleep again: closes the lock's descriptor, or
    // abandons the request under way (a lock that still arrives for it is
    // closed at once). Nothing when neither.
    void release();
    bool held() const { return descriptor_ >= 0; }
    bool pending() const { return request_ != nullptr; }

private:
    struct Request;
    static void OnBus(GObject* source, GAsyncResult* result, gpointer request);
    static void OnInhibit(GObject* source, GAsyncResult* result, gpointer request);
    static void Finish(Request* request, int descriptor, const GError* error);

    int descriptor_ = -1;
    Request* request_ = nullptr;
};
