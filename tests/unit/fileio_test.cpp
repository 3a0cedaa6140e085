#include "util/fileio.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "tests/unit/support.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::TempFolder;
using testsupport::WriteFile;

using testsupport::FreeDeleter;

class FileIoTest : public ::testing::Test {
   protected:
    std::string Path(const std::string &name) const { return folder.Path(name); }
    TempFolder folder;
};

TEST_F(FileIoTest, OpenModeAcceptsExactlyTheEighteenModes) {
    const std::string file = Path("f");
    WriteFile(file, "x");
    for (const char *mode : {"r", "r+", "w", "w+", "a", "a+", "rb", "r+b", "wb", "w+b", "ab", "a+b",
                             "rt", "r+t", "wt", "w+t", "at", "a+t"}) {
        const int fd = FileOpenMode(file.c_str(), mode);
        EXPECT_GE(fd, 0) << mode;
        FileClose(fd);
    }
    for (const char *mode : {"rw", "R", "rb+", "wb+", "", "r ", "x", "b"})
        EXPECT_EQ(FileOpenMode(file.c_str(), mode), -1) << mode;
    EXPECT_EQ(FileOpenMode(nullptr, "r"), -1);
    EXPECT_EQ(FileOpenMode(file.c_str(), nullptr), -1);
}

TEST_F(FileIoTest, WriteModeTruncatesAndAppendModeWritesAtTheEnd) {
    const std::string file = Path("f");
    WriteFile(file, "old content");
    EXPECT_EQ(FileWriteBytes("new", 3, file.c_str(), "wb"), 3);
    EXPECT_EQ(ReadFile(file), "new");
    const int fd = FileOpenMode(file.c_str(), "ab");
    ASSERT_GE(fd, 0);
    platform::FdSeek(fd, 0, SEEK_SET);
    EXPECT_EQ(FdWriteWord(fd, "WORD"), 4);
    FileClose(fd);
    EXPECT_EQ(ReadFile(file), "newWORD");
}

TEST_F(FileIoTest, CreatedFilesAreNotReadOnly) {
    const std::string file = Path("created");
    EXPECT_EQ(FileWriteBytes("abc", 3, file.c_str(), "w"), 3);
    EXPECT_EQ(FileExists(file.c_str()), 1);
    EXPECT_EQ(FileWriteBytes("de", 2, file.c_str(), "a"), 2);
    EXPECT_EQ(ReadFile(file), "abcde");
}

TEST_F(FileIoTest, WriteBytesReportsTheCountOrAFailedOpen) {
    EXPECT_EQ(FileWriteBytes("abc", 3, Path("missing/f").c_str(), "wb"), -1);
    EXPECT_EQ(FileWriteBytes("abc", 3, Path("f").c_str(), "nonsense"), -1);
    const std::string big(300000, 'b');
    EXPECT_EQ(FileWriteBytes(big.data(), static_cast<int>(big.size()), Path("big").c_str(), "wb"),
              300000);
    EXPECT_EQ(ReadFile(Path("big")), big);
    // Writes that fail are a failure, not the count asked for.
    WriteFile(Path("kept"), "kept");
    EXPECT_EQ(FileWriteBytes("abc", 3, Path("kept").c_str(), "rb"), -1);
    EXPECT_EQ(ReadFile(Path("kept")), "kept");
#ifndef _WIN32
    EXPECT_EQ(FileWriteBytes("abc", 3, "/dev/full", "wb"), -1);  // a full disk
#endif
}

TEST_F(FileIoTest, PathExistsTakesAWildcardPattern) {
    WriteFile(Path("one.txt"), "1");
    const std::string sep(1, testsupport::Separator());
    EXPECT_EQ(PathExists((folder.Root() + sep + "*.txt").c_str()), 1);
    EXPECT_EQ(PathExists((folder.Root() + sep + "o?e.TXT").c_str()), 1);
    EXPECT_EQ(PathExists((folder.Root() + sep + "*.none").c_str()), 0);
    EXPECT_EQ(PathExists(folder.Root().c_str()), 1);
    EXPECT_EQ(PathExists(Path("missing").c_str()), 0);
    EXPECT_EQ(PathExists(Path("missing/deeper/*").c_str()), 0);
}

TEST_F(FileIoTest, ExistsFmtBoundsTheNameTo1023Characters) {
    WriteFile(Path("f7"), "x");
    EXPECT_EQ(FileExistsFmt("%s%cf%d", folder.Root().c_str(), testsupport::Separator(), 7), 1);
    EXPECT_EQ(FileExistsFmt("%s%cnone", folder.Root().c_str(), testsupport::Separator()), 0);
    const std::string longest(1023, 'n');
    EXPECT_EQ(FileExistsFmt("%s", longest.c_str()), 0);
    EXPECT_EQ(FileExistsFmt("%s", (longest + "n").c_str()), -1);
}

