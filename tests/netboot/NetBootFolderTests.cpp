// Folder images: the description's keys and defaults, what leaves an image
// out, who sees it, the names it is served by (TFTP confined to its tree),
// its root path, and the client records that survive a restart.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "NetBootClients.h"
#include "NetBootFolder.h"
#include "QxLData.h"
#include "QxLPropertyList.h"

namespace {

namespace fs = std::filesystem;

class Folder : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937_64 random(std::random_device{}() ^
                               std::chrono::steady_clock::now().time_since_epoch().count());
        root_ = fs::temp_directory_path() / ("tamsor-nbi-" + std::to_string(random()));
        fs::create_directories(root_);
        std::ofstream(root_ / "case") << "";
        caseSensitive_ = !fs::exists(root_ / "CASE");
    }
    void TearDown() override {
        std::error_code error;
        fs::remove_all(root_, error);
    }

    static void Write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    // An image folder with an XML description made of the given body.
    fs::path MakeImage(const std::string& folder, const std::string& dictBody) {
        fs::path path = root_ / folder;
        Write(path / "NBImageInfo.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + dictBody + "</dict></plist>");
        Write(path / "i386" / "booter", "BOOTER");
        Write(path / "i386" / "x86_64" / "kernelcache", "KERNEL");
        Write(path / "Root.dmg", "ROOT");
        return path;
    }
    NetBootFolderImage Load(const std::string& folder) {
        NetBootFolderImage image;
        NetBootFolderLoad((root_ / folder).string(), folder, &image);
        return image;
    }

    // A symbolic link; false where the system makes none (Windows without
    // the privilege, wine).
    static bool Link(const fs::path& target, const fs::path& link, bool folder = false) {
        std::error_code error;
        if (folder) {
            fs::create_directory_symlink(target, link, error);
        } else {
            fs::create_symlink(target, link, error);
        }
        return !error;
    }

    fs::path root_;
    bool caseSensitive_ = true;  // names differing in case are other files
};

const char kGood[] =
    "<key>Name</key><string>Lab</string><key>Index</key><integer>4100</integer>"
    "<key>Type</key><string>HTTP</string><key>BootFile</key><string>booter</string>"
    "<key>Architectures</key><array><string>i386</string></array>"
    "<key>RootPath</key><string>Root.dmg</string>";

NetBootClientFacts Client(const char* architecture, const char* model, const char* hardware) {
    NetBootClientFacts client;
    client.architecture = architecture;
    client.model = model;
    client.hasHardware = NetBootParseHardwareAddress(hardware, &client.hardware);
    return client;
}

}  // namespace

