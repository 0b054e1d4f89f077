// Follows the desktop's light or dark preference (see KestColorScheme.h).
#include "KestColorScheme.h"

#include <gtk/gtk.h>

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kPortalSettings = "org.freedesktop.portal.Settings";
constexpr const char* kAppearance = "org.freedesktop.appearance";
constexpr const char* kSchemeKey = "color-scheme";
constexpr const char* kGnomeInterface = "org.gnome.desktop.interface";
constexpr int kPortalTimeoutMilliseconds = 1000;

// The portal's and GNOME's values alike.
constexpr guint32 kPreferDark = 1;

// The number inside however many variants wrap it (the portal's Read
// answers a variant in a variant); -1 when it is not a number.
gint64 SchemeOf(GVariant* value) {
    GVariant* inner = g_variant_ref(value);
    while (g_variant_is_of_type(inner, G_VARIANT_TYPE_VARIANT)) {
        GVariant* next = g_variant_get_variant(inner);
        g_variant_unref(inner);
        inner = next;
    }
    gint64 scheme = g_variant_is_of_type(inner, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(inner)
                                                                         : -1;
    g_variant_unref(inner);
    return scheme;
}

}  // namespace

void KestColorScheme::start(GDBusConnection* bus) {
    stop();
    // "No preference" and "light" give back what GTK's settings said.
    GtkSettings* settings = gtk_settings_get_default();
    gboolean preferDark = FALSE;
    if (settings != nullptr) {
        g_object_get(settings, "gtk-application-prefer-dark-theme", &preferDark, nullptr);
    }
    ownDark_ = preferDark;
    if (bus != nullptr) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            bus, kPortal, kPortalPath, kPortalSettings, "Read",
            g_variant_new("(ss)", kAppearance, kSchemeKey), G_VARIANT_TYPE("(v)"),
            G_DBUS_CALL_FLAGS_NONE, kPortalTimeoutMilliseconds, nullptr, &error);
        if (reply != nullptr) {
            GVariant* value = g_variant_get_child_value(reply, 0);
            gint64 scheme = SchemeOf(value);
            g_variant_unref(value);
            g_variant_unref(reply);
            if (scheme >= 0) apply(static_cast<guint32>(scheme));
            bus_ = G_DBUS_CONNECTION(g_object_ref(bus));
            subscription_ = g_dbus_connection_signal_subscribe(
                bus_, kPortal, kPortalSettings, "SettingChanged", kPortalPath, kAppearance,
                G_DBUS_SIGNAL_FLAGS_NONE, OnPortalChange, this, nullptr);
            return;
        }
        g_clear_error(&error);
    }
    // No portal: GNOME's own setting, where its schema has the key.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source != nullptr ? g_settings_schema_source_lookup(source, kGnomeInterface, TRUE) : nullptr;
    if (schema == nullptr) return;
    if (g_settings_schema_has_key(schema, kSchemeKey)) {
        settings_ = g_settings_new(kGnomeInterface);
        g_signal_connect(settings_, "changed::color-scheme", G_CALLBACK(OnSettingsChange), this);
        apply(static_cast<guint32>(g_settings_get_enum(settings_, kSchemeKey)));
    }
    g_settings_schema_unref(schema);
}

void KestColorScheme::stop() {
    if (subscription_ != 0) g_dbus_connection_signal_unsubscribe(bus_, subscription_);
    subscription_ = 0;
    g_clear_object(&bus_);
    if (settings_ != nullptr) g_signal_handlers_disconnect_by_data(settings_, this);
    g_clear_object(&settings_);
}

void KestColorScheme::apply(guint32 scheme) {
    GtkSettings* settings = gtk_settings_get_default();
    if (settings != nullptr) {
        g_object_set(settings, "gtk-application-prefer-dark-theme",
                     scheme == kPreferDark || ownDark_, nullptr);
    }
}

void KestColorScheme::OnPortalChange(GDBusConnection*, const char*, const char*, const char*,
                                     const char*, GVariant* parameters, gpointer self) {
    const char* space = nullptr;
    const char* key = nullptr;
    GVariant* value = nullptr;
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) return;
    g_variant_get(parameters, "(&s&sv)", &space, &key, &value);
    gint64 scheme = g_strcmp0(key, kSchemeKey) == 0 ? SchemeOf(value) : -1;
    g_variant_unref(value);
    if (scheme >= 0) static_cast<KestColorScheme*>(self)->apply(static_cast<guint32>(scheme));
}

void KestColorScheme::OnSettingsChange(GSettings* settings, const char*, gpointer self) {
    static_cast<KestColorScheme*>(self)->apply(
        static_cast<guint32>(g_settings_get_enum(settings, kSchemeKey)));
}
