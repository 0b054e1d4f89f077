// The window side of the wizard, as the portable wizard logic (KestDialog)
// sees it: one interface that each front end implements (the Win32 dialogs
// on Windows; a recording fake in the tests).
//
// Controls are addressed by their template ids (KestResourceIds.h) across
// the whole wizard: every id is unique among the dialog and its pages. An
// operation on a control that does not exist does nothing, and a missing
// check box reads as unchecked. Texts cross this interface as UTF-8; the
// front end converts at its own boundary.
//
// Modal operations (runWaitDialog, showNotice, askYesNo) return only when
// the user or the logic has ended them, and keep serving the run loop's
// timers and sockets meanwhile: events can arrive inside them.
#pragma once

#include <cstdint>
#include <string>

#include "QxLObject.h"

// What a wait-for-disc dialog shows: the template's texts, or with
// hasCustomText titleText and bodyText in their place.
struct KestWaitTexts {
    bool hasCustomText = false;
    std::string titleText;
    std::string bodyText;
    bool enlarge = false;  // a longer body: the dialog grows
};

class KestView {
public:
    virtual ~KestView() = default;

    // ---- String table, in the user's language ---------------------------------
    virtual std::string loadString(int stringId) = 0;
    // String stringId formatted by the platform's rules: "%s" takes text,
    // "%d" a signed number.
    virtual std::string formatText(int stringId, const std::string& text) = 0;
    virtual std::string formatNumber(int stringId, int32_t number) = 0;
    // The page's caption (its title, shown in the title line).
    virtual std::string pageCaption(int page) = 0;

    // ---- Controls ----------------------------------------------------------------
    virtual void setItemText(int itemId, const std::string& text) = 0;
    virtual void showItem(int itemId, bool show) = 0;
    virtual void enableItem(int itemId, bool enable) = 0;
    virtual bool isChecked(int itemId) = 0;
    virtual void setChecked(int itemId, bool checked) = 0;
    // Shows the picture resource `name` in the picture control itemId;
    // a picture that cannot be loaded leaves it blank.
    virtual void setPicture(int itemId, const std::string& name) = 0;

    // ---- Progress bar of the install page ------------------------------------------
    virtual void setMarquee(bool on) = 0;
    virtual void setPercentRange() = 0;
    virtual void setPosition(int position) = 0;

    // ---- Disc list of the disc page ---------------------------------------------------
    virtual void listDeleteAll() = 0;
    // Appends an item with the disc image; its index, or -1.
    virtual int listAppend(const std::string& name) = 0;
    virtual void listSelect(int index) = 0;
    virtual int listCount() = 0;
    // The first selected item, or -1.
    virtual int listSelection() = 0;

    // ---- Pages and the window ---------------------------------------------------------
    // Shows page index alone in the page area.
    virtual void selectPage(int index) = 0;
    // Invalidates, erases and repaints the whole wizard at once.
    virtual void redrawNow() = 0;
    virtual void beginWaitCursor() = 0;
    virtual void endWaitCursor() = 0;
    // Whether the Alt (Option) key is held at this moment.
    virtual bool isAltKeyDown() = 0;
    // Ends the wizard's modal run with result.
    virtual void endWizard(int result) = 0;

    // ---- Modal dialogs -----------------------------------------------------------------
    // A message with an OK button, captioned with the application's name.
    virtual void showNotice(const std::string& text) = 0;
    // A question with Yes and No (No the default); true for Yes.
    virtual bool askYesNo(const std::string& text) = 0;
    // Runs the wait-for-disc dialog and returns its result (1, OK): only its
    // OK button or endWaitDialog, which ends a running one, end it.
    virtual int runWaitDialog(const KestWaitTexts& texts) = 0;
    virtual void endWaitDialog(int result) = 0;

    // ---- Deferred work through the window's message queue -----------------------------
    // Queues the event (whose reference passes to the queue) for
    // KestDialog::handleEject; false when it could not be queued (the
    // caller keeps the reference then).
    virtual bool postEject(QxLObjectRef event) = 0;
    // Queues a call of KestDialog::onCheckSelection; false on failure.
    virtual bool postSelectionCheck() = 0;
    // Tells the wizard, as the system does for a disc inserted, that a volume
    // has arrived (KestDialog::onDeviceChange with an arrival).
    virtual void announceVolumeArrival() = 0;
};
