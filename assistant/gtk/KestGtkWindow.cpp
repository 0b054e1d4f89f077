// The wizard's window on GTK (see KestGtkWindow.h).
#include "KestGtkWindow.h"

#include <algorithm>
#include <cmath>

#include "KestDiscImages.h"
#include "KestGtkModal.h"
#include "KestGtkPictures.h"

namespace {

// Dialog units of the layout in pixels at GTK's usual interface font (the
// Windows templates measure them at a smaller one).
constexpr double kPixelsPerUnit = 1.9;
// The left-hand picture's width: the strip of the Windows wizard's picture
// that shows there.
constexpr int kPictureWidth = 150;
constexpr int kPageMargin = 8;  // dialog units around a page's contents
constexpr int kDiscIconSize = 32;
constexpr guint kPulseMilliseconds = 100;

constexpr const char* kSidePicture = "SidePicture";
constexpr const char* kSidePictureDark = "SidePictureDark";
constexpr const char* kAppIcon = "AppIcon";
constexpr const char* kDiscIcon = "Disc";

// Colours drawn over the theme's for a contrast of 4.5:1 or more. GTK's
// light theme puts white text on a blue of 3.8:1 to it (the selected disc,
// the suggested button, also in the dialogs): the blue a shade darker gives
// 4.8:1. Its progress bar is 3.5:1 to the window in light, 1.6:1 in dark:
// a darker blue (5.8:1) and a lighter one (5.3:1).
constexpr const char* kLightStyleCss =
    "list row:selected { background-color: #1c71d8; }"
    "button.suggested-action:not(:disabled) {"
    "  background-image: none; background-color: #1c71d8; }"
    "button.suggested-action:not(:disabled):hover { background-color: #1b6bcc; }"
    "button.suggested-action:not(:disabled):active { background-color: #1a5fb4; }"
    "progressbar > trough > progress { background-color: #1a5fb4; }";
constexpr const char* kDarkStyleCss =
    "progressbar > trough > progress { background-color: #78aeed; }";

constexpr int kPageTemplates[KEST_PAGE_COUNT] = {
    IDD_KEST_PAGE_INTRO,         IDD_KEST_PAGE_CHOOSE_DISK,    IDD_KEST_PAGE_CHOOSE_CONNECTION,
    IDD_KEST_PAGE_RESTART,       IDD_KEST_PAGE_CHOOSE_WAVLO,   IDD_KEST_PAGE_CHOOSE_STARTUP,
    IDD_KEST_PAGE_DIAGS,         IDD_KEST_PAGE_INSTALL,
};

int Pixels(int units) { return static_cast<int>(std::lround(units * kPixelsPerUnit)); }

GtkWidget* NewLabel(const std::string& text, int widthUnits, int heightUnits) {
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
    // A wrapping label asks for its whole text on one line unless told
    // otherwise: its width is the layout's, the text wraps within it.
    gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
    gtk_widget_set_size_request(label, Pixels(widthUnits), Pixels(heightUnits));
    return label;
}

// A label's text. An empty label is nothing to a screen reader, which would
// otherwise read out its type: it leaves the accessibility tree.
void SetLabelText(GtkWidget* label, const std::string& text) {
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
    gtk_accessible_update_state(GTK_ACCESSIBLE(label), GTK_ACCESSIBLE_STATE_HIDDEN, text.empty(),
                                -1);
}

// The left-hand picture as last drawn: the variant for the style and the
// screen's scale. It is drawn onto the window's own background, through
// its transparency, so no rectangle shows in any style.
struct SidePicture {
    cairo_surface_t* surface = nullptr;
    int scale = 0;
    bool dark = false;
};

void DrawSidePicture(GtkDrawingArea* area, cairo_t* cairo, int, int, gpointer data) {
    auto* picture = static_cast<SidePicture*>(data);
    int scale = gtk_widget_get_scale_factor(GTK_WIDGET(area));
    bool dark = KestStyleIsDark();
    if (picture->surface == nullptr || picture->scale != scale || picture->dark != dark) {
        if (picture->surface != nullptr) cairo_surface_destroy(picture->surface);
        picture->surface = KestLoadPictureSurface(dark ? kSidePictureDark : kSidePicture, scale);
        picture->scale = scale;
        picture->dark = dark;
    }
    if (picture->surface == nullptr) return;
    cairo_set_source_surface(cairo, picture->surface, 0, 0);
    cairo_paint(cairo);
}

void FreeSidePicture(gpointer data) {
    auto* picture = static_cast<SidePicture*>(data);
    if (picture->surface != nullptr) cairo_surface_destroy(picture->surface);
    delete picture;
}

// An accessible name for a widget whose text is not its own (the list, the
// progress bar): the label that says what it is.
void LabelledBy(GtkWidget* widget, GtkWidget* label) {
    if (label == nullptr) return;
    gtk_accessible_update_relation(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_RELATION_LABELLED_BY,
                                   label, nullptr, -1);
}

}  // namespace

