#include "util/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "tests/unit/support.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using testsupport::FreeDeleter;
using Text = std::unique_ptr<char, FreeDeleter>;

const RegistryRoot kUser = NUVEX_HKEY_CURRENT_USER;
constexpr unsigned long kErrorFileNotFound = 2;
constexpr unsigned long kErrorMoreData = 234;

// Every test works below HKEY_CURRENT_USER\Software\NuvexTest and removes its keys again.
class RegistryTest : public ::testing::Test {
   protected:
    void TearDown() override {
        for (const char *key : {"Software\\NuvexTest\\Key\\Sub", "Software\\NuvexTest\\Key",
                                "Software\\NuvexTest\\Other", "Software\\NuvexTest"})
            RegKeyDelete(kUser, key);
    }
    const char *kKey = "Software\\NuvexTest\\Key";
};

TEST_F(RegistryTest, StringsAreStoredWithoutTheirTerminator) {
    // Binary type: Windows adds a terminator when it reads a string type back.
    ASSERT_EQ(RegValueSet(kUser, kKey, "bytes", "abc", NUVEX_REG_BINARY), 1);
    unsigned char bytes[4] = {'Z', 'Z', 'Z', 'Z'};
    ASSERT_EQ(RegBinaryGet(kUser, kKey, "bytes", bytes), 1);
    EXPECT_EQ(std::memcmp(bytes, "abcZ", 4), 0) << "exactly three bytes";
    ASSERT_EQ(RegValueSet(kUser, kKey, "text", "abc", NUVEX_REG_SZ), 1);
    EXPECT_STREQ(Text(RegStringGet(kUser, kKey, "text")).get(), "abc");
}

TEST_F(RegistryTest, NamesCompareWithoutRegardToCase) {
    ASSERT_EQ(RegValueSet(kUser, kKey, "Value", "v", NUVEX_REG_SZ), 1);
    EXPECT_STREQ(Text(RegStringGet(kUser, "SOFTWARE\\nuvextest\\KEY", "VALUE")).get(), "v");
}

TEST_F(RegistryTest, DefaultValueAndBinaryRoundTrip) {
    const unsigned char data[6] = {0, 1, 0xFF, 0, 'x', 0};
    ASSERT_EQ(RegBinarySet(kUser, kKey, "", data, sizeof data), 1);
    Text read(RegStringGet(kUser, kKey, ""));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::memcmp(read.get(), data, sizeof data), 0);
}

TEST_F(RegistryTest, UpdateNeedsAnExistingKey) {
    EXPECT_EQ(RegValueUpdate(kUser, "Software\\NuvexTest\\Other", "v", "x", NUVEX_REG_SZ), 0);
    unsigned char bytes[4];
    EXPECT_EQ(RegBinaryGet(kUser, "Software\\NuvexTest\\Other", "v", bytes), 0);
    EXPECT_EQ(RegKeyDelete(kUser, "Software\\NuvexTest\\Other"), 0) << "nothing was created";
    ASSERT_EQ(RegValueSet(kUser, kKey, "v", "1", NUVEX_REG_SZ), 1);
    EXPECT_EQ(RegValueUpdate(kUser, kKey, "v", "22", NUVEX_REG_SZ), 1);
    EXPECT_STREQ(Text(RegStringGet(kUser, kKey, "v")).get(), "22");
}

TEST_F(RegistryTest, StringReadHolds512BytesAtMost) {
    const std::string fits(512, 's');
    ASSERT_EQ(RegBinarySet(kUser, kKey, "fits", fits.data(), 512), 1);
    Text read(RegStringGet(kUser, kKey, "fits"));
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::string(read.get(), 512), fits);
    ASSERT_EQ(RegBinarySet(kUser, kKey, "long", (fits + "s").data(), 513), 1);
    EXPECT_EQ(RegStringGet(kUser, kKey, "long"), nullptr);
    EXPECT_EQ(RegStringGet(kUser, kKey, "missing"), nullptr);
}

TEST_F(RegistryTest, SmallReadsHoldFourBytesAtMost) {
    unsigned char bytes[8] = {};
    ASSERT_EQ(RegBinarySet(kUser, kKey, "four", "\x01\x02\x03\x04", 4), 1);
    EXPECT_EQ(RegBinaryGet(kUser, kKey, "four", bytes), 1);
    EXPECT_EQ(std::memcmp(bytes, "\x01\x02\x03\x04", 4), 0);
    ASSERT_EQ(RegBinarySet(kUser, kKey, "five", "\x01\x02\x03\x04\x05", 5), 1);
    EXPECT_EQ(RegBinaryGet(kUser, kKey, "five", bytes), 0);
    EXPECT_EQ(RegLastError(), kErrorMoreData);
    EXPECT_EQ(RegBinaryGet(kUser, kKey, "missing", bytes), 0);
    EXPECT_EQ(RegLastError(), kErrorFileNotFound);
}