// Keys as the table gives them: defaults, and each thing that leaves an
// image out with a reason that names it.
TEST_F(Folder, KeysDefaultsAndReasons) {
    NetBootFolderImage good = Load(MakeImage("Good.nbi", kGood).filename().string());
    ASSERT_EQ(good.problem, "");
    EXPECT_EQ(good.ID(), 0x01001004u);  // Kind 1 by default, not install
    EXPECT_FALSE(good.filterOnly);
    EXPECT_TRUE(good.isEnabled);

    std::string base = std::string(kGood);
    auto without = [&](const std::string& key) {
        std::string body = base;
        size_t at = body.find("<key>" + key + "</key>");
        size_t end = body.find("<key>", at + 1);
        return body.erase(at, end == std::string::npos ? std::string::npos : end - at);
    };
    auto replaced = [&](const std::string& key, const std::string& value) {
        return without(key) + "<key>" + key + "</key>" + value;
    };
    const std::pair<std::string, std::string> leftOut[] = {
        {without("Name"), "Name is missing or empty"},
        {replaced("Index", "<string>4100</string>"), "Index is the text \"4100\", not a number"},
        {replaced("Index", "<integer>0</integer>"), "Index must be 1 to 65535"},
        {replaced("Index", "<integer>65536</integer>"), "Index must be 1 to 65535"},
        {replaced("Type", "<string>Classic</string>"), "Type Classic is an obsolete kind of image"},
        {replaced("Type", "<string>http</string>"), "Type \"http\" is none of HTTP, NFS, BootFileOnly"},
        {replaced("Type", "<string>BootFileOnly</string>"),
         "a BootFileOnly image needs a Kind of 0 to 127"},
        {base + "<key>IsEnabled</key><false/>", "IsEnabled is false"},
        {replaced("Architectures", "<array/>"), "Architectures is empty"},
        {without("RootPath"), "RootPath is missing"},
        {replaced("BootFile", "<string>nope</string>"), "BootFile in i386/: \"nope\" does not exist"},
        {replaced("BootFile", "<string>BOOTER</string>"),
         caseSensitive_ ? "BootFile in i386/: there is \"booter\" but not \"BOOTER\" (names must "
                          "match in case)"
                        : ""},
        {replaced("BootFile", "<string>../Root.dmg</string>"),
         "BootFile \"../Root.dmg\" is not a file name inside the folder"},
        {replaced("RootPath", "<string>Other.dmg</string>"), "RootPath: \"Other.dmg\" does not exist"},
        {base + "<key>EnabledMACAddresses</key><array><string>00:1c:zz:00:00:01</string></array>",
         "EnabledMACAddresses holds \"00:1c:zz:00:00:01\", which is not a hardware address"},
        {replaced("Architectures", "<array><string>ppc</string></array>"),
         "no folder for ppc: \"ppc\" does not exist"},
    };
    int n = 0;
    for (const auto& [body, reason] : leftOut) {
        std::string folder = "Case" + std::to_string(n++) + ".nbi";
        MakeImage(folder, body);
        EXPECT_EQ(Load(folder).problem, reason) << body;
    }

    // Absent Architectures means legacy clients only.
    MakeImage("Legacy.nbi", without("Architectures"));
    EXPECT_EQ(Load("Legacy.nbi").problem, "no folder for ppc: \"ppc\" does not exist");
    // A string IsEnabled is not false; Kind 3 is filter-only unless it says not.
    MakeImage("Diag.nbi", replaced("Type", "<string>BootFileOnly</string>") +
                              "<key>Kind</key><integer>3</integer><key>IsInstall</key><true/>"
                              "<key>IsEnabled</key><string>no</string>");
    NetBootFolderImage diag = Load("Diag.nbi");
    EXPECT_EQ(diag.problem, "");
    EXPECT_EQ(diag.ID(), 0x83001004u);
    EXPECT_TRUE(diag.filterOnly);
    EXPECT_EQ(NetBootFolderRootPath(diag, "10.0.0.1", 80), "");

    // Folder and description names must match in case too.
    MakeImage("Upper.NBI", kGood);
    EXPECT_EQ(Load("Upper.NBI").problem, "an image folder's name ends in \".nbi\"");
    fs::path lower = MakeImage("Lower.nbi", kGood);
    fs::rename(lower / "NBImageInfo.plist", lower / "nbimageinfo.plist");
    EXPECT_EQ(Load("Lower.nbi").problem,
              caseSensitive_ ? "no description: there is \"nbimageinfo.plist\" but not "
                               "\"NBImageInfo.plist\" (names must match in case)"
                             : "");
    Write(root_ / "Junk.nbi" / "NBImageInfo.plist", "bplist00garbage");
    EXPECT_EQ(Load("Junk.nbi").problem, "NBImageInfo.plist is not a property list (kStatusMalformed)");
}

// A binary description, as the platform's tools write it, gives the same
// image as the XML one.
TEST_F(Folder, BinaryDescriptionReadsLikeXML) {
    const std::string python = TAMSOR_PYTHON3;
    if (python.empty() || !fs::exists(python) ||
        std::system(("\"" + python + "\" -c \"import plistlib\"").c_str()) != 0) {
        GTEST_SKIP() << "python3 is not available";
    }
    MakeImage("Bin.nbi", kGood);
    std::string command = "\"" + python +
                          "\" -c \"import plistlib,sys; p=sys.argv[1]; d=plistlib.load(open(p,'rb')); "
                          "d['EnabledSystemIdentifiers']=['Talvyn5,1']; "
                          "plistlib.dump(d, open(p,'wb'), fmt=plistlib.FMT_BINARY)\" \"" +
                          (root_ / "Bin.nbi" / "NBImageInfo.plist").string() + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    NetBootFolderImage image = Load("Bin.nbi");
    EXPECT_EQ(image.problem, "");
    EXPECT_EQ(image.name, "Lab");
    EXPECT_EQ(image.ID(), 0x01001004u);
    EXPECT_EQ(image.models, std::vector<std::string>{"Talvyn5,1"});
}