// Work queued for the main loop: an "Eject" (holding its event) or a
// selection check.
struct KestGtkWindow::Deferred {
    KestGtkWindow* owner;
    QxLObjectRef event;  // null: the selection check
    guint source = 0;
};

KestGtkWindow::KestGtkWindow(GtkApplication* application, KestDiscImages* discImages)
    : logic_(*this, discImages), application_(application) {
    build();
}

KestGtkWindow::~KestGtkWindow() {
    cancelDeferred();
    if (pulseSource_ != 0) g_source_remove(pulseSource_);
    if (GtkSettings* settings = gtk_settings_get_default()) {
        g_signal_handlers_disconnect_by_data(settings, this);
    }
    if (styleColours_ != nullptr) {
        gtk_style_context_remove_provider_for_display(gtk_widget_get_display(GTK_WIDGET(window_)),
                                                      GTK_STYLE_PROVIDER(styleColours_));
        g_object_unref(styleColours_);
    }
    if (window_ != nullptr) {
        g_signal_handlers_disconnect_by_data(window_, this);
        gtk_window_destroy(window_);
        g_object_unref(window_);
    }
}

void KestGtkWindow::present() {
    logic_.initialise();
    gtk_window_present(window_);
    gtk_widget_grab_focus(continue_);
}

// ---- Building the window ----------------------------------------------------------------

void KestGtkWindow::build() {
    window_ = GTK_WINDOW(gtk_application_window_new(application_));
    g_object_ref_sink(window_);
    const KestLayoutDialog* layout = KestFindDialog(IDD_KEST_DIALOG);
    gtk_window_set_title(window_, KestTranslate(layout != nullptr ? layout->caption : "Tamsor").c_str());
    gtk_window_set_resizable(window_, FALSE);
    gtk_window_set_icon_name(window_, "org.tamsor.Tamsor");

    GtkWidget* header = gtk_header_bar_new();
    title_ = gtk_label_new(nullptr);
    gtk_widget_add_css_class(title_, "title");
    gtk_label_set_ellipsize(GTK_LABEL(title_), PANGO_ELLIPSIZE_END);
    gtk_header_bar_set_title_widget(GTK_HEADER_BAR(header), title_);
    gtk_window_set_titlebar(window_, header);
    items_[IDC_KEST_TITLE] = title_;

    GtkWidget* body = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_box_append(GTK_BOX(body), buildPicturePane());
    GtkWidget* right = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_margin_end(right, 18);
    gtk_widget_set_margin_bottom(right, 18);
    stack_ = gtk_stack_new();
    gtk_stack_set_transition_type(GTK_STACK(stack_), GTK_STACK_TRANSITION_TYPE_NONE);
    for (int index = 0; index < KEST_PAGE_COUNT; ++index) {
        pages_[index] = buildPage(index, kPageTemplates[index]);
        gtk_stack_add_child(GTK_STACK(stack_), pages_[index]);
    }
    gtk_box_append(GTK_BOX(right), stack_);

    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_halign(buttons, GTK_ALIGN_END);
    gtk_widget_set_margin_top(buttons, 12);
    std::string backText = "Go Back", continueText = "Continue";
    if (layout != nullptr) {
        for (size_t i = 0; i < layout->count; ++i) {
            if (layout->controls[i].id == IDC_KEST_GO_BACK) backText = layout->controls[i].text;
            if (layout->controls[i].id == IDC_KEST_CONTINUE) continueText = layout->controls[i].text;
        }
    }
    goBack_ = gtk_button_new_with_label(KestTranslate(backText.c_str()).c_str());
    continue_ = gtk_button_new_with_label(KestTranslate(continueText.c_str()).c_str());
    gtk_widget_add_css_class(continue_, "suggested-action");
    for (GtkWidget* button : {goBack_, continue_}) {
        gtk_widget_set_size_request(button, Pixels(50), -1);
        gtk_box_append(GTK_BOX(buttons), button);
    }
    items_[IDC_KEST_GO_BACK] = goBack_;
    items_[IDC_KEST_CONTINUE] = continue_;
    g_signal_connect(goBack_, "clicked", G_CALLBACK(OnGoBack), this);
    g_signal_connect(continue_, "clicked", G_CALLBACK(OnContinue), this);
    gtk_box_append(GTK_BOX(right), buttons);
    gtk_box_append(GTK_BOX(body), right);
    gtk_window_set_child(window_, body);

    g_signal_connect(window_, "close-request", G_CALLBACK(OnCloseRequest), this);
    g_signal_connect(window_, "destroy", G_CALLBACK(OnDestroy), this);
    installKeyHandling();
    installDropTarget();
    for (int index = 0; index < KEST_PAGE_COUNT; ++index) logic_.initialisePage(index);
}

