// Tamsor's application object on the Linux desktop (see KestGtkApp.h).
#include "KestGtkApp.h"

#include <cstdio>
#include <vector>

#include "BSDPServer.h"
#include "KestGtkLayout.h"
#include "KestGtkWindow.h"
#include "QxLObject.h"
#include "QxPlatformSocket.h"
#include "QxRunLoop.h"

extern "C" GResource* kest_gtk_get_resource();

KestGtkApp::KestGtkApp() {
    application_ = gtk_application_new(kKestApplicationId, G_APPLICATION_HANDLES_OPEN);
    g_signal_connect(application_, "startup", G_CALLBACK(OnStartup), this);
    g_signal_connect(application_, "activate", G_CALLBACK(OnActivate), this);
    g_signal_connect(application_, "open", G_CALLBACK(OnOpen), this);
    g_signal_connect(application_, "shutdown", G_CALLBACK(OnShutdown), this);
    g_signal_connect(application_, "handle-local-options", G_CALLBACK(OnLocalOptions), this);
    g_application_add_main_option(G_APPLICATION(application_), "version", 0, G_OPTION_FLAG_NONE,
                                  G_OPTION_ARG_NONE, "Print the version and exit", nullptr);
    g_application_set_option_context_parameter_string(G_APPLICATION(application_),
                                                      "[DISC-IMAGE...]");
}

KestGtkApp::~KestGtkApp() { g_object_unref(application_); }

int KestGtkApp::run(int argc, char** argv) {
    // Without a session bus there is no other copy to find: run alone.
    GError* error = nullptr;
    if (!g_application_register(G_APPLICATION(application_), nullptr, &error)) {
        g_message("running without single-instance check: %s", error->message);
        g_clear_error(&error);
        g_application_set_flags(G_APPLICATION(application_),
                                static_cast<GApplicationFlags>(G_APPLICATION_HANDLES_OPEN |
                                                               G_APPLICATION_NON_UNIQUE));
    }
    return g_application_run(G_APPLICATION(application_), argc, argv);
}

gint KestGtkApp::OnLocalOptions(GApplication*, GVariantDict* options, gpointer) {
    if (g_variant_dict_contains(options, "version")) {
        std::printf("tamsor-wizard %s\n", TAMSOR_VERSION);
        return 0;
    }
    return -1;  // go on
}

// ---- Start-up and tear-down, in the primary copy only ------------------------------------

void KestGtkApp::OnStartup(GApplication*, gpointer data) {
    auto* self = static_cast<KestGtkApp*>(data);
    g_resources_register(kest_gtk_get_resource());
    self->colorScheme_.start(
        g_application_get_dbus_connection(G_APPLICATION(self->application_)));
    self->socketsStarted_ = QxPlatformSocketStartup() == kStatusOK;
    QxRunLoopInitialize();
    self->runLoop_.attach();
    self->keepAwake_.setPowerFunctions(
        [](void* inhibitor) { static_cast<KestSleepInhibitor*>(inhibitor)->hold(); },
        [](void* inhibitor) { static_cast<KestSleepInhibitor*>(inhibitor)->release(); },
        &self->inhibitor_);
    self->keepAwake_.start();
    self->discMonitor_.start(&KestGtkApp::OnDiscChange, self);
    self->started_ = true;
}

void KestGtkApp::OnShutdown(GApplication*, gpointer data) {
    auto* self = static_cast<KestGtkApp*>(data);
    if (!self->started_) return;
    self->wizard_.reset();
    self->colorScheme_.stop();
    self->discMonitor_.stop();
    self->keepAwake_.stop();
    self->inhibitor_.release();
    SetBootImageNameFormat(nullptr);
    self->discImages_.stop();
    self->runLoop_.detach();
    QxRunLoopShutdown();
    QxLResetTypeRegistry();
    if (self->socketsStarted_) QxPlatformSocketCleanup();
    self->started_ = false;
}

void KestGtkApp::OnActivate(GApplication*, gpointer data) {
    auto* self = static_cast<KestGtkApp*>(data);
    if (self->wizard_ == nullptr) {
        if (self->discImages_.empty()) self->discImages_.loadFromEnvironment();
        self->startWizard();
    } else if (!self->wizard_->ended()) {
        gtk_window_present(self->wizard_->window());
    }
}

void KestGtkApp::OnOpen(GApplication* application, GFile** files, gint count, const gchar*,
                        gpointer data) {
    auto* self = static_cast<KestGtkApp*>(data);
    std::vector<std::string> paths;
    for (gint i = 0; i < count; ++i) {
        char* path = g_file_get_path(files[i]);
        if (path != nullptr) paths.emplace_back(path);
        g_free(path);
    }
    if (self->wizard_ == nullptr) {
        self->discImages_.setImages(paths);
        OnActivate(application, data);
        return;
    }
    for (const std::string& path : paths) self->insertImage(path);
    if (!self->wizard_->ended()) gtk_window_present(self->wizard_->window());
}

void KestGtkApp::startWizard() {
    wizard_ = std::make_unique<KestGtkWindow>(application_, &discImages_);
    wizard_->setImageHandler([this](const std::string& path) { insertImage(path); });
    discImages_.start(wizard_.get());
    wizard_->present();
}

void KestGtkApp::insertImage(const std::string& path) {
    if (wizard_ == nullptr || wizard_->ended()) return;
    if (discImages_.insert(path) != kStatusOK) g_message("could not use %s as a disc", path.c_str());
}

void KestGtkApp::OnDiscChange(uint32_t kind, void* data) {
    auto* self = static_cast<KestGtkApp*>(data);
    if (self->wizard_ != nullptr && !self->wizard_->ended()) {
        self->wizard_->logic().onDeviceChange(kind, kKestDeviceTypeVolume);
    }
}