// The five steps: architecture, model, deny, allow (as bytes), then the
// filter for a LIST only. DisabledSystemIdentifiers hides nobody.
TEST_F(Folder, WhoSeesAnImage) {
    MakeImage("V.nbi", std::string(kGood) +
                           "<key>EnabledSystemIdentifiers</key><array><string>Talvyn5,1</string>"
                           "<string>Talvyn6,1</string></array>"
                           "<key>DisabledSystemIdentifiers</key><array><string>Talvyn5,1</string></array>"
                           "<key>EnabledMACAddresses</key><array><string>0:1c:b3:9:85:15</string>"
                           "<string>00:1C:B3:09:85:16</string></array>"
                           "<key>DisabledMACAddresses</key><array><string>00-1c-b3-09-85-16</string></array>");
    NetBootFolderImage image = Load("V.nbi");
    ASSERT_EQ(image.problem, "");
    EXPECT_TRUE(NetBootFolderListSees(image, Client("i386", "Talvyn5,1", "00:1c:b3:09:85:15")));
    EXPECT_FALSE(NetBootFolderMaySee(image, Client("ppc", "Talvyn5,1", "00:1c:b3:09:85:15")));
    EXPECT_FALSE(NetBootFolderMaySee(image, Client("i386", "talvyn5,1", "00:1c:b3:09:85:15")));
    EXPECT_FALSE(NetBootFolderMaySee(image, Client("i386", "Talvyn6,1", "00:1c:b3:09:85:16")));
    EXPECT_FALSE(NetBootFolderMaySee(image, Client("i386", "Talvyn6,1", "00:1c:b3:09:85:17")));

    // FilterOnly: listed only through a filter that names the attributes;
    // a SELECT is judged without it.
    NetBootFolderImage filtered = image;
    filtered.filterOnly = true;
    NetBootClientFacts client = Client("i386", "Talvyn6,1", "00:1c:b3:09:85:15");
    EXPECT_FALSE(NetBootFolderListSees(filtered, client));
    EXPECT_TRUE(NetBootFolderMaySee(filtered, client));
    const uint8_t filter[] = {0x81, 0x00, 0x01, 0x00};
    client.filter = filter;
    client.filterLength = sizeof filter;
    EXPECT_TRUE(NetBootFolderListSees(filtered, client));
    client.filterLength = 2;
    EXPECT_FALSE(NetBootFolderListSees(filtered, client));

    NetBootHardwareAddress address{};
    EXPECT_FALSE(NetBootParseHardwareAddress("0:1c:b3:9:85", &address));
    EXPECT_FALSE(NetBootParseHardwareAddress("0:1c:b3:9:85:15:", &address));
    EXPECT_FALSE(NetBootParseHardwareAddress("001:1c:b3:9:85:15", &address));
    EXPECT_EQ(NetBootDefaultRank(true, false), 0);
    EXPECT_EQ(NetBootDefaultRank(true, true), 1);
    EXPECT_EQ(NetBootDefaultRank(false, false), 2);
}

// TFTP reaches the whole architecture folder under the image's prefix and
// nothing outside it, whatever links lie inside.
TEST_F(Folder, TftpNamesStayInTheArchitectureFolder) {
    fs::path folder = MakeImage("T.nbi", kGood);
    Write(root_ / "secret", "SECRET");
    if (!Link(root_, folder / "i386" / "up", true) ||
        !Link(root_ / "secret", folder / "i386" / "leak") ||
        !Link(folder / "i386" / "x86_64" / "kernelcache", folder / "i386" / "kc")) {
        GTEST_SKIP() << "no symbolic links here";
    }
    NetBootFolderImage image = Load("T.nbi");
    ASSERT_EQ(image.problem, "");
    std::string prefix = NetBootFolderTftpPrefix(image);
    EXPECT_EQ(prefix, "nbi01001004");
    EXPECT_EQ(NetBootFolderBootFileName(image, "i386"), prefix + "/i386/booter");
    EXPECT_EQ(NetBootFolderBootFileName(image, "ppc"), "");

    std::string path;
    ASSERT_EQ(NetBootFolderResolveFile(image, (prefix + "/i386/x86_64/kernelcache").c_str(), &path),
              kStatusOK);
    EXPECT_EQ(fs::path(path), fs::canonical(folder / "i386" / "x86_64" / "kernelcache"));
    EXPECT_EQ(NetBootFolderResolveFile(image, (prefix + "/i386/kc").c_str(), &path), kStatusOK);
    for (const std::string& name :
         {prefix + "/i386/../Root.dmg", prefix + "/i386/x86_64/../../Root.dmg",
          prefix + "/i386//booter", prefix + "/i386/up/secret", prefix + "/i386/leak",
          prefix + "/i386/" + (root_ / "secret").string(), prefix + "/ppc/booter",
          prefix + "/i386", prefix + "/i386/x86_64", std::string("nbi01001005/i386/booter"),
          prefix + "/i386/.\\booter"}) {
        EXPECT_EQ(NetBootFolderResolveFile(image, name.c_str(), &path), kStatusNotFound) << name;
    }
}

