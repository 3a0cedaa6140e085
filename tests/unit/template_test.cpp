#include "webreq/template.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "tests/unit/support.h"
#include "util/fileio.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::CurrentFolder;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::StdoutCapture;
using testsupport::TempFolder;
using testsupport::WriteFile;

class TemplateTest : public ::testing::Test {
   protected:
    void TearDown() override {
        ec_AwkClose();
        ec_SedArgFree(args);
    }
    // What ec_SedStr writes to a file descriptor, and what it says on standard output.
    std::string Fill(const std::string &text, std::string *said = nullptr, int *result = nullptr) {
        const std::string path = folder.Path("filled");
        const int fd = FileOpenMode(path.c_str(), "wb");
        StdoutCapture capture;
        const int filled = ec_SedStr(args, text.c_str(), fd);
        FileClose(fd);
        if (said) *said = capture.Text();
        if (result) *result = filled;
        return ReadFile(path);
    }
    TempFolder folder;
    CurrentFolder here{folder.Root()};
    ec_entry *args = nullptr;
    ScopedEnv addr{"REMOTE_ADDR", nullptr};
};

TEST_F(TemplateTest, FieldReaderSplitsLines) {
    WriteFile("fields.txt", "a,,b\r\n,x\n  \nlast");
    ASSERT_EQ(ec_AwkOpen("fields.txt", ','), 1);
    ec_awk_fields fields;
    ASSERT_EQ(ec_AwkNext(fields), 3);
    EXPECT_STREQ(fields[0], "a");
    EXPECT_STREQ(fields[1], "");
    EXPECT_STREQ(fields[2], "b");
    ASSERT_EQ(ec_AwkNext(fields), 2);
    EXPECT_STREQ(fields[0], "");
    EXPECT_STREQ(fields[1], "x");
    EXPECT_EQ(ec_AwkNext(fields), 1) << "a blank line is one empty field";
    EXPECT_EQ(ec_AwkNext(fields), 1);
    EXPECT_EQ(ec_AwkNext(fields), -1);
    EXPECT_EQ(ec_AwkNext(fields), -1);
    EXPECT_EQ(ec_AwkClose(), 1);
    EXPECT_EQ(ec_AwkClose(), 0);
    EXPECT_EQ(ec_AwkOpen("missing.txt", ','), 0);
}

TEST_F(TemplateTest, TooManyOrTooLongFieldsStayInTheirSlots) {
    std::string line(300, 'L');
    for (int i = 0; i < EC_AWK_FIELDS + 5; ++i) line += " f";
    WriteFile("wide.txt", line);
    ASSERT_EQ(ec_AwkOpen("wide.txt", ' '), 1);
    ec_awk_fields fields;
    EXPECT_EQ(ec_AwkNext(fields), EC_AWK_FIELDS);
    EXPECT_EQ(std::string(fields[0]), std::string(255, 'L'));
}

TEST_F(TemplateTest, CountersCreateIncreaseAndRead) {
    EXPECT_EQ(ec_CounterGet("hits"), 0);
    EXPECT_EQ(ec_CounterAdd("hits", 1), 1);
    EXPECT_EQ(ec_CounterAdd("hits", 1), 2);
    EXPECT_EQ(ec_CounterSet("hits", 10), 1);
    EXPECT_EQ(ec_CounterAdd("hits", -1), 9);
    EXPECT_EQ(ec_CounterGet("hits"), 9);
    WriteFile("text", "not a number");
    EXPECT_EQ(ec_CounterAdd("text", 3), 3);
    EXPECT_EQ(ec_CounterAdd("no-folder/hits", 1), 0);
}

TEST_F(TemplateTest, CountersHoldAtTheIntLimits) {
    ASSERT_EQ(ec_CounterSet("max", INT_MAX), 1);
    EXPECT_EQ(ec_CounterAdd("max", 1), INT_MAX);
    EXPECT_EQ(ec_CounterAdd("max", INT_MAX), INT_MAX);
    EXPECT_EQ(ec_CounterGet("max"), INT_MAX);
    EXPECT_EQ(ec_CounterAdd("max", -1), INT_MAX - 1) << "and count down again";
    ASSERT_EQ(ec_CounterSet("min", INT_MIN), 1);
    EXPECT_EQ(ec_CounterAdd("min", -1), INT_MIN);
    WriteFile("huge", "99999999999999999999999\n");
    EXPECT_EQ(ec_CounterGet("huge"), INT_MAX) << "a number beyond the range reads as its limit";
    EXPECT_EQ(ec_CounterAdd("huge", 1), INT_MAX);
    WriteFile("below", "-99999999999\n");
    EXPECT_EQ(ec_CounterGet("below"), INT_MIN);
    WriteFile("lead", "12abc");
    EXPECT_EQ(ec_CounterGet("lead"), 12);
}

