// The desktop wizard's Linux pieces without a display: the run loop served
// from a nested GLib main loop (a modal dialog's), udev's disc events, and
// the sleep lock taken from python3-dbusmock's fake logind on a private bus.
#include <gtest/gtest.h>

#include <gio/gio.h>

#include <map>
#include <string>
#include <thread>

#include "KestDialog.h"
#include "KestDiscMonitor.h"
#include "KestGLibRunLoop.h"
#include "KestSleepInhibitor.h"
#include "foundation/QxRunLoopTestSupport.h"

namespace {

using namespace testsupport;

// Polls done() for up to `seconds`, running the default main context in
// between unless `dispatch` is false.
template <class Done>
bool Poll(Done done, double seconds, bool dispatch = true) {
    gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
    while (!done()) {
        if (g_get_monotonic_time() > deadline) return false;
        if (!dispatch || !g_main_context_iteration(nullptr, FALSE)) g_usleep(5000);
    }
    return true;
}

struct Modal {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    std::thread::id gui = std::this_thread::get_id();
    QxSocketHandle server = kQxInvalidSocket;
    int firings = 0;
    std::string received;
    int outside = 0;  // callbacks off the GUI thread or outside the modal loop

    void note() {
        if (std::this_thread::get_id() != gui || g_main_depth() != 2) ++outside;
        if (firings > 0 && !received.empty()) g_main_loop_quit(loop);
    }
};

using GLibRunLoop = RunLoopTest;

TEST_F(GLibRunLoop, TimersAndSocketsArriveInsideANestedMainLoop) {
    KestGLibRunLoop embedding;
    ASSERT_TRUE(embedding.attach());
    Modal modal;
    uint16_t port = 0;
    modal.server = UdpSocket(&port);
    QxSocketContext socketContext{0, &modal, nullptr, nullptr, nullptr};
    QxSocketRef socket = QxSocketCreate(modal.server, kQxSocketReadCallback,
        [](QxSocketRef, uint32_t, const void*, const void*, void* info) {
            auto* m = static_cast<Modal*>(info);
            char buffer[64];
            int count = Receive(m->server, buffer, sizeof buffer);
            if (count > 0) m->received.append(buffer, static_cast<size_t>(count));
            m->note();
        }, &socketContext);
    ASSERT_NE(socket, nullptr);
    QxRunLoopSourceRef source = QxSocketCreateRunLoopSource(socket);
    QxRunLoopAddSource(QxRunLoopGetMain(), source);
    QxLObjectRelease(source);
    QxRunLoopTimerContext timerContext{0, &modal, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef timer = QxRunLoopTimerCreate(QxRunLoopNow() + 0.05, 0, &timerContext,
        [](QxRunLoopTimerRef, void* info) {
            ++static_cast<Modal*>(info)->firings;
            static_cast<Modal*>(info)->note();
        });

    // The window's main loop opens a modal dialog, which runs its own loop;
    // meanwhile the timer comes due and a client elsewhere sends.
    g_idle_add([](gpointer info) -> gboolean {
        auto* m = static_cast<Modal*>(info);
        guint guard = g_timeout_add_seconds(5, [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        }, m->loop);
        g_main_loop_run(m->loop);
        g_source_remove(guard);
        return G_SOURCE_REMOVE;
    }, &modal);
    QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
    std::thread client([port] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint16_t clientPort = 0;
        QxSocketHandle handle = UdpSocket(&clientPort);
        SendTo(handle, port, "modal", 5);
        QxPlatformSocketClose(handle);
    });
    g_main_context_iteration(nullptr, TRUE);
    client.join();

    EXPECT_EQ(modal.firings, 1);
    EXPECT_EQ(modal.received, "modal");
    EXPECT_EQ(modal.outside, 0);
    QxRunLoopTimerInvalidate(timer);
    QxLObjectRelease(timer);
    QxSocketInvalidate(socket);
    QxLObjectRelease(socket);
    g_main_loop_unref(modal.loop);
}

using Properties = std::map<std::string, std::string>;

TEST(KestDiscMonitor, ClassifiesDiscEventsOfOpticalDrivesOnly) {
    auto classify = [](const char* action, Properties properties) {
        properties.insert({{"DEVTYPE", "disk"}, {"ID_CDROM", "1"}});
        return KestDiscMonitor::Classify(action, [](const char* name, const void* context) {
            const auto* p = static_cast<const Properties*>(context);
            auto found = p->find(name);
            return found == p->end() ? nullptr : found->second.c_str();
        }, &properties);
    };
    const Properties media{{"ID_CDROM_MEDIA", "1"}, {"ID_FS_TYPE", "hfsplus"}};
    EXPECT_EQ(classify("change", {{"DISK_MEDIA_CHANGE", "1"}, {"ID_CDROM_MEDIA", "1"}}),
              kKestDeviceArrival);
    EXPECT_EQ(classify("change", {{"DISK_EJECT_REQUEST", "1"}, {"ID_CDROM_MEDIA", "1"}}),
              kKestDeviceRemoveComplete);
    EXPECT_EQ(classify("change", {{"DISK_MEDIA_CHANGE", "1"}}), kKestDeviceRemoveComplete);
    EXPECT_EQ(classify("add", media), kKestDeviceArrival);
    EXPECT_EQ(classify("add", {}), 0u);  // an empty drive plugged in
    EXPECT_EQ(classify("remove", media), kKestDeviceRemoveComplete);
    EXPECT_EQ(classify("change", media), 0u);  // re-probed: nothing moved
    EXPECT_EQ(classify("bind", media), 0u);
    EXPECT_EQ(classify(nullptr, media), 0u);
    // Other disks and partitions (the explicit values win over the drive's).
    EXPECT_EQ(classify("change", {{"ID_CDROM", "0"}, {"DISK_MEDIA_CHANGE", "1"}}), 0u);
    EXPECT_EQ(classify("add", {{"DEVTYPE", "partition"}, {"ID_CDROM_MEDIA", "1"}}), 0u);
}

class FakeLogind : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gchar* daemon = g_find_program_in_path("dbus-daemon");
        const gchar* probe[] = {"/usr/bin/python3", "-c", "import dbusmock.templates.logind", nullptr};
        gint status = -1;
        bool mock = g_spawn_sync(nullptr, const_cast<gchar**>(probe), nullptr,
                                 static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL |
                                                          G_SPAWN_STDERR_TO_DEV_NULL),
                                 nullptr, nullptr, nullptr, nullptr, &status, nullptr) &&
                    g_spawn_check_wait_status(status, nullptr);
        skip_ = daemon == nullptr ? "no dbus-daemon" : !mock ? "no python3-dbusmock" : "";
        g_free(daemon);
        if (!skip_.empty()) return;
        bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
        g_test_dbus_up(bus_);
        g_setenv("DBUS_SYSTEM_BUS_ADDRESS", g_test_dbus_get_bus_address(bus_), TRUE);
        // Our own connection, so that asking the fake dispatches nothing
        // of the inhibitor's.
        observer_ = g_dbus_connection_new_for_address_sync(g_test_dbus_get_bus_address(bus_),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        logind_ = g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_SILENCE, nullptr, "/usr/bin/python3",
                                   "-m", "dbusmock", "--system", "--template", "logind", nullptr);
        // Installed but silent is a fault of the set-up, not a reason to skip.
        if (observer_ == nullptr || !Poll([] { return Locks() >= 0; }, 20, false)) {
            broken_ = "the fake logind (python3-dbusmock) is installed but does not answer";
        }
    }
    static void TearDownTestSuite() {
        if (logind_ != nullptr) g_subprocess_force_exit(logind_);
        if (logind_ != nullptr) g_subprocess_wait(logind_, nullptr, nullptr);
        g_clear_object(&logind_);
        g_clear_object(&observer_);
        if (bus_ != nullptr) g_test_dbus_down(bus_);
        g_clear_object(&bus_);
    }
    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
        if (!broken_.empty()) FAIL() << broken_;
        // The previous test's lock goes once the fake sees its end closed.
        ASSERT_TRUE(Poll([] { return Locks() == 0; }, 3));
    }

    // The fake's locks (-1 while it does not answer); *first tells the
    // first one as "what who mode".
    static int Locks(std::string* first = nullptr) {
        GVariant* reply = g_dbus_connection_call_sync(observer_, "org.freedesktop.login1",
            "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "ListInhibitors",
            nullptr, G_VARIANT_TYPE("(a(ssssuu))"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
        if (reply == nullptr) return -1;
        GVariant* list = g_variant_get_child_value(reply, 0);
        int count = static_cast<int>(g_variant_n_children(list));
        if (count > 0 && first != nullptr) {
            const gchar *what, *who, *why, *mode;
            g_variant_get_child(list, 0, "(&s&s&s&suu)", &what, &who, &why, &mode, nullptr, nullptr);
            *first = std::string(what) + " " + who + " " + mode + (*why != 0 ? "" : " (no reason)");
        }
        g_variant_unref(list);
        g_variant_unref(reply);
        return count;
    }

    static inline std::string skip_;
    static inline std::string broken_;
    static inline GTestDBus* bus_ = nullptr;
    static inline GDBusConnection* observer_ = nullptr;
    static inline GSubprocess* logind_ = nullptr;
};

TEST_F(FakeLogind, HoldsTheLockUntilReleased) {
    KestSleepInhibitor inhibitor;
    inhibitor.hold();
    inhibitor.hold();  // a second client while the first one's request runs
    ASSERT_TRUE(Poll([&] { return !inhibitor.pending(); }, 3));
    ASSERT_TRUE(inhibitor.held());
    inhibitor.hold();
    std::string lock;
    EXPECT_EQ(Locks(&lock), 1);
    EXPECT_EQ(lock, "sleep:idle Tamsor block");

    // logind drops the lock when the last copy of its descriptor closes.
    inhibitor.release();
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(Poll([] { return Locks() == 0; }, 3));
    inhibitor.hold();
    EXPECT_TRUE(Poll([&] { return inhibitor.held() && Locks() == 1; }, 3));
}

TEST_F(FakeLogind, ALockGrantedAfterReleaseIsDropped) {
    KestSleepInhibitor inhibitor;
    inhibitor.hold();
    // The main loop runs only until logind has granted the lock, so that its
    // reply is still on the way or waiting, undelivered, in the loop.
    auto granted = [] {
        g_main_context_iteration(nullptr, FALSE);
        return Locks() == 1;
    };
    ASSERT_TRUE(Poll(granted, 3, false));
    ASSERT_TRUE(inhibitor.pending());
    inhibitor.release();
    EXPECT_TRUE(Poll([] { return Locks() == 0; }, 3));
    EXPECT_FALSE(inhibitor.held());
    {
        // Destroyed with its request under way: the late callbacks find no owner.
        KestSleepInhibitor gone;
        gone.hold();
    }
    Poll([] { return false; }, 0.3);
    EXPECT_EQ(Locks(), 0);
}

}  // namespace