// Root paths: this server's HTTP with every part encoded, a load balancer
// in its place, another server's path passed on with a numeric address.
TEST_F(Folder, RootPathForms) {
    fs::path folder = MakeImage("Caf\xC3\xA9 Lab 1.nbi", kGood);
    Write(folder / "Root Image.sparseimage", "SPARSE");
    fs::remove(folder / "Root.dmg");
    if (!Link("Root Image.sparseimage", folder / "Root.dmg")) GTEST_SKIP() << "no symbolic links here";
    NetBootFolderImage image = Load("Caf\xC3\xA9 Lab 1.nbi");
    ASSERT_EQ(image.problem, "");
    EXPECT_EQ(fs::path(image.rootFile).filename(), "Root Image.sparseimage");
    EXPECT_EQ(NetBootFolderRootPath(image, "10.0.0.1", 8080),
              "http://10.0.0.1:8080/nbi01001004/Caf%C3%A9%20Lab%201.nbi/Root.dmg");
    std::string decoded;
    ASSERT_TRUE(NetBootPercentDecode("/nbi01001004/Caf%C3%A9%20Lab%201.nbi/Root.dmg", &decoded));
    EXPECT_EQ(decoded, NetBootFolderRootURLPath(image));
    EXPECT_FALSE(NetBootPercentDecode("/a%2", &decoded));
    EXPECT_FALSE(NetBootPercentDecode("/a%zz", &decoded));

    std::string base = std::string(kGood);
    base.erase(base.find("<key>RootPath"));
    MakeImage("LB.nbi", base + "<key>RootPath</key><string>Root.dmg</string>"
                               "<key>LoadBalanceServer</key><string>127.0.0.9</string>");
    EXPECT_EQ(NetBootFolderRootPath(Load("LB.nbi"), "10.0.0.1", 80),
              "http://127.0.0.9:80/nbi01001004/LB.nbi/Root.dmg");
    MakeImage("Url.nbi", base + "<key>RootPath</key><string>http://localhost:81/x/R.dmg</string>");
    EXPECT_EQ(NetBootFolderRootPath(Load("Url.nbi"), "10.0.0.1", 80), "http://127.0.0.1:81/x/R.dmg");
    MakeImage("Nfs.nbi", base + "<key>RootPath</key><string>localhost:/exports/nb:Lab.dmg</string>");
    EXPECT_EQ(NetBootFolderRootPath(Load("Nfs.nbi"), "10.0.0.1", 80),
              "nfs:127.0.0.1:/exports/nb:Lab.dmg");
    MakeImage("NfsType.nbi", std::string(kGood).replace(std::string(kGood).find("HTTP"), 4, "NFS"));
    NetBootFolderImage nfs = Load("NfsType.nbi");
    EXPECT_EQ(nfs.problem, "");
    EXPECT_EQ(nfs.notes, std::vector<std::string>{"an NFS image, offered over HTTP"});
    EXPECT_EQ(NetBootFolderRootPath(nfs, "10.0.0.1", 80),
              "http://10.0.0.1:80/nbi01001004/NfsType.nbi/Root.dmg");
}

// Records: bounded with the oldest dropped first, priority falling with
// their number, and the file read back by the next run.
TEST_F(Folder, ClientRecordsSurviveARestart) {
    std::string path = (root_ / "clients").string();
    auto key = [](uint8_t last) { return NetBootClients::Key{2, 0, 0, 0, 0, last}; };
    {
        NetBootClients clients(path, 3);
        EXPECT_EQ(clients.Priority(), 32768);
        for (uint8_t i = 1; i <= 3; ++i) {
            NetBootClientRecord record{0x81001000u + i, "i386", "Talvyn5,1\tx", "10.0.0.7", 100 - i};
            ASSERT_EQ(clients.Record(key(i), record), kStatusOK);
        }
        EXPECT_EQ(clients.Priority(), 32765);
        // The fourth pushes out the one that booted longest ago (3, at 97).
        ASSERT_EQ(clients.Record(key(4), {0x81001004u, "i386", "M", "10.0.0.8", 200}), kStatusOK);
        EXPECT_EQ(clients.Find(key(3)), nullptr);
        ASSERT_EQ(clients.Forget(key(1)), kStatusOK);
        EXPECT_EQ(clients.Count(), 2u);
    }
    NetBootClients again(path, 3);
    EXPECT_EQ(again.Count(), 2u);
    ASSERT_NE(again.Find(key(2)), nullptr);
    EXPECT_EQ(again.Find(key(2))->imageID, 0x81001002u);
    EXPECT_EQ(again.Find(key(2))->model, "Talvyn5,1 x");
    EXPECT_EQ(again.Find(key(4))->lastBoot, 200);
    EXPECT_EQ(again.Priority(), 32766);
    // A smaller bound on the next run keeps the newest.
    NetBootClients smaller(path, 1);
    EXPECT_EQ(smaller.Count(), 1u);
    EXPECT_NE(smaller.Find(key(4)), nullptr);
}
