// The table of image bindings; see DeviceBinding.h. A short singly linked
// list: there are a handful of bindings at most (one per drive path).
#include "DeviceBinding.h"

#include <cstring>

#include "BlockDevice.h"
#include "QxLMemory.h"
#include "QxLScan.h"

namespace {

inline constexpr uint32_t kLargestImageSectorSize = 1u << 20;

struct Binding {
    Binding* next;
    char devicePath[kDevicePathCapacity];
    char* imagePath;  // owned
    uint32_t sectorSize;
    bool asIs;        // DeviceBindFile: the file's bytes, never decoded
    bool held;        // DeviceBindHeldImage: identity is the file's
    QxFileIdentity identity;
};

Binding* gBindings = nullptr;

Binding** FindLink(const char* devicePath, int32_t length) {
    for (Binding** link = &gBindings; *link != nullptr; link = &(*link)->next) {
        if (QxLCompareCountedNoCase((*link)->devicePath, devicePath, length) == 0) return link;
    }
    return nullptr;
}

void FreeBinding(Binding* binding) {
    QxLFree(binding->imagePath);
    QxLFree(binding);
}

}  // namespace

QxStatus DeviceBindImage(const char* devicePath, const char* imageFilePath,
                         uint32_t sectorSize) {
    if (devicePath == nullptr || imageFilePath == nullptr) return kStatusBadParameter;
    size_t deviceLength = strlen(devicePath);
    if (deviceLength == 0 || deviceLength >= kDevicePathCapacity) return kStatusBadName;
    if (imageFilePath[0] == '\0' || sectorSize > kLargestImageSectorSize) {
        return kStatusBadParameter;
    }

    auto* binding = static_cast<Binding*>(QxLAllocZeroed(sizeof(Binding)));
    if (binding == nullptr) return kStatusNoMemory;
    size_t imageLength = strlen(imageFilePath);
    binding->imagePath = static_cast<char*>(QxLAlloc(imageLength + 1));
    if (binding->imagePath == nullptr) {
        QxLFree(binding);
        return kStatusNoMemory;
    }
    memcpy(binding->imagePath, imageFilePath, imageLength + 1);
    memcpy(binding->devicePath, devicePath, deviceLength + 1);
    binding->sectorSize = sectorSize != 0 ? sectorSize : kDefaultImageSectorSize;

    // Only now that nothing can fail is the old binding replaced.
    if (Binding** old = FindLink(devicePath, -1)) {
        Binding* replaced = *old;
        *old = replaced->next;
        FreeBinding(replaced);
    }
    binding->next = gBindings;
    gBindings = binding;
    return kStatusOK;
}

QxStatus DeviceBindFile(const char* devicePath, const char* filePath) {
    QxStatus status = DeviceBindImage(devicePath, filePath, 512);
    if (status == kStatusOK) gBindings->asIs = true;
    return status;
}

QxStatus DeviceBindHeldImage(const char* devicePath, const char* imageFilePath,
                             const QxFileIdentity* identity) {
    if (identity == nullptr) return kStatusBadParameter;
    QxStatus status = DeviceBindImage(devicePath, imageFilePath, 0);
    if (status != kStatusOK) return status;
    gBindings->held = true;
    gBindings->identity = *identity;
    return kStatusOK;
}

const QxFileIdentity* DeviceBindingIdentity(const char* devicePath) {
    if (devicePath == nullptr) return nullptr;
    Binding** link = FindLink(devicePath, -1);
    return link != nullptr && (*link)->held ? &(*link)->identity : nullptr;
}

bool DeviceBindingIsAsIs(const char* devicePath) {
    if (devicePath == nullptr) return false;
    Binding** link = FindLink(devicePath, -1);
    return link != nullptr && (*link)->asIs;
}

QxStatus DeviceUnbind(const char* devicePath) {
    if (devicePath == nullptr) return kStatusBadParameter;
    Binding** link = FindLink(devicePath, -1);
    if (link == nullptr) return kStatusNotFound;
    Binding* binding = *link;
    *link = binding->next;
    FreeBinding(binding);
    return kStatusOK;
}

void DeviceUnbindAll() {
    while (gBindings != nullptr) {
        Binding* binding = gBindings;
        gBindings = binding->next;
        FreeBinding(binding);
    }
}

bool DeviceFindBinding(const char* devicePath, int32_t length, const char** imageFilePath,
                       uint32_t* sectorSize) {
    if (devicePath == nullptr) return false;
    Binding** link = FindLink(devicePath, length);
    if (link == nullptr) return false;
    if (imageFilePath != nullptr) *imageFilePath = (*link)->imagePath;
    if (sectorSize != nullptr) *sectorSize = (*link)->sectorSize;
    return true;
}