TEST_F(TemplateTest, NamesInListOrderAndValuesAsTheyAre) {
    args = ec_SedArgAdd(args, "$a", "A");
    args = ec_SedArgAdd(args, "$ab", "AB");
    EXPECT_EQ(Fill("[$ab] [$a] $b"), "[Ab] [A] $b");
    ec_SedArgFree(args);
    args = nullptr;
    args = ec_SedArgAdd(args, "$ab", "%s", "$a");
    args = ec_SedArgAdd(args, "$a", "A");
    EXPECT_EQ(Fill("[$ab]"), "[$a]") << "values are not scanned again";
}

TEST_F(TemplateTest, IncludesAreFilledTooAndProblemsReported) {
    WriteFile("part.html", "<b>$name</b>");
    args = ec_SedArgAdd(args, "$name", "Ann");
    std::string said;
    EXPECT_EQ(Fill("x<!--#include file=\"part.html\"-->y", &said), "x<b>Ann</b>y");
    EXPECT_EQ(said, "");
    EXPECT_EQ(Fill("<!--#include file=\"none.html\"-->!", &said), "!");
    EXPECT_EQ(said,
              "[ec_SedStr: an error occurred while processing 'include' directive - "
              "file(none.html) open fail]");
    EXPECT_EQ(Fill("<!--#include file=\"part.html\" $name", &said),
              "!--#include file=\"part.html\" Ann");
    EXPECT_EQ(said,
              "[ec_SedStr: an error occurred while processing 'include' directive - "
              "ending tag not found]");
}

TEST_F(TemplateTest, SelfIncludeStopsAtTheNestingLimit) {
    WriteFile("self.html", "+<!--#include file=\"self.html\"-->");
    args = ec_SedArgAdd(args, "$unused", "x");
    std::string said;
    int result = 0;
    EXPECT_EQ(Fill("<!--#include file=\"self.html\"-->", &said, &result), std::string(16, '+'));
    EXPECT_EQ(result, 1);
    EXPECT_NE(said.find("nested too deep"), std::string::npos) << said;
    const std::string long_path(1024, 'p');
    Fill("<!--#include file=\"" + long_path + "\"-->", &said);
    EXPECT_NE(said.find("path too long"), std::string::npos) << said;
}

// Depth alone does not bound the work: a file that includes itself twice would expand 2^16
// times. One ec_SedStr call expands 256 includes at most.
TEST_F(TemplateTest, IncludesOfOneCallAreBoundedInTotal) {
    WriteFile("two.html", "++<!--#include file=\"two.html\"--><!--#include file=\"two.html\"-->");
    WriteFile("three.html",
              "+<!--#include file=\"three.html\"--><!--#include file=\"three.html\"-->"
              "<!--#include file=\"three.html\"-->");
    args = ec_SedArgAdd(args, "$unused", "x");
    std::string said;
    int result = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Fill("<!--#include file=\"two.html\"-->", &said, &result), std::string(512, '+'));
    EXPECT_EQ(result, 1);
    EXPECT_NE(said.find("file(two.html) too many includes]"), std::string::npos);
    EXPECT_EQ(Fill("<!--#include file=\"three.html\"-->", &said), std::string(256, '+'));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(Fill("<!--#include file=\"two.html\"-->"), std::string(512, '+'))
        << "the count starts again with each call";
}

