// The small modal dialog (template 150) that asks the user to insert a disc.
//
// Run it with run(); it ends with 1 when the user presses OK or when the
// wizard calls end() because a disc appeared. Escape and the close box do
// nothing. Timers and sockets keep being served while it runs: the modal
// loop dispatches the run loop's hidden-window messages like any other.
#pragma once

#include <windows.h>

#include <string>

#include "ImageControl.h"

class WaitForDiskDialog {
public:
    WaitForDiskDialog() = default;
    ~WaitForDiskDialog();
    WaitForDiskDialog(const WaitForDiskDialog&) = delete;
    WaitForDiskDialog& operator=(const WaitForDiskDialog&) = delete;

    // Texts in place of the template's; with enlarge the dialog is 40 pixels
    // taller for a longer body. Call before run().
    void setTexts(const std::wstring& title, const std::wstring& body, bool enlarge);

    // Runs the dialog modally over owner; returns its result (1).
    INT_PTR run(HWND owner);
    // Ends a running dialog with result; nothing when it is not running.
    void end(INT_PTR result);
    HWND window() const { return window_; }

private:
    static INT_PTR CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM);
    void initialise(HWND window);

    HWND window_ = nullptr;
    ImageControl icon_;
    HFONT boldFont_ = nullptr;
    bool hasCustomText_ = false;
    std::wstring titleText_;
    std::wstring bodyText_;
    bool enlarge_ = false;
};
