// The standard object callbacks of the collections: elements and keys are
// retained, released, compared and hashed as objects.
#include "QxLCallbacks.h"

namespace {

const void* RetainObject(const void* /*allocator*/, const void* value) {
    return QxLObjectRetain(value);
}

void ReleaseObject(const void* /*allocator*/, const void* value) {
    QxLObjectRelease(value);
}

}  // namespace

extern const QxLValueCallbacks kQxLObjectValueCallbacks = {
    0, RetainObject, ReleaseObject, nullptr, QxLObjectEqual};

extern const QxLKeyCallbacks kQxLObjectKeyCallbacks = {
    0, RetainObject, ReleaseObject, nullptr, QxLObjectEqual, QxLObjectHash};
