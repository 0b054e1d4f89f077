// The desktop wizard's pictures at the screen's scale (see KestGtkPictures.h).
#include "KestGtkPictures.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kPicturePrefix = "/org/tamsor/Tamsor/pictures/";
constexpr const char* kNameKey = "kest-picture";

bool ResourceExists(const std::string& path) {
    return g_resources_get_info(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr, nullptr,
                                nullptr);
}

bool EndsWith(const char* text, const char* suffix) {
    size_t length = text != nullptr ? std::strlen(text) : 0, tail = std::strlen(suffix);
    return length >= tail && g_ascii_strcasecmp(text + length - tail, suffix) == 0;
}

}  // namespace

// A texture drawn at a fraction of its pixel size: a twice-as-large source
// takes the room of the usual one. GTK 4's textures have no scale of their
// own.
#define KEST_TYPE_SCALED_PAINTABLE (kest_scaled_paintable_get_type())
G_DECLARE_FINAL_TYPE(KestScaledPaintable, kest_scaled_paintable, KEST, SCALED_PAINTABLE, GObject)

struct _KestScaledPaintable {
    GObject parent;
    GdkTexture* texture;
    int scale;
};

static void kest_scaled_paintable_snapshot(GdkPaintable* paintable, GdkSnapshot* snapshot,
                                           double width, double height) {
    auto* self = KEST_SCALED_PAINTABLE(paintable);
    gdk_paintable_snapshot(GDK_PAINTABLE(self->texture), snapshot, width, height);
}

static int kest_scaled_paintable_width(GdkPaintable* paintable) {
    auto* self = KEST_SCALED_PAINTABLE(paintable);
    return gdk_texture_get_width(self->texture) / self->scale;
}

static int kest_scaled_paintable_height(GdkPaintable* paintable) {
    auto* self = KEST_SCALED_PAINTABLE(paintable);
    return gdk_texture_get_height(self->texture) / self->scale;
}

static GdkPaintableFlags kest_scaled_paintable_flags(GdkPaintable*) {
    return static_cast<GdkPaintableFlags>(GDK_PAINTABLE_STATIC_SIZE | GDK_PAINTABLE_STATIC_CONTENTS);
}

static void kest_scaled_paintable_init_interface(GdkPaintableInterface* iface) {
    iface->snapshot = kest_scaled_paintable_snapshot;
    iface->get_intrinsic_width = kest_scaled_paintable_width;
    iface->get_intrinsic_height = kest_scaled_paintable_height;
    iface->get_flags = kest_scaled_paintable_flags;
}

G_DEFINE_TYPE_WITH_CODE(KestScaledPaintable, kest_scaled_paintable, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(GDK_TYPE_PAINTABLE,
                                              kest_scaled_paintable_init_interface))

static void kest_scaled_paintable_finalize(GObject* object) {
    g_clear_object(&KEST_SCALED_PAINTABLE(object)->texture);
    G_OBJECT_CLASS(kest_scaled_paintable_parent_class)->finalize(object);
}

static void kest_scaled_paintable_class_init(KestScaledPaintableClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = kest_scaled_paintable_finalize;
}

static void kest_scaled_paintable_init(KestScaledPaintable* self) {
    self->texture = nullptr;
    self->scale = 1;
}

std::string KestPictureResource(const std::string& name, int scale) {
    if (name.empty()) return std::string();
    std::string large = kPicturePrefix + name + "@2.png";
    if (scale >= 2 && ResourceExists(large)) return large;
    std::string usual = kPicturePrefix + name + ".png";
    return ResourceExists(usual) ? usual : std::string();
}

namespace {

// The paintable for `name` at `scale`; null when there is none.
GdkPaintable* LoadPaintable(const std::string& name, int scale) {
    std::string path = KestPictureResource(name, scale);
    if (path.empty()) return nullptr;
    GdkTexture* texture = gdk_texture_new_from_resource(path.c_str());
    if (texture == nullptr) return nullptr;
    auto* paintable =
        KEST_SCALED_PAINTABLE(g_object_new(KEST_TYPE_SCALED_PAINTABLE, nullptr));
    paintable->texture = texture;
    paintable->scale = EndsWith(path.c_str(), "@2.png") ? 2 : 1;
    return GDK_PAINTABLE(paintable);
}

void Apply(GtkWidget* widget) {
    const char* name = static_cast<const char*>(g_object_get_data(G_OBJECT(widget), kNameKey));
    GdkPaintable* paintable =
        LoadPaintable(name != nullptr ? name : "", gtk_widget_get_scale_factor(widget));
    if (GTK_IS_PICTURE(widget)) {
        gtk_picture_set_paintable(GTK_PICTURE(widget), paintable);
    } else if (GTK_IS_IMAGE(widget)) {
        gtk_image_set_from_paintable(GTK_IMAGE(widget), paintable);
    }
    if (paintable != nullptr) g_object_unref(paintable);
}

cairo_status_t ReadBytes(void* closure, unsigned char* data, unsigned int length) {
    auto* input = static_cast<GInputStream*>(closure);
    gsize read = 0;
    if (!g_input_stream_read_all(input, data, length, &read, nullptr, nullptr) || read != length) {
        return CAIRO_STATUS_READ_ERROR;
    }
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

void KestShowPicture(GtkWidget* widget, const std::string& name) {
    if (widget == nullptr) return;
    bool followed = g_object_get_data(G_OBJECT(widget), kNameKey) != nullptr;
    g_object_set_data_full(G_OBJECT(widget), kNameKey, g_strdup(name.c_str()), g_free);
    if (!followed) {
        g_signal_connect(widget, "notify::scale-factor",
                         G_CALLBACK(+[](GtkWidget* self, GParamSpec*, gpointer) { Apply(self); }),
                         nullptr);
    }
    Apply(widget);
}

cairo_surface_t* KestLoadPictureSurface(const std::string& name, int scale) {
    std::string path = KestPictureResource(name, scale);
    if (path.empty()) return nullptr;
    GInputStream* input =
        g_resources_open_stream(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (input == nullptr) return nullptr;
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(ReadBytes, input);
    g_object_unref(input);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return nullptr;
    }
    double factor = EndsWith(path.c_str(), "@2.png") ? 2.0 : 1.0;
    cairo_surface_set_device_scale(surface, factor, factor);
    return surface;
}

bool KestStyleIsDark() {
    // GTK_THEME=NAME:VARIANT overrides every setting.
    const char* forced = std::getenv("GTK_THEME");
    if (forced != nullptr && *forced != '\0') {
        return EndsWith(forced, ":dark") || EndsWith(forced, "-dark");
    }
    GtkSettings* settings = gtk_settings_get_default();
    if (settings == nullptr) return false;
    gboolean preferDark = FALSE;
    char* theme = nullptr;
    g_object_get(settings, "gtk-application-prefer-dark-theme", &preferDark, "gtk-theme-name",
                 &theme, nullptr);
    bool dark = preferDark || EndsWith(theme, "-dark");
    g_free(theme);
    return dark;
}
