// A modal dialog of the wizard on GTK: an icon, a bold first text, a
// second text and a row of buttons, run in a nested main loop until a
// button, Escape, the close button or the program ends it (a dialog that
// is not closable has no close button and ignores Escape). The nested loop
// serves the default main context, so the run loop's timers and sockets go
// on meanwhile.
//
// GTK 4 has no blocking dialog run of its own; the wizard's logic needs
// one (a question's answer decides what happens next), as on Windows.
#pragma once

#include <gtk/gtk.h>

#include <string>

class KestGtkModal {
public:
    KestGtkModal(GtkWindow* parent, const std::string& title);
    ~KestGtkModal();
    KestGtkModal(const KestGtkModal&) = delete;
    KestGtkModal& operator=(const KestGtkModal&) = delete;

    // The picture beside the texts: the name of one of the program's
    // pictures (KestShowPicture), or null for none.
    void setIcon(const char* picture);
    // Either text may be empty (then it is not shown).
    void setTexts(const std::string& primary, const std::string& secondary);
    // Appends a button that ends the dialog with result; the default one
    // takes Enter. A label with an underscore gets that mnemonic.
    GtkWidget* addButton(const std::string& label, int result, bool isDefault);
    // The result of Escape and of the close button.
    void setCloseResult(int result) { closeResult_ = result; }
    // Without: only a button (or end()) ends the dialog; Escape and the
    // window manager's close do nothing, and there is no close button.
    void setClosable(bool closable);
    bool closable() const { return closable_; }
    // At least this tall (the wait dialog grows for a longer text).
    void setMinimumHeight(int pixels);

    // Shows the dialog and returns its result when it ends.
    int run();
    // Ends a running dialog with result (no effect when not running).
    void end(int result);

    GtkWindow* window() const { return window_; }
    GtkWidget* primaryLabel() const { return primary_; }
    GtkWidget* secondaryLabel() const { return secondary_; }

private:
    static void OnButton(GtkButton* button, gpointer self);
    static gboolean OnCloseRequest(GtkWindow*, gpointer self);
    static gboolean OnKey(GtkEventControllerKey*, guint keyval, guint, GdkModifierType,
                          gpointer self);
    static void OnDestroy(GtkWidget*, gpointer self);

    GtkWindow* window_ = nullptr;
    GtkWidget* icon_ = nullptr;
    GtkWidget* primary_ = nullptr;
    GtkWidget* secondary_ = nullptr;
    GtkWidget* buttons_ = nullptr;
    GMainLoop* loop_ = nullptr;
    int result_ = 0;
    int closeResult_ = 0;
    bool closable_ = true;
};