GtkWidget* KestGtkWindow::buildPicturePane() {
    GtkWidget* area = gtk_drawing_area_new();
    gtk_drawing_area_set_content_width(GTK_DRAWING_AREA(area), kPictureWidth);
    // A picture that failed to load leaves it blank.
    gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area), DrawSidePicture, new SidePicture,
                                   FreeSidePicture);
    // A style switched while the wizard is open (the desktop's dark
    // preference) takes the picture and the colours for it.
    if (GtkSettings* settings = gtk_settings_get_default()) {
        for (const char* signal :
             {"notify::gtk-application-prefer-dark-theme", "notify::gtk-theme-name"}) {
            g_signal_connect(settings, signal, G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                                 auto* owner = static_cast<KestGtkWindow*>(self);
                                 gtk_widget_queue_draw(owner->item(IDC_KEST_PICTURE));
                                 owner->followStyle();
                             }),
                             this);
        }
    }
    followStyle();
    // Decoration only: a screen reader passes over it.
    gtk_accessible_update_state(GTK_ACCESSIBLE(area), GTK_ACCESSIBLE_STATE_HIDDEN, TRUE, -1);
    items_[IDC_KEST_PICTURE] = area;
    return area;
}

void KestGtkWindow::followStyle() {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window_));
    if (display == nullptr) return;
    if (styleColours_ == nullptr) {
        styleColours_ = gtk_css_provider_new();
        gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(styleColours_),
                                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    }
    gtk_css_provider_load_from_data(styleColours_,
                                    KestStyleIsDark() ? kDarkStyleCss : kLightStyleCss, -1);
}

GtkWidget* KestGtkWindow::buildPage(int index, int templateId) {
    GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_widget_set_margin_start(page, Pixels(kPageMargin));
    gtk_widget_set_margin_top(page, Pixels(kPageMargin));
    const KestLayoutDialog* layout = KestFindDialog(templateId);
    if (layout == nullptr) return page;
    captions_[index] = KestTranslate(layout->caption);
    gtk_widget_set_size_request(page, Pixels(layout->width - 2 * kPageMargin),
                                Pixels(layout->height - 2 * kPageMargin));

    // The controls in the layout's order, top to bottom, keeping its gaps.
    std::vector<const KestLayoutControl*> order;
    for (size_t i = 0; i < layout->count; ++i) order.push_back(&layout->controls[i]);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto* a, const auto* b) { return a->y < b->y; });
    int bottom = kPageMargin;
    GtkWidget* previousLabel = nullptr;
    GtkWidget* radioGroup = nullptr;
    for (const KestLayoutControl* control : order) {
        GtkWidget* widget = buildControl(*control, previousLabel, &radioGroup);
        if (widget == nullptr) continue;
        gtk_widget_set_margin_top(widget, Pixels(std::max(0, control->y - bottom)));
        gtk_widget_set_margin_start(widget, Pixels(std::max(0, control->x - kPageMargin)));
        gtk_box_append(GTK_BOX(page), widget);
        bottom = control->y + control->height;
        previousLabel = control->kind == kKestControlLabel ? widget : nullptr;
    }
    if (index == kKestPageChooseDisk) addOpenImageButton(page);
    return page;
}

