// Tamsor's application object on the Linux desktop: one copy per session
// (a second one hands its image files to the first and ends), the socket
// layer, the run loop inside GLib's main loop, keep-awake through a sleep
// inhibitor, discs from udev and from image files, then the wizard's
// window; when it closes, everything is torn down in the reverse order.
//
// Image files (the command line, a second copy, "Open Disc Image...",
// dropped on the window) stand in for the drive: those given at start are
// inserted one after the other as the installer ejects them; one opened
// later is inserted at once.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "KestColorScheme.h"
#include "KestDiscImages.h"
#include "KestDiscMonitor.h"
#include "KestGLibRunLoop.h"
#include "KestKeepAwake.h"
#include "KestSleepInhibitor.h"

class KestGtkWindow;

// The application's id on the session bus and its desktop file's name.
inline constexpr const char* kKestApplicationId = "org.tamsor.Tamsor";

class KestGtkApp {
public:
    KestGtkApp();
    ~KestGtkApp();
    KestGtkApp(const KestGtkApp&) = delete;
    KestGtkApp& operator=(const KestGtkApp&) = delete;

    // Runs the application; the process's exit status.
    int run(int argc, char** argv);

private:
    static void OnStartup(GApplication*, gpointer self);
    static void OnActivate(GApplication*, gpointer self);
    static void OnOpen(GApplication*, GFile** files, gint count, const gchar*, gpointer self);
    static void OnShutdown(GApplication*, gpointer self);
    static gint OnLocalOptions(GApplication*, GVariantDict* options, gpointer self);
    static void OnDiscChange(uint32_t kind, void* self);

    void startWizard();
    void insertImage(const std::string& path);

    GtkApplication* application_ = nullptr;
    bool socketsStarted_ = false;
    bool started_ = false;
    KestGLibRunLoop runLoop_;
    KestKeepAwake keepAwake_;
    KestSleepInhibitor inhibitor_;
    KestDiscMonitor discMonitor_;
    KestDiscImages discImages_;
    KestColorScheme colorScheme_;
    std::unique_ptr<KestGtkWindow> wizard_;
};
