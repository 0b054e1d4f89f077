// Optical disc insertion and removal from udev (see KestDiscMonitor.h).
#include "KestDiscMonitor.h"

#include <cerrno>
#include <cstring>

#include <glib-unix.h>
#include <libudev.h>
#include <unistd.h>

#include "KestDialog.h"

namespace {

// udevd's control socket: without it nobody sends the "udev" group, and
// libudev silently subscribes to nothing.
constexpr const char* kUdevControlPath = "/run/udev/control";

// Events handled per wake-up; the rest wait for the next turn of the main
// loop so that a burst does not freeze the window.
constexpr int kEventsPerDispatch = 32;

bool IsSet(KestDiscMonitor::PropertyLookup lookup, const void* context, const char* name) {
    const char* value = lookup(name, context);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

const char* DeviceProperty(const char* name, const void* device) {
    return udev_device_get_property_value(
        const_cast<udev_device*>(static_cast<const udev_device*>(device)), name);
}

}  // namespace

uint32_t KestDiscMonitor::Classify(const char* action, PropertyLookup lookup,
                                   const void* context) {
    if (action == nullptr || lookup == nullptr) return 0;
    const char* devtype = lookup("DEVTYPE", context);
    if (devtype == nullptr || std::strcmp(devtype, "disk") != 0) return 0;
    if (!IsSet(lookup, context, "ID_CDROM")) return 0;
    bool hasMedia = IsSet(lookup, context, "ID_CDROM_MEDIA");
    if (std::strcmp(action, "add") == 0) return hasMedia ? kKestDeviceArrival : 0;
    if (std::strcmp(action, "remove") == 0) return kKestDeviceRemoveComplete;
    if (std::strcmp(action, "change") != 0) return 0;
    // The eject button: the disc is on its way out even though udev still
    // reports the media it saw last.
    if (IsSet(lookup, context, "DISK_EJECT_REQUEST")) return kKestDeviceRemoveComplete;
    if (IsSet(lookup, context, "DISK_MEDIA_CHANGE")) {
        return hasMedia ? kKestDeviceArrival : kKestDeviceRemoveComplete;
    }
    // Re-triggered or re-probed drives: nothing moved.
    return 0;
}

bool KestDiscMonitor::start(Handler handler, void* context) {
    if (sourceId_ != 0) return true;
    if (handler == nullptr || access(kUdevControlPath, F_OK) != 0) return false;
    udev_ = udev_new();
    if (udev_ != nullptr) monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", "disk") < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        g_debug("Disc changes are not followed: udev cannot be monitored");
        stop();
        return false;
    }
    handler_ = handler;
    context_ = context;
    sourceId_ = g_unix_fd_add(udev_monitor_get_fd(monitor_), G_IO_IN,
                              &KestDiscMonitor::OnReadable, this);
    return true;
}

void KestDiscMonitor::stop() {
    if (sourceId_ != 0) g_source_remove(sourceId_);
    sourceId_ = 0;
    handler_ = nullptr;
    context_ = nullptr;
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    if (udev_ != nullptr) udev_unref(udev_);
    udev_ = nullptr;
}

gboolean KestDiscMonitor::OnReadable(gint, GIOCondition, gpointer self) {
    static_cast<KestDiscMonitor*>(self)->receiveAll();
    return G_SOURCE_CONTINUE;
}

void KestDiscMonitor::receiveAll() {
    // The handler may stop (or stop and restart) the monitor: the source id
    // tells whether this one still runs.
    guint source = sourceId_;
    for (int count = 0; count < kEventsPerDispatch && sourceId_ == source; ++count) {
        udev_device* device = udev_monitor_receive_device(monitor_);
        if (device == nullptr) {
            // Events were dropped while the queue was full: have the disc
            // list read the drives anew rather than miss a disc.
            if (errno == ENOBUFS) handler_(kKestDeviceArrival, context_);
            return;
        }
        uint32_t kind = Classify(udev_device_get_action(device), DeviceProperty, device);
        udev_device_unref(device);
        if (kind != 0) handler_(kind, context_);
    }
}
