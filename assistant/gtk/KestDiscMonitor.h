// Optical disc insertion and removal, from udev's announcements of block
// disks (the "udev" netlink group, so properties such as ID_CDROM_MEDIA are
// already filled in). The monitor's socket is a source of GLib's default
// main context: the handler runs on the GUI thread, also inside nested
// main loops (modal dialogs), one event at a time.
//
// Classify() holds the whole mapping, so that it is tested without udev:
//
//   action   properties (drive has ID_CDROM=1, DEVTYPE=disk)   kind
//   add      ID_CDROM_MEDIA=1                                   arrival
//   change   DISK_EJECT_REQUEST=1                               remove complete
//   change   DISK_MEDIA_CHANGE=1 and ID_CDROM_MEDIA=1           arrival
//   change   DISK_MEDIA_CHANGE=1, no ID_CDROM_MEDIA=1           remove complete
//   remove   (any)                                              remove complete
//   anything else (partitions, other disks, other changes)      0: ignored
//
// Not here: which discs are present (the disc list reads the drives anew
// on every event).
#pragma once

#include <cstdint>

#include <glib.h>

struct udev;
struct udev_monitor;

class KestDiscMonitor {
public:
    // kind is kKestDeviceArrival or kKestDeviceRemoveComplete (KestDialog.h).
    using Handler = void (*)(uint32_t kind, void* context);
    // The value of a udev property of the event's device, null when unset.
    using PropertyLookup = const char* (*)(const char* name, const void* context);

    KestDiscMonitor() = default;
    ~KestDiscMonitor() { stop(); }
    KestDiscMonitor(const KestDiscMonitor&) = delete;
    KestDiscMonitor& operator=(const KestDiscMonitor&) = delete;

    // Starts listening; the handler and its context are borrowed until
    // stop(). False, with nothing started, when udev cannot be monitored
    // (no udev daemon, as in most containers): discs then never announce
    // themselves and image files still work. True when already running.
    bool start(Handler handler, void* context);
    // Stops listening; nothing when not running. The handler may call it.
    void stop();
    bool running() const { return sourceId_ != 0; }

    // The kind of device change an event stands for, or 0 to ignore it.
    static uint32_t Classify(const char* action, PropertyLookup lookup, const void* context);

private:
    static gboolean OnReadable(gint descriptor, GIOCondition condition, gpointer self);
    void receiveAll();

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    guint sourceId_ = 0;
    Handler handler_ = nullptr;
    void* context_ = nullptr;
};
