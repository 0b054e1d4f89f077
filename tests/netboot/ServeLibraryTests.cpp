// library.conf as an administrator writes it, mistakes included: each
// mistake names its line and leaves only its own image out, and a header
// that cannot be read leaves out every image it could name. The ID file
// read strictly, and written so that no file name can forge a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "ServeLibrary.h"

using tamsorserve::LibraryConfFindings;
using tamsorserve::LibraryFormatIds;
using tamsorserve::LibraryNameWritable;
using tamsorserve::LibraryParseConf;
using tamsorserve::LibraryParseIds;
using tamsorserve::LibrarySettings;

TEST(ServeLibraryTest, EachMistakeNamesItsLineAndStaysInItsSection) {
    LibraryConfFindings findings;
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
        &findings);

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
    EXPECT_EQ(findings.problems,
              (std::vector<std::string>{"library.conf:2: a setting before the first [file name]"}));
    ASSERT_EQ(findings.brokenHeaders.size(), 1u);
    EXPECT_EQ(findings.brokenHeaders[0].first, "") << "names nothing, so any image";
}

// A "#" in a file name used to cut its header, so its settings fell outside
// every section and the image was offered to everyone.
TEST(ServeLibraryTest, HeadersThatCannotNameTheirFileLeaveItOut) {
    LibraryConfFindings findings;
    std::map<std::string, LibrarySettings> sections = LibraryParseConf(
        "[install#2.iso]\n"
        "hardware = 02:00:00:11:aa:44\n"
        "[lab-\n"                                          // 3: no closing bracket
        "models = Talvyn5,1\n"
        "[ok.img] # fine\n"
        "name = OK\n",
        &findings);
    EXPECT_TRUE(findings.problems.empty());
    EXPECT_EQ(sections["install#2.iso"].problem,
              "library.conf:1: a section cannot name a file with \"#\" in it: rename the file, "
              "for example to install-2.iso");
    ASSERT_EQ(findings.brokenHeaders.size(), 1u);
    EXPECT_EQ(findings.brokenHeaders[0].first, "lab-");
    EXPECT_EQ(findings.brokenHeaders[0].second, "library.conf:3: a section is \"[file name]\"");
    EXPECT_EQ(sections["ok.img"].name, "OK");
    EXPECT_EQ(sections["ok.img"].problem, "");
    EXPECT_EQ(sections.size(), 2u) << "the broken header's lines belong to no image";

    std::string rename;
    EXPECT_TRUE(LibraryNameWritable("lab install.dmg", &rename));
    EXPECT_FALSE(LibraryNameWritable(" a\nb#c ", &rename));
    EXPECT_EQ(rename, "a_b-c");
}

TEST(ServeLibraryTest, IdFileIsReadStrictlyAndCannotBeForged) {
    // A name that holds a line break and a tab once made a line of its own.
    std::map<std::string, uint16_t> written = {{"a.img\n7\tb.img", 3},
                                               {"b.img", 7},
                                               {"back\\slash\x01.img", 9}};
    std::string text = LibraryFormatIds(written);
    std::vector<std::string> problems;
    EXPECT_EQ(LibraryParseIds(text, &problems), written);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;

    std::map<std::string, uint16_t> read = LibraryParseIds(
        "# comment\n"
        "1\tone.img\n"
        "1\tagain.img\n"      // 3: index twice
        "2\tone.img\n"        // 4: name twice
        "3x\tthree.img\n"     // 5: a number prefix
        "04\tfour.img\n"      // 6: not the number's own form
        "4096\tbig.img\n"     // 7: out of range
        "0\tzero.img\n"       // 8
        "five.img\n"          // 9: no tab
        "6\t\n"               // 10: no name
        "7\tbad\\q.img\n"    // 11: unknown escape
        "8\teight.img\r\n",  // a CRLF line ending is fine
        &problems);
    EXPECT_EQ(read, (std::map<std::string, uint16_t>{{"one.img", 1}, {"eight.img", 8}}));
    std::vector<std::string> lines;
    for (const std::string& problem : problems) lines.push_back(problem.substr(0, problem.find(':')));
    EXPECT_EQ(lines, (std::vector<std::string>{"3", "4", "5", "6", "7", "8", "9", "10", "11"}));

    // Each file's size and time after its name, and lines without them.
    tamsorserve::LibraryStamps stamps = {{"b.img", {4739072, -5}}, {"back\\slash\x01.img", {0, 7}}};
    text = LibraryFormatIds(written, &stamps);
    tamsorserve::LibraryStamps back;
    problems.clear();
    EXPECT_EQ(LibraryParseIds(text, &problems, &back), written);
    EXPECT_EQ(back, stamps);
    EXPECT_TRUE(problems.empty());
    back.clear();
    read = LibraryParseIds("1\ta.img\t10\t20\r\n"
                           "2\tb.img\t10\n"          // 2: no time
                           "3\tc.img\t1x\t2\n"      // 3: not a number
                           "4\td.img\t10\t20\t30\n"  // 4: one field too many
                           "5\te.img\t010\t2\n"     // 5: not the number's own form
                           "6\t\tf.img\n",          // 6: an empty name
                           &problems, &back);
    EXPECT_EQ(read, (std::map<std::string, uint16_t>{{"a.img", 1}}));
    EXPECT_EQ(back, (tamsorserve::LibraryStamps{{"a.img", {10, 20}}}));
    lines.clear();
    for (const std::string& problem : problems) lines.push_back(problem.substr(0, problem.find(':')));
    EXPECT_EQ(lines, (std::vector<std::string>{"2", "3", "4", "5", "6"}));
}
