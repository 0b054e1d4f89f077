// Folder images: a boot image kept as the folder labs copy from server to
// server ("NAME.nbi": a description, the booter and kernel files per
// architecture, a root image), read as it is.
//
//   NAME.nbi/NBImageInfo.plist     the description, XML or binary
//   NAME.nbi/<arch>/<BootFile>     the booter, per entry of Architectures
//   NAME.nbi/<arch>/...            what the booter fetches next over TFTP
//   NAME.nbi/<RootPath>            the root image, served over HTTP as it is
//
// Description keys and what is made of them (an image that breaks a rule is
// left out, with the reason in `problem`; nothing else is affected):
//
//   key                         type      absent or invalid
//   Name                        string    required, non-empty
//   Index                       integer   required, 1..65535 (a string: out)
//   Type                        string    required: HTTP, NFS, BootFileOnly
//                                         (Classic: obsolete, out)
//   Kind                        integer   0..127; else 1 for HTTP and NFS,
//                                         BootFileOnly is out
//   IsInstall, IsDefault        boolean   false
//   IsEnabled                   boolean   only a boolean false leaves it out
//   BootFile                    string    required; must exist in every
//                                         architecture's folder
//   Architectures               strings   ["ppc"]; empty: out
//   RootPath                    string    required for HTTP and NFS: a file
//                                         in the folder (links followed), a
//                                         "host:/export[:path]" or an
//                                         http:// URL on another server
//   EnabledSystemIdentifiers    strings   models allowed; empty: all
//   EnabledMACAddresses         strings   addresses allowed; empty: all; an
//                                         entry that does not parse: out
//   DisabledMACAddresses        strings   addresses refused, before the
//                                         allow list; same parsing
//   FilterOnly                  boolean   false; true by default for Kind 3
//   LoadBalanceServer           string    the server put in siaddr and the
//                                         root path instead of this one
// DisabledSystemIdentifiers is not read: imaging tools fill it with the
// very models the image supports. Other keys are ignored.
//
// The image ID is IsInstall << 31 | Kind << 24 | Index.
//
// Which client sees an image, in this order: its architecture is listed;
// the model is allowed (exact, case counts); the hardware address is not
// refused; it is allowed (addresses compare as six bytes); and, for a LIST
// only, the attributes filter (option 11) lists the image's attributes, or
// without a filter the image is not FilterOnly.
//
// Not here: watching the library folder, IDs shared between images, the
// BSDP packets. Host file access goes through std::filesystem.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QxLObject.h"
#include "QxLStatus.h"

inline constexpr char kNetBootFolderSuffix[] = ".nbi";
inline constexpr char kNetBootFolderDescription[] = "NBImageInfo.plist";
// Longest description read (a real one is a few KiB).
inline constexpr uint64_t kNetBootFolderDescriptionLimit = 1 << 20;

enum class NetBootFolderType { HTTP, NFS, BootFileOnly };

using NetBootHardwareAddress = std::array<uint8_t, 6>;

struct NetBootFolderImage {
    std::string folder;   // the folder's name in the library ("Lab.nbi")
    std::string path;     // the folder's host path
    std::string name;
    uint16_t index = 0;
    uint8_t kind = 1;
    bool isInstall = false;
    bool isEnabled = true;
    bool isDefault = false;
    NetBootFolderType type = NetBootFolderType::HTTP;
    std::string bootFile;
    std::vector<std::string> architectures;
    std::string rootPath;           // as written
    std::string rootFile;           // a local root image: its host path
    std::string rootIndirect;       // another server's: the root path to pass on
    std::vector<std::string> models;
    std::vector<NetBootHardwareAddress> allowed;
    std::vector<NetBootHardwareAddress> denied;
    bool filterOnly = false;
    bool hasLoadBalanceServer = false;
    uint8_t loadBalanceServer[4] = {0, 0, 0, 0};
    std::string httpName;             // the root image's name on the HTTP
                                      // service; empty: the TFTP prefix
    std::string problem;              // set: left out, and why
    std::vector<std::string> notes;   // lines for the log (offered anyway)

