#include "webreq/error.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/unit/support.h"

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::TempFolder;

std::string OutputOfError(const TempFolder &folder, const std::string &message) {
    const std::string out = folder.Path("stdout.txt");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("%s", message.c_str());
        },
        testing::ExitedWithCode(1), "");
    return ReadFile(out);
}

TEST(ErrorDeathTest, PlainLineAndStatusOne) {
    TempFolder folder;
    const std::string out = folder.Path("stdout.txt");
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            ecError("x=%d", 5);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(ReadFile(out), "Error: x=5\n");
}

TEST(ErrorDeathTest, MessageBoundIs1023Characters) {
    TempFolder folder;
    const std::string longest(1023, 'm');
    EXPECT_EQ(OutputOfError(folder, longest), "Error: " + longest + "\n");
    EXPECT_EQ(OutputOfError(folder, longest + "m"), "ecError(): Message is too long or invalid.");
}

}  // namespace