TEST_F(FileIoTest, ReadAllRefusesEmptyAndMissingFiles) {
    char *buffer = nullptr;
    WriteFile(Path("empty"), "");
    EXPECT_EQ(FileReadAll(Path("empty").c_str(), &buffer), -1);
    EXPECT_EQ(FileReadAll(Path("missing").c_str(), &buffer), -1);
    WriteFile(Path("three"), std::string("a\0c", 3));
    ASSERT_EQ(FileReadAll(Path("three").c_str(), &buffer), 3);
    std::unique_ptr<char, FreeDeleter> owned(buffer);
    EXPECT_EQ(std::string(buffer, 4), std::string("a\0c\0", 4));
}

TEST_F(FileIoTest, LoadGivesTheWholeFileZeroTerminated) {
    long length = 99;
    WriteFile(Path("empty"), "");
    std::unique_ptr<char, FreeDeleter> empty(FileLoad(Path("empty").c_str(), &length));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(empty.get()[0], '\0');
    length = 99;
    EXPECT_EQ(FileLoad(Path("missing").c_str(), &length), nullptr);
    EXPECT_EQ(length, 0);
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    WriteFile(Path("binary"), content);
    std::unique_ptr<char, FreeDeleter> loaded(FileLoad(Path("binary").c_str(), &length));
    ASSERT_EQ(length, 200000);
    EXPECT_EQ(std::string(loaded.get(), 200000), content);
    EXPECT_EQ(loaded.get()[200000], '\0');
    std::unique_ptr<char, FreeDeleter> again(FileLoad(Path("binary").c_str(), nullptr));
    EXPECT_NE(again, nullptr) << "the length is optional";
}

TEST_F(FileIoTest, AppendAddsTheSourceAtTheEnd) {
    WriteFile(Path("dest"), "head-");
    const std::string tail(100000, 't');
    WriteFile(Path("src"), tail);
    EXPECT_EQ(FileAppend(Path("dest").c_str(), Path("src").c_str()), 1);
    EXPECT_EQ(ReadFile(Path("dest")), "head-" + tail);
    EXPECT_EQ(FileAppend(Path("dest").c_str(), Path("missing").c_str()), 0);
    EXPECT_EQ(ReadFile(Path("dest")), "head-" + tail);
    EXPECT_EQ(FileAppend(Path("no/dest").c_str(), Path("src").c_str()), 0);
    EXPECT_EQ(FileAppend(Path("new").c_str(), Path("src").c_str()), 1);
    EXPECT_EQ(ReadFile(Path("new")), tail);
}

#ifndef _WIN32
// A destination that cannot take the whole source keeps exactly the bytes it had: a later
// append must not land behind a fragment.
TEST_F(FileIoTest, AnAppendThatDoesNotFitLeavesTheFileAsItWas) {
    const std::string before = "eighteen bytes....";
    WriteFile(Path("dest"), before);
    WriteFile(Path("src"), std::string(100000, 's'));
    for (const long long room : {4096LL, 18LL, 60000LL}) {
        EXPECT_EXIT(
            {
                testsupport::LimitFileSize(room);
                std::_Exit(10 + FileAppend(Path("dest").c_str(), Path("src").c_str()));
            },
            testing::ExitedWithCode(10), "")
            << "room for " << room << " bytes";
        const std::string after = ReadFile(Path("dest"));
        EXPECT_TRUE(after == before) << "room for " << room << " bytes: " << after.size()
                                     << " bytes, " << after.substr(0, 40);
    }
    WriteFile(Path("small"), "tail\n");
    EXPECT_EXIT(
        {
            testsupport::LimitFileSize(4096);
            std::_Exit(10 + FileAppend(Path("dest").c_str(), Path("small").c_str()));
        },
        testing::ExitedWithCode(11), "");
    EXPECT_EQ(ReadFile(Path("dest")), before + "tail\n") << "what fits is appended whole";
}

