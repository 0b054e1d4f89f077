// tamsor-serve's engine; see TamsorServe.h for the functions and the JSON
// objects.
//
// An image file is bound in place of the drive \\.\CdRom0, so clients read it
// as /CdRom0.dmg. The services run exactly as the wizard runs them: stop
// whatever ran, prepare the boot source, set the event sink, start. Every
// event's dump goes to standard error; the installer's progress is a
// progress line on a terminal (one line per message otherwise). When the
// installer asks for another disc ("Eject" with "NextDisc"), the boot source
// is released and the drive ejected (an image is unbound); the next disc is
// a disc inserted in the drive, or the next image of the command line, one
// whose volume carries the name asked for first.
#include "TamsorServe.h"
#include "TamsorServeInternal.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "BSDPServer.h"
#include "BootSource.h"
#include "DeviceBinding.h"
#include "DiscHost.h"
#include "DiscShare.h"
#include "ImageFile.h"
#include "NetBootControl.h"
#include "QxLBuild.h"
#include "QxLMemory.h"
#include "QxLString.h"
#include "QxLFormat.h"
#include "QxPlatform.h"
#include "QxPlatformDevice.h"
#include "QxPlatformRunLoop.h"
#include "QxPlatformSignal.h"
#include "QxRunLoop.h"
#include "StatusServer.h"
#include "TFTPServer.h"
#include "VolumePath.h"

namespace tamsorserve {

// Connections of the disc image service the system completes before we
// accept them: a lab of 128 machines started together, twice over.
constexpr uint32_t kServeListenBacklog = 256;

// ---- Messages -------------------------------------------------------------------

// A status in words: the program's own name, or the system's text.
std::string StatusText(QxStatus status) {
    char text[256];
    const char* name = QxLStatusName(status);
    if (name != nullptr) return std::string(name) + " (" + std::to_string(status) + ")";
    if (status > 0 && QxPlatformErrorText(status, text, sizeof text)) {
        return std::string(text) + " (" + std::to_string(status) + ")";
    }
    return "status " + std::to_string(status);
}

// One line on the error stream, "tamsor-serve: ..."; returns exit code 1.
int Fail(Server& server, const char* format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    fprintf(server.err, "tamsor-serve: %s\n", line);
    fflush(server.err);
    return 1;
}

// Takes the live table off the screen (the cursor goes back to where its
// first line was), so that text can be written in its place.
void EraseTable(Server& server) {
    if (server.tableLines == 0) return;
    fprintf(server.out, "\x1b[%zuA\r\x1b[J", server.tableLines);
    server.tableLines = 0;
    server.tableDirty = true;
}

// Ends an open progress line, or takes the table away, so that the next
// text starts on its own line.
void EndProgressLine(Server& server) {
    EraseTable(server);
    if (!server.progressLineOpen) return;
    fputc('\n', server.out);
    server.progressLineOpen = false;
}

// text as a JSON string: quotes and backslashes escaped, control characters
// as \u00XX; the rest (UTF-8) is copied.
size_t Utf8SequenceLength(const std::string& text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char first = byte(at);
    if (first < 0x80) return 1;
    size_t length = first >= 0xC2 && first <= 0xDF   ? 2
                    : first >= 0xE0 && first <= 0xEF ? 3
                    : first >= 0xF0 && first <= 0xF4 ? 4
                                                     : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    unsigned char second = byte(at + 1);
    if ((first == 0xE0 && second < 0xA0) || (first == 0xED && second > 0x9F) ||
        (first == 0xF0 && second < 0x90) || (first == 0xF4 && second > 0x8F)) {
        return 0;
    }
    return length;
}

bool Utf8Valid(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        size_t length = Utf8SequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (size_t at = 0; at < text.size();) {
        auto c = static_cast<unsigned char>(text[at]);
        size_t length = Utf8SequenceLength(text, at);
        if (length == 0) {
            // A byte that is not UTF-8 (a file name can hold any): the
            // replacement character, so that the text stays valid JSON.
            quoted += "\\ufffd";
        } else if (length > 1) {
            quoted.append(text, at, length);
        } else if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
        at += length == 0 ? 1 : length;
    }
    return quoted + "\"";
}

// One JSON object on its own line: {"event":"<name>"<members>}, where
// members is either empty or starts with a comma.
void EmitJson(Server& server, const char* name, const std::string& members) {
    fprintf(server.out, "{\"event\":\"%s\"%s}\n", name, members.c_str());
    fflush(server.out);
}

// ,"key":"value" for EmitJson.
std::string JsonMember(const char* key, const std::string& value) {
    return std::string(",\"") + key + "\":" + JsonString(value);
}

// One line of news for the user on standard output (a "message" object with
// --json).
void Say(Server& server, const char* format, ...) {
    char line[2048];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (server.options.json) {
        EmitJson(server, "message", JsonMember("text", line));
        return;
    }
    EndProgressLine(server);
    fprintf(server.out, "%s\n", line);
    fflush(server.out);
}

// A line of news about one client: "10.0.0.7: <text>" (the text alone when
// the event did not say who). The live table shows these facts instead.
void SayAbout(Server& server, const std::string& client, const char* format, ...) {
    if (server.table && !client.empty()) return;
    char line[2048];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (client.empty()) {
        Say(server, "%s", line);
    } else {
        Say(server, "%s: %s", client.c_str(), line);
    }
}

// ,"client":"<address>" when the event named one.
std::string ClientMember(const std::string& client) {
    return client.empty() ? std::string() : JsonMember("client", client);
}

// ---- Options --------------------------------------------------------------------

int Usage(FILE* err) {
    fprintf(err,
            "usage: tamsor-serve [--volume NAME] [--diagnostics] [--list] [--bsdp-port N]\n"
            "                    [--tftp-port N] [--tftp-max-blksize N] [--tftp-max-window N]\n"
            "                    [--dmg-cache MIB] [--max-connections-per-client N]\n"
            "                    [--send-timeout SECONDS] [--keep-booting] [--json]\n"
            "                    [--status [ADDRESS:PORT]] [--bsdp-rate N] [--max-clients N]\n"
            "                    [DISC...]\n"
            "       tamsor-serve --library DIR [--state-dir DIR] [--list] [--bsdp-port N]\n"
            "                    [--tftp-port N] [--tftp-max-blksize N] [--tftp-max-window N]\n"
            "                    [--dmg-cache MIB] [--max-connections-per-client N]\n"
            "                    [--send-timeout SECONDS] [--json] [--status [ADDRESS:PORT]]\n"
            "                    [--bsdp-rate N] [--max-clients N] [DRIVE...]\n"
            "  DISC  a disc image file or a drive (\\\\.\\CdRom0); several for installs that\n"
            "        ask for another disc; none: the optical drives\n"
            "  DIR   every disc image in it offered at once (see library.conf)\n"
            "  --status  a read-only status page, JSON and metrics over HTTP on ADDRESS:PORT\n"
            "            (%s when none is given)\n",
            kStatusDefaultAddress);
    return 2;
}

// A decimal number from low to high.
bool ParseNumber(const char* text, unsigned long low, unsigned long high, unsigned long* number) {
    if (text == nullptr || *text == '\0') return false;
    unsigned long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > high) return false;
    }
    if (value < low) return false;
    *number = value;
    return true;
}

