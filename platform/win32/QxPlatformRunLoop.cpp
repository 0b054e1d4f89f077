// Windows backend of the run loop: a hidden window, SetTimer / KillTimer
// with the caller's timer id, and WSAAsyncSelect posting message 0x500.
//
// The window class and the window carry the name the run loop passes
// ("QxLiteRunLoop"). The window is never shown; the thread's ordinary
// message loop (the wizard's, a console program's GetMessage loop, or
// QxRunLoopPumpRunUntil in tests) delivers its WM_TIMER and socket messages
// to the window procedure here, which hands them to the run loop's
// procedure. The system's own semantics apply unchanged: timers are
// periodic and their messages coalesce, FD_WRITE is posted once on
// selection of a writable socket and after a would-block, FD_READ again
// after each recv while data remains.
//
// Not here: any message loop of the program's own; the pump calls below
// serve console programs and tests.
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>

#include <cmath>
#include <cstdlib>

#include "QxPlatformRunLoop.h"

struct QxPlatformWindow {
    HWND handle;
    HINSTANCE instance;
    QxPlatformWindowProcedure procedure;
    wchar_t className[64];
};

struct QxPlatformLock {
    CRITICAL_SECTION section;
};

namespace {

uint64_t gWakeCount = 0;
// Hidden windows alive; the pump calls need one, as on Linux.
int gWindowCount = 0;

// The clock's cached state: 0 = not asked yet, 1 = performance counter,
// 2 = tick count.
int gClockSource = 0;
double gSecondsPerCount = 0;

QxStatus LastErrorStatus() {
    DWORD code = GetLastError();
    return code != 0 ? static_cast<QxStatus>(code) : kStatusUnknown;
}

LRESULT CALLBACK HiddenWindowProcedure(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kQxPlatformTimerMessage || message == kQxPlatformSocketMessage) {
        auto* window =
            reinterpret_cast<QxPlatformWindow*>(GetWindowLongPtrW(handle, GWLP_USERDATA));
        if (window != nullptr) {
            window->procedure(message, static_cast<uintptr_t>(wParam),
                              static_cast<intptr_t>(lParam));
            return 0;
        }
    }
    return DefWindowProcW(handle, message, wParam, lParam);
}

}  // namespace

// ---- Window -------------------------------------------------------------------

QxStatus QxPlatformWindowCreate(const char* name, QxPlatformWindowProcedure procedure,
                                QxPlatformWindow** window) {
    if (name == nullptr || procedure == nullptr || window == nullptr) return kStatusBadParameter;
    auto* w = static_cast<QxPlatformWindow*>(std::calloc(1, sizeof(QxPlatformWindow)));
    if (w == nullptr) return kStatusNoMemory;
    w->procedure = procedure;
    if (MultiByteToWideChar(CP_UTF8, 0, name, -1, w->className, 64) == 0) {
        QxStatus status = LastErrorStatus();
        std::free(w);
        return status;
    }
    w->instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = HiddenWindowProcedure;
    windowClass.hInstance = w->instance;
    windowClass.lpszClassName = w->className;
    if (RegisterClassW(&windowClass) == 0) {
        QxStatus status = LastErrorStatus();
        std::free(w);
        return status;
    }
    w->handle = CreateWindowExW(0, w->className, w->className, 0, CW_USEDEFAULT, 0,
                                CW_USEDEFAULT, 0, nullptr, nullptr, w->instance, nullptr);
    if (w->handle == nullptr) {
        // No desktop to put a top-level window on (wine without a display,
        // as in the test runs): a message-only window does the same job.
        w->handle = CreateWindowExW(0, w->className, w->className, 0, CW_USEDEFAULT, 0,
                                    CW_USEDEFAULT, 0, HWND_MESSAGE, nullptr, w->instance, nullptr);
    }
    if (w->handle == nullptr) {
        QxStatus status = LastErrorStatus();
        UnregisterClassW(w->className, w->instance);
        std::free(w);
        return status;
    }
    SetWindowLongPtrW(w->handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(w));
    ++gWindowCount;
    *window = w;
    return kStatusOK;
}