TEST_F(FileIoTest, AppendedTextLandsWholeOrNotAtAll) {
    WriteFile(Path("book"), "a = 1\n");
    EXPECT_EQ(FileAppendText(Path("book").c_str(), "b = 2\n"), 1);
    EXPECT_EQ(ReadFile(Path("book")), "a = 1\nb = 2\n");
    EXPECT_EQ(FileAppendText(Path("new").c_str(), "first\n"), 1) << "a missing file is made";
    EXPECT_EQ(ReadFile(Path("new")), "first\n");
    EXPECT_EQ(FileAppendText(Path("no/book").c_str(), "x\n"), 0);
    EXPECT_EQ(FileAppendText(Path("book").c_str(), nullptr), 0);
    const std::string post(10000, 'p');
    EXPECT_EXIT(
        {
            testsupport::LimitFileSize(4096);
            std::_Exit(10 + FileAppendText(Path("book").c_str(), post.c_str()));
        },
        testing::ExitedWithCode(10), "");
    EXPECT_EQ(ReadFile(Path("book")), "a = 1\nb = 2\n");
}
#endif

TEST_F(FileIoTest, CatCopiesTheFileToStandardOutput) {
    const std::string out = Path("stdout");
    WriteFile(Path("cat me"), std::string("bin\0\r\nary", 9));
    EXPECT_EXIT(
        {
            CaptureStdoutTo(out);
            const long copied =
                FileCatFmt("%s%c%s", folder.Root().c_str(), testsupport::Separator(), "cat me");
            std::fflush(stdout);
            std::exit(copied == 9 ? 0 : 2);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(ReadFile(out), std::string("bin\0\r\nary", 9));
    EXPECT_EQ(FileCatFmt("%s", Path("missing").c_str()), -1);
    EXPECT_EQ(FileCatFmt("%s", std::string(1024, 'n').c_str()), -1);
}

TEST_F(FileIoTest, LengthLeavesThePosition) {
    WriteFile(Path("f"), "0123456789");
    const int fd = FileOpenMode(Path("f").c_str(), "rb");
    ASSERT_GE(fd, 0);
    platform::FdSeek(fd, 4, SEEK_SET);
    EXPECT_EQ(FdLength(fd), 10);
    char next = 0;
    EXPECT_EQ(platform::FdRead(fd, &next, 1), 1);
    EXPECT_EQ(next, '4');
    FileClose(fd);
}

TEST_F(FileIoTest, ReadLineLeavesTheDescriptorJustAfterTheLine) {
    const std::string long_line(3000, 'L');
    WriteFile(Path("lines"), long_line + "\nsecond\nlast without feed");
    const int fd = FileOpenMode(Path("lines").c_str(), "rb");
    ASSERT_GE(fd, 0);
    std::unique_ptr<char, FreeDeleter> first(FdReadLine(fd));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first.get()), long_line + "\n");
    char next[3] = {};
    EXPECT_EQ(platform::FdRead(fd, next, 2), 2);
    EXPECT_STREQ(next, "se");
    std::unique_ptr<char, FreeDeleter> rest(FdReadLine(fd));
    EXPECT_STREQ(rest.get(), "cond\n");
    std::unique_ptr<char, FreeDeleter> last(FdReadLine(fd));
    EXPECT_STREQ(last.get(), "last without feed");
    EXPECT_EQ(FdReadLine(fd), nullptr);
    FileClose(fd);
}

// On Windows the modes with "t", and those without a letter (the default translation),
// turn CR LF into LF on reading and LF into CR LF on writing; on Linux no mode translates.
#ifdef _WIN32
constexpr bool kTranslates = true;
#else
constexpr bool kTranslates = false;
#endif

std::string Lines(int fd) {
    std::string lines;
    while (char *line = FdReadLine(fd)) {
        lines += std::string(line) + "|";
        std::free(line);
    }
    return lines;
}

TEST_F(FileIoTest, ReadLineOnTextModeDescriptorsKeepsEveryLine) {
    WriteFile(Path("crlf"), "ab\r\ncd\r\nef\r\n");
    for (const char *mode : {"rt", "r", "r+t", "r+", "a+t"}) {
        const int fd = FileOpenMode(Path("crlf").c_str(), mode);
        ASSERT_GE(fd, 0) << mode;
        if (std::strchr(mode, 'a')) platform::FdSeek(fd, 0, SEEK_SET);
        EXPECT_EQ(Lines(fd), kTranslates ? "ab\n|cd\n|ef\n|" : "ab\r\n|cd\r\n|ef\r\n|") << mode;
        FileClose(fd);
    }
    const int fd = FileOpenMode(Path("crlf").c_str(), "rb");
    EXPECT_EQ(Lines(fd), "ab\r\n|cd\r\n|ef\r\n|");
    FileClose(fd);
}

