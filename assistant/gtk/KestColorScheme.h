// Follows the desktop's light or dark preference while the wizard runs, as
// GNOME's own programs do: the settings portal's appearance color-scheme,
// or, without a portal, GNOME's interface setting of that name. The
// preference becomes GTK's "prefer dark" setting, which switches the theme
// to its dark variant and back; whoever draws pictures of their own watches
// that setting (KestStyleIsDark).
//
// Not here: a theme forced through GTK_THEME, which GTK keeps whatever is
// preferred; nothing is changed when neither source exists.
#pragma once

#include <gio/gio.h>

class KestColorScheme {
public:
    KestColorScheme() = default;
    ~KestColorScheme() { stop(); }
    KestColorScheme(const KestColorScheme&) = delete;
    KestColorScheme& operator=(const KestColorScheme&) = delete;

    // Reads the preference now (waiting a moment for the portal, so the
    // first window already has the right style) and follows its changes.
    // `bus` is the session bus, or null without one; borrowed until stop().
    void start(GDBusConnection* bus);
    void stop();

private:
    static void OnPortalChange(GDBusConnection*, const char*, const char*, const char*,
                               const char*, GVariant* parameters, gpointer self);
    static void OnSettingsChange(GSettings*, const char*, gpointer self);
    void apply(guint32 scheme);

    GDBusConnection* bus_ = nullptr;
    guint subscription_ = 0;
    GSettings* settings_ = nullptr;
    bool ownDark_ = false;  // GTK's own setting before any preference
};
