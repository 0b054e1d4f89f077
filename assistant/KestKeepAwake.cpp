// The keep-awake timer (see KestKeepAwake.h).
#include "KestKeepAwake.h"

#include "DiscShare.h"
#include "QxPlatform.h"

void KestDiscShareActivityQuery(int kind, void*, bool* allowSleep) {
    if (kind == kKestActivityMaySleep && allowSleep != nullptr && DiscShareHasConnections()) {
        *allowSleep = false;
    }
}

QxStatus KestKeepAwake::start(KestActivityQuery query, void* context) {
    if (timer_ != nullptr) return kStatusOK;
    QxRunLoopTimerContext timerContext{0, this, nullptr, nullptr, nullptr};
    timer_ = QxRunLoopTimerCreate(QxRunLoopNow() + kKestKeepAwakeInterval, kKestKeepAwakeInterval,
                                  &timerContext, &KestKeepAwake::OnTimer);
    if (timer_ == nullptr) return kStatusNoMemory;
    QxRunLoopAddTimer(QxRunLoopGetMain(), timer_);
    query_ = query;
    context_ = context;
    return kStatusOK;
}

void KestKeepAwake::stop() {
    query_ = nullptr;
    context_ = nullptr;
    if (timer_ == nullptr) return;
    QxRunLoopTimerInvalidate(timer_);
    QxLObjectRelease(timer_);
    timer_ = nullptr;
}

bool KestKeepAwake::fire() {
    bool allowSleep = true;
    if (query_ != nullptr) query_(kKestActivityMaySleep, context_, &allowSleep);
    if (allowSleep) {
        if (releaseFunction_ != nullptr) releaseFunction_(powerContext_);
        return false;
    }
    if (holdFunction_ != nullptr) {
        holdFunction_(powerContext_);
    } else if (keepAwake_ != nullptr) {
        keepAwake_();
    } else {
        QxPlatformPowerKeepAwake();
    }
    return true;
}

void KestKeepAwake::OnTimer(QxRunLoopTimerRef, void* info) { static_cast<KestKeepAwake*>(info)->fire(); }