TEST_F(FileIoTest, ReadLineOnATextModeDescriptorLeavesItAfterTheLine) {
    WriteFile(Path("crlf"), "one\r\ntwo\r\n");
    const int fd = FileOpenMode(Path("crlf").c_str(), "rt");
    ASSERT_GE(fd, 0);
    std::unique_ptr<char, FreeDeleter> first(FdReadLine(fd));
    char next[4] = {};
    EXPECT_EQ(platform::FdRead(fd, next, 3), 3);
    EXPECT_STREQ(next, "two");
    FileClose(fd);
}

TEST_F(FileIoTest, TextModeWritesAndStreamReadsTranslateOnWindowsOnly) {
    ASSERT_EQ(FileWriteBytes("a\nb\n", 4, Path("text").c_str(), "wt"), 4);
    ASSERT_EQ(FileWriteBytes("c\n", 2, Path("text").c_str(), "at"), 2);
    EXPECT_EQ(ReadFile(Path("text")), kTranslates ? "a\r\nb\r\nc\r\n" : "a\nb\nc\n");
    FILE *stream = FileOpenLocked(Path("text").c_str(), "rt");
    ASSERT_NE(stream, nullptr);
    char line[16];
    ASSERT_NE(StreamReadLine(line, sizeof line, stream), nullptr);
    EXPECT_STREQ(line, "a\n");
    FileCloseLocked(stream);
    WriteFile(Path("crlf"), "x\r\ny\r\n");
    stream = FileOpenLocked(Path("crlf").c_str(), "rt");
    ASSERT_NE(stream, nullptr);
    ASSERT_NE(StreamReadLine(line, sizeof line, stream), nullptr);
    EXPECT_STREQ(line, kTranslates ? "x\n" : "x\r\n");
    ASSERT_NE(StreamReadLine(line, sizeof line, stream), nullptr);
    EXPECT_STREQ(line, kTranslates ? "y\n" : "y\r\n");
    FileCloseLocked(stream);
}

TEST_F(FileIoTest, AFolderDoesNotOpenAsAFile) {
    char *buffer = nullptr;
    EXPECT_EQ(FileExists(folder.Root().c_str()), 0);
    EXPECT_EQ(FileOpenMode(folder.Root().c_str(), "rb"), -1);
    EXPECT_EQ(FileReadAll(folder.Root().c_str(), &buffer), -1);
    long length = 1;
    EXPECT_EQ(FileLoad(folder.Root().c_str(), &length), nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(FileOpenLocked(folder.Root().c_str(), "rb"), nullptr);
    EXPECT_EQ(FileAppend(Path("out").c_str(), folder.Root().c_str()), 0);
}

#ifndef _WIN32
TEST_F(FileIoTest, ReadLineFromAPipeConsumesOnlyTheLine) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "one\ntwo\n", 8), 8);
    close(ends[1]);
    std::unique_ptr<char, FreeDeleter> one(FdReadLine(ends[0]));
    EXPECT_STREQ(one.get(), "one\n");
    char rest[8] = {};
    EXPECT_EQ(read(ends[0], rest, sizeof rest), 4);
    EXPECT_STREQ(rest, "two\n");
    close(ends[0]);
}
#endif

TEST_F(FileIoTest, WriteWordRefusesMissingArguments) {
    EXPECT_EQ(FdWriteWord(-1, "abcd"), -1);
    const int fd = FileOpenMode(Path("w").c_str(), "wb");
    EXPECT_EQ(FdWriteWord(fd, nullptr), -1);
    FileClose(fd);
}

TEST_F(FileIoTest, StreamReadLineStaysInsideTheBuffer) {
    WriteFile(Path("s"), "abcdef\nxy");
    FILE *stream = FileOpenLocked(Path("s").c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    char buffer[5];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(StreamReadLine(buffer, 1, stream), nullptr);
    EXPECT_EQ(StreamReadLine(buffer, 5, stream), buffer);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_STREQ(StreamReadLine(buffer, 5, stream), "ef\n");
    EXPECT_STREQ(StreamReadLine(buffer, 5, stream), "xy");
    EXPECT_EQ(StreamReadLine(buffer, 5, stream), nullptr);
    EXPECT_EQ(FileCloseLocked(stream), 0);
    EXPECT_EQ(FileOpenLocked(Path("missing").c_str(), "rb"), nullptr);
}

TEST(HexDigits, ValuesAndTests) {
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('9'), 9);
    EXPECT_EQ(HexDigitValue('g'), 0);
    EXPECT_EQ(HexDigitValue(-1), 0);
    EXPECT_EQ(IsHexDigit('a'), 1);
    EXPECT_EQ(IsHexDigit('G'), 0);
    EXPECT_EQ(IsHexDigit('/'), 0);
}

}  // namespace
