#include "installer/package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/unit/support.h"
#include "tools/pkgwrite.h"
#include "webreq/md5.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempFolder;
using testsupport::WriteFile;

const std::string kMarker(40, '^');
const std::string kDemo =
    "3\n1\n0\n1\nappname!--------@Demo+App\n"
    "$temp_dir$\\demo\\readme.txt!--------@0!--------@5\n" +
    kMarker + "\nhello";

TEST(PackageRestore, InvertsEveryByteBothWays) {
    TempFolder folder;
    WriteFile(folder.Path("plain"), kDemo);
    ASSERT_EQ(PackageRestore(folder.Path("plain").c_str(), folder.Path("stored").c_str()), 1);
    const std::string stored = ReadFile(folder.Path("stored"));
    ASSERT_EQ(stored.size(), kDemo.size());
    EXPECT_EQ(static_cast<unsigned char>(stored[0]), 0xCC);  // '3'
    EXPECT_EQ(static_cast<unsigned char>(stored[1]), 0xF5);  // line feed
    EXPECT_EQ(stored.substr(kDemo.find(kMarker), 40), std::string(40, '\xA1'));
    ASSERT_EQ(PackageRestore(folder.Path("stored").c_str(), folder.Path("again").c_str()), 1);
    EXPECT_EQ(ReadFile(folder.Path("again")), kDemo);
}

TEST(PackageRestore, MissingSourceLeavesTheTargetAlone) {
    TempFolder folder;
    WriteFile(folder.Path("target"), "previous");
    EXPECT_EQ(PackageRestore(folder.Path("missing").c_str(), folder.Path("target").c_str()), 0);
    EXPECT_EQ(ReadFile(folder.Path("target")), "previous");
}

TEST(PayloadOrigin, StartsAfterTheMarkerAndItsWhiteSpace) {
    EXPECT_EQ(package::PayloadOriginOf(kDemo), static_cast<long long>(kDemo.find("hello")));
    EXPECT_EQ(package::PayloadOriginOf("1 2 x" + kMarker + "^y \t\r\n\v\fdata"), 53);
    EXPECT_EQ(package::PayloadOriginOf("3 " + kMarker), 42);
}

TEST(PayloadOrigin, ShorterRunsAndMissingMarkerGiveZero) {
    EXPECT_EQ(package::PayloadOriginOf("3 " + std::string(39, '^') + " x"), 0);
    EXPECT_EQ(package::PayloadOriginOf("^^^^^ ^^^^^"), 0);
    EXPECT_EQ(package::PayloadOriginOf(""), 0);
}

TEST(PayloadOrigin, FileAndMemoryAgree) {
    TempFolder folder;
    WriteFile(folder.Path("restored"), kDemo);
    EXPECT_EQ(package::PayloadOriginOfFile(folder.Path("restored").c_str()),
              package::PayloadOriginOf(kDemo));
    EXPECT_EQ(package::PayloadOriginOfFile(folder.Path("missing").c_str()), -1);
}

