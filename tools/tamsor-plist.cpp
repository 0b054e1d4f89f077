// tamsor-plist: reads an XML property list (such as the progress messages
// that a client's installer posts) and shows it the way Tamsor logs events,
// or writes it back out in Tamsor's own property-list text.
//
//   tamsor-plist [--xml] [FILE|-]
//
// Without FILE it reads a built-in sample: a "Progress" message.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "QxLFoundation.h"

namespace {

const char kSampleMessage[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>Message</key>\n\t<string>Progress</string>\n"
    "\t<key>Percentage</key>\n\t<integer>42</integer>\n"
    "\t<key>Remaining</key>\n\t<integer>1260</integer>\n"
    "\t<key>Status</key>\n\t<string>Installing essential system software</string>\n"
    "</dict>\n"
    "</plist>\n";

bool ReadAll(FILE* stream, std::string* text) {
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) text->append(chunk, got);
    return !std::ferror(stream);
}

int Usage() {
    std::fprintf(stderr, "usage: tamsor-plist [--xml] [FILE|-]\n");
    return 2;
}

void PrintStatus(const char* what, QxStatus status) {
    const char* name = QxLStatusName(status);
    std::fprintf(stderr, "tamsor-plist: %s: %s (%d)\n", what, name ? name : "system error", status);
}

}  // namespace

int main(int argc, char** argv) {
    bool asXML = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--xml") == 0) {
            asXML = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage();
            return 0;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            return Usage();
        }
    }

    std::string text;
    if (path == nullptr) {
        text = kSampleMessage;
        std::fprintf(stderr, "tamsor-plist: no file given; showing a sample installer message\n");
    } else {
        FILE* stream = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "rb");
        if (stream == nullptr) {
            std::fprintf(stderr, "tamsor-plist: cannot open %s: %s\n", path, std::strerror(errno));
            return 1;
        }
        bool ok = ReadAll(stream, &text);
        if (stream != stdin) std::fclose(stream);
        if (!ok || text.size() > 0x7FFFFFFF) {
            std::fprintf(stderr, "tamsor-plist: cannot read %s\n", path);
            return 1;
        }
    }

    QxLObjectRef object = nullptr;
    QxStatus status = QxLPropertyListRead(text.data(), static_cast<int32_t>(text.size()), &object);
    if (status != kStatusOK) {
        PrintStatus("not a property list Tamsor can read", status);
        return 1;
    }

    int exitCode = 0;
    if (asXML) {
        QxLDataRef data = nullptr;
        status = QxLPropertyListWrite(object, &data);
        if (status == kStatusOK) {
            uint8_t* bytes = nullptr;
            uint32_t length = 0;
            QxLDataGetBytes(data, &bytes, &length);
            std::fwrite(bytes, 1, length, stdout);
            QxLObjectRelease(data);
        } else {
            PrintStatus("cannot write it back", status);
            exitCode = 1;
        }
    } else {
        QxLDumpObject(stdout, object);
    }
    QxLObjectRelease(object);
    return exitCode;
}
