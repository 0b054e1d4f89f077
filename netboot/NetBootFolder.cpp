// Folder images: reading the description, the files it names, the
// visibility test and the names an image is served by; see NetBootFolder.h.
#include "NetBootFolder.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "QxLArray.h"
#include "QxLDictionary.h"
#include "QxLNumber.h"
#include "QxLPropertyList.h"
#include "QxLString.h"
#include "QxPlatformNet.h"

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kKindDiagnostics = 3;

QxLObjectRef Get(QxLObjectRef dictionary, const char* key) {
    QxLStringRef keyString = QxLStringCreateWithText(key);
    if (keyString == nullptr) return nullptr;
    QxLObjectRef value = QxLDictionaryGet(dictionary, keyString);
    QxLObjectRelease(keyString);
    return value;
}

bool IsString(QxLObjectRef object) { return QxLObjectIsType(object, kQxLTypeString); }

std::string Text(QxLObjectRef object) {
    const char* text = nullptr;
    uint32_t length = 0;
    if (QxLStringGetText(object, &text, &length) != kStatusOK || text == nullptr) return {};
    return std::string(text, length);
}

// A boolean key: the value, or fallback when absent or not a boolean.
bool Flag(QxLObjectRef dictionary, const char* key, bool fallback) {
    QxLObjectRef value = Get(dictionary, key);
    if (value == kQxLBooleanTrue) return true;
    if (value == kQxLBooleanFalse) return false;
    return fallback;
}

// An integer key into *value; false when absent or not a number.
bool Integer(QxLObjectRef dictionary, const char* key, int64_t* value) {
    QxLObjectRef object = Get(dictionary, key);
    return QxLObjectIsType(object, kQxLTypeNumber) &&
           QxLNumberGetValue(object, kQxLNumberSInt64, value);
}

// The strings of an array key. *present: the key is there at all; false
// from the function when it is there but is not an array of strings.
bool Strings(QxLObjectRef dictionary, const char* key, std::vector<std::string>* out,
             bool* present) {
    out->clear();
    QxLObjectRef value = Get(dictionary, key);
    *present = value != nullptr;
    if (value == nullptr) return true;
    if (!QxLObjectIsType(value, kQxLTypeArray)) return false;
    int32_t count = QxLArrayGetCount(value);
    for (int32_t i = 0; i < count; ++i) {
        QxLObjectRef item = QxLArrayGetValueAt(value, i);
        if (!IsString(item)) return false;
        out->push_back(Text(item));
    }
    return true;
}

bool Addresses(QxLObjectRef dictionary, const char* key,
               std::vector<NetBootHardwareAddress>* out, std::string* problem) {
    std::vector<std::string> texts;
    bool present = false;
    if (!Strings(dictionary, key, &texts, &present)) {
        *problem = std::string(key) + " is not a list of hardware addresses";
        return false;
    }
    for (const std::string& text : texts) {
        NetBootHardwareAddress address{};
        if (!NetBootParseHardwareAddress(text, &address)) {
            *problem = std::string(key) + " holds \"" + text + "\", which is not a hardware address";
            return false;
        }
        out->push_back(address);
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Dotted(const uint8_t address[4]) {
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    return text;
}

// A name in folder that equals wanted without regard to ASCII case, or empty.
std::string CaseVariant(const fs::path& folder, const std::string& wanted) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.size() != wanted.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) {
            same = tolower(static_cast<unsigned char>(name[i])) ==
                   tolower(static_cast<unsigned char>(wanted[i]));
        }
        if (same) return name;
    }
    return {};
}

// "does not exist", or the case variant that does.
std::string Missing(const fs::path& folder, const std::string& wanted) {
    std::string variant = CaseVariant(folder, wanted);
    if (!variant.empty()) {
        return "there is \"" + variant + "\" but not \"" + wanted + "\" (names must match in case)";
    }
    return "\"" + wanted + "\" does not exist";
}

// A relative name that stays inside its folder by its text: no "..", no
// empty part, not absolute, no backslash.
bool PlainRelative(const std::string& name) {
    if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos) return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

// Whether inner's real path lies in (or is) outer's real path.
bool RealPathInside(const fs::path& outer, const fs::path& inner, fs::path* resolved) {
    std::error_code error;
    fs::path base = fs::canonical(outer, error);
    if (error) return false;
    fs::path target = fs::canonical(inner, error);
    if (error) return false;
    auto b = base.begin();
    auto t = target.begin();
    for (; b != base.end(); ++b, ++t) {
        if (t == target.end() || *b != *t) return false;
    }
    if (resolved != nullptr) *resolved = target;
    return true;
}