    uint32_t ID() const;
    // The 16 attribute bits of the ID (what an attributes filter lists).
    uint16_t Attributes() const { return static_cast<uint16_t>(ID() >> 16); }
};

// What the client told about itself in a LIST or SELECT.
struct NetBootClientFacts {
    std::string architecture;   // vendor class, second field ("i386")
    std::string model;          // vendor class, third field
    NetBootHardwareAddress hardware{};
    bool hasHardware = false;   // chaddr held six bytes
    const uint8_t* filter = nullptr;  // option 11, 2-byte values; null: none
    size_t filterLength = 0;
};

// "0:1c:b3:9:85:15" or "00-1C-..." into six bytes: six groups of one or two
// hex digits separated by ":" or "-". False for anything else.
bool NetBootParseHardwareAddress(const std::string& text, NetBootHardwareAddress* address);

// Fills image (folder and path set by the caller) from a description
// object: every key as the table says; problem set when it is left out.
// Looks at no file.
void NetBootFolderDescribe(QxLObjectRef description, NetBootFolderImage* image);

// Reads the folder at path, named folder in the library: the description
// (XML or binary), then the files it names: BootFile in every architecture's
// folder, the root image (links followed). Names that differ only in case
// from what the description says are named in the problem. A
// LoadBalanceServer or indirect root path host is resolved to its numeric
// address here (the system may be asked). Never fails otherwise: problem
// says why the image is left out.
void NetBootFolderLoad(const std::string& path, const std::string& folder,
                       NetBootFolderImage* image);

// Steps 1 to 4 of the visibility test (what a SELECT is judged by).
bool NetBootFolderMaySee(const NetBootFolderImage& image, const NetBootClientFacts& client);
// All five steps (what a LIST shows).
bool NetBootFolderListSees(const NetBootFolderImage& image, const NetBootClientFacts& client);

// Where an image stands in the choice of a default: 0 a default without a
// model list, 1 a default with one, 2 the rest (lower first).
int NetBootDefaultRank(bool isDefault, bool hasModelList);

// Every byte outside A-Z a-z 0-9 - . _ ~ and "/" as %XX (upper case).
std::string NetBootPercentEncode(const std::string& path);
// "%XX" decoded; false for a "%" not followed by two hex digits.
bool NetBootPercentDecode(const std::string& text, std::string* decoded);

// The TFTP name prefix of the image: "nbi<ID in 8 hex digits>".
std::string NetBootFolderTftpPrefix(const NetBootFolderImage& image);
// The boot file's TFTP name for a client of architecture: prefix/arch/BootFile;
// empty when the image does not serve that architecture.
std::string NetBootFolderBootFileName(const NetBootFolderImage& image,
                                      const std::string& architecture);
// The HTTP path of the root image, not encoded:
// "/<httpName or prefix>/<folder>/<RootPath>".
std::string NetBootFolderRootURLPath(const NetBootFolderImage& image);
// The root path a SELECT carries: empty for BootFileOnly; another server's
// root path as resolved; else http://ADDRESS:PORT/ and the encoded URL path,
// ADDRESS being LoadBalanceServer or serverAddress (dotted IPv4).
std::string NetBootFolderRootPath(const NetBootFolderImage& image, const char* serverAddress,
                                  uint16_t httpPort);

// The host file a TFTP name gives: "<prefix>/<arch>/<rest>" with arch one of
// the image's architectures and rest a relative name inside
// NAME.nbi/<arch>/ (no "..", not absolute, no backslash, no empty part),
// whose real path (links resolved) lies inside that folder's real path.
// kStatusNotFound for any other name.
QxStatus NetBootFolderResolveFile(const NetBootFolderImage& image, const char* name,
                                  std::string* hostPath);
