// Pipe message framing and installer message kind names.
#include "SetupMessages.h"

#include <cstring>

namespace setupadmin {

std::vector<uint8_t> EncodePipeMessage(uint32_t type, const char* text) {
    size_t textLength = text ? std::strlen(text) + 1 : 0;
    std::vector<uint8_t> bytes(4 + textLength);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(type >> (8 * i));
    if (text) std::memcpy(bytes.data() + 4, text, textLength);
    return bytes;
}

bool DecodePipeMessage(const std::vector<uint8_t>& bytes, uint32_t& type, bool& hasText,
                       std::string& text) {
    if (bytes.size() < 4) return false;
    type = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
    hasText = bytes.size() > 4;
    text.clear();
    if (hasText) {
        const char* start = reinterpret_cast<const char*>(bytes.data() + 4);
        text.assign(start, strnlen(start, bytes.size() - 4));
    }
    return true;
}

int32_t DecodeReply(const uint8_t bytes[4]) {
    return static_cast<int32_t>(uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 |
                                uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24);
}

void EncodeReply(int32_t reply, uint8_t bytes[4]) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(static_cast<uint32_t>(reply) >> (8 * i));
}

const char* MessageKindName(uint32_t type) {
    static const char* const kNames[] = {
        "INSTALLMESSAGE_FATALEXIT",      "INSTALLMESSAGE_ERROR",       "INSTALLMESSAGE_WARNING",
        "INSTALLMESSAGE_USER",           "INSTALLMESSAGE_INFO",        "INSTALLMESSAGE_FILESINUSE",
        "INSTALLMESSAGE_RESOLVESOURCE",  "INSTALLMESSAGE_OUTOFDISKSPACE",
        "INSTALLMESSAGE_ACTIONSTART",    "INSTALLMESSAGE_ACTIONDATA",  "INSTALLMESSAGE_PROGRESS",
        "INSTALLMESSAGE_COMMONDATA",     "INSTALLMESSAGE_INITIALIZE",  "INSTALLMESSAGE_TERMINATE",
        "INSTALLMESSAGE_SHOWDIALOG"};
    uint32_t kind = type & ~uint32_t(0x377);
    if ((kind & 0x00FFFFFF) != 0 || (kind >> 24) > 0x0E) return "Unknown Message";
    return kNames[kind >> 24];
}

}  // namespace setupadmin
