// The installer helper's portable parts: the command line as the helper
// cuts and reads it, the pipe framing and names, the cabinet file table's
// slots, and (outside Windows, where the wine scenarios do it) unpacking a
// fixture cabinet with a helper built around it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SetupAdmin.h"
#include "SetupArguments.h"
#include "SetupCabinet.h"
#include "SetupMessages.h"
#include "SetupPlatform.h"

#if !defined(_WIN32)
// A ten-byte "CABINET" resource for the file table's resource slots, laid
// out as the build lays out the real ones.
__asm__(".section .rodata\n.global zul_resource_CABINET\nzul_resource_CABINET:\n.ascii \"0123456789\"\n"
        ".global zul_resource_CABINET_end\nzul_resource_CABINET_end:\n.previous");
#endif

using namespace setupadmin;

namespace {

std::vector<std::string> Split(const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    std::vector<std::string> out;
    for (char* argument : SplitCommandLine(copy.data())) out.emplace_back(argument);
    return out;
}

std::vector<std::string> Processed(const std::string& text, SetupState& state) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    std::vector<char*> arguments = SplitCommandLine(copy.data());
    ProcessOptions(arguments, state);
    return std::vector<std::string>(arguments.begin(), arguments.end());
}

}  // namespace

TEST(SetupAdminCommandLine, SplitsKeepingQuotesAndProcessesOptionsLeftToRight) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Split("  \"C:\\Program Files\\x.exe\"  /pid\t12 a\"b c\"d \"q\"x rest "),
              (V{"\"C:\\Program Files\\x.exe\"", "/pid", "12", "a\"b c\"d", "\"q\"", "rest"}));
    EXPECT_EQ(Split("\"open quote runs on"), (V{"\"open quote runs on"}));
    EXPECT_TRUE(Split(" \t ").empty());

    SetupState state;
    V left = Processed("prog -PID 42 /Evt Ready A=1 /alt \"C:\\a b.msi\" /unknown /evt", state);
    EXPECT_EQ(left, (V{"prog", "A=1", "/unknown"}));
    EXPECT_EQ(state.parentPid, 42u);
    EXPECT_EQ(state.eventName, "Ready");
    ASSERT_EQ(state.extractedFiles.size(), 1u);
    EXPECT_EQ(state.extractedFiles[0], "C:\\a b.msi");
    EXPECT_FALSE(state.extractOnly);

    // /extract ends the options; its folder loses its quotes and gains "\".
    const std::string sep(1, PlatformPathSeparator());
    SetupState extract;
    left = Processed("prog /extract \"out dir\" /pid 7", extract);
    EXPECT_TRUE(extract.extractOnly);
    EXPECT_EQ(extract.extractFolder, "out dir" + sep);
    EXPECT_EQ(extract.parentPid, 0u);
    EXPECT_EQ(left, (V{"prog", "/pid", "7"}));
    SetupState alone;
    Processed("prog -EXTRACT", alone);
    EXPECT_EQ(alone.extractFolder, "." + sep);

    // /mon with unusable handles stays, values and all; one value is not enough.
    SetupState monitor;
    left = Processed("prog /mon 0 0 /mon 5", monitor);
    EXPECT_EQ(left, (V{"prog", "/mon", "0", "0", "/mon", "5"}));
    EXPECT_EQ(monitor.readPipe, kNoHandle);

    std::vector<char> text = {'p', 0, 'a', 0, 0, 'b', 0};
    std::vector<char*> arguments = {&text[0], &text[2], &text[4], &text[5]};
    EXPECT_EQ(JoinArguments("\"m\" /i \"p\"", arguments, 2000), "\"m\" /i \"p\" a b");
    EXPECT_EQ(JoinArguments("", arguments, 2000), "a b");
    EXPECT_EQ(JoinArguments("", arguments, 1), "a");
}

TEST(SetupAdminMessages, FramesMessagesAndNamesKindsAndErrors) {
    std::vector<uint8_t> withText = EncodePipeMessage(0x0B000030u, "hi");
    EXPECT_EQ(withText, (std::vector<uint8_t>{0x30, 0, 0, 0x0B, 'h', 'i', 0}));
    EXPECT_EQ(EncodePipeMessage(0x0C000000u, nullptr).size(), 4u);
    uint32_t type = 0;
    bool hasText = true;
    std::string text;
    ASSERT_TRUE(DecodePipeMessage(EncodePipeMessage(0x0C000000u, nullptr), type, hasText, text));
    EXPECT_EQ(type, 0x0C000000u);
    EXPECT_FALSE(hasText);
    EXPECT_FALSE(DecodePipeMessage({1, 2, 3}, type, hasText, text));
    uint8_t reply[4];
    EncodeReply(-2, reply);
    EXPECT_EQ(DecodeReply(reply), -2);

    EXPECT_STREQ(MessageKindName(0x00000000u), "INSTALLMESSAGE_FATALEXIT");
    EXPECT_STREQ(MessageKindName(0x03000000u | 0x24 | 0x100), "INSTALLMESSAGE_USER");
    EXPECT_STREQ(MessageKindName(0x0E000000u), "INSTALLMESSAGE_SHOWDIALOG");
    EXPECT_STREQ(MessageKindName(0x0F000000u), "Unknown Message");
    EXPECT_STREQ(MessageKindName(0x0A000008u), "Unknown Message");
    EXPECT_STREQ(CabinetErrorName(0), "No error");
    EXPECT_STREQ(CabinetErrorName(10), "Cabinet returned on fdintNEXT_CABINET is incorrect");
    EXPECT_STREQ(CabinetErrorName(11), "User aborted");
    EXPECT_STREQ(CabinetErrorName(12), "Unknown error");
    EXPECT_STREQ(CabinetErrorName(-1), "Unknown error");
}