QxStatus QxPlatformWindowDestroy(QxPlatformWindow* window) {
    if (window == nullptr) return kStatusBadParameter;
    QxStatus status = kStatusOK;
    SetWindowLongPtrW(window->handle, GWLP_USERDATA, 0);
    if (!DestroyWindow(window->handle)) status = LastErrorStatus();
    UnregisterClassW(window->className, window->instance);
    std::free(window);
    --gWindowCount;
    return status;
}

QxStatus QxPlatformTimerStart(QxPlatformWindow* window, uintptr_t id, uint32_t milliseconds) {
    if (window == nullptr) return kStatusBadParameter;
    if (milliseconds < kQxPlatformTimerMinimum) milliseconds = kQxPlatformTimerMinimum;
    if (milliseconds > kQxPlatformTimerMaximum) milliseconds = kQxPlatformTimerMaximum;
    if (SetTimer(window->handle, static_cast<UINT_PTR>(id), milliseconds, nullptr) == 0) {
        return LastErrorStatus();
    }
    return kStatusOK;
}

QxStatus QxPlatformTimerKill(QxPlatformWindow* window, uintptr_t id) {
    if (window == nullptr) return kStatusBadParameter;
    if (!KillTimer(window->handle, static_cast<UINT_PTR>(id))) return kStatusNotFound;
    return kStatusOK;
}

QxStatus QxPlatformSocketSelect(QxPlatformWindow* window, QxSocketHandle handle, uint32_t events) {
    if (window == nullptr) return kStatusBadParameter;
    if (WSAAsyncSelect(static_cast<SOCKET>(handle), window->handle, kQxPlatformSocketMessage,
                       static_cast<long>(events)) == SOCKET_ERROR) {
        return QxPlatformSocketLastError();
    }
    return kStatusOK;
}

// ---- Lock and clock -----------------------------------------------------------

QxStatus QxPlatformLockCreate(QxPlatformLock** lock) {
    if (lock == nullptr) return kStatusBadParameter;
    auto* created = static_cast<QxPlatformLock*>(std::malloc(sizeof(QxPlatformLock)));
    if (created == nullptr) return kStatusNoMemory;
    InitializeCriticalSection(&created->section);
    *lock = created;
    return kStatusOK;
}

void QxPlatformLockDelete(QxPlatformLock* lock) {
    if (lock == nullptr) return;
    DeleteCriticalSection(&lock->section);
    std::free(lock);
}

void QxPlatformLockEnter(QxPlatformLock* lock) { EnterCriticalSection(&lock->section); }

void QxPlatformLockLeave(QxPlatformLock* lock) { LeaveCriticalSection(&lock->section); }

double QxPlatformClockNow() {
    if (gClockSource == 0) {
        LARGE_INTEGER frequency;
        if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart != 0) {
            gSecondsPerCount = 1.0 / static_cast<double>(frequency.QuadPart);
            gClockSource = 1;
        } else {
            gClockSource = 2;
        }
    }
    if (gClockSource == 1) {
        LARGE_INTEGER counter;
        if (QueryPerformanceCounter(&counter)) {
            return static_cast<double>(counter.QuadPart) * gSecondsPerCount;
        }
    }
    return static_cast<double>(static_cast<uint32_t>(timeGetTime())) * 0.001;
}

// ---- Message pump ---------------------------------------------------------------

int QxRunLoopPumpFileDescriptor() { return -1; }

QxStatus QxRunLoopPumpDispatchReady() {
    if (gWindowCount == 0) return kStatusNotInitialized;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return kStatusCanceled;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return kStatusOK;
}

QxStatus QxRunLoopPumpRunUntil(const volatile bool* stopFlag, double deadline) {
    for (;;) {
        if (stopFlag != nullptr && *stopFlag) return kStatusOK;
        if (gWindowCount == 0) return kStatusNotInitialized;
        MSG message;
        if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                return kStatusCanceled;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
            continue;
        }
        DWORD timeout = INFINITE;
        if (deadline > 0) {
            double left = deadline - QxPlatformClockNow();
            if (left <= 0) return kStatusTimeout;
            double milliseconds = std::ceil(left * 1000.0);
            timeout = milliseconds >= 4294967294.0 ? 4294967294u : static_cast<DWORD>(milliseconds);
        }
        MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        ++gWakeCount;
    }
}

uint64_t QxRunLoopPumpWakeCount() { return gWakeCount; }