// An indirect root path: "http://host[:port]/..." or "host:/export[:path]".
// Sets *host to the host part and *rest to what follows it.
bool SplitIndirect(const std::string& root, bool* url, std::string* host, std::string* rest) {
    if (root.compare(0, 7, "http://") == 0) {
        size_t end = root.find_first_of(":/", 7);
        if (end == std::string::npos) end = root.size();
        *url = true;
        *host = root.substr(7, end - 7);
        *rest = root.substr(end);
        return true;
    }
    size_t colon = root.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= root.size() ||
        root[colon + 1] != '/' || root.find('/') < colon) {
        return false;
    }
    *url = false;
    *host = root.substr(0, colon);
    *rest = root.substr(colon);
    return true;
}

}  // namespace

uint32_t NetBootFolderImage::ID() const {
    return (isInstall ? 0x80000000u : 0u) | (uint32_t{kind} & 0x7F) << 24 | index;
}

bool NetBootParseHardwareAddress(const std::string& text, NetBootHardwareAddress* address) {
    size_t position = 0;
    for (size_t i = 0; i < 6; ++i) {
        int value = 0;
        int digits = 0;
        while (position < text.size() && digits < 3 && HexValue(text[position]) >= 0) {
            value = value * 16 + HexValue(text[position++]);
            ++digits;
        }
        if (digits == 0 || digits > 2) return false;
        (*address)[i] = static_cast<uint8_t>(value);
        if (i < 5) {
            if (position >= text.size() || (text[position] != ':' && text[position] != '-')) {
                return false;
            }
            ++position;
        }
    }
    return position == text.size();
}

void NetBootFolderDescribe(QxLObjectRef description, NetBootFolderImage* image) {
    std::string& problem = image->problem;
    if (!QxLObjectIsType(description, kQxLTypeDictionary)) {
        problem = std::string(kNetBootFolderDescription) + " is not a dictionary";
        return;
    }
    QxLObjectRef name = Get(description, "Name");
    if (!IsString(name) || Text(name).empty()) {
        problem = "Name is missing or empty";
        return;
    }
    image->name = Text(name);

    QxLObjectRef indexObject = Get(description, "Index");
    int64_t index = 0;
    if (indexObject == nullptr) {
        problem = "Index is missing";
        return;
    }
    if (IsString(indexObject)) {
        problem = "Index is the text \"" + Text(indexObject) + "\", not a number";
        return;
    }
    if (!Integer(description, "Index", &index) || index < 1 || index > 65535) {
        problem = "Index must be 1 to 65535";
        return;
    }
    image->index = static_cast<uint16_t>(index);

    QxLObjectRef type = Get(description, "Type");
    std::string typeText = IsString(type) ? Text(type) : std::string();
    if (typeText == "HTTP") {
        image->type = NetBootFolderType::HTTP;
    } else if (typeText == "NFS") {
        image->type = NetBootFolderType::NFS;
        image->notes.push_back("an NFS image, offered over HTTP");
    } else if (typeText == "BootFileOnly") {
        image->type = NetBootFolderType::BootFileOnly;
    } else if (typeText == "Classic") {
        problem = "Type Classic is an obsolete kind of image";
        return;
    } else {
        problem = type == nullptr ? "Type is missing"
                                  : "Type \"" + typeText + "\" is none of HTTP, NFS, BootFileOnly";
        return;
    }

    int64_t kind = 0;
    if (Integer(description, "Kind", &kind) && kind >= 0 && kind <= 127) {
        image->kind = static_cast<uint8_t>(kind);
    } else if (image->type == NetBootFolderType::BootFileOnly) {
        problem = "a BootFileOnly image needs a Kind of 0 to 127";
        return;
    } else {
        image->kind = 1;
    }

    image->isInstall = Flag(description, "IsInstall", false);
    image->isEnabled = Get(description, "IsEnabled") != kQxLBooleanFalse;
    image->isDefault = Flag(description, "IsDefault", false);
    image->filterOnly = Flag(description, "FilterOnly", image->kind == kKindDiagnostics);

    QxLObjectRef bootFile = Get(description, "BootFile");
    if (!IsString(bootFile) || Text(bootFile).empty()) {
        problem = "BootFile is missing";
        return;
    }
    image->bootFile = Text(bootFile);
    if (!PlainRelative(image->bootFile)) {
        problem = "BootFile \"" + image->bootFile + "\" is not a file name inside the folder";
        return;
    }

    bool present = false;
    if (!Strings(description, "Architectures", &image->architectures, &present)) {
        problem = "Architectures is not a list of names";
        return;
    }
    if (!present) {
        image->architectures = {"ppc"};
    } else if (image->architectures.empty()) {
        problem = "Architectures is empty";
        return;
    }
    for (const std::string& architecture : image->architectures) {
        if (!PlainRelative(architecture) || architecture.find('/') != std::string::npos) {
            problem = "Architectures holds \"" + architecture + "\", not a folder name";
            return;
        }
    }

    QxLObjectRef root = Get(description, "RootPath");
    if (image->type != NetBootFolderType::BootFileOnly) {
        if (!IsString(root) || Text(root).empty()) {
            problem = "RootPath is missing";
            return;
        }
        image->rootPath = Text(root);
    }

    if (!Strings(description, "EnabledSystemIdentifiers", &image->models, &present)) {
        problem = "EnabledSystemIdentifiers is not a list of models";
        return;
    }
    if (!Addresses(description, "EnabledMACAddresses", &image->allowed, &problem) ||
        !Addresses(description, "DisabledMACAddresses", &image->denied, &problem)) {
        return;
    }

    QxLObjectRef balance = Get(description, "LoadBalanceServer");
    if (balance != nullptr) {
        if (!IsString(balance) || Text(balance).empty()) {
            problem = "LoadBalanceServer is not a server name or address";
            return;
        }
        image->hasLoadBalanceServer = true;
        if (QxPlatformNetResolveIPv4(Text(balance).c_str(), image->loadBalanceServer) !=
            kStatusOK) {
            problem = "LoadBalanceServer \"" + Text(balance) + "\" has no IPv4 address";
            return;
        }
    }
}

