// Disc images in place of the drive (see KestDiscImages.h).
#include "KestDiscImages.h"

#include <cstdlib>

#include "DeviceBinding.h"
#include "KestView.h"

std::vector<std::string> KestSplitImageList(const std::string& list) {
    std::vector<std::string> images;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) images.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return images;
}

KestDiscImages::~KestDiscImages() { stop(); }

void KestDiscImages::loadFromEnvironment() {
    const char* value = std::getenv(kKestDiscImagesVariable);
    setImages(value != nullptr ? KestSplitImageList(value) : std::vector<std::string>());
    const char* delay = std::getenv(kKestDiscSwapVariable);
    if (delay != nullptr && *delay != '\0') {
        char* end = nullptr;
        double seconds = std::strtod(delay, &end);
        if (*end == '\0' && seconds >= 0 && seconds <= 600) swapDelay_ = seconds;
    }
}

QxStatus KestDiscImages::start(KestView* view) {
    view_ = view;
    if (images_.empty()) return kStatusOK;
    return bindNext();
}

QxStatus KestDiscImages::bindNext() {
    while (next_ < images_.size()) {
        const std::string& image = images_[next_++];
        QxStatus status = DeviceBindImage(kKestImageDevice, image.c_str(), 0);
        if (status == kStatusOK) {
            current_ = image;
            return kStatusOK;
        }
        if (next_ == images_.size()) return status;
    }
    return kStatusNotFound;
}

void KestDiscImages::cancelSwap() {
    if (swapTimer_ == nullptr) return;
    QxRunLoopTimerInvalidate(swapTimer_);
    QxLObjectRelease(swapTimer_);
    swapTimer_ = nullptr;
}

void KestDiscImages::stop() {
    cancelSwap();
    if (!current_.empty()) {
        DeviceUnbind(kKestImageDevice);
        current_.clear();
    }
}

QxStatus KestDiscImages::insert(const std::string& path) {
    cancelSwap();  // the user was quicker than the swap: the queued image waits
    QxStatus status = DeviceBindImage(kKestImageDevice, path.c_str(), 0);
    if (status != kStatusOK) return status;
    current_ = path;
    if (view_ != nullptr) view_->announceVolumeArrival();
    return kStatusOK;
}

void KestDiscImages::afterEject(const char* devicePath, QxStatus ejectStatus) {
    if (current_.empty() || ejectStatus != kStatusOK || devicePath == nullptr) return;
    // Still bound: the eject was of another drive.
    if (DeviceFindBinding(kKestImageDevice, -1, nullptr, nullptr)) return;
    current_.clear();
    if (next_ >= images_.size() || swapTimer_ != nullptr) return;
    QxRunLoopTimerContext context{0, this, nullptr, nullptr, nullptr};
    swapTimer_ = QxRunLoopTimerCreate(QxRunLoopNow() + swapDelay_, 0, &context,
                                      &KestDiscImages::OnSwapTimer);
    if (swapTimer_ != nullptr) QxRunLoopAddTimer(QxRunLoopGetMain(), swapTimer_);
}

void KestDiscImages::OnSwapTimer(QxRunLoopTimerRef timer, void* info) {
    auto* self = static_cast<KestDiscImages*>(info);
    QxRunLoopTimerInvalidate(timer);
    if (self->swapTimer_ == timer) {
        QxLObjectRelease(self->swapTimer_);
        self->swapTimer_ = nullptr;
    }
    if (self->bindNext() == kStatusOK && self->view_ != nullptr) {
        self->view_->announceVolumeArrival();
    }
}
