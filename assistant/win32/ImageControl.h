// A static control of a dialog template that shows a PNG picture from the
// program's resources (type "PNGImage"), drawn unscaled at its top-left
// corner, or a 48-pixel icon when it has no picture.
//
// The control is subclassed when attached; the object must outlive the
// window or be detached by its destruction (WM_NCDESTROY clears it). A
// failed load leaves the control blank: it then paints nothing, and
// validates its paint requests so that none repeats.
#pragma once

#include <windows.h>

#include "QxLStatus.h"

namespace Gdiplus {
class Bitmap;
}
struct IStream;

class ImageControl {
public:
    ImageControl() = default;
    ~ImageControl();
    ImageControl(const ImageControl&) = delete;
    ImageControl& operator=(const ImageControl&) = delete;

    // Binds to child controlId of dialog (subclassing it). False when the
    // child is missing.
    bool attach(HWND dialog, int controlId);
    HWND window() const { return window_; }

    // Replaces the picture by the PNG resource `name` of this module.
    // 0, or the system error of a missing resource (kStatusUnknown when the
    // system gives none), kStatusBadSize for an empty resource,
    // kStatusNoMemory, a failing HRESULT, or the decoder's status; on
    // failure the control is left empty.
    QxStatus loadPng(const wchar_t* name);
    // Frees the picture, its memory and the icon; each that is present.
    void clearImage();
    // Takes ownership of an icon, drawn at 48 x 48 when there is no picture.
    void setIcon(HICON icon);

    bool hasImage() const { return bitmap_ != nullptr; }
    // The picture's size in pixels; 0 x 0 without one.
    SIZE imageSize() const;

private:
    static LRESULT CALLBACK Procedure(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
    void paint();

    HWND window_ = nullptr;
    Gdiplus::Bitmap* bitmap_ = nullptr;
    HGLOBAL pngMemory_ = nullptr;
    bool pngMemoryLocked_ = false;
    IStream* stream_ = nullptr;
    HICON icon_ = nullptr;
};
