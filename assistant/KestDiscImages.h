// Disc image files standing in for the optical drive, for a computer
// without one (and for running the wizard under an emulator).
//
// The environment variable TAMSOR_DISC_IMAGES lists image files separated
// by ";". The first is bound as the drive \\.\CdRom0 when the wizard starts;
// when the wizard ejects that drive (which unbinds the image), the next image
// is bound about three seconds later, as a person would swap discs, and the
// front end announces it as the system announces an inserted disc. With the
// variable unset nothing is bound and real drives work as they always do.
// TAMSOR_DISC_SWAP_SECONDS (0 to 600) changes the three seconds: a test that
// reads the wait dialog on a slow or busy machine needs it up for longer.
//
// Not here: real drives (volume/), ejecting (the wizard calls DiscEject).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "QxLStatus.h"
#include "QxRunLoop.h"

class KestView;

// The drive the images stand in for.
inline constexpr const char* kKestImageDevice = "\\\\.\\CdRom0";
inline constexpr const char* kKestDiscImagesVariable = "TAMSOR_DISC_IMAGES";
inline constexpr const char* kKestDiscSwapVariable = "TAMSOR_DISC_SWAP_SECONDS";
// Seconds between an eject and the next image.
inline constexpr double kKestDiscSwapDelay = 3.0;

// The image paths of a ";"-separated list; empty items are skipped.
std::vector<std::string> KestSplitImageList(const std::string& list);

class KestDiscImages {
public:
    KestDiscImages() = default;
    ~KestDiscImages();
    KestDiscImages(const KestDiscImages&) = delete;
    KestDiscImages& operator=(const KestDiscImages&) = delete;

    // Takes the list of TAMSOR_DISC_IMAGES (none when it is unset or empty).
    void loadFromEnvironment();
    void setImages(std::vector<std::string> images) { images_ = std::move(images); next_ = 0; }
    bool empty() const { return images_.empty(); }

    // Binds the first image as the drive. 0, or DeviceBindImage's status
    // (nothing to bind: 0). The view (may be null here) receives the
    // arrival announcements of later images.
    QxStatus start(KestView* view);
    // Unbinds whatever this bound and stops the swap timer.
    void stop();

    // A disc put in by the user (an image opened or dropped): binds path as
    // the drive now, in place of any image there, and announces its
    // arrival. The images still queued follow it after later ejects.
    // DeviceBindImage's status.
    QxStatus insert(const std::string& path);

    // The wizard has ejected devicePath: when that was our drive and its
    // image is gone, the next image follows after kKestDiscSwapDelay.
    void afterEject(const char* devicePath, QxStatus ejectStatus);

    // The image bound now, or empty.
    const std::string& current() const { return current_; }

private:
    static void OnSwapTimer(QxRunLoopTimerRef timer, void* info);
    QxStatus bindNext();
    void cancelSwap();

    std::vector<std::string> images_;
    size_t next_ = 0;
    std::string current_;
    KestView* view_ = nullptr;
    QxRunLoopTimerRef swapTimer_ = nullptr;
    double swapDelay_ = kKestDiscSwapDelay;
};