// 0 is a port too: the system picks a free one, and the ports line says
// which (no port is ever found free first and then taken, which races).
bool ParsePort(const char* text, uint16_t* port) {
    unsigned long value = 0;
    if (!ParseNumber(text, 0, 65535, &value)) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// An option's number from low to high into *number; false with the
// complaint written to err.
bool OptionNumber(const char* option, const char* text, unsigned long low, unsigned long high,
                  uint32_t* number, FILE* err) {
    unsigned long value = 0;
    if (!ParseNumber(text, low, high, &value)) {
        fprintf(err, "tamsor-serve: %s wants a number from %lu to %lu, not \"%s\"\n", option, low,
                high, text);
        return false;
    }
    *number = static_cast<uint32_t>(value);
    return true;
}

// 0, or the exit code of bad usage (2) with its message written to err.
int ParseOptions(int argc, char** argv, Options* options, FILE* err) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        bool hasValue = i + 1 < argc;
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            options->discs.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--diagnostics") {
            options->diagnostics = true;
        } else if (argument == "--list") {
            options->list = true;
        } else if (argument == "--keep-booting") {
            options->keepBooting = true;
        } else if (argument == "--json") {
            options->json = true;
        } else if (argument == "--status" || argument.compare(0, 9, "--status=") == 0) {
            // The address is optional: a following argument is one only when
            // it reads as one (a disc is never "1.2.3.4:80").
            std::string address;
            int family = 0;
            uint16_t port = 0;
            if (argument.size() > 8) {
                options->status = argument.substr(9);
            } else if (hasValue && ParseStatusAddress(argv[i + 1], &address, &family, &port)) {
                options->status = argv[++i];
            } else {
                options->status = kStatusDefaultAddress;
            }
            if (!ParseStatusAddress(options->status, &address, &family, &port)) {
                fprintf(err, "tamsor-serve: --status wants ADDRESS:PORT (127.0.0.1:7780, "
                             "[::1]:7780), not \"%s\"\n", options->status.c_str());
                return 2;
            }
        } else if (argument == "--library" && hasValue) {
            options->library = argv[++i];
        } else if (argument == "--state-dir" && hasValue) {
            options->stateFolder = argv[++i];
        } else if (argument == "--volume" && hasValue) {
            options->volumeName = argv[++i];
        } else if (argument == "--bsdp-port" && hasValue) {
            if (!ParsePort(argv[++i], &options->bsdpPort)) {
                fprintf(err, "tamsor-serve: --bsdp-port wants a port from 0 to 65535, not \"%s\"\n",
                        argv[i]);
                return 2;
            }
        } else if (argument == "--tftp-port" && hasValue) {
            uint32_t port = 0;
            if (!OptionNumber("--tftp-port", argv[++i], 1, 65535, &port, err)) return 2;
            options->tftpPort = static_cast<uint16_t>(port);
        } else if (argument == "--tftp-max-blksize" && hasValue) {
            if (!OptionNumber("--tftp-max-blksize", argv[++i], 8, 65464, &options->tftpMaxBlockSize,
                              err)) {
                return 2;
            }
        } else if (argument == "--tftp-max-window" && hasValue) {
            if (!OptionNumber("--tftp-max-window", argv[++i], 1, kTftpMaxWindowSize,
                              &options->tftpMaxWindow, err)) {
                return 2;
            }
        } else if (argument == "--dmg-cache" && hasValue) {
            // At least one 64 MiB run; at most 1 TiB.
            uint32_t mebibytes = 0;
            if (!OptionNumber("--dmg-cache", argv[++i], 64, 1u << 20, &mebibytes, err)) return 2;
            options->dmgCacheMiB = mebibytes;
        } else if (argument == "--max-connections-per-client" && hasValue) {
            if (!OptionNumber("--max-connections-per-client", argv[++i], 0, 1u << 20,
                              &options->clientLimit, err)) {
                return 2;
            }
        } else if (argument == "--send-timeout" && hasValue) {
            if (!OptionNumber("--send-timeout", argv[++i], 1, 86400, &options->sendTimeout, err)) {
                return 2;
            }
        } else if (argument == "--bsdp-rate" && hasValue) {
            if (!OptionNumber("--bsdp-rate", argv[++i], 0, 100000, &options->bsdpRate, err)) {
                return 2;
            }
        } else if (argument == "--max-clients" && hasValue) {
            if (!OptionNumber("--max-clients", argv[++i], 1, 1000000, &options->maxClients, err)) {
                return 2;
            }
        } else if (argument == "--help" || argument == "-h") {
            return Usage(err);
        } else {
            fprintf(err, "tamsor-serve: unknown option or missing value: %s\n", argument.c_str());
            return Usage(err);
        }
    }
    return 0;
}

// ---- Discs and volumes ------------------------------------------------------------

bool IsDevicePath(const std::string& text) {
    return text.compare(0, sizeof kDevicePrefix - 1, kDevicePrefix) == 0 &&
           text.size() > sizeof kDevicePrefix - 1;
}

// Turns the arguments into discs: drives by their device path, anything else
// an image file that must exist. No argument: every drive.
int ResolveDiscs(Server& server) {
    server.discs.clear();
    if (server.options.discs.empty()) {
        Disc disc;
        disc.argument = "the optical drives";
        server.discs.push_back(disc);
        return 0;
    }
    for (const std::string& argument : server.options.discs) {
        Disc disc;
        disc.argument = argument;
        char devicePath[kVolumePathCapacity];
        if (IsDevicePath(argument)) {
            disc.devicePath = argument;
        } else if (QxPlatformDevicePathOf(argument.c_str(), devicePath, sizeof devicePath)) {
            disc.devicePath = devicePath;
        } else {
            bool isFolder = false;
            if (!QxPlatformPathStatus(argument.c_str(), &isFolder)) {
                return Fail(server, "no such disc image: %s", argument.c_str());
            }
            if (isFolder) return Fail(server, "%s is a folder, not a disc image", argument.c_str());
            QxDeviceHandle handle = kQxInvalidDeviceHandle;
            QxStatus status = QxPlatformFileOpen(argument.c_str(), &handle);
            if (status != kStatusOK) {
                return Fail(server, "cannot open the disc image %s: %s", argument.c_str(),
                            StatusText(status).c_str());
            }
            QxPlatformDeviceClose(handle);
            disc.devicePath = kImageDevice;
            disc.image = argument;
        }
        server.discs.push_back(disc);
    }
    return 0;
}

// Puts an image disc in place of its drive; drives need nothing.
QxStatus InsertDisc(const Disc& disc) {
    if (disc.image.empty()) return kStatusOK;
    return DeviceBindImage(kImageDevice, disc.image.c_str(), 0);
}

