// The system calls under the eject sequence and the display name, as
// tables that tests can replace (QxPlatformDisc.h is the system's).
#pragma once

#include <cstddef>

#include "QxLStatus.h"
#include "QxPlatformDevice.h"

struct DiscEjectOperations {
    QxStatus (*open)(const char* path, QxDeviceHandle* handle);
    QxStatus (*lock)(QxDeviceHandle handle);
    QxStatus (*dismount)(QxDeviceHandle handle);
    QxStatus (*allowRemoval)(QxDeviceHandle handle);
    QxStatus (*eject)(QxDeviceHandle handle);
    void (*close)(QxDeviceHandle handle);
};

// Display name sources in the order they are asked; each leaves text empty
// when it has nothing.
struct HostNameSources {
    void (*comment)(char* text, size_t size);
    void (*dnsName)(char* text, size_t size);
    void (*hostName)(char* text, size_t size);
};

// Replace the tables (null restores the system's); the previous one is
// returned. Tests only.
const DiscEjectOperations* DiscEjectSetOperations(const DiscEjectOperations* operations);
const HostNameSources* HostDisplayNameSetSources(const HostNameSources* sources);