TEST_F(RegistryTest, NumbersInMachineOrderAndTheSixteenBitRead) {
    ASSERT_EQ(RegDwordSet(kUser, kKey, "n", 65537u), 1);
    uint16_t low = 0;
    EXPECT_EQ(RegDwordGet(kUser, kKey, "n", &low), 1);
    EXPECT_EQ(low, 1);
    uint32_t raw = 0;
    EXPECT_EQ(RegBinaryGet(kUser, kKey, "n", &raw), 1);
    EXPECT_EQ(raw, 65537u);
}

TEST_F(RegistryTest, RootNamesAndTheirPrecedence) {
    EXPECT_EQ(RegRootByName("HKEY_LOCAL_MACHINE\\Software\\X"), NUVEX_HKEY_LOCAL_MACHINE);
    EXPECT_EQ(RegRootByName("HKEY_CLASSES_ROOT HKEY_USERS HKEY_CURRENT_USER"), NUVEX_HKEY_USERS);
    EXPECT_EQ(RegRootByName("HKEY_CURRENT_CONFIG+HKEY_CLASSES_ROOT"), NUVEX_HKEY_CURRENT_CONFIG);
    EXPECT_EQ(RegRootByName("hkey_current_user"), nullptr);
    ASSERT_EQ(RegValueSetByName("HKEY_CURRENT_USER\\ignored", kKey, "v", "by name", NUVEX_REG_SZ),
              1);
    EXPECT_STREQ(Text(RegStringGetByName("HKEY_CURRENT_USER", kKey, "v")).get(), "by name");
    EXPECT_EQ(RegValueSetByName("hkey_current_user", kKey, "v", "x", NUVEX_REG_SZ), 0);
    EXPECT_EQ(RegStringGetByName("nothing", kKey, "v"), nullptr);
    EXPECT_EQ(RegValueUpdateByName("HKEY_CURRENT_USER", kKey, "v", "again", NUVEX_REG_SZ), 1);
    EXPECT_STREQ(Text(RegStringGet(kUser, kKey, "v")).get(), "again");
}

TEST_F(RegistryTest, DeletingValuesAndKeys) {
    ASSERT_EQ(RegValueSet(kUser, kKey, "v", "x", NUVEX_REG_SZ), 1);
    EXPECT_EQ(RegValueDelete(kUser, kKey, "v"), 1);
    EXPECT_EQ(RegStringGet(kUser, kKey, "v"), nullptr);
    EXPECT_EQ(RegValueDelete(kUser, kKey, "v"), 0);
    EXPECT_EQ(RegLastError(), kErrorFileNotFound);

    ASSERT_EQ(RegValueSet(kUser, "Software\\NuvexTest\\Key\\Sub", "v", "x", NUVEX_REG_SZ), 1);
    EXPECT_EQ(RegKeyDelete(kUser, kKey), 0) << "a key with sub keys stays";
    platform::LastErrorSet(0);
    EXPECT_EQ(RegKeyRemove(kUser, kKey), 0);
    EXPECT_NE(RegLastError(), 0u);
    EXPECT_EQ(RegKeyDelete(kUser, "Software\\NuvexTest\\Key\\Sub"), 1);
    EXPECT_EQ(RegKeyDeleteByName("HKEY_CURRENT_USER", kKey), 1);
    EXPECT_EQ(RegStringGet(kUser, kKey, "v"), nullptr);
    platform::LastErrorSet(0);
    EXPECT_EQ(RegKeyDelete(kUser, kKey), 0);
    EXPECT_EQ(RegLastError(), 0u) << "RegKeyDelete leaves no last error";
    EXPECT_EQ(RegKeyRemove(kUser, kKey), 0);
    EXPECT_EQ(RegLastError(), kErrorFileNotFound);
}

#ifndef _WIN32
// A key folder without write bits stands for a key the caller may not write.
TEST_F(RegistryTest, KeyThatMayNotBeWrittenRefusesEvenAllAccessReads) {
    ASSERT_EQ(RegValueSet(kUser, kKey, "v", "x", NUVEX_REG_SZ), 1);
    const std::string folder =
        platform::DriveRoot() + "/registry/hkey_current_user/software/nuvextest/key";
    ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
    EXPECT_EQ(RegValueSet(kUser, kKey, "v", "y", NUVEX_REG_SZ), 0);
    EXPECT_EQ(RegStringGet(kUser, kKey, "v"), nullptr);
    unsigned char bytes[4] = {};
    EXPECT_EQ(RegBinaryGet(kUser, kKey, "v", bytes), 1) << "a query-only read is allowed";
    EXPECT_EQ(bytes[0], 'x');
    EXPECT_EQ(RegValueDelete(kUser, kKey, "v"), 0);
    chmod(folder.c_str(), 0755);
}
#endif

}  // namespace
