// The wizard's window on the Linux desktop (GTK 4): the picture on the
// left, the page title in the header bar, the eight pages in a stack and
// Go Back and Continue at the bottom right; a fixed size that holds the
// largest page.
//
// It is the GTK implementation of KestView: the shared logic (KestDialog)
// decides, this class carries it out. The pages are built from the layout
// table, so they hold the same controls, ids and texts as the Windows
// templates. Modal dialogs run a nested GLib main loop, which also serves
// the run loop's source (KestGLibRunLoop): timers and sockets go on while
// they are open, on the one thread. Deferred work goes through idle
// callbacks of the default main context, in order.
//
// Not here: the application (single instance, images given to it, the run
// loop's set-up, keep-awake, udev): KestGtkApp.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "KestDialog.h"
#include "KestGtkLayout.h"
#include "KestResourceIds.h"
#include "KestView.h"

class KestDiscImages;
class KestGtkModal;

class KestGtkWindow : public KestView {
public:
    KestGtkWindow(GtkApplication* application, KestDiscImages* discImages);
    ~KestGtkWindow() override;
    KestGtkWindow(const KestGtkWindow&) = delete;
    KestGtkWindow& operator=(const KestGtkWindow&) = delete;

    // Shows the window; the wizard starts on page 0.
    void present();
    KestDialog& logic() { return logic_; }
    GtkWindow* window() const { return window_; }
    // Whether the wizard has ended (its window is gone or going).
    bool ended() const { return ended_; }

    // Called with an image file the user has chosen, dropped or given to a
    // second copy of the program.
    void setImageHandler(std::function<void(const std::string&)> handler) {
        imageHandler_ = std::move(handler);
    }

    // ---- KestView ------------------------------------------------------------------
    std::string loadString(int stringId) override;
    std::string formatText(int stringId, const std::string& text) override;
    std::string formatNumber(int stringId, int32_t number) override;
    std::string pageCaption(int page) override;
    void setItemText(int itemId, const std::string& text) override;
    void showItem(int itemId, bool show) override;
    void enableItem(int itemId, bool enable) override;
    bool isChecked(int itemId) override;
    void setChecked(int itemId, bool checked) override;
    void setPicture(int itemId, const std::string& name) override;
    void setMarquee(bool on) override;
    void setPercentRange() override;
    void setPosition(int position) override;
    void listDeleteAll() override;
    int listAppend(const std::string& name) override;
    void listSelect(int index) override;
    int listCount() override;
    int listSelection() override;
    void selectPage(int index) override;
    void redrawNow() override;
    void beginWaitCursor() override;
    void endWaitCursor() override;
    bool isAltKeyDown() override;
    void endWizard(int result) override;
    void showNotice(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    int runWaitDialog(const KestWaitTexts& texts) override;
    void endWaitDialog(int result) override;
    bool postEject(QxLObjectRef event) override;
    bool postSelectionCheck() override;
    void announceVolumeArrival() override;

private:
    struct Deferred;

    void build();
    GtkWidget* buildPicturePane();
    GtkWidget* buildPage(int index, int templateId);
    GtkWidget* buildControl(const KestLayoutControl& control, GtkWidget* previousLabel,
                            GtkWidget** radioGroup);
    GtkWidget* buildDiscList(GtkWidget* label);
    void addOpenImageButton(GtkWidget* page);
    void openImageChooser();
    void installKeyHandling();
    void installDropTarget();
    void followStyle();
    GtkWidget* item(int itemId) const;
    bool defer(Deferred* work);
    void cancelDeferred();

    static gboolean OnCloseRequest(GtkWindow*, gpointer self);
    static void OnGoBack(GtkButton*, gpointer self);
    static void OnContinue(GtkButton*, gpointer self);
    static void OnSelectionChanged(GtkListBox*, gpointer self);
    static gboolean OnPulse(gpointer self);
    static gboolean OnDeferred(gpointer work);
    static void OnDestroy(GtkWidget*, gpointer self);

    KestDialog logic_;
    GtkApplication* application_;
    GtkWindow* window_ = nullptr;
    GtkWidget* title_ = nullptr;
    GtkWidget* stack_ = nullptr;
    GtkWidget* goBack_ = nullptr;
    GtkWidget* continue_ = nullptr;
    GtkWidget* list_ = nullptr;
    GtkWidget* progress_ = nullptr;
    GtkWidget* pages_[KEST_PAGE_COUNT] = {};
    std::string captions_[KEST_PAGE_COUNT];
    std::unordered_map<int, GtkWidget*> items_;
    std::unordered_map<int, GtkWidget*> pictures_;  // picture id -> its GtkPicture
    std::vector<Deferred*> deferred_;
    std::function<void(const std::string&)> imageHandler_;
    KestGtkModal* waitDialog_ = nullptr;
    guint pulseSource_ = 0;
    GtkCssProvider* styleColours_ = nullptr;  // the style's colours for contrast
    int waitCursorDepth_ = 0;
    bool altHeld_ = false;
    bool ended_ = false;
};