void NetBootFolderLoad(const std::string& path, const std::string& folder,
                       NetBootFolderImage* image) {
    image->folder = folder;
    image->path = path;
    std::string& problem = image->problem;
    if (folder.size() <= 4 || folder.compare(folder.size() - 4, 4, kNetBootFolderSuffix) != 0) {
        problem = "an image folder's name ends in \".nbi\"";
        return;
    }
    fs::path base(path);
    fs::path descriptionPath = base / kNetBootFolderDescription;
    std::error_code error;
    if (!fs::is_regular_file(descriptionPath, error)) {
        problem = "no description: " + Missing(base, kNetBootFolderDescription);
        return;
    }
    uint64_t size = fs::file_size(descriptionPath, error);
    if (error || size > kNetBootFolderDescriptionLimit) {
        problem = std::string(kNetBootFolderDescription) + " cannot be read";
        return;
    }
    std::ifstream in(descriptionPath, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    std::string bytes = content.str();
    QxLObjectRef description = nullptr;
    QxStatus status =
        QxLPropertyListRead(bytes.data(), static_cast<int32_t>(bytes.size()), &description);
    if (status != kStatusOK) {
        problem = std::string(kNetBootFolderDescription) + " is not a property list (" +
                  std::string(QxLStatusName(status) != nullptr ? QxLStatusName(status) : "?") +
                  ")";
        return;
    }
    NetBootFolderDescribe(description, image);
    QxLObjectRelease(description);
    if (!problem.empty()) return;

    for (const std::string& architecture : image->architectures) {
        fs::path archFolder = base / architecture;
        if (!fs::is_directory(archFolder, error)) {
            problem = "no folder for " + architecture + ": " + Missing(base, architecture);
            return;
        }
        fs::path booter = archFolder / image->bootFile;
        if (!fs::is_regular_file(booter, error) || !RealPathInside(archFolder, booter, nullptr)) {
            problem = "BootFile in " + architecture + "/: " +
                      Missing(booter.parent_path(), booter.filename().string());
            return;
        }
    }

    if (!image->isEnabled) problem = "IsEnabled is false";
    if (image->type == NetBootFolderType::BootFileOnly) return;
    bool url = false;
    std::string host;
    std::string rest;
    if (SplitIndirect(image->rootPath, &url, &host, &rest)) {
        uint8_t address[4];
        if (host.empty() || QxPlatformNetResolveIPv4(host.c_str(), address) != kStatusOK) {
            problem = "RootPath names the server \"" + host + "\", which has no IPv4 address";
            return;
        }
        image->rootIndirect = (url ? "http://" : "nfs:") + Dotted(address) + rest;
        if (image->type == NetBootFolderType::NFS && url) image->notes.clear();
        return;
    }
    if (image->rootPath.find("://") != std::string::npos) {
        problem = "RootPath \"" + image->rootPath + "\" is a kind of URL that is not served";
        return;
    }
    if (!PlainRelative(image->rootPath)) {
        problem = "RootPath \"" + image->rootPath + "\" is not a file inside the folder";
        return;
    }
    fs::path rootFile = base / image->rootPath;
    fs::path resolved;
    if (!fs::exists(rootFile, error)) {
        problem = "RootPath: " + Missing(rootFile.parent_path(), rootFile.filename().string());
        return;
    }
    resolved = fs::canonical(rootFile, error);
    if (error || !fs::is_regular_file(resolved, error)) {
        problem = "RootPath \"" + image->rootPath + "\" is not a file";
        return;
    }
    // Followed to its target (a link to a .sparseimage, say), which may lie
    // anywhere: the admin put the link there.
    image->rootFile = resolved.string();
}

bool NetBootFolderMaySee(const NetBootFolderImage& image, const NetBootClientFacts& client) {
    bool architecture = false;
    for (const std::string& a : image.architectures) architecture = architecture || a == client.architecture;
    if (!architecture) return false;
    if (!image.models.empty()) {
        bool model = false;
        for (const std::string& m : image.models) model = model || m == client.model;
        if (!model) return false;
    }
    for (const NetBootHardwareAddress& address : image.denied) {
        if (client.hasHardware && address == client.hardware) return false;
    }
    if (!image.allowed.empty()) {
        if (!client.hasHardware) return false;
        bool allowed = false;
        for (const NetBootHardwareAddress& address : image.allowed) {
            allowed = allowed || address == client.hardware;
        }
        if (!allowed) return false;
    }
    return true;
}

bool NetBootFolderListSees(const NetBootFolderImage& image, const NetBootClientFacts& client) {
    if (!NetBootFolderMaySee(image, client)) return false;
    if (client.filter == nullptr) return !image.filterOnly;
    for (size_t i = 0; i + 1 < client.filterLength; i += 2) {
        uint16_t value = static_cast<uint16_t>(client.filter[i] << 8 | client.filter[i + 1]);
        if (value == image.Attributes()) return true;
    }
    return false;
}

int NetBootDefaultRank(bool isDefault, bool hasModelList) {
    if (!isDefault) return 2;
    return hasModelList ? 1 : 0;
}

std::string NetBootPercentEncode(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (isalnum(c) != 0 && c < 0x80) {
            out += static_cast<char>(c);
        } else if (c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool NetBootPercentDecode(const std::string& text, std::string* decoded) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) {
            return false;
        }
        out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
    }
    *decoded = out;
    return true;
}