GtkWidget* KestGtkWindow::buildControl(const KestLayoutControl& control, GtkWidget* previousLabel,
                                       GtkWidget** radioGroup) {
    std::string text = KestTranslate(control.text);
    GtkWidget* widget = nullptr;
    switch (control.kind) {
    case kKestControlLabel:
        widget = NewLabel(text, control.width, control.height);
        SetLabelText(widget, text);
        break;
    case kKestControlButton:
        widget = gtk_button_new_with_label(text.c_str());
        gtk_widget_set_halign(widget, GTK_ALIGN_START);
        break;
    case kKestControlCheckBox:
        widget = gtk_check_button_new_with_label(text.c_str());
        break;
    case kKestControlRadioButton:
        // Grouped check buttons look like radio buttons; say so to a screen
        // reader as well.
        widget = GTK_WIDGET(g_object_new(GTK_TYPE_CHECK_BUTTON, "accessible-role",
                                         GTK_ACCESSIBLE_ROLE_RADIO, "label", text.c_str(),
                                         nullptr));
        if (control.startsGroup || *radioGroup == nullptr) {
            *radioGroup = widget;
        } else {
            gtk_check_button_set_group(GTK_CHECK_BUTTON(widget), GTK_CHECK_BUTTON(*radioGroup));
        }
        break;
    case kKestControlPicture: {
        // Centred in the layout's rectangle at its own size, never scaled.
        GtkWidget* picture = gtk_picture_new();
        gtk_picture_set_can_shrink(GTK_PICTURE(picture), FALSE);
        gtk_widget_set_halign(picture, GTK_ALIGN_CENTER);
        gtk_widget_set_valign(picture, GTK_ALIGN_CENTER);
        gtk_widget_set_hexpand(picture, TRUE);
        // It shows what the page's text says.
        gtk_accessible_update_state(GTK_ACCESSIBLE(picture), GTK_ACCESSIBLE_STATE_HIDDEN, TRUE, -1);
        widget = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_widget_set_size_request(widget, Pixels(control.width), Pixels(control.height));
        gtk_box_append(GTK_BOX(widget), picture);
        gtk_widget_set_vexpand(picture, TRUE);
        pictures_[control.id] = picture;
        break;
    }
    case kKestControlList:
        widget = buildDiscList(previousLabel);
        gtk_widget_set_size_request(widget, Pixels(control.width), Pixels(control.height));
        break;
    case kKestControlProgress:
        widget = gtk_progress_bar_new();
        gtk_widget_set_size_request(widget, Pixels(control.width), -1);
        gtk_widget_set_halign(widget, GTK_ALIGN_START);
        LabelledBy(widget, previousLabel);
        progress_ = widget;
        break;
    }
    if (widget != nullptr && control.id >= 0) items_[control.id] = widget;
    return widget;
}

GtkWidget* KestGtkWindow::buildDiscList(GtkWidget* label) {
    list_ = gtk_list_box_new();
    gtk_list_box_set_selection_mode(GTK_LIST_BOX(list_), GTK_SELECTION_SINGLE);
    gtk_list_box_set_activate_on_single_click(GTK_LIST_BOX(list_), FALSE);
    LabelledBy(list_, label);
    g_signal_connect(list_, "selected-rows-changed", G_CALLBACK(OnSelectionChanged), this);
    GtkWidget* scroller = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), list_);
    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_frame_set_child(GTK_FRAME(frame), scroller);
    return frame;
}

// ---- Texts -------------------------------------------------------------------------------

std::string KestGtkWindow::loadString(int stringId) { return KestTranslate(KestFindString(stringId)); }

std::string KestGtkWindow::formatText(int stringId, const std::string& text) {
    return KestFormatText(loadString(stringId), text);
}

std::string KestGtkWindow::formatNumber(int stringId, int32_t number) {
    return KestFormatNumber(loadString(stringId), number);
}

std::string KestGtkWindow::pageCaption(int page) {
    return page >= 0 && page < KEST_PAGE_COUNT ? captions_[page] : std::string();
}

// ---- Controls ------------------------------------------------------------------------------

GtkWidget* KestGtkWindow::item(int itemId) const {
    auto found = items_.find(itemId);
    return found != items_.end() ? found->second : nullptr;
}