// Why an image file cannot be read as a disc (a .dmg of a kind Tamsor does
// not read, a damaged one), or empty when it can.
std::string ImageProblem(const std::string& path) {
    ImageFile* image = nullptr;
    char problem[kImageProblemCapacity] = "";
    if (ImageFileOpen(path.c_str(), &image, problem, sizeof problem) != kStatusOK) return problem;
    // The partition map is at the start: a .dmg whose first bytes do not
    // decode is damaged, not a disc without volumes.
    static uint8_t head[65536];
    uint32_t got = 0;
    uint64_t size = ImageFileSize(image);
    uint32_t count = size < sizeof head ? static_cast<uint32_t>(size) : sizeof head;
    QxStatus status = ImageFileRead(image, 0, count, head, &got);
    bool raw = !ImageFileIsCompressed(image);
    ImageFileRelease(image);
    if (status == kStatusMalformed) return "the image is damaged: its first bytes do not decode";
    // Read as a raw disc without volumes: a .dmg cut short reads so.
    if (raw && ImageFileCutShort(path.c_str(), problem, sizeof problem)) return problem;
    return std::string();
}

// Takes an image disc out again (drives stay as they are).
void RemoveDisc(const Disc& disc) {
    if (!disc.image.empty()) DeviceUnbind(kImageDevice);
}

