// Tamsor's application object on Windows: one copy at a time, the socket
// layer, the run loop and the keep-awake timer, then the wizard as a modal
// dialog; when it closes, everything is torn down in the reverse order.
//
// A second copy finds the named mutex and ends at once, showing nothing.
// Start-up failures after the mutex are not reported: the wizard runs
// anyway. Not here: the wizard itself (KestDialogWindow, KestDialog).
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include "BSDPServer.h"
#include "KestDialogWindow.h"
#include "KestDiscImages.h"
#include "KestKeepAwake.h"
#include "QxLObject.h"
#include "QxPlatformSocket.h"
#include "QxRunLoop.h"

namespace {

// The product's own name for its single-instance mutex.
constexpr wchar_t kMutexName[] = L"org.tamsor.Kest-4B1E9C27-3F6A-4D58-A0E2-7C93D15B6F48";

}  // namespace

class KestApp {
public:
    // Start-up and the wizard's run; false in every case, so that the
    // process ends after ExitInstance.
    bool InitInstance();
    // Tear-down; the process's exit code.
    int ExitInstance();

private:
    HANDLE mutex_ = nullptr;
    bool socketsStarted_ = false;
    KestKeepAwake keepAwake_;
    KestDiscImages discImages_;
};

bool KestApp::InitInstance() {
    SetLastError(ERROR_SUCCESS);
    mutex_ = CreateMutexW(nullptr, FALSE, kMutexName);
    if (mutex_ == nullptr || GetLastError() != ERROR_SUCCESS) return false;

    InitCommonControls();
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_WIN95_CLASSES | ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    socketsStarted_ = QxPlatformSocketStartup() == kStatusOK;
    QxRunLoopInitialize();
    keepAwake_.start();

    KestDialogWindow wizard(&discImages_);
    discImages_.loadFromEnvironment();
    discImages_.start(&wizard);
    wizard.run();
    return false;
}

int KestApp::ExitInstance() {
    keepAwake_.stop();
    SetBootImageNameFormat(nullptr);
    discImages_.stop();
    QxRunLoopShutdown();
    QxLResetTypeRegistry();
    if (mutex_ != nullptr) {
        CloseHandle(mutex_);
        mutex_ = nullptr;
    }
    if (socketsStarted_) QxPlatformSocketCleanup();
    return 0;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    KestApp app;
    app.InitInstance();
    return app.ExitInstance();
}