void KestGtkWindow::setItemText(int itemId, const std::string& text) {
    GtkWidget* control = item(itemId);
    if (control == nullptr) return;
    if (GTK_IS_LABEL(control)) {
        SetLabelText(control, text);
        // The page's title names the window, so a screen reader says which
        // page has come (the window's title stays the program's name).
        if (itemId == IDC_KEST_TITLE) {
            gtk_accessible_update_property(GTK_ACCESSIBLE(window_), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                           text.c_str(), -1);
        }
    } else if (GTK_IS_CHECK_BUTTON(control)) {
        gtk_check_button_set_label(GTK_CHECK_BUTTON(control), text.c_str());
    } else if (GTK_IS_BUTTON(control)) {
        gtk_button_set_label(GTK_BUTTON(control), text.c_str());
    }
}

void KestGtkWindow::showItem(int itemId, bool show) {
    if (GtkWidget* control = item(itemId)) gtk_widget_set_visible(control, show);
}

void KestGtkWindow::enableItem(int itemId, bool enable) {
    if (GtkWidget* control = item(itemId)) gtk_widget_set_sensitive(control, enable);
}

bool KestGtkWindow::isChecked(int itemId) {
    GtkWidget* control = item(itemId);
    return control != nullptr && GTK_IS_CHECK_BUTTON(control) &&
           gtk_check_button_get_active(GTK_CHECK_BUTTON(control));
}

void KestGtkWindow::setChecked(int itemId, bool checked) {
    GtkWidget* control = item(itemId);
    if (control != nullptr && GTK_IS_CHECK_BUTTON(control)) {
        gtk_check_button_set_active(GTK_CHECK_BUTTON(control), checked);
    }
}

void KestGtkWindow::setPicture(int itemId, const std::string& name) {
    auto found = pictures_.find(itemId);
    if (found == pictures_.end()) return;
    KestShowPicture(found->second, name);
}

// ---- Progress ----------------------------------------------------------------------------------

void KestGtkWindow::setMarquee(bool on) {
    if (progress_ == nullptr) return;
    if (on && pulseSource_ == 0) {
        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(progress_));
        pulseSource_ = g_timeout_add(kPulseMilliseconds, OnPulse, this);
    } else if (!on && pulseSource_ != 0) {
        g_source_remove(pulseSource_);
        pulseSource_ = 0;
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_), 0.0);
    }
}

gboolean KestGtkWindow::OnPulse(gpointer self) {
    auto* owner = static_cast<KestGtkWindow*>(self);
    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(owner->progress_));
    return G_SOURCE_CONTINUE;
}

void KestGtkWindow::setPercentRange() {
    // GTK's bar always runs from 0 to 1; positions are percentages.
}

void KestGtkWindow::setPosition(int position) {
    if (progress_ == nullptr) return;
    setMarquee(false);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_),
                                  std::clamp(position, 0, 100) / 100.0);
}

// ---- Disc list ------------------------------------------------------------------------------------

void KestGtkWindow::listDeleteAll() {
    if (list_ == nullptr) return;
    while (GtkListBoxRow* row = gtk_list_box_get_row_at_index(GTK_LIST_BOX(list_), 0)) {
        gtk_list_box_remove(GTK_LIST_BOX(list_), GTK_WIDGET(row));
    }
}