bool SameDevice(const char* a, size_t aLength, const std::string& b) {
    if (aLength != b.size()) return false;
    for (size_t i = 0; i < aLength; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

// The HFS+ volumes of the disc (which must be inserted), in the order of
// the drives and their partition maps.
// *settling (when given) tells whether a drive was still becoming ready.
std::vector<Volume> VolumesOf(const Disc& disc, bool* settling) {
    std::vector<Volume> volumes;
    VolumeIterator iterator{};
    // An image of the library is bound under a name of its own.
    if (!disc.devicePath.empty()) iterator.onlyDevice = disc.devicePath.c_str();
    VolumeListing listing;
    while (NextVolume(&iterator, &listing) == kStatusOK) {
        const char* device = nullptr;
        int32_t deviceLength = 0;
        if (SplitVolumePath(listing.path, &device, &deviceLength, nullptr, nullptr, nullptr) !=
            kStatusOK) {
            continue;
        }
        if (!disc.devicePath.empty() &&
            !SameDevice(device, static_cast<size_t>(deviceLength), disc.devicePath)) {
            continue;
        }
        Volume volume;
        volume.name = listing.name;
        volume.path = listing.path;
        volume.install = IsInstallDisc(listing.path, true);
        volume.diagnostics = HasDiagnostics(listing.path);
        volumes.push_back(volume);
    }
    if (settling != nullptr) *settling = iterator.settling;
    VolumeIteratorFinish(&iterator);
    return volumes;
}

// A drive that has just been given its disc answers "becoming ready" while
// it spins up, for up to some twenty seconds. Before the run loop serves
// anything, waiting for it here holds up nobody.
void WaitForSettlingDrive(Server& server, const Disc& disc) {
    if (!disc.image.empty()) return;
    constexpr int kRounds = 10;
    for (int round = 0; round < kRounds; ++round) {
        bool settling = false;
        if (!VolumesOf(disc, &settling).empty() || !settling) return;
        if (round == 0) {
            Say(server, "The disc in %s is still spinning up; waiting for it.",
                disc.argument.c_str());
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(kDrivePollInterval));
    }
}

// The device part of a volume path (\\.\CdRom0), or empty.
std::string DeviceOf(const std::string& volumePath) {
    const char* device = nullptr;
    int32_t length = 0;
    if (SplitVolumePath(volumePath.c_str(), &device, &length, nullptr, nullptr, nullptr) !=
            kStatusOK ||
        device == nullptr || length <= 0) {
        return std::string();
    }
    return std::string(device, static_cast<size_t>(length));
}

// --list: the install volumes of every disc, one per line:
//   <disc>: "<volume name>" <volume path>[ (with the hardware test)]
int ListInstallVolumes(Server& server) {
    int found = 0;
    for (const Disc& disc : server.discs) {
        QxStatus status = InsertDisc(disc);
        if (status != kStatusOK) {
            return Fail(server, "cannot use %s: %s", disc.argument.c_str(),
                        StatusText(status).c_str());
        }
        WaitForSettlingDrive(server, disc);
        for (const Volume& volume : VolumesOf(disc)) {
            if (!volume.install) continue;
            fprintf(server.out, "%s: \"%s\" %s%s\n", disc.argument.c_str(), volume.name.c_str(),
                    volume.path.c_str(), volume.diagnostics ? " (with the hardware test)" : "");
            ++found;
        }
        RemoveDisc(disc);
    }
    fflush(server.out);
    if (found == 0) {
        return Fail(server, "no install volume on %s",
                    server.discs.size() == 1 ? server.discs[0].argument.c_str()
                                             : "the discs given");
    }
    return 0;
}

// The volume to serve from the first disc: the one named by --volume, else
// the first install volume. 0, or 1 with the reason written.
int ChooseVolume(Server& server, const Disc& disc, Volume* chosen) {
    std::vector<Volume> volumes = VolumesOf(disc);
    if (volumes.empty()) {
        if (disc.image.empty()) return Fail(server, "no disc in %s", disc.argument.c_str());
        std::string problem = ImageProblem(disc.image);
        if (!problem.empty()) {
            return Fail(server, "%s: %s", disc.argument.c_str(), problem.c_str());
        }
        return Fail(server, "%s holds no HFS+ volume: not a disc image Tamsor can serve",
                    disc.argument.c_str());
    }
    const Volume* pick = nullptr;
    for (const Volume& volume : volumes) {
        if (!server.options.volumeName.empty()) {
            if (volume.name == server.options.volumeName) {
                pick = &volume;
                break;
            }
        } else if (volume.install) {
            pick = &volume;
            break;
        }
    }
    if (pick == nullptr && !server.options.volumeName.empty()) {
        return Fail(server, "%s has no volume named \"%s\"", disc.argument.c_str(),
                    server.options.volumeName.c_str());
    }
    if (pick == nullptr) {
        return Fail(server, "%s is not an install disc (no volume carries the installation files)",
                    disc.argument.c_str());
    }
    if (!pick->install) {
        return Fail(server, "\"%s\" on %s is not an install disc", pick->name.c_str(),
                    disc.argument.c_str());
    }
    if (server.options.diagnostics && !pick->diagnostics) {
        return Fail(server, "\"%s\" on %s carries no hardware test", pick->name.c_str(),
                    disc.argument.c_str());
    }
    *chosen = *pick;
    return 0;
}

// The name clients see in their list of startup discs.
std::string AdvertisedName(const std::string& volumeName) {
    char name[256];
    QxLStringRef host = HostDisplayName();
    char hostName[256] = "";
    if (host != nullptr) QxLStringCopyToBuffer(host, hostName, sizeof hostName);
    QxLObjectRelease(host);
    if (BsdpFormatImageName(volumeName.c_str(), hostName, name, sizeof name) != kStatusOK) {
        return volumeName;
    }
    return name;
}

// Tells the user what is served, after the line with the ports.
void DescribeVolume(Server& server) {
    const Disc& disc = server.discs[server.current];
    std::string from = disc.image.empty() ? "the disc in " + DeviceOf(server.volume.path)
                                          : "the disc image " + disc.image;
    if (server.options.json) {
        EmitJson(server, "serving",
                 JsonMember("volume", server.volume.name) +
                     JsonMember("path", server.volume.path) +
                     JsonMember("from", disc.image.empty() ? DeviceOf(server.volume.path)
                                                           : disc.image) +
                     JsonMember("advertised", AdvertisedName(server.volume.name)));
        return;
    }
    Say(server, "Serving \"%s\" (%s) for %s, from %s.", server.volume.name.c_str(),
        server.volume.path.c_str(),
        server.options.diagnostics ? "the hardware test" : "installation", from.c_str());
    std::string device = DeviceOf(server.volume.path);
    std::string image = device.compare(0, sizeof kDevicePrefix - 1, kDevicePrefix) == 0
                            ? device.substr(sizeof kDevicePrefix - 1)
                            : device;
    Say(server, "Clients see it as \"%s\" and read it from /%s.dmg.",
        AdvertisedName(server.volume.name).c_str(), image.c_str());
}

// ---- Events -----------------------------------------------------------------------

// The installer's progress: a line (or object), or on a terminal without
// the live table a progress bar redrawn on one line.
void ShowProgress(Server& server, const std::string& client) {
    if (server.options.json) {
        EmitJson(server, "progress",
                 ",\"percentage\":" +
                     std::to_string(server.lastPercentage < 0 ? 0 : server.lastPercentage) +
                     JsonMember("status", server.progressText) +
                     JsonMember("remaining", server.remainingText) + ClientMember(client));
        return;
    }
    if (server.table) return;
    if (!server.terminal || !client.empty()) {
        SayAbout(server, client, "Progress: %d%%%s%s%s%s", server.lastPercentage < 0 ? 0 : server.lastPercentage,
            server.progressText.empty() ? "" : " ", server.progressText.c_str(),
            server.remainingText.empty() ? "" : ", ", server.remainingText.c_str());
        return;
    }
    char bar[kProgressBarWidth + 1];
    int filled = server.lastPercentage < 0 ? 0 : server.lastPercentage * kProgressBarWidth / 100;
    for (int i = 0; i < kProgressBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kProgressBarWidth] = '\0';
    char percent[16] = " --";
    if (server.lastPercentage >= 0) snprintf(percent, sizeof percent, "%3d", server.lastPercentage);
    std::string line = std::string("[") + bar + "] " + percent + "%  " + server.progressText +
                       (server.remainingText.empty() ? "" : "  ") + server.remainingText;
    // Redrawn in place: a carriage return, then blanks over whatever the
    // previous line had beyond this one (no terminal escapes, which not
    // every console understands).
    size_t drawn = line.size();
    if (server.progressLineOpen && server.progressLineLength > drawn) {
        line.append(server.progressLineLength - drawn, ' ');
    }
    fprintf(server.out, "\r%s", line.c_str());
    fflush(server.out);
    server.progressLineLength = drawn;
    server.progressLineOpen = true;
}

// A key's string value as text; false when absent or not a string.
bool TextOf(QxLObjectRef event, QxLStringRef key, std::string* text) {
    char* value = nullptr;
    if (QxLGet(event, &value, "%kO:utf8", key) != kStatusOK || value == nullptr) return false;
    *text = value;
    QxLFree(value);
    return true;
}

void HandleEject(Server& server, QxLObjectRef event);

void OnEjectTimer(QxRunLoopTimerRef timer, void* info) {
    Server& server = *static_cast<Server*>(info);
    QxRunLoopTimerInvalidate(timer);
    if (server.ejectTimer == timer) server.ejectTimer = nullptr;
    QxLObjectRelease(timer);
    QxLObjectRef event = server.pendingEject;
    server.pendingEject = nullptr;
    if (event != nullptr) {
        HandleEject(server, event);
        QxLObjectRelease(event);
    }
}

// Defers an "Eject" until the sink has returned, as the wizard does with a
// posted message: by then the HTTP exchange that carried it is answered.
void DeferEject(Server& server, QxLObjectRef event) {
    if (server.pendingEject != nullptr) return;  // one is on its way already
    QxRunLoopTimerContext context{0, &server, nullptr, nullptr, nullptr};
    QxRunLoopTimerRef timer = QxRunLoopTimerCreate(QxRunLoopNow(), 0, &context, OnEjectTimer);
    if (timer == nullptr) return;
    server.pendingEject = QxLObjectRetain(event);
    server.ejectTimer = timer;
    QxRunLoopAddTimer(QxRunLoopGetMain(), timer);
}

// A key's integer value; fallback when absent.
long long NumberOf(QxLObjectRef event, QxLStringRef key, long long fallback) {
    int64_t value = 0;
    if (QxLGet(event, &value, "%kO:int64", key) != kStatusOK) return fallback;
    return static_cast<long long>(value);
}

// A TFTP transfer has ended: its figures, and "loaded" for a client's booter.
void ReportTransfer(Server& server, QxLObjectRef event, const std::string& client,
                    ClientRow* row) {
    int32_t reason = -1;
    if (QxLGet(event, &reason, "%kO:int", kNetBootKeyReason) != kStatusOK) reason = -1;
    std::string file;
    TextOf(event, kNetBootKeyFilename, &file);
    long long size = NumberOf(event, kNetBootKeySize, -1);
    long long bytes = NumberOf(event, kNetBootKeyBytes, -1);
    long long milliseconds = NumberOf(event, kNetBootKeyMilliseconds, -1);
    long long blockSize = NumberOf(event, kNetBootKeyBlockSize, 0);
    long long windowSize = NumberOf(event, kNetBootKeyWindowSize, 0);
    // A failed disc read says where.
    std::string position;
    TextOf(event, kNetBootKeyPosition, &position);
    std::string failure = StatusText(reason) + (position.empty() ? "" : " at " + position);
    if (row != nullptr && bytes > 0) row->bytesServed += static_cast<uint64_t>(bytes);
    if (row != nullptr && reason != 0) {
        row->phase = "failed";
        row->status = file + ": " + failure;
    }
    if (!client.empty() && size >= 0) {
        double seconds = milliseconds > 0 ? milliseconds / 1000.0 : 0.0;
        double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
        if (server.options.json) {
            char figures[224];
            snprintf(figures, sizeof figures,
                     ",\"size\":%lld,\"bytes\":%lld,\"seconds\":%.3f,\"rate\":%.0f"
                     ",\"blksize\":%lld,\"windowsize\":%lld,\"reason\":%d",
                     size, bytes, seconds, rate, blockSize, windowSize, static_cast<int>(reason));
            EmitJson(server, "transfer",
                     ClientMember(client) + JsonMember("file", file) + figures +
                         (position.empty() ? "" : JsonMember("position", position)));
        } else if (reason == 0) {
            SayAbout(server, client, "sent %s, %lld bytes in %.3f s (%s/s, blksize %lld, window %lld)",
                     file.c_str(), size, seconds, ByteCount(static_cast<uint64_t>(rate)).c_str(),
                     blockSize, windowSize);
        } else {
            SayAbout(server, client, "%s failed after %lld of %lld bytes: %s", file.c_str(), bytes,
                     size, failure.c_str());
        }
    }
    if (reason != 0) return;
    // With the boot services kept, each client announces itself by its
    // booter (the first file it loads); otherwise only the first client
    // counts, as the services close after it.
    bool booter = std::string(PhaseOfBootFile(file)) == "booter";
    if (server.options.keepBooting ? !booter : server.clientConnected) return;
    if (server.options.json) {
        EmitJson(server, "loaded", JsonMember("file", file) + ClientMember(client));
    } else if (client.empty()) {
        Say(server, "A client has loaded %s; it boots from this computer now.", file.c_str());
    } else {
        SayAbout(server, client, "has loaded %s; it boots from this computer now.", file.c_str());
    }
    server.clientConnected = true;
}

// The event sink: what the wizard's controller does, in words on the console.
QxStatus HandleEvent(QxLObjectRef event, void* context) {
    if (event == nullptr || context == nullptr) return kStatusOK;
    Server& server = *static_cast<Server*>(context);
    // A table on the terminal would be torn by dumps on the same terminal.
    if (!server.table || !server.errTerminal) {
        if (server.errTerminal) EndProgressLine(server);
        QxLDumpObject(server.err, event);
        fflush(server.err);
    }

    StatusCountEvent(server.statusCounters, event);
    QxLObjectRef message = nullptr;
    if (QxLGet(event, &message, "%kO", kNetBootKeyMessage) != kStatusOK ||
        !QxLObjectIsType(message, kQxLTypeString)) {
        return kStatusOK;
    }
    std::string client;
    TextOf(event, kNetBootKeyClient, &client);
    ClientRow* row = nullptr;
    if (!client.empty()) {
        row = &ClientRowFor(server.clients, client, server.options.maxClients);
        row->lastActivity = QxRunLoopNow();
        server.tableDirty = true;
    }
    bool list = QxLObjectEqual(message, kNetBootEventBSDPList);
    if (list || QxLObjectEqual(message, kNetBootEventBSDPSelect)) {
        std::string hardware;
        TextOf(event, kNetBootKeyHardwareAddress, &hardware);
        std::string image;
        TextOf(event, kNetBootKeyImage, &image);
        long long omitted = NumberOf(event, kNetBootKeyOmitted, 0);
        if (row != nullptr) {
            if (!hardware.empty()) row->hardware = hardware;
            row->phase = list ? "listed" : "selected";
            row->status.clear();
            if (!image.empty() && (!list || row->image.empty())) {
                row->image = image;
                row->imageId =
                    static_cast<uint32_t>(NumberOf(event, kNetBootKeyImageID, 0));
            }
        }
        if (server.options.json) {
            EmitJson(server, list ? "listed" : "selected",
                     ClientMember(client) + JsonMember("hardware", hardware) +
                         JsonMember("image", image) +
                         (omitted > 0 ? ",\"omitted\":" + std::to_string(omitted) : ""));
        } else {
            SayAbout(server, client, "BSDP %s answered (hardware %s)%s%s%s",
                     list ? "LIST" : "SELECT", hardware.c_str(),
                     image.empty() ? (list ? "" : ": an image it may not have, refused") : ": \"",
                     image.c_str(), image.empty() ? "" : "\"");
        }
        if (omitted > 0) {
            Say(server, "The list for %s had no room for %lld images.", client.c_str(), omitted);
        }
    } else if (QxLObjectEqual(message, kNetBootEventTFTPOpen)) {
        if (row != nullptr) {
            std::string file;
            TextOf(event, kNetBootKeyFilename, &file);
            row->phase = PhaseOfBootFile(file);
            row->status.clear();
        }
    } else if (QxLObjectEqual(message, kNetBootEventTFTPClose)) {
        ReportTransfer(server, event, client, row);
    } else if (QxLObjectEqual(message, kNetBootEventHTTPRead)) {
        std::string path;
        TextOf(event, kNetBootKeyPath, &path);
        if (row != nullptr && PhaseBeforeMounted(row->phase)) row->phase = "mounted";
        if (server.options.json) {
            EmitJson(server, "reading", ClientMember(client) + JsonMember("path", path));
        } else {
            SayAbout(server, client, "reads the image %s over HTTP", path.c_str());
        }
    } else if (QxLObjectEqual(message, kNetBootEventHTTPClose)) {
        long long bytes = NumberOf(event, kNetBootKeyBytes, 0);
        long long milliseconds = NumberOf(event, kNetBootKeyMilliseconds, 0);
        if (row != nullptr && bytes > 0) row->bytesServed += static_cast<uint64_t>(bytes);
        if (server.options.json) {
            char figures[80];
            snprintf(figures, sizeof figures, ",\"bytes\":%lld,\"seconds\":%.3f", bytes,
                     milliseconds / 1000.0);
            EmitJson(server, "served", ClientMember(client) + figures);
        } else {
            SayAbout(server, client, "HTTP connection closed, %s served in %.1f s",
                     ByteCount(static_cast<uint64_t>(bytes)).c_str(), milliseconds / 1000.0);
        }
    } else if (QxLObjectEqual(message, kNetBootEventStarted)) {
        if (row != nullptr) row->phase = "installing";
        if (server.options.json) {
            EmitJson(server, "started", ClientMember(client));
        } else if (client.empty()) {
            Say(server, "The installer on the client has started.");
        } else {
            SayAbout(server, client, "the installer has started.");
        }
    } else if (QxLObjectEqual(message, kNetBootEventProgress)) {
        int32_t percentage = -1;
        if (QxLGet(event, &percentage, "%kO:int", kNetBootKeyPercentage) != kStatusOK) {
            percentage = -1;
        }
        if (percentage >= 0) server.lastPercentage = percentage > 100 ? 100 : percentage;
        TextOf(event, kNetBootKeyStatus, &server.progressText);
        TextOf(event, kNetBootKeyRemaining, &server.remainingText);
        if (row != nullptr) {
            row->phase = "installing";
            if (percentage >= 0) row->percentage = server.lastPercentage;
            row->status = server.progressText;
            if (!server.remainingText.empty()) row->status += ", " + server.remainingText;
        }
        ShowProgress(server, client);
    } else if (QxLObjectEqual(message, kNetBootEventSuccess)) {
        server.lastPercentage = 100;
        if (row != nullptr) {
            row->phase = "done";
            row->percentage = 100;
        }
        if (server.options.json) {
            EmitJson(server, "success", ClientMember(client));
        } else if (client.empty()) {
            Say(server, "The installation has succeeded. (Ctrl-C stops the server.)");
        } else {
            SayAbout(server, client, "the installation has succeeded.");
        }
        server.clientConnected = false;
    } else if (QxLObjectEqual(message, kNetBootEventFailure)) {
        if (row != nullptr) row->phase = "failed";
        if (server.options.json) {
            EmitJson(server, "failure", ClientMember(client));
        } else if (client.empty()) {
            Say(server, "The installation has failed. (Ctrl-C stops the server.)");
        } else {
            SayAbout(server, client, "the installation has failed.");
        }
        server.clientConnected = false;
    } else if (QxLObjectEqual(message, kNetBootEventEject)) {
        std::string next;
        if (row != nullptr && TextOf(event, kNetBootKeyNextDisc, &next)) {
            row->status = "asks for \"" + next + "\"";
        }
        DeferEject(server, event);
    }
    return kStatusOK;
}

// ---- The live table and the summary ------------------------------------------------

// Adds the bytes of transfers still under way to the rows of their clients.
void AddBytesUnderWay(std::vector<ClientRow>& rows) {
    ForEachTransferUnderWay([&rows](const char* client, uint64_t bytes, bool) {
        for (ClientRow& row : rows) {
            if (row.address == client) row.bytesServed += bytes;
        }
    });
}

void DrawTable(Server& server) {
    if (!server.table) return;
    EraseTable(server);
    double now = QxRunLoopNow();
    if (!server.clients.empty()) {
        std::vector<ClientRow> rows = server.clients;
        AddBytesUnderWay(rows);
        std::vector<std::string> lines =
            TableLines(rows, now, server.screenRows, server.screenColumns);
        for (const std::string& line : lines) fprintf(server.out, "%s\n", line.c_str());
        server.tableLines = lines.size();
    }
    fflush(server.out);
    server.tableDirty = false;
    server.tableDrawn = now;
}

// Redraws when a fact changed, and once a second for the ages.
void OnTableTimer(QxRunLoopTimerRef, void* info) {
    Server& server = *static_cast<Server*>(info);
    if (server.tableDirty || QxRunLoopNow() - server.tableDrawn >= 1.0) DrawTable(server);
}

void StopTableTimer(Server& server) {
    if (server.tableTimer == nullptr) return;
    QxRunLoopTimerInvalidate(server.tableTimer);
    QxLObjectRelease(server.tableTimer);
    server.tableTimer = nullptr;
}

void WriteSummary(Server& server) {
    EndProgressLine(server);
    if (server.options.json) {
        for (const ClientRow& row : server.clients) {
            EmitJson(server, "summary",
                     ClientMember(row.address) + JsonMember("hardware", row.hardware) +
                         JsonMember("phase", row.phase) +
                         ",\"percentage\":" + std::to_string(row.percentage) +
                         ",\"bytes\":" + std::to_string(row.bytesServed) +
                         JsonMember("status", row.status) + JsonMember("image", row.image));
        }
        return;
    }
    if (server.clients.empty()) return;
    fprintf(server.out, "Clients served: %zu\n", server.clients.size());
    for (const ClientRow& row : server.clients) {
        fprintf(server.out, "  %s\n", SummaryLine(row).c_str());
    }
    fflush(server.out);
}

// ---- The next disc ----------------------------------------------------------------

// Prepares volume as the boot source of the running servers (the wizard's
// registerNextDisc). True when it is served now.
bool ServeNextVolume(Server& server, size_t discIndex, const Volume& volume) {
    if (server.options.diagnostics && !volume.diagnostics) {
        Say(server, "\"%s\" carries no hardware test; still waiting for \"%s\".",
            volume.name.c_str(), server.nextDiscName.c_str());
        return false;
    }
    QxStatus status = PrepareBootSource(volume.path.c_str(), server.options.diagnostics);
    if (status != kStatusOK) {
        Say(server, "\"%s\" cannot be served (%s); still waiting for \"%s\".", volume.name.c_str(),
            StatusText(status).c_str(), server.nextDiscName.c_str());
        return false;
    }
    server.current = discIndex;
    server.discs[discIndex].used = true;
    server.volume = volume;
    server.serving = true;
    server.awaitingNextDisc = false;
    DescribeVolume(server);
    return true;
}

// For images: the next unused image of the command line, one whose volume
// is named as asked first. True when one is served now.
bool TakeNextImage(Server& server) {
    // Two rounds: first only volumes of the name asked for, then any.
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < server.discs.size(); ++i) {
            Disc& disc = server.discs[i];
            if (disc.used || disc.image.empty()) continue;
            if (InsertDisc(disc) != kStatusOK) {
                disc.used = true;
                continue;
            }
            std::vector<Volume> volumes = VolumesOf(disc);
            const Volume* pick = nullptr;
            for (const Volume& volume : volumes) {
                if (round == 1 || volume.name == server.nextDiscName) {
                    pick = &volume;
                    break;
                }
            }
            if (pick != nullptr) {
                Say(server, "Taking the disc image %s.", disc.image.c_str());
                if (ServeNextVolume(server, i, *pick)) return true;
                disc.used = true;
            } else if (round == 1) {
                std::string problem = ImageProblem(disc.image);
                if (problem.empty()) problem = "holds no HFS+ volume";
                Say(server, "%s: %s; passed over.", disc.image.c_str(), problem.c_str());
                disc.used = true;
            }
            RemoveDisc(disc);
        }
    }
    return false;
}

