// The wizard's eight pages on Windows: child dialogs (templates 102 and
// 143 to 149) stacked in the page area of the wizard, shown one at a time.
//
// A page is created once and keeps its controls' states while hidden. Every
// page paints a white background with a grey frame and answers the control
// colour queries with white, so statics, buttons and the list sit on white.
// Enter and Escape do nothing. What a page shows is decided by the shared
// wizard logic (KestDialog); a page only owns its window, brushes, pictures
// and, on the disc page, the list's image list.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "ImageControl.h"

class KestDialogWindow;

class KestPage {
public:
    KestPage(KestDialogWindow& owner, int index, int templateId, int pictureId = 0);
    virtual ~KestPage();
    KestPage(const KestPage&) = delete;
    KestPage& operator=(const KestPage&) = delete;

    // Creates the page as a hidden child of container; false on failure.
    bool create(HWND container);
    HWND window() const { return window_; }
    int index() const { return index_; }
    // The picture control of the page (null when it has none) and its id.
    ImageControl* picture() { return pictureId_ != 0 ? &picture_ : nullptr; }
    int pictureId() const { return pictureId_; }

protected:
    // Page-specific set-up before the shared texts and pictures are applied.
    virtual void initialise() {}
    // Messages the page handles beyond painting; true when handled (with
    // *result the dialog procedure's answer).
    virtual bool handle(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result);

    KestDialogWindow& owner_;
    HWND window_ = nullptr;

private:
    static INT_PTR CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    void paintFrame();

    int index_;
    int templateId_;
    int pictureId_;
    ImageControl picture_;
    HBRUSH background_ = nullptr;
    HBRUSH frame_ = nullptr;
};

class KestPage_Intro : public KestPage {
public:
    explicit KestPage_Intro(KestDialogWindow& owner);
};

class KestPage_ChooseDisk : public KestPage {
public:
    explicit KestPage_ChooseDisk(KestDialogWindow& owner);
    ~KestPage_ChooseDisk() override;

protected:
    void initialise() override;
    bool handle(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) override;

private:
    HIMAGELIST images_ = nullptr;
};

class KestPage_ChooseConnection : public KestPage {
public:
    explicit KestPage_ChooseConnection(KestDialogWindow& owner);
};

class KestPage_Restart : public KestPage {
public:
    explicit KestPage_Restart(KestDialogWindow& owner);
};

class KestPage_ChooseWavlo : public KestPage {
public:
    explicit KestPage_ChooseWavlo(KestDialogWindow& owner);
};

class KestPage_ChooseStartupDisk : public KestPage {
public:
    explicit KestPage_ChooseStartupDisk(KestDialogWindow& owner);
};

class KestPage_Diags : public KestPage {
public:
    explicit KestPage_Diags(KestDialogWindow& owner);
};

class KestPage_Install : public KestPage {
public:
    explicit KestPage_Install(KestDialogWindow& owner);
};