int KestGtkWindow::listAppend(const std::string& name) {
    if (list_ == nullptr) return -1;
    GtkWidget* content = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_margin_start(content, 8);
    gtk_widget_set_margin_end(content, 8);
    gtk_widget_set_margin_top(content, 6);
    gtk_widget_set_margin_bottom(content, 6);
    GtkWidget* icon = gtk_image_new();
    KestShowPicture(icon, kDiscIcon);
    gtk_image_set_pixel_size(GTK_IMAGE(icon), kDiscIconSize);
    GtkWidget* label = gtk_label_new(name.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
    gtk_box_append(GTK_BOX(content), icon);
    gtk_box_append(GTK_BOX(content), label);
    GtkWidget* row = gtk_list_box_row_new();
    gtk_list_box_row_set_child(GTK_LIST_BOX_ROW(row), content);
    gtk_accessible_update_property(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   name.c_str(), -1);
    gtk_list_box_append(GTK_LIST_BOX(list_), row);
    return gtk_list_box_row_get_index(GTK_LIST_BOX_ROW(row));
}

void KestGtkWindow::listSelect(int index) {
    if (list_ == nullptr) return;
    GtkListBoxRow* row = gtk_list_box_get_row_at_index(GTK_LIST_BOX(list_), index);
    if (row != nullptr) gtk_list_box_select_row(GTK_LIST_BOX(list_), row);
}

int KestGtkWindow::listCount() {
    int count = 0;
    while (list_ != nullptr && gtk_list_box_get_row_at_index(GTK_LIST_BOX(list_), count) != nullptr) {
        ++count;
    }
    return count;
}

int KestGtkWindow::listSelection() {
    if (list_ == nullptr) return -1;
    GtkListBoxRow* row = gtk_list_box_get_selected_row(GTK_LIST_BOX(list_));
    return row != nullptr ? gtk_list_box_row_get_index(row) : -1;
}

void KestGtkWindow::OnSelectionChanged(GtkListBox*, gpointer self) {
    static_cast<KestGtkWindow*>(self)->logic_.onDiscListItemChanged();
}

// ---- Pages and the window -------------------------------------------------------------------------

void KestGtkWindow::selectPage(int index) {
    if (index < 0 || index >= KEST_PAGE_COUNT || pages_[index] == nullptr) return;
    gtk_stack_set_visible_child(GTK_STACK(stack_), pages_[index]);
    // The pages behind stay out of a screen reader's way.
    for (int other = 0; other < KEST_PAGE_COUNT; ++other) {
        gtk_accessible_update_state(GTK_ACCESSIBLE(pages_[other]), GTK_ACCESSIBLE_STATE_HIDDEN,
                                    other != index, -1);
    }
    // The disc page starts in its list, so the arrow keys choose a disc.
    if (index == kKestPageChooseDisk && list_ != nullptr) {
        GtkListBoxRow* row = gtk_list_box_get_selected_row(GTK_LIST_BOX(list_));
        gtk_widget_grab_focus(row != nullptr ? GTK_WIDGET(row) : list_);
        return;
    }
    GtkWidget* focus = gtk_window_get_focus(window_);
    if (focus == nullptr || !gtk_widget_is_visible(focus) || !gtk_widget_is_sensitive(focus)) {
        gtk_widget_grab_focus(continue_);
    }
}

void KestGtkWindow::redrawNow() {
    // GTK paints at the next frame; nothing can be drawn sooner.
    if (window_ != nullptr) gtk_widget_queue_draw(GTK_WIDGET(window_));
}

void KestGtkWindow::beginWaitCursor() {
    if (waitCursorDepth_++ == 0 && window_ != nullptr) {
        gtk_widget_set_cursor_from_name(GTK_WIDGET(window_), "wait");
    }
}

void KestGtkWindow::endWaitCursor() {
    if (waitCursorDepth_ > 0 && --waitCursorDepth_ == 0 && window_ != nullptr) {
        gtk_widget_set_cursor(GTK_WIDGET(window_), nullptr);
    }
}

bool KestGtkWindow::isAltKeyDown() {
    if (altHeld_) return true;
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window_));
    GdkSeat* seat = display != nullptr ? gdk_display_get_default_seat(display) : nullptr;
    GdkDevice* keyboard = seat != nullptr ? gdk_seat_get_keyboard(seat) : nullptr;
    return keyboard != nullptr && (gdk_device_get_modifier_state(keyboard) & GDK_ALT_MASK) != 0;
}

void KestGtkWindow::endWizard(int) {
    if (ended_) return;
    ended_ = true;
    cancelDeferred();
    // The application ends with its last window.
    if (window_ != nullptr) gtk_widget_set_visible(GTK_WIDGET(window_), FALSE);
    if (application_ != nullptr) g_application_quit(G_APPLICATION(application_));
}

gboolean KestGtkWindow::OnCloseRequest(GtkWindow*, gpointer self) {
    static_cast<KestGtkWindow*>(self)->logic_.onClose();
    return TRUE;  // the logic ends the wizard, or not
}

void KestGtkWindow::OnGoBack(GtkButton*, gpointer self) {
    static_cast<KestGtkWindow*>(self)->logic_.onGoBack();
}

void KestGtkWindow::OnContinue(GtkButton*, gpointer self) {
    static_cast<KestGtkWindow*>(self)->logic_.onContinue();
}

void KestGtkWindow::OnDestroy(GtkWidget*, gpointer self) {
    static_cast<KestGtkWindow*>(self)->cancelDeferred();
}