TEST(SetupAdminCabinet, FileTableSlotsWrapAndReuseTheClosedOne) {
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "zul-slots";
    std::filesystem::create_directories(folder);
    std::string file = (folder / "data.bin").string();
    std::ofstream(file, std::ios::binary) << "abcdefghij";

    CabinetFileTable table(PlatformModulePath());
    int flags = 0, mode = 0;
    PlatformReadFlags(flags, mode);
    std::vector<intptr_t> handles;
    for (int i = 0; i < kCabinetSlots; ++i) handles.push_back(table.Open(file.c_str(), flags, mode));
    EXPECT_EQ(handles.front(), 0);
    EXPECT_EQ(handles.back(), 255);
    EXPECT_EQ(table.nextSlot(), 0);
    EXPECT_EQ(table.Open(file.c_str(), flags, mode), -1);  // full
    EXPECT_EQ(table.Close(7), 0);
    EXPECT_EQ(table.nextSlot(), 7);
    EXPECT_EQ(table.Open(file.c_str(), flags, mode), 7);
    EXPECT_EQ(table.nextSlot(), 8);
    char bytes[4] = {};
    EXPECT_EQ(table.Read(7, bytes, 3), 3);
    EXPECT_EQ(std::string(bytes), "abc");
    EXPECT_EQ(table.Read(256, bytes, 1), -1);
    EXPECT_EQ(table.Read(-1, bytes, 1), -1);
    table.Clear();
    EXPECT_FALSE(table.IsOpen(7));
    EXPECT_EQ(table.Read(7, bytes, 1), -1);
    EXPECT_EQ(table.Open("/no/such/file", flags, mode), -1);

#if !defined(_WIN32)
    // This program's own path reads the "CABINET" resource.
    intptr_t resource = table.Open(PlatformModulePath().c_str(), flags, mode);
    ASSERT_GE(resource, 0);
    EXPECT_EQ(table.Read(resource, bytes, 4), 4);
    EXPECT_EQ(std::string(bytes, 4), "0123");
    EXPECT_EQ(table.Seek(resource, -3, 2), 7);  // from the end, as lseek does
    EXPECT_EQ(table.Read(resource, bytes, 4), 3);
    EXPECT_EQ(std::string(bytes, 3), "789");
    EXPECT_EQ(table.Seek(resource, 100, 0), 10);
    EXPECT_EQ(table.Seek(resource, -100, 1), 0);
    EXPECT_EQ(table.Write(resource, "xyz", 3), 3);  // discarded
    EXPECT_EQ(table.Read(resource, bytes, 2), 2);
    EXPECT_EQ(std::string(bytes, 2), "01");
    EXPECT_EQ(table.Close(resource), 0);
#endif
    std::filesystem::remove_all(folder);
}

#if !defined(_WIN32)
TEST(SetupAdminCabinet, ExtractOnlyUnpacksTheFixtureCabinetThroughLibmspack) {
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "zul-extract-native";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "out");
    std::string command = std::string("cd '") + folder.string() + "' && '" + ZUL_PORTABLE_HELPER +
                          "' /extract out >/dev/null 2>&1 && '" + ZUL_PORTABLE_HELPER + "' -Extract";
    ASSERT_EQ(std::system(command.c_str()), 0);
    struct Fixture {
        const char* name;
        off_t size;
        int year, month, day, hour, minute, second;
        bool readOnly;
    };
    const Fixture fixtures[] = {{"readonly.txt", 37, 2001, 2, 3, 4, 5, 6, true},
                                {"hidden.bin", 4096, 2010, 7, 14, 12, 30, 0, false},
                                {"system.dat", 70001, 1999, 12, 31, 23, 59, 58, false},
                                {"plain.txt", 1, 2024, 6, 1, 8, 0, 0, false}};
    for (const char* where : {"out/", ""}) {
        EXPECT_TRUE(std::filesystem::exists(folder / (std::string(where) + "first.msi")));
        for (const Fixture& f : fixtures) {
            std::string path = (folder / (std::string(where) + f.name)).string();
            struct stat info = {};
            ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
            EXPECT_EQ(info.st_size, f.size) << path;
            EXPECT_EQ((info.st_mode & 0200) == 0, f.readOnly) << path;
            std::tm local = *std::localtime(&info.st_mtime);
            EXPECT_EQ(local.tm_year + 1900, f.year) << path;
            EXPECT_EQ(local.tm_mon + 1, f.month) << path;
            EXPECT_EQ(local.tm_mday, f.day) << path;
            EXPECT_EQ(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec,
                      f.hour * 3600 + f.minute * 60 + f.second)
                << path;
            std::ifstream in(path, std::ios::binary);
            std::string first;
            std::getline(in, first);
            std::string expected = (std::string(f.name) + "@00000000").substr(0, f.size);
            EXPECT_EQ(first.substr(0, expected.size()), expected) << path;
        }
    }
    std::filesystem::permissions(folder, std::filesystem::perms::all);
    std::filesystem::remove_all(folder);
}
#endif
