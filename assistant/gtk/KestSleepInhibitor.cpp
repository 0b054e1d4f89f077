// The logind inhibitor lock (see KestSleepInhibitor.h).
#include "KestSleepInhibitor.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

namespace {

constexpr const char* kLogindService = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kLogindManager = "org.freedesktop.login1.Manager";
constexpr const char* kInhibitWhat = "sleep:idle";
constexpr const char* kInhibitWho = "Tamsor";
constexpr const char* kInhibitWhy = "A computer is starting up or installing from this computer's disc";
constexpr const char* kInhibitMode = "block";

// A wizard without logind says so once, not at every client.
void ReportUnavailable(const GError* error) {
    static bool reported = false;
    if (reported) return;
    reported = true;
    g_debug("The computer may sleep while serving: no logind inhibitor lock (%s)",
            error != nullptr ? error->message : "unknown error");
}

// The descriptor that the Inhibit reply's handle names, or -1 with *error set.
int ReplyDescriptor(GVariant* reply, GUnixFDList* descriptors, GError** error) {
    gint32 index = -1;
    g_variant_get(reply, "(h)", &index);
    if (descriptors == nullptr || index < 0 || index >= g_unix_fd_list_get_length(descriptors)) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA,
                            "the reply carries no descriptor");
        return -1;
    }
    return g_unix_fd_list_get(descriptors, index, error);
}

}  // namespace

// One request on its way. It outlives a release() (and the inhibitor
// itself), which only clears its owner: GIO still calls back with it.
struct KestSleepInhibitor::Request {
    KestSleepInhibitor* owner;
    GCancellable* cancellable;
};

void KestSleepInhibitor::hold() {
    if (held() || request_ != nullptr) return;
    request_ = new Request{this, g_cancellable_new()};
    g_bus_get(G_BUS_TYPE_SYSTEM, request_->cancellable, &KestSleepInhibitor::OnBus, request_);
}

void KestSleepInhibitor::release() {
    if (request_ != nullptr) {
        request_->owner = nullptr;
        g_cancellable_cancel(request_->cancellable);
        request_ = nullptr;
    }
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = -1;
}

void KestSleepInhibitor::OnBus(GObject*, GAsyncResult* result, gpointer data) {
    auto* request = static_cast<Request*>(data);
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    if (bus == nullptr || request->owner == nullptr) {
        Finish(request, -1, error);
        g_clear_error(&error);
        g_clear_object(&bus);
        return;
    }
    // A restarted system bus must not end the wizard (GIO's default for
    // the shared connection); a lost lock only lets the computer sleep.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_dbus_connection_call_with_unix_fd_list(
        bus, kLogindService, kLogindPath, kLogindManager, "Inhibit",
        g_variant_new("(ssss)", kInhibitWhat, kInhibitWho, kInhibitWhy, kInhibitMode),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, request->cancellable,
        &KestSleepInhibitor::OnInhibit, request);
    g_object_unref(bus);
}

void KestSleepInhibitor::OnInhibit(GObject* source, GAsyncResult* result, gpointer data) {
    GUnixFDList* descriptors = nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_finish(
        G_DBUS_CONNECTION(source), &descriptors, result, &error);
    int descriptor = -1;
    if (reply != nullptr) {
        descriptor = ReplyDescriptor(reply, descriptors, &error);
        g_variant_unref(reply);
    }
    // The list closes its own copies; ours is a duplicate.
    g_clear_object(&descriptors);
    Finish(static_cast<Request*>(data), descriptor, error);
    g_clear_error(&error);
}

void KestSleepInhibitor::Finish(Request* request, int descriptor, const GError* error) {
    KestSleepInhibitor* owner = request->owner;
    if (owner == nullptr) {
        // Released meanwhile: a lock that arrives anyway goes at once.
        if (descriptor >= 0) close(descriptor);
    } else {
        owner->request_ = nullptr;
        owner->descriptor_ = descriptor;
        if (descriptor < 0) ReportUnavailable(error);
    }
    g_object_unref(request->cancellable);
    delete request;
}
