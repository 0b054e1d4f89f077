// A dialog's static control turned into a picture: PNG bytes from the
// program's resources decoded by GDI+ and drawn unscaled at the control's
// top-left corner, or a 48-pixel icon.
//
// The pictures have alpha, so each paint first fills the control with the
// brush its parent answers to WM_CTLCOLORSTATIC (white on the pages), in an
// off-screen bitmap so that a repaint does not flicker. Controls come from
// templates and keep the size given there or by their owner; nothing here
// resizes them. GDI+ is started once and never shut down.
#include "ImageControl.h"

#include "KestResourceIds.h"

#include <commctrl.h>
#include <objidl.h>

#include <gdiplus.h>

#include <cstring>

namespace {

bool gdiplusStarted = false;
ULONG_PTR gdiplusToken = 0;

constexpr UINT_PTR kSubclassId = 1;

// The last system error, or kStatusUnknown when the system gives none.
QxStatus LastError() {
    DWORD error = GetLastError();
    return error != 0 ? static_cast<QxStatus>(error) : kStatusUnknown;
}

}  // namespace

ImageControl::~ImageControl() {
    if (window_ != nullptr) RemoveWindowSubclass(window_, Procedure, kSubclassId);
    clearImage();
}

bool ImageControl::attach(HWND dialog, int controlId) {
    HWND control = GetDlgItem(dialog, controlId);
    if (control == nullptr) return false;
    if (window_ != nullptr) RemoveWindowSubclass(window_, Procedure, kSubclassId);
    window_ = nullptr;
    if (!SetWindowSubclass(control, Procedure, kSubclassId, reinterpret_cast<DWORD_PTR>(this)))
        return false;
    window_ = control;
    return true;
}

QxStatus ImageControl::loadPng(const wchar_t* name) {
    if (!gdiplusStarted) {
        Gdiplus::GdiplusStartupInput input;
        if (Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr) == Gdiplus::Ok)
            gdiplusStarted = true;
    }
    clearImage();
    QxStatus status = kStatusOK;
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(module, name, L"" KEST_PNG_TYPE);
    if (resource == nullptr) return LastError();
    DWORD size = SizeofResource(module, resource);
    if (size == 0) return kStatusBadSize;
    HGLOBAL loaded = LoadResource(module, resource);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return LastError();

    pngMemory_ = GlobalAlloc(GMEM_MOVEABLE, size);
    if (pngMemory_ == nullptr) return kStatusNoMemory;
    void* copy = GlobalLock(pngMemory_);
    if (copy == nullptr) {
        GlobalFree(pngMemory_);
        pngMemory_ = nullptr;
        return kStatusUnknown;
    }
    pngMemoryLocked_ = true;
    std::memcpy(copy, bytes, size);

    HRESULT result = CreateStreamOnHGlobal(pngMemory_, FALSE, &stream_);
    if (FAILED(result)) {
        stream_ = nullptr;
        status = static_cast<QxStatus>(result);
    } else {
        bitmap_ = Gdiplus::Bitmap::FromStream(stream_);
        if (bitmap_ == nullptr) {
            status = kStatusUnknown;
        } else if (bitmap_->GetLastStatus() != Gdiplus::Ok) {
            status = static_cast<QxStatus>(bitmap_->GetLastStatus());
        }
    }
    // The stream is kept with the bitmap: GDI+ may read from it lazily, and
    // not every implementation holds its own reference.
    if (status != kStatusOK) clearImage();
    if (window_ != nullptr) InvalidateRect(window_, nullptr, TRUE);
    return status;
}

void ImageControl::clearImage() {
    if (bitmap_ != nullptr) {
        delete bitmap_;
        bitmap_ = nullptr;
    }
    if (stream_ != nullptr) {
        stream_->Release();
        stream_ = nullptr;
    }
    if (pngMemory_ != nullptr) {
        if (pngMemoryLocked_) GlobalUnlock(pngMemory_);
        GlobalFree(pngMemory_);
        pngMemory_ = nullptr;
        pngMemoryLocked_ = false;
    }
    if (icon_ != nullptr) {
        DestroyIcon(icon_);
        icon_ = nullptr;
    }
}

void ImageControl::setIcon(HICON icon) {
    if (icon_ != nullptr && icon_ != icon) DestroyIcon(icon_);
    icon_ = icon;
    if (window_ != nullptr) InvalidateRect(window_, nullptr, TRUE);
}

LRESULT CALLBACK ImageControl::Procedure(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam, UINT_PTR, DWORD_PTR data) {
    auto* self = reinterpret_cast<ImageControl*>(data);
    switch (message) {
    case WM_ERASEBKGND:
        return 1;  // paint() fills the background itself
    case WM_PAINT:
        self->paint();
        return 0;
    case WM_NCDESTROY:
        RemoveWindowSubclass(window, Procedure, kSubclassId);
        self->clearImage();
        self->window_ = nullptr;
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

void ImageControl::paint() {
    PAINTSTRUCT paintInfo;
    HDC target = BeginPaint(window_, &paintInfo);
    if (target == nullptr) return;
    RECT client{};
    GetClientRect(window_, &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;

    HDC canvas = CreateCompatibleDC(target);
    HBITMAP buffer = canvas != nullptr ? CreateCompatibleBitmap(target, width, height) : nullptr;
    HDC drawing = target;
    HGDIOBJ previous = nullptr;
    if (buffer != nullptr) {
        previous = SelectObject(canvas, buffer);
        drawing = canvas;
    }

    HWND parent = GetParent(window_);
    HBRUSH background = parent != nullptr
        ? reinterpret_cast<HBRUSH>(SendMessageW(parent, WM_CTLCOLORSTATIC,
                                                reinterpret_cast<WPARAM>(drawing),
                                                reinterpret_cast<LPARAM>(window_)))
        : nullptr;
    if (background == nullptr) background = GetSysColorBrush(COLOR_BTNFACE);
    FillRect(drawing, &client, background);

    if (bitmap_ != nullptr) {
        Gdiplus::Graphics graphics(drawing);
        // An explicit size: without one GDI+ scales by the PNG's resolution.
        graphics.DrawImage(bitmap_, 0, 0, static_cast<INT>(bitmap_->GetWidth()),
                           static_cast<INT>(bitmap_->GetHeight()));
    } else if (icon_ != nullptr) {
        DrawIconEx(drawing, 0, 0, icon_, 48, 48, 0, nullptr, DI_NORMAL);
    }

    if (buffer != nullptr) {
        BitBlt(target, 0, 0, width, height, canvas, 0, 0, SRCCOPY);
        SelectObject(canvas, previous);
        DeleteObject(buffer);
    }
    if (canvas != nullptr) DeleteDC(canvas);
    EndPaint(window_, &paintInfo);
}

SIZE ImageControl::imageSize() const {
    SIZE size{0, 0};
    if (bitmap_ != nullptr) {
        size.cx = static_cast<LONG>(bitmap_->GetWidth());
        size.cy = static_cast<LONG>(bitmap_->GetHeight());
    }
    return size;
}