// Go Back and Continue ignore Enter (the wizard has no default action);
// Space and clicks still press them. The Alt keys are followed for the
// hardware-test unlock.
void KestGtkWindow::installKeyHandling() {
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    g_signal_connect(keys, "key-pressed",
                     G_CALLBACK(+[](GtkEventControllerKey*, guint keyval, guint, GdkModifierType,
                                    gpointer self) -> gboolean {
                         auto* owner = static_cast<KestGtkWindow*>(self);
                         if (keyval == GDK_KEY_Alt_L || keyval == GDK_KEY_Alt_R) owner->altHeld_ = true;
                         if (keyval != GDK_KEY_Return && keyval != GDK_KEY_KP_Enter &&
                             keyval != GDK_KEY_ISO_Enter) {
                             return FALSE;
                         }
                         GtkWidget* focus = gtk_window_get_focus(owner->window_);
                         return focus == owner->goBack_ || focus == owner->continue_;
                     }),
                     this);
    g_signal_connect(keys, "key-released",
                     G_CALLBACK(+[](GtkEventControllerKey*, guint keyval, guint, GdkModifierType,
                                    gpointer self) {
                         if (keyval == GDK_KEY_Alt_L || keyval == GDK_KEY_Alt_R) {
                             static_cast<KestGtkWindow*>(self)->altHeld_ = false;
                         }
                     }),
                     this);
    gtk_widget_add_controller(GTK_WIDGET(window_), keys);
    // A key let go in another window would leave Alt "held".
    g_signal_connect(window_, "notify::is-active",
                     G_CALLBACK(+[](GObject* window, GParamSpec*, gpointer self) {
                         if (!gtk_window_is_active(GTK_WINDOW(window))) {
                             static_cast<KestGtkWindow*>(self)->altHeld_ = false;
                         }
                     }),
                     this);
}

// Image files dropped on the window are inserted as discs.
void KestGtkWindow::installDropTarget() {
    GtkDropTarget* target = gtk_drop_target_new(GDK_TYPE_FILE_LIST, GDK_ACTION_COPY);
    g_signal_connect(target, "drop",
                     G_CALLBACK(+[](GtkDropTarget*, const GValue* value, double, double,
                                    gpointer self) -> gboolean {
                         auto* owner = static_cast<KestGtkWindow*>(self);
                         if (!G_VALUE_HOLDS(value, GDK_TYPE_FILE_LIST) || !owner->imageHandler_) {
                             return FALSE;
                         }
                         auto* files = static_cast<GdkFileList*>(g_value_get_boxed(value));
                         GSList* list = gdk_file_list_get_files(files);
                         bool taken = false;
                         for (GSList* file = list; file != nullptr; file = file->next) {
                             char* path = g_file_get_path(G_FILE(file->data));
                             if (path != nullptr) {
                                 owner->imageHandler_(path);
                                 taken = true;
                             }
                             g_free(path);
                         }
                         g_slist_free(list);
                         return taken;
                     }),
                     this);
    gtk_widget_add_controller(GTK_WIDGET(window_), GTK_EVENT_CONTROLLER(target));
}

// "Open Disc Image...": for the many computers that have an image file
// rather than a drive.
void KestGtkWindow::addOpenImageButton(GtkWidget* page) {
    GtkWidget* button = gtk_button_new_with_label(loadString(IDS_KEST_OPEN_IMAGE).c_str());
    gtk_widget_set_halign(button, GTK_ALIGN_START);
    gtk_widget_set_margin_top(button, Pixels(4));
    g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                         static_cast<KestGtkWindow*>(self)->openImageChooser();
                     }),
                     this);
    gtk_box_append(GTK_BOX(page), button);
}

void KestGtkWindow::openImageChooser() {
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        loadString(IDS_KEST_OPEN_IMAGE).c_str(), window_, GTK_FILE_CHOOSER_ACTION_OPEN, nullptr,
        nullptr);
    GtkFileFilter* images = gtk_file_filter_new();
    gtk_file_filter_set_name(images, loadString(IDS_KEST_DISC_IMAGES).c_str());
    for (const char* pattern : {"*.dmg", "*.iso", "*.cdr", "*.img", "*.toast", "*.DMG", "*.ISO",
                                "*.CDR", "*.IMG", "*.TOAST"}) {
        gtk_file_filter_add_pattern(images, pattern);
    }
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), images);
    g_object_unref(images);
    g_signal_connect(chooser, "response",
                     G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer self) {
                         auto* owner = static_cast<KestGtkWindow*>(self);
                         if (response == GTK_RESPONSE_ACCEPT && owner->imageHandler_) {
                             GFile* file = gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog));
                             char* path = file != nullptr ? g_file_get_path(file) : nullptr;
                             if (path != nullptr) owner->imageHandler_(path);
                             g_free(path);
                             if (file != nullptr) g_object_unref(file);
                         }
                         g_object_unref(dialog);
                     }),
                     this);
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

