// The keep-awake timer: every 45 seconds it asks whether the computer may
// sleep and, while a client reads the disc over HTTP, resets the system's
// idle-sleep timer. An idle wizard lets the computer sleep as usual.
//
// Not here: the power call itself (QxPlatformPowerKeepAwake in platform/).
#pragma once

#include "QxLStatus.h"
#include "QxRunLoop.h"

inline constexpr double kKestKeepAwakeInterval = 45.0;

// Kind of question the activity query answers.
inline constexpr int kKestActivityMaySleep = 1;

// Clears *allowSleep when something needs the computer awake.
using KestActivityQuery = void (*)(int kind, void* context, bool* allowSleep);

// The standard query: no sleep while the disc image service has a connection.
void KestDiscShareActivityQuery(int kind, void* context, bool* allowSleep);

class KestKeepAwake {
public:
    KestKeepAwake() = default;
    ~KestKeepAwake() { stop(); }
    KestKeepAwake(const KestKeepAwake&) = delete;
    KestKeepAwake& operator=(const KestKeepAwake&) = delete;

    // Adds the repeating timer to the main run loop and installs the query.
    // kStatusNoMemory (nothing started) when the timer cannot be made.
    QxStatus start(KestActivityQuery query = KestDiscShareActivityQuery, void* context = nullptr);
    // Removes the query and the timer; nothing when not started.
    void stop();
    // One firing: asks the query, keeps the system awake if it says so.
    // Returns whether it did.
    bool fire();

    // Replaces the power call (tests count its calls).
    void setKeepAwakeFunction(void (*function)()) { keepAwake_ = function; }
    // Replaces it with a pair for a lock that is held and let go (a desktop
    // session's sleep inhibitor): keepAwake at each firing that keeps the
    // computer awake, allowSleep at each one that lets it sleep.
    void setPowerFunctions(void (*keepAwake)(void*), void (*allowSleep)(void*), void* context) {
        holdFunction_ = keepAwake;
        releaseFunction_ = allowSleep;
        powerContext_ = context;
    }

private:
    static void OnTimer(QxRunLoopTimerRef timer, void* info);

    QxRunLoopTimerRef timer_ = nullptr;
    KestActivityQuery query_ = nullptr;
    void* context_ = nullptr;
    void (*keepAwake_)() = nullptr;
    void (*holdFunction_)(void*) = nullptr;
    void (*releaseFunction_)(void*) = nullptr;
    void* powerContext_ = nullptr;
};