TEST(HeaderParse, ReadsEveryRecordKind) {
    const auto header = package::HeaderParse(
        "4 1 1 2 9\nappname!--------@Demo+App\na%7Cb|c!--------@Some+text\n"
        "x%20y.txt!--------@0!--------@5\n$win_dir$\\a.dll!--------@5!--------@7\n");
    EXPECT_FALSE(header.Damaged());
    EXPECT_EQ(header.section_counts, (std::vector<long long>{1, 1, 2, 9}));
    EXPECT_EQ(header.info_records, (std::vector<std::string>{"appname!--------@Demo+App"}));
    ASSERT_EQ(header.list_records.size(), 1u);
    EXPECT_EQ(header.list_records[0].items, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(header.list_records[0].text, "Some text");
    ASSERT_EQ(header.file_entries.size(), 2u);
    EXPECT_EQ(header.file_entries[0].path, "x y.txt");
    EXPECT_EQ(header.file_entries[1].start, 5);
    EXPECT_EQ(header.file_entries[1].end, 7);
}

TEST(HeaderParse, CountsThatCannotBeUsedStopBeforeAnyRecord) {
    for (const char *header : {"", "2 0 0\n", "3 1 0\n", "3 1 -1 0\n", "x 1 1 1\n", "3 1 1 z\n",
                               "3 99999999999 0 0\n"}) {
        const auto parsed = package::HeaderParse(header);
        EXPECT_TRUE(parsed.Damaged()) << header;
        EXPECT_FALSE(parsed.counts_valid) << header;
        EXPECT_TRUE(parsed.info_records.empty()) << header;
    }
}

TEST(HeaderParse, FewerRecordsThanAnnouncedKeepsWhatWasRead) {
    const auto header =
        package::HeaderParse("3 1 0 3\nappname!--------@A\na!--------@0!--------@1\n");
    EXPECT_TRUE(header.Damaged());
    EXPECT_EQ(header.info_records.size(), 1u);
    EXPECT_EQ(header.file_entries.size(), 1u);
}

TEST(HeaderParse, OverLongTokenStopsTheReading) {
    const std::string long_token = std::string(255, 'p') + "!--------@0!--------@1";
    const auto header = package::HeaderParse("3 0 0 3\na!--------@0!--------@1\n" + long_token +
                                             "\nb!--------@0!--------@1\n");
    EXPECT_TRUE(header.Damaged());
    ASSERT_EQ(header.file_entries.size(), 1u);
    EXPECT_EQ(header.file_entries[0].path, "a");
    const std::string longest = std::string(254 - 22, 'p') + "!--------@0!--------@1";
    EXPECT_FALSE(package::HeaderParse("3 0 0 1 " + longest).Damaged());
}

TEST(HeaderParse, RecordsMissingFieldsAreLeftOut) {
    const auto header = package::HeaderParse(
        "3 0 2 3\nlist-only\nfine!--------@text\na!--------@0\nb\nc!--------@0!--------@1\n");
    EXPECT_TRUE(header.Damaged());
    EXPECT_EQ(header.list_records.size(), 1u);
    ASSERT_EQ(header.file_entries.size(), 1u);
    EXPECT_EQ(header.file_entries[0].path, "c");
    EXPECT_EQ(header.file_entries[0].index, 2);
}

TEST(RecordNumber, ReadsLikeAtol) {
    EXPECT_EQ(package::RecordNumber("42"), 42);
    EXPECT_EQ(package::RecordNumber("-2"), -2);
    EXPECT_EQ(package::RecordNumber("+7xyz"), 7);
    EXPECT_EQ(package::RecordNumber("abc"), 0);
    EXPECT_GT(package::RecordNumber("99999999999999999999999"), 0x7FFFFFFFLL);
}

TEST(InfoRecordValue, DecodesOnlyTheValue) {
    std::string value;
    ASSERT_TRUE(package::InfoRecordValue("title!--------@appname+tool", &value));
    EXPECT_EQ(value, "appname tool");
    EXPECT_FALSE(package::InfoRecordValue("appname!--------@", &value));
}

// The writer's side: what mkpkg produces reads back as meant.
TEST(UrlEncode, EncodesEveryByteThatIsNotSafeInAToken) {
    EXPECT_EQ(pkgwrite::UrlEncode("a b+c%d^e"), "a%20b%2Bc%25d%5Ee");
    EXPECT_EQ(pkgwrite::UrlEncode("\t\n\xff!@"), "%09%0A%FF%21%40");
    EXPECT_EQ(pkgwrite::UrlEncode("$temp_dir$\\x/y.txt"), "$temp_dir$\\x/y.txt");
}

class PackageBuildTest : public ::testing::Test {
   protected:
    std::string Build(std::string *error_out = nullptr) {
        std::string restored, error;
        const bool built = pkgwrite::PackageBuild(spec, &restored, &error);
        if (error_out) *error_out = error;
        EXPECT_EQ(built, error.empty());
        return restored;
    }
    std::string Source(const std::string &name, const std::string &bytes) {
        WriteFile(folder.Path(name), bytes);
        return folder.Path(name);
    }
    // Bytes that the reader finds for file entry i.
    std::string EntryBytes(const std::string &restored, size_t i) {
        const long long origin = package::PayloadOriginOf(restored);
        const auto header = package::HeaderParse(std::string_view(restored).substr(0, origin));
        const auto &entry = header.file_entries.at(i);
        return restored.substr(origin + entry.start, entry.end - entry.start);
    }
    TempFolder folder;
    pkgwrite::PackageSpec spec;
};

TEST_F(PackageBuildTest, RoundTripsNamesPathsAndBytes) {
    spec.info = {{"version", "1 + 1 = 100%"}, {"appname", "Demo App"}};
    spec.lists = {{"a|b", "Text ^ with + signs"}};
    spec.files = {{"dir/with space+plus%.txt", Source("one", "hello")},
                  {"$temp_dir$\\two.bin", Source("two", std::string("\0\xff\n", 3))}};
    const std::string restored = Build();
    const long long origin = package::PayloadOriginOf(restored);
    const auto header = package::HeaderParse(std::string_view(restored).substr(0, origin));
    EXPECT_FALSE(header.Damaged());
    EXPECT_EQ(header.section_counts, (std::vector<long long>{3, 1, 2}));
    std::string value;
    ASSERT_TRUE(package::InfoRecordValue(header.info_records[0], &value));
    EXPECT_EQ(value, "Demo App");  // the appname record goes first
    ASSERT_TRUE(package::InfoRecordValue(header.info_records[1], &value));
    EXPECT_EQ(value, "1 + 1 = 100%");
    // The integrity record comes last: its digest covers every byte but its own 32.
    ASSERT_TRUE(package::IntegrityValueWellFormed(header.info_records[2]));
    EXPECT_EQ(header.integrity_record, header.info_records[2]);
    const size_t at = static_cast<size_t>(header.integrity_offset);
    package::SkippingDigest digest(static_cast<long long>(at));
    digest.Update(restored.data(), restored.size());
    EXPECT_EQ(restored.substr(at, 32), digest.FinalHex());
    EXPECT_EQ(restored.substr(at, 32),
              webreq::Md5::Hex((restored.substr(0, at) + restored.substr(at + 32)).data(),
                               restored.size() - 32));
    EXPECT_EQ(header.list_records[0].text, "Text ^ with + signs");
    EXPECT_EQ(header.file_entries[0].path, "dir/with space+plus%.txt");
    EXPECT_EQ(EntryBytes(restored, 0), "hello");
    EXPECT_EQ(EntryBytes(restored, 1), std::string("\0\xff\n", 3));
}

TEST_F(PackageBuildTest, PayloadStartingWithWhiteSpaceStillReadsBack) {
    spec.info = {{"appname", "W"}};
    spec.files = {{"a.txt", Source("a", " \n\tlead")}, {"b.txt", Source("b", "tail")}};
    const std::string restored = Build();
    EXPECT_EQ(EntryBytes(restored, 0), " \n\tlead");
    EXPECT_EQ(EntryBytes(restored, 1), "tail");
    spec.files = {{"blank.txt", Source("blank", "  ")}};
    EXPECT_EQ(EntryBytes(Build(), 0), "  ");
}

TEST_F(PackageBuildTest, RefusesWhatCannotBeReadBack) {
    const std::string file = Source("f", "x");
    const std::vector<std::pair<pkgwrite::PackageSpec, std::string>> refused = {
        {{{}, {}, {{"a", file}}}, "application name"},
        {{{{"appname", ""}}, {}, {}}, "empty value"},
        {{{{"appname", "A"}, {"bad key", "v"}}, {}, {}}, "keys are"},
        {{{{"appname", "A"}}, {{"", "t"}}, {}}, "is empty"},
        {{{{"appname", "A"}}, {{"l", std::string(64, 't')}}, {}}, "63"},
        {{{{"appname", "A"}}, {}, {{"", file}}}, "is empty"},
        {{{{"appname", "A"}}, {}, {{"a!--------@b", file}}}, "separator"},
        {{{{"appname", "A"}}, {}, {{std::string(256, 'p'), file}}}, "255"},
        {{{{"appname", "A"}}, {}, {{std::string(200, ' '), file}}}, "254"},
        {{{{"appname", std::string(250, 'n')}}, {}, {}}, "254"},
        {{{{"appname", "A"}}, {}, {{"a", folder.Path("missing")}}}, "cannot read"},
    };
    for (const auto &[refused_spec, reason] : refused) {
        spec = refused_spec;
        std::string error;
        Build(&error);
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

}  // namespace

namespace {

TEST(SkippingDigest, LeavesOutTheSameBytesWhateverTheBlocks) {
    const std::string bytes = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ!";
    const std::string expected =
        webreq::Md5::Hex((bytes.substr(0, 10) + bytes.substr(42)).data(), bytes.size() - 32);
    for (size_t block : {1u, 3u, 10u, 32u, 33u, 64u}) {
        package::SkippingDigest digest(10);
        for (size_t at = 0; at < bytes.size(); at += block)
            digest.Update(bytes.data() + at, std::min(block, bytes.size() - at));
        EXPECT_EQ(digest.FinalHex(), expected) << "blocks of " << block;
    }
}

TEST(IntegrityRecord, KeyAndFormAreExact) {
    const std::string digest(32, 'a');
    EXPECT_TRUE(package::IntegrityValueWellFormed("md5!--------@" + digest));
    EXPECT_FALSE(package::IntegrityValueWellFormed("md5!--------@" + std::string(32, 'A')));
    EXPECT_FALSE(package::IntegrityValueWellFormed("md5!--------@" + digest + "0"));
    EXPECT_FALSE(package::IsIntegrityRecord("md5x!--------@" + digest));
    EXPECT_FALSE(package::IsIntegrityRecord("amd5!--------@" + digest));
    // Only an info record is one: a file entry named md5 is just a file.
    const auto header =
        package::HeaderParse("3 1 0 1\nappname!--------@A\nmd5!--------@0!--------@1\n");
    EXPECT_EQ(header.integrity_offset, -1);
}

}  // namespace