void StopDriveTimer(Server& server) {
    if (server.driveTimer == nullptr) return;
    QxRunLoopTimerInvalidate(server.driveTimer);
    QxLObjectRelease(server.driveTimer);
    server.driveTimer = nullptr;
}

// While a disc is awaited in a drive: any HFS+ volume that appears is taken,
// install disc or not, as the wizard takes it.
void OnDriveTimer(QxRunLoopTimerRef, void* info) {
    Server& server = *static_cast<Server*>(info);
    if (!server.awaitingNextDisc) {
        StopDriveTimer(server);
        return;
    }
    const Disc& disc = server.discs[server.current];
    std::vector<Volume> volumes = VolumesOf(disc);
    // A disc still there after a failed eject is the old one: only a volume
    // that appears after the drive was seen empty is the next disc.
    if (volumes.empty()) {
        server.driveSeenEmpty = true;
        return;
    }
    if (server.driveSeenEmpty && ServeNextVolume(server, server.current, volumes.front())) {
        StopDriveTimer(server);
    }
}

void WaitForDrive(Server& server) {
    QxRunLoopTimerContext context{0, &server, nullptr, nullptr, nullptr};
    server.driveTimer = QxRunLoopTimerCreate(QxRunLoopNow() + kDrivePollInterval,
                                             kDrivePollInterval, &context, OnDriveTimer);
    if (server.driveTimer != nullptr) QxRunLoopAddTimer(QxRunLoopGetMain(), server.driveTimer);
}