std::string NetBootFolderTftpPrefix(const NetBootFolderImage& image) {
    char prefix[16];
    snprintf(prefix, sizeof prefix, "nbi%08X", image.ID());
    return prefix;
}

std::string NetBootFolderBootFileName(const NetBootFolderImage& image,
                                      const std::string& architecture) {
    for (const std::string& a : image.architectures) {
        if (a == architecture) {
            return NetBootFolderTftpPrefix(image) + "/" + architecture + "/" + image.bootFile;
        }
    }
    return {};
}

std::string NetBootFolderRootURLPath(const NetBootFolderImage& image) {
    // Appended one by one: GCC 12 at -O3 takes "/" + a temporary for an
    // overlapping copy (-Wrestrict) and fails the Release build.
    std::string path = "/";
    path += image.httpName.empty() ? NetBootFolderTftpPrefix(image) : image.httpName;
    path += "/";
    path += image.folder;
    path += "/";
    path += image.rootPath;
    return path;
}

std::string NetBootFolderRootPath(const NetBootFolderImage& image, const char* serverAddress,
                                  uint16_t httpPort) {
    if (image.type == NetBootFolderType::BootFileOnly) return {};
    if (!image.rootIndirect.empty()) return image.rootIndirect;
    std::string address =
        image.hasLoadBalanceServer ? Dotted(image.loadBalanceServer) : std::string(serverAddress);
    return "http://" + address + ":" + std::to_string(httpPort) +
           NetBootPercentEncode(NetBootFolderRootURLPath(image));
}

QxStatus NetBootFolderResolveFile(const NetBootFolderImage& image, const char* name,
                                  std::string* hostPath) {
    if (name == nullptr || hostPath == nullptr) return kStatusNotFound;
    std::string prefix = NetBootFolderTftpPrefix(image) + "/";
    std::string text = name;
    if (text.compare(0, prefix.size(), prefix) != 0) return kStatusNotFound;
    text.erase(0, prefix.size());
    size_t slash = text.find('/');
    if (slash == std::string::npos) return kStatusNotFound;
    std::string architecture = text.substr(0, slash);
    std::string rest = text.substr(slash + 1);
    bool served = false;
    for (const std::string& a : image.architectures) served = served || a == architecture;
    if (!served || !PlainRelative(rest)) return kStatusNotFound;
    fs::path archFolder = fs::path(image.path) / architecture;
    fs::path resolved;
    std::error_code error;
    if (!RealPathInside(archFolder, archFolder / rest, &resolved) ||
        !fs::is_regular_file(resolved, error)) {
        return kStatusNotFound;
    }
    *hostPath = resolved.string();
    return kStatusOK;
}
