// library.conf as an administrator writes it, mistakes included: each
// mistake names its line and leaves only its own image out.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ServeLibrary.h"

using tamsorserve::LibraryParseConf;
using tamsorserve::LibrarySettings;

TEST(ServeLibraryTest, EachMistakeNamesItsLineAndStaysInItsSection) {
    std::vector<std::string> problems;
    std::map<std::string, LibrarySettings> sections = LibraryParseConf(
        "# lab discs\n"
        "stray = 1\n"                                      // 2: before any section
        "[Install, lab.dmg]   # the default\n"
        "name = Install # of the lab\n"
        "default = yes\n"
        "models = Talvyn5,1   Talvyn6,2\n"
        "hardware = 02:00:00:11:AA:44 02:00:00:11:aa:45\n"
        "\n"
        "[diags.img]\n"
        "kind = diagnostics\n"
        "enabled = no\n"
        "[bad kind.img]\n"
        "kind = server\n"                                  // 13
        "default = perhaps\n"                              // 14: the first stays
        "[bad address.img]\n"
        "hardware = 02:00:00:11:aa\n"                      // 16
        "[bad key.img]\n"
        "colour = red\n"                                   // 18
        "[]\n",                                            // 19
        &problems);

    ASSERT_EQ(sections.size(), 5u);
    const LibrarySettings& install = sections["Install, lab.dmg"];
    EXPECT_EQ(install.problem, "");
    EXPECT_EQ(install.name, "Install");
    EXPECT_TRUE(install.isDefault);
    EXPECT_TRUE(install.enabled);
    EXPECT_FALSE(install.diagnostics);
    EXPECT_EQ(install.models, "Talvyn5,1 Talvyn6,2");
    EXPECT_EQ(install.hardware, "02:00:00:11:aa:44 02:00:00:11:aa:45");

    const LibrarySettings& diags = sections["diags.img"];
    EXPECT_EQ(diags.problem, "");
    EXPECT_TRUE(diags.diagnostics);
    EXPECT_FALSE(diags.enabled);

    EXPECT_EQ(sections["bad kind.img"].problem,
              "library.conf:13: kind is install or diagnostics, not \"server\"");
    EXPECT_EQ(sections["bad address.img"].problem,
              "library.conf:16: \"02:00:00:11:aa\" is not a hardware address like "
              "02:00:00:11:aa:44");
    EXPECT_EQ(sections["bad key.img"].problem, "library.conf:18: unknown setting \"colour\"");
    EXPECT_EQ(problems, (std::vector<std::string>{
                            "library.conf:2: a setting before the first [file name]",
                            "library.conf:19: a section is \"[file name]\""}));
}
