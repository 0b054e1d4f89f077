// Fuzzing target: HTTP request heads as the connection hands them to the
// parser, then the header lookups and the Range parser on what it found.
// The raw input also goes to the Range parser as a header value.
#include <cstdint>
#include <cstring>

#include "HTTPMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static HTTPMessage message;
    std::memset(&message, 0, sizeof message);
    size_t length = size < kHTTPMessageTextSize - 1 ? size : kHTTPMessageTextSize - 1;
    std::memcpy(message.text, data, length);
    message.text[length] = '\0';
    message.length = static_cast<uint32_t>(length);
    if (HTTPMessageParseHead(&message) == kStatusOK) {
        const char* value = nullptr;
        size_t valueLength = 0;
        if (HTTPFindHeader(message.text, "Range", &value, &valueLength) == kStatusOK) {
            int64_t start = 0;
            int64_t end = 0;
            HTTPParseRange(static_cast<int32_t>(valueLength), value, &start, &end);
        }
        unsigned number = 0;
        HTTPScanHeader(message.text, "Content-Length", "%u", &number);
    }
    int64_t start = 0;
    int64_t end = 0;
    HTTPParseRange(static_cast<int32_t>(length), message.text, &start, &end);
    return 0;
}