TEST_F(TemplateTest, OnlyRegularFilesAreIncluded) {
    ASSERT_EQ(platform::DirectoryCreate("folder"), 0);
    args = ec_SedArgAdd(args, "$unused", "x");
    std::string said;
    EXPECT_EQ(Fill("<!--#include file=\"folder\"-->!", &said), "!");
    EXPECT_EQ(said,
              "[ec_SedStr: an error occurred while processing 'include' directive - "
              "file(folder) open fail]");
    const std::string out = folder.Path("out");
    const int fd = FileOpenMode(out.c_str(), "wb");
    EXPECT_EQ(ec_SedFile(args, "folder", fd), 0);
#ifndef _WIN32
    // Opening a pipe that no one writes waits for ever: it must not be opened at all.
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    EXPECT_EQ(Fill("<!--#include file=\"pipe\"-->!", &said), "!");
    EXPECT_NE(said.find("file(pipe) open fail]"), std::string::npos) << said;
    EXPECT_EQ(ec_SedFile(args, "pipe", fd), 0);
#endif
    FileClose(fd);
}

TEST_F(TemplateTest, EmptyNamesNeverMatchAndNullsWriteNothing) {
    ec_entry *list = _list_append(nullptr, "", "never");
    list = _list_append(list, "k", "v");
    const std::string path = folder.Path("out");
    const int fd = FileOpenMode(path.c_str(), "wb");
    EXPECT_EQ(ec_SedStr(list, "a k b", fd), 1);
    EXPECT_EQ(ec_SedStr(nullptr, "text", fd), 0);
    EXPECT_EQ(ec_SedStr(list, nullptr, fd), 0);
    FileClose(fd);
    EXPECT_EQ(ReadFile(path), "a v b");
    _list_free(list);
}

#ifndef _WIN32
// Descriptor 1 is the buffered response: a template written to a full device reports the
// failure, also when the whole text fits the buffer and only the flush fails.
TEST_F(TemplateTest, AFailedResponseWriteGivesZero) {
    args = ec_SedArgAdd(args, "$n", "value");
    EXPECT_EXIT(
        {
            CaptureStdoutTo("/dev/full");
            std::_Exit(10 + ec_SedStr(args, "short $n text", 1));
        },
        testing::ExitedWithCode(10), "");
    WriteFile("page.html", "<p>$n</p>");
    EXPECT_EXIT(
        {
            CaptureStdoutTo("/dev/full");
            std::_Exit(10 + ec_SedFile(args, "page.html", 1));
        },
        testing::ExitedWithCode(10), "");
    const std::string out = folder.Path("out");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            std::_Exit(10 + ec_SedStr(args, "short $n text", 1));
        },
        testing::ExitedWithCode(11), "");
    EXPECT_EQ(ReadFile(out), "short value text") << "flushed by the call itself";
}
#endif

#ifndef _WIN32
// A counter that cannot be written (a full disk) keeps its number and says so with 0.
TEST_F(TemplateTest, ACounterOnAFullDiskKeepsItsNumber) {
    WriteFile("hits", "12345\n");
    for (const long long room : {0LL, 1LL}) {
        EXPECT_EXIT(
            {
                testsupport::LimitFileSize(room);
                std::_Exit(10 + ec_CounterSet("hits", 7));
            },
            testing::ExitedWithCode(10), "")
            << "room for " << room << " bytes";
        EXPECT_EQ(ReadFile("hits"), "12345\n");
        EXPECT_EXIT(
            {
                testsupport::LimitFileSize(room);
                std::_Exit(ec_CounterAdd("hits", 1) == 0 ? 10 : 11);
            },
            testing::ExitedWithCode(10), "")
            << "room for " << room << " bytes";
        EXPECT_EQ(ReadFile("hits"), "12345\n");
    }
    EXPECT_EQ(ec_CounterAdd("hits", 1), 12346) << "the next add with room lands";
    EXPECT_FALSE(testsupport::Exists("hits.new"));
}
#endif

TEST_F(TemplateTest, MisuseEndsTheProcess) {
    const std::string out = folder.Path("out");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_awk_fields fields;
            ec_AwkNext(fields);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(out), "Error: ec_AwkNext(): There is no opened handle.\n");
    WriteFile("f.txt", "x");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_AwkOpen("f.txt", ',');
            ec_AwkOpen("f.txt", ',');
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(out), "Error: ec_AwkOpen(): There is already opened handle.\n");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_SedArgAdd(nullptr, "", "x");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(out), "Error: ec_SedArgAdd(): can not add empty name.\n");
    const std::string huge(65536, 'v');
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ec_SedArgAdd(nullptr, "n", "%s", huge.c_str());
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(out), "Error: ec_SedArgAdd(): Message is too long or invalid.\n");
}

}  // namespace