// The deferred part of "Eject" (the wizard's handleEject): release the boot
// source, eject the drive or unbind the image, ask for the next disc and
// wait for it while the servers keep running.
void HandleEject(Server& server, QxLObjectRef event) {
    // A library's images stay; the installer's next disc is in the list.
    if (server.awaitingNextDisc || !server.options.library.empty()) return;
    std::string nextDisc;
    if (!TextOf(event, kNetBootKeyNextDisc, &nextDisc)) return;
    ReleaseBootSource();
    if (!server.serving) return;
    std::string device = DeviceOf(server.volume.path);
    if (device.empty()) return;
    QxStatus ejected = DiscEject(device.c_str());
    Disc& disc = server.discs[server.current];
    server.serving = false;
    server.awaitingNextDisc = true;
    server.nextDiscName = nextDisc;
    if (!disc.image.empty()) {
        Say(server, "The installer asks for the disc \"%s\"; the image %s is put away.",
            nextDisc.c_str(), disc.image.c_str());
        if (!TakeNextImage(server)) {
            Say(server, "No further disc image on the command line carries a volume to serve; "
                        "restart with the image of \"%s\" added. (Ctrl-C stops the server.)",
                nextDisc.c_str());
        }
        return;
    }
    if (ejected != kStatusOK) {
        Say(server, "The disc could not be ejected (%s): eject it by hand and insert \"%s\".",
            StatusText(ejected).c_str(), nextDisc.c_str());
    } else {
        Say(server, "Insert the disc \"%s\" into %s.", nextDisc.c_str(), device.c_str());
    }
    // Drives are looked at on the drive of the disc just ejected. Once the
    // eject has gone through, the old disc is out: whatever the drive holds
    // next is the next disc, even when it goes in before a poll saw the
    // drive empty.
    disc.devicePath = device;
    server.driveSeenEmpty = ejected == kStatusOK;
    WaitForDrive(server);
}