// ---- Modal dialogs ---------------------------------------------------------------------------------

void KestGtkWindow::showNotice(const std::string& text) {
    KestGtkModal notice(window_, loadString(IDS_KEST_APP_NAME));
    notice.setIcon(kAppIcon);
    notice.setTexts(std::string(), text);
    notice.addButton(KestTranslate("OK"), kKestResultOK, true);
    notice.setCloseResult(kKestResultOK);
    notice.run();
}

bool KestGtkWindow::askYesNo(const std::string& text) {
    constexpr int kYes = 6, kNo = 7;
    KestGtkModal question(window_, loadString(IDS_KEST_APP_NAME));
    question.setIcon(kAppIcon);
    question.setTexts(std::string(), text);
    // GTK's own words for the two answers, in the user's language.
    // No takes Enter, but is not styled as the suggested action: quitting
    // is what the question is about.
    GtkWidget* no = question.addButton(g_dgettext("gtk40", "_No"), kNo, true);
    gtk_widget_remove_css_class(no, "suggested-action");
    question.addButton(g_dgettext("gtk40", "_Yes"), kYes, false);
    question.setCloseResult(kNo);
    return question.run() == kYes;
}

int KestGtkWindow::runWaitDialog(const KestWaitTexts& texts) {
    const KestLayoutDialog* layout = KestFindDialog(IDD_WAIT_FOR_DISK);
    std::string title, body, ok = "OK";
    for (size_t i = 0; layout != nullptr && i < layout->count; ++i) {
        const KestLayoutControl& control = layout->controls[i];
        if (control.id == IDC_WAIT_TITLE) title = KestTranslate(control.text);
        if (control.id == IDC_WAIT_BODY) body = KestTranslate(control.text);
        if (control.id == 1) ok = control.text;
    }
    if (texts.hasCustomText) {
        title = texts.titleText;
        body = texts.bodyText;
    }
    KestGtkModal dialog(window_, std::string());
    dialog.setIcon(kAppIcon);
    dialog.setTexts(title, body);
    dialog.addButton(KestTranslate(ok.c_str()), kKestResultOK, true);
    // Only OK, or a disc arriving, ends it.
    dialog.setClosable(false);
    dialog.setCloseResult(kKestResultCancel);  // the program ending under it
    if (texts.enlarge) dialog.setMinimumHeight(Pixels(72) + 40);
    waitDialog_ = &dialog;
    int result = dialog.run();
    waitDialog_ = nullptr;
    return result;
}

void KestGtkWindow::endWaitDialog(int result) {
    if (waitDialog_ != nullptr) waitDialog_->end(result);
}

// ---- Deferred work ---------------------------------------------------------------------------------

bool KestGtkWindow::defer(Deferred* work) {
    if (ended_ || window_ == nullptr) {
        delete work;
        return false;
    }
    work->source = g_idle_add(OnDeferred, work);
    deferred_.push_back(work);
    return true;
}

gboolean KestGtkWindow::OnDeferred(gpointer data) {
    auto* work = static_cast<Deferred*>(data);
    KestGtkWindow* owner = work->owner;
    auto& queue = owner->deferred_;
    queue.erase(std::remove(queue.begin(), queue.end(), work), queue.end());
    QxLObjectRef event = work->event;
    delete work;
    if (event != nullptr) {
        owner->logic_.handleEject(event);
    } else {
        owner->logic_.onCheckSelection();
    }
    return G_SOURCE_REMOVE;
}

void KestGtkWindow::cancelDeferred() {
    // A queued "Eject" holds its event: let go of it.
    for (Deferred* work : deferred_) {
        g_source_remove(work->source);
        if (work->event != nullptr) QxLObjectRelease(work->event);
        delete work;
    }
    deferred_.clear();
}

bool KestGtkWindow::postEject(QxLObjectRef event) {
    return defer(new Deferred{this, event});
}

bool KestGtkWindow::postSelectionCheck() { return defer(new Deferred{this, nullptr}); }

void KestGtkWindow::announceVolumeArrival() {
    logic_.onDeviceChange(kKestDeviceArrival, kKestDeviceTypeVolume);
}
