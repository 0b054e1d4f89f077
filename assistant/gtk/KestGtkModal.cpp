// A modal dialog run in a nested main loop (see KestGtkModal.h).
#include "KestGtkModal.h"

#include "KestGtkPictures.h"

namespace {

constexpr int kTextWidth = 360;
constexpr const char* kResultKey = "kest-result";

}  // namespace

KestGtkModal::KestGtkModal(GtkWindow* parent, const std::string& title) {
    // A dialog to a screen reader, not a plain window.
    window_ = GTK_WINDOW(g_object_new(GTK_TYPE_WINDOW, "accessible-role",
                                      GTK_ACCESSIBLE_ROLE_DIALOG, nullptr));
    g_object_ref_sink(window_);
    gtk_window_set_title(window_, title.c_str());
    gtk_window_set_modal(window_, TRUE);
    gtk_window_set_resizable(window_, FALSE);
    gtk_window_set_destroy_with_parent(window_, TRUE);
    if (parent != nullptr) {
        gtk_window_set_transient_for(window_, parent);
        GtkApplication* application = gtk_window_get_application(parent);
        if (application != nullptr) gtk_window_set_application(window_, application);
    }
    gtk_widget_add_css_class(GTK_WIDGET(window_), "dialog");

    GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 18);
    gtk_widget_set_margin_start(content, 24);
    gtk_widget_set_margin_end(content, 24);
    gtk_widget_set_margin_top(content, 24);
    gtk_widget_set_margin_bottom(content, 18);
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 18);
    icon_ = gtk_image_new();
    gtk_image_set_pixel_size(GTK_IMAGE(icon_), 48);
    gtk_widget_set_valign(icon_, GTK_ALIGN_START);
    gtk_widget_set_visible(icon_, FALSE);
    GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_widget_set_vexpand(texts, TRUE);
    for (GtkWidget** label : {&primary_, &secondary_}) {
        *label = gtk_label_new(nullptr);
        gtk_label_set_wrap(GTK_LABEL(*label), TRUE);
        gtk_label_set_wrap_mode(GTK_LABEL(*label), PANGO_WRAP_WORD_CHAR);
        gtk_label_set_xalign(GTK_LABEL(*label), 0.0f);
        gtk_label_set_yalign(GTK_LABEL(*label), 0.0f);
        gtk_label_set_max_width_chars(GTK_LABEL(*label), 1);
        gtk_widget_set_size_request(*label, kTextWidth, -1);
        gtk_widget_set_visible(*label, FALSE);
        gtk_box_append(GTK_BOX(texts), *label);
    }
    gtk_widget_add_css_class(primary_, "heading");
    gtk_box_append(GTK_BOX(row), icon_);
    gtk_box_append(GTK_BOX(row), texts);
    buttons_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_halign(buttons_, GTK_ALIGN_END);
    gtk_box_append(GTK_BOX(content), row);
    gtk_box_append(GTK_BOX(content), buttons_);
    gtk_window_set_child(window_, content);

    g_signal_connect(window_, "close-request", G_CALLBACK(OnCloseRequest), this);
    g_signal_connect(window_, "destroy", G_CALLBACK(OnDestroy), this);
    GtkEventController* keys = gtk_event_controller_key_new();
    g_signal_connect(keys, "key-pressed", G_CALLBACK(OnKey), this);
    gtk_widget_add_controller(GTK_WIDGET(window_), keys);
}

KestGtkModal::~KestGtkModal() {
    end(closeResult_);
    if (window_ != nullptr) {
        g_signal_handlers_disconnect_by_data(window_, this);
        gtk_window_destroy(window_);
        g_object_unref(window_);
    }
}

void KestGtkModal::setIcon(const char* picture) {
    KestShowPicture(icon_, picture != nullptr ? picture : "");
    gtk_widget_set_visible(icon_, picture != nullptr);
}

void KestGtkModal::setTexts(const std::string& primary, const std::string& secondary) {
    gtk_label_set_text(GTK_LABEL(primary_), primary.c_str());
    gtk_widget_set_visible(primary_, !primary.empty());
    gtk_label_set_text(GTK_LABEL(secondary_), secondary.c_str());
    gtk_widget_set_visible(secondary_, !secondary.empty());
    // A dialog without a title is named by what it says first.
    const char* title = gtk_window_get_title(window_);
    if (title == nullptr || *title == '\0') {
        const std::string& name = primary.empty() ? secondary : primary;
        gtk_accessible_update_property(GTK_ACCESSIBLE(window_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                       name.c_str(), -1);
    }
}

GtkWidget* KestGtkModal::addButton(const std::string& label, int result, bool isDefault) {
    GtkWidget* button = gtk_button_new_with_mnemonic(label.c_str());
    // Named by its text alone: GTK would add the mnemonic's spelling too.
    std::string name;
    for (char c : label) {
        if (c != '_') name += c;
    }
    gtk_accessible_reset_relation(GTK_ACCESSIBLE(button), GTK_ACCESSIBLE_RELATION_LABELLED_BY);
    gtk_accessible_update_property(GTK_ACCESSIBLE(button), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   name.c_str(), -1);
    g_object_set_data(G_OBJECT(button), kResultKey, GINT_TO_POINTER(result));
    g_signal_connect(button, "clicked", G_CALLBACK(OnButton), this);
    gtk_widget_set_size_request(button, 88, -1);
    gtk_box_append(GTK_BOX(buttons_), button);
    if (isDefault) {
        gtk_window_set_default_widget(window_, button);
        gtk_widget_add_css_class(button, "suggested-action");
        gtk_window_set_focus(window_, button);
    }
    return button;
}

void KestGtkModal::setClosable(bool closable) {
    closable_ = closable;
    gtk_window_set_deletable(window_, closable);
}

void KestGtkModal::setMinimumHeight(int pixels) {
    gtk_widget_set_size_request(GTK_WIDGET(window_), -1, pixels);
}

int KestGtkModal::run() {
    if (window_ == nullptr) return closeResult_;
    result_ = closeResult_;
    loop_ = g_main_loop_new(nullptr, FALSE);
    gtk_window_present(window_);
    g_main_loop_run(loop_);
    g_main_loop_unref(loop_);
    loop_ = nullptr;
    if (window_ != nullptr) gtk_widget_set_visible(GTK_WIDGET(window_), FALSE);
    return result_;
}

void KestGtkModal::end(int result) {
    if (loop_ == nullptr || !g_main_loop_is_running(loop_)) return;
    result_ = result;
    g_main_loop_quit(loop_);
}

void KestGtkModal::OnButton(GtkButton* button, gpointer self) {
    static_cast<KestGtkModal*>(self)->end(
        GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), kResultKey)));
}

gboolean KestGtkModal::OnCloseRequest(GtkWindow*, gpointer self) {
    auto* modal = static_cast<KestGtkModal*>(self);
    if (modal->closable_) modal->end(modal->closeResult_);
    return TRUE;  // the owner destroys the window
}

gboolean KestGtkModal::OnKey(GtkEventControllerKey*, guint keyval, guint, GdkModifierType,
                             gpointer self) {
    if (keyval != GDK_KEY_Escape) return FALSE;
    auto* modal = static_cast<KestGtkModal*>(self);
    if (modal->closable_) modal->end(modal->closeResult_);
    return TRUE;
}

void KestGtkModal::OnDestroy(GtkWidget*, gpointer self) {
    // Destroyed with its parent while running: ends as if closed.
    auto* modal = static_cast<KestGtkModal*>(self);
    modal->end(modal->closeResult_);
}