// ---- Start and stop ---------------------------------------------------------------

// The ports and TFTP limits of the command line, and where events go.
void SetServiceOptions(Server& server) {
    SetNetBootEventSink(HandleEvent, &server);
    SetNetBootBsdpPort(server.options.bsdpPort);
    TftpSetListenPort(server.options.tftpPort);
    TftpSetAdaptiveResend(true);
    TftpSetBlockSizeLimit(server.options.tftpMaxBlockSize);
    TftpSetWindowLimit(server.options.tftpMaxWindow);
    BsdpSetRateLimit(4 * server.options.bsdpRate, server.options.bsdpRate);
}

// The wizard's sequence on the chosen volume. 0, or the status of the step
// that failed.
QxStatus StartSharing(Server& server) {
    StopNetBootServices();
    QxStatus status = PrepareBootSource(server.volume.path.c_str(), server.options.diagnostics);
    if (status != kStatusOK) return status;
    SetServiceOptions(server);
    SetNetBootKeepBootServices(server.options.keepBooting);
    SetNetBootClientEvents(true);
    return StartNetBootServices();
}

// A library's images for the status server; each client belongs to the
// image it chose (or none yet).
void FillLibraryStatus(Server& server, StatusSnapshot* snapshot) {
    // A library keeps BSDP, TFTP and HTTP: up while all three listen.
    snapshot->up = BsdpPort() != 0 && TftpPort() != 0 && DiscSharePort() != 0;
    bool markedDefault = false;
    for (const LibraryImage& image : server.library.images) {
        markedDefault = markedDefault || (image.offered && image.settings.isDefault);
    }
    for (const LibraryImage& image : server.library.images) {
        if (!image.offered) continue;
        StatusImage entry;
        entry.name = image.name;
        entry.id = image.id;
        entry.path = image.path.empty() ? image.device : image.path;
        entry.isDefault = markedDefault ? image.settings.isDefault : snapshot->images.empty();
        snapshot->images.push_back(entry);
    }
    for (const ClientRow& row : server.clients) {
        size_t index = SIZE_MAX;
        // By ID: two images may show the same name.
        for (size_t i = 0; i < snapshot->images.size(); ++i) {
            if (row.imageId != 0 && snapshot->images[i].id == row.imageId) index = i;
        }
        snapshot->clients.push_back(StatusClient{row, index});
    }
    snapshot->counters = server.statusCounters;
    AddUnderWay(*snapshot);
}

// The status server's view of the running server: its image (or the
// library's), every client.
void FillStatus(StatusSnapshot* snapshot, void* context) {
    Server& server = *static_cast<Server*>(context);
    snapshot->version = TAMSOR_VERSION;
    QxLStringRef host = HostDisplayName();
    char hostName[256] = "";
    if (host != nullptr) QxLStringCopyToBuffer(host, hostName, sizeof hostName);
    QxLObjectRelease(host);
    snapshot->host = hostName;
    snapshot->started = server.startedAt;
    snapshot->up = server.serving || server.awaitingNextDisc;
    snapshot->bsdpPort = BsdpPort();
    snapshot->tftpPort = TftpPort();
    snapshot->httpPort = DiscSharePort();
    BsdpDropCounts drops = BsdpDrops();
    server.statusCounters.bsdpDroppedReplyPort = drops.replyPort;
    server.statusCounters.bsdpDroppedRate = drops.rateLimited;
    if (!server.library.folder.empty()) {
        FillLibraryStatus(server, snapshot);
        return;
    }
    if (server.serving) {
        StatusImage image;
        image.name = AdvertisedName(server.volume.name);
        image.id = server.options.diagnostics ? kBootImageIDDiagnostics : kBootImageIDInstall;
        image.path = server.volume.path;
        image.isDefault = true;
        snapshot->images.push_back(image);
    }
    for (const ClientRow& row : server.clients) snapshot->clients.push_back(StatusClient{row, 0});
    snapshot->counters = server.statusCounters;
    AddUnderWay(*snapshot);
}

// With --status: the status server up, and where it is said. 0, or 1 with
// the reason written.
int StartStatus(Server& server) {
    server.startedAt = static_cast<int64_t>(std::time(nullptr));
    if (server.options.status.empty()) return 0;
    std::string address;
    int family = 0;
    uint16_t port = 0;
    ParseStatusAddress(server.options.status, &address, &family, &port);
    QxStatus status =
        StatusServerStart(address, family, port, FillStatus, &server, &server.statusServer);
    if (status != kStatusOK) {
        return Fail(server, "cannot serve the status page on %s: %s",
                    server.options.status.c_str(), StatusText(status).c_str());
    }
    std::string url = "http://" + (family == kQxNetFamilyIPv6 ? "[" + address + "]" : address) +
                      ":" + std::to_string(StatusServerPort(server.statusServer)) + "/";
    if (server.options.json) {
        EmitJson(server, "status", JsonMember("url", url));
    } else {
        fprintf(server.out, "tamsor-serve: status page at %s\n", url.c_str());
        fflush(server.out);
    }
    return 0;
}

// The ports line (or "start" object); on a terminal, the live table.
int AnnounceStart(Server& server);

// --library: the services up with every image of the folder offered, the
// boot services kept for every client.
int StartLibrary(Server& server) {
    StopNetBootServices();
    SetServiceOptions(server);
    BsdpSetLibraryMode(true);
    SetNetBootKeepBootServices(true);
    SetNetBootClientEvents(true);
    QxStatus status = StartNetBootServices();
    if (status != kStatusOK) {
        return Fail(server, "cannot start the services: %s", StatusText(status).c_str());
    }
    int result = AnnounceStart(server);
    if (result != 0) return result;
    result = LibraryStart(server);
    if (result == 0) {
        Say(server, "Watching %s. Press Ctrl-C to stop.", server.library.folder.c_str());
    }
    return result;
}

// Brings the services up on the first disc and prints the ports line and
// the words. Needs the socket layer and the run loop. 0, or the exit code
// with its reason written; StopServing undoes either way.
int StartServing(Server& server) {
    server.terminal = QxPlatformStreamIsTerminal(server.out);
    server.errTerminal = QxPlatformStreamIsTerminal(server.err);
    server.table = !server.options.json &&
                   QxPlatformStreamLiveScreen(server.out, &server.screenRows, &server.screenColumns);
    if (!server.options.library.empty()) return StartLibrary(server);
    int result = ResolveDiscs(server);
    if (result != 0) return result;
    Disc& disc = server.discs.front();
    QxStatus status = InsertDisc(disc);
    if (status != kStatusOK) {
        return Fail(server, "cannot use %s: %s", disc.argument.c_str(), StatusText(status).c_str());
    }
    WaitForSettlingDrive(server, disc);
    result = ChooseVolume(server, disc, &server.volume);
    if (result != 0) return result;

    QxLStringRef format = QxLStringCreateWithText(kImageNameFormat);
    if (format == nullptr) return Fail(server, "out of memory");
    SetBootImageNameFormat(format);
    QxLObjectRelease(format);

    status = StartSharing(server);
    if (status != kStatusOK) {
        // The TFTP port is only ever taken when one was asked for.
        if (QxPlatformErrorIsAddressInUse(status) && server.options.tftpPort != 0) {
            return Fail(server, "the BSDP port %u or the TFTP port %u is already in use (is "
                                "another boot server running? --bsdp-port and --tftp-port "
                                "choose others)",
                        server.options.bsdpPort, server.options.tftpPort);
        }
        if (QxPlatformErrorIsAddressInUse(status)) {
            return Fail(server, "the BSDP port %u is already in use (is another boot server "
                                "running? --bsdp-port chooses another)",
                        server.options.bsdpPort);
        }
        if (QxPlatformErrorIsAccessDenied(status)) {
            return Fail(server, "no permission to open the BSDP port %u or the TFTP port: %s",
                        server.options.bsdpPort, StatusText(status).c_str());
        }
        return Fail(server, "cannot start the services on \"%s\": %s", server.volume.name.c_str(),
                    StatusText(status).c_str());
    }
    server.current = 0;
    disc.used = true;
    server.serving = true;
    result = AnnounceStart(server);
    if (result != 0) return result;
    DescribeVolume(server);
    if (!server.options.json) Say(server, "Press Ctrl-C to stop.");
    return 0;
}

int AnnounceStart(Server& server) {
    if (server.options.json) {
        EmitJson(server, "start",
                 ",\"bsdp\":" + std::to_string(BsdpPort()) + ",\"tftp\":" +
                     std::to_string(TftpPort()) + ",\"http\":" +
                     std::to_string(DiscSharePort()));
        return StartStatus(server);
    }
    fprintf(server.out, "tamsor-serve: bsdp=%u tftp=%u http=%u\n", BsdpPort(), TftpPort(),
            DiscSharePort());
    fflush(server.out);
    int result = StartStatus(server);
    if (result != 0) return result;
    if (server.table) {
        QxRunLoopTimerContext context{0, &server, nullptr, nullptr, nullptr};
        server.tableTimer = QxRunLoopTimerCreate(QxRunLoopNow() + kTableInterval, kTableInterval,
                                                 &context, OnTableTimer);
        if (server.tableTimer != nullptr) {
            QxRunLoopAddTimer(QxRunLoopGetMain(), server.tableTimer);
        } else {
            server.table = false;
        }
    }
    return 0;
}

// Stops the services and lets go of everything StartServing took.
void StopServing(Server& server) {
    StatusServerStop(server.statusServer);
    server.statusServer = nullptr;
    StopTableTimer(server);
    LibraryStop(server);
    StopNetBootServices();
    SetNetBootEventSink(nullptr, nullptr);
    SetNetBootKeepBootServices(false);
    SetNetBootClientEvents(false);
    BsdpSetLibraryMode(false);
    StopDriveTimer(server);
    if (server.ejectTimer != nullptr) {
        QxRunLoopTimerInvalidate(server.ejectTimer);
        QxLObjectRelease(server.ejectTimer);
        server.ejectTimer = nullptr;
    }
    if (server.pendingEject != nullptr) {
        QxLObjectRelease(server.pendingEject);
        server.pendingEject = nullptr;
    }
    SetBootImageNameFormat(nullptr);
    DeviceUnbindAll();
    server.serving = false;
    EndProgressLine(server);
    server.table = false;
}

// Runs the loop until a stop request.
void ServeUntilStopped(Server& server) {
    while (!server.stopRequested) {
        QxRunLoopPumpRunUntil(&server.stopRequested, QxPlatformClockNow() + kPumpSlice);
    }
}

// The whole program, output to out and err.
int Run(int argc, char** argv, FILE* out, FILE* err) {
    Server server;
    server.out = out;
    server.err = err;
    int result = ParseOptions(argc, argv, &server.options, err);
    if (result != 0) return result;
    ImageFileSetCacheLimit(server.options.dmgCacheMiB << 20);
    // A room of machines switched on together connects at once.
    DiscShareSetListenBacklog(kServeListenBacklog);
    DiscShareSetClientLimit(server.options.clientLimit);
    DiscShareSetSendTimeout(server.options.sendTimeout);

    QxStatus status = QxPlatformSocketStartup();
    if (status != kStatusOK) return Fail(server, "sockets: %s", StatusText(status).c_str());
    status = QxRunLoopEnsureInitialized();
    if (status != kStatusOK) {
        QxPlatformSocketCleanup();
        return Fail(server, "run loop: %s", StatusText(status).c_str());
    }
    if (server.options.list && !server.options.library.empty()) {
        result = LibraryList(server);
    } else if (server.options.list) {
        result = ResolveDiscs(server);
        if (result == 0) result = ListInstallVolumes(server);
    } else {
        status = QxPlatformSignalWatch(&server.stopRequested);
        if (status != kStatusOK) {
            result = Fail(server, "cannot watch for Ctrl-C: %s", StatusText(status).c_str());
        } else {
            result = StartServing(server);
            if (result == 0) {
                ServeUntilStopped(server);
                WriteSummary(server);
                if (server.options.json) {
                    EmitJson(server, "stop", "");
                } else {
                    Say(server, "Stopping.");
                }
            }
            QxPlatformSignalUnwatch();
        }
        StopServing(server);
    }
    DeviceUnbindAll();
    QxRunLoopShutdown();
    QxPlatformSocketCleanup();
    return result;
}

}  // namespace tamsorserve
