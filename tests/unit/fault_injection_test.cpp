// Every public operation run with its allocations failing one by one: no exception may leave
// it, the result is its success or its stated failure, nothing leaks and the next call works.
#include "tests/unit/fault_injection.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "installer/console.h"
#include "installer/package.h"
#include "installer/unpack.h"
#include "platform/platform.h"
#include "tests/unit/support.h"
#include "tools/pkgwrite.h"
#include "util/util.h"

namespace fs = std::filesystem;

namespace {

using faultinject::Call;
using faultinject::Operation;
using faultinject::Verdict;
using testsupport::ReadFile;
using testsupport::WriteFile;

constexpr char kTop[] = "c:\\nuvex-fault";
constexpr char kKey[] = "Software\\NuvexFault\\Key";
constexpr char kShellFolders[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::string At(const std::string &name) {
    return std::string(kTop) + "\\" + name;
}
std::string Native(const std::string &path) {
    return platform::NativePath(path.c_str());
}
bool Exists(const std::string &windows_path) {
    std::error_code ignored;
    return fs::exists(Native(windows_path), ignored);
}
void Remove(const std::string &windows_path) {
    std::error_code ignored;
    fs::remove_all(Native(windows_path), ignored);
}
void Write(const std::string &windows_path, const std::string &bytes) {
    const fs::path path = Native(windows_path);
    fs::create_directories(path.parent_path());
    WriteFile(path.string(), bytes);
}

// kSuccess when the result is the success one, kFailure when it is the stated failure one.
Verdict Judge(bool success, bool failure) {
    return success ? Verdict::kSuccess : failure ? Verdict::kFailure : Verdict::kWrong;
}
Verdict JudgeText(char *text, const char *expected) {
    const Verdict verdict = Judge(text && std::strcmp(text, expected) == 0, !text);
    std::free(text);
    return verdict;
}

void Nothing() {}

// A tree of two folders and three files below kTop\tree.
void MakeTree() {
    Remove(At("tree"));
    Write(At("tree\\a.txt"), "a");
    Write(At("tree\\sub\\b.txt"), "bb");
    Write(At("tree\\sub\\deeper\\c.txt"), "ccc");
}

const pkgwrite::PackageSpec &Spec() {
    static const pkgwrite::PackageSpec spec = [] {
        Write(At("src\\one.txt"), "first file\n");
        Write(At("src\\two.bin"), std::string("\0\1\2\3", 4));
        pkgwrite::PackageSpec made;
        made.info = {{"appname", "Fault Demo"}, {"version", "1.0 beta"}};
        made.lists = {{"a|b", "two items"}};
        made.files = {{At("out\\one.txt"), Native(At("src\\one.txt"))},
                      {At("out\\deep\\two.bin"), Native(At("src\\two.bin"))}};
        return made;
    }();
    return spec;
}

// The package file, written once.
std::string PackagePath() {
    static const std::string path = [] {
        std::string error;
        const std::string file = Native(At("pkg\\cab1.rpm"));
        fs::create_directories(fs::path(file).parent_path());
        if (!pkgwrite::PackageWrite(Spec(), file, &error)) std::abort();
        return file;
    }();
    return path;
}

bool UnpackedWhole() {
    return ReadFile(Native(At("out\\one.txt"))) == "first file\n" &&
           ReadFile(Native(At("out\\deep\\two.bin"))) == std::string("\0\1\2\3", 4);
}

MarkerSet &Markers() {
    static MarkerSet set = [] {
        MarkerSet made{};
        MarkerSetInit(&made, "{{", "}}", "[", "]");
        return made;
    }();
    return set;
}

ec_entry *Entities() {
    static ec_entry *list = _list_append(_list_append(nullptr, "amp", "&"), "name", "Bob");
    return list;
}

std::vector<Operation> TextOperations() {
    return {
        {"StrSplit", Nothing,
         [] {
             char *fields[8];
             const int count =
                 Call(StrSplit, "  first field, second field,,the third field ", fields, ",");
             const bool whole = count == 3 && std::strcmp(fields[2], "the third field") == 0;
             FieldsFree(fields);
             return Judge(whole, count == 0);
         }},
        {"ec_StrReplace_new", Nothing,
         [] {
             return JudgeText(
                 Call(ec_StrReplace, "sn", (char *)"aXXbXXcXXdXXeXXfXXgXXhXX", "XX", "Y"),
                 "aYbYcYdYeYfYgYhY");
         }},
        {"ec_StrReplace_translate_new", Nothing,
         [] {
             return JudgeText(Call(ec_StrReplace, "tn", (char *)"a-b_c-d_e-f_g", "-_", "--"),
                              "a--b--c--d--e--f--g");
         }},
        {"ec_StrReplace_in_place", Nothing,
         [] {
             char text[64] = "abcbabcbabcb";
             char *result = Call(ec_StrReplace, "sr", text, "b", "xyz");
             return Judge(result == text && std::strcmp(text, "axyzcxyzaxyzcxyzaxyzcxyz") == 0,
                          !result && std::strcmp(text, "abcbabcbabcb") == 0);
         }},
        {"StrSwap", Nothing,
         [] {
             char a[8] = "one", b[8] = "two";
             Call(StrSwap, a, b);
             return Judge(std::strcmp(a, "two") == 0 && std::strcmp(b, "one") == 0,
                          std::strcmp(a, "one") == 0 && std::strcmp(b, "two") == 0);
         }},
    };
}

std::vector<Operation> PathOperations() {
    return {
        {"FileSize", [] { Write(At("size.txt"), "12345"); },
         [] {
             const long size = Call(FileSize, At("size.txt").c_str());
             return Judge(size == 5, size == -1);
         }},
        {"FileCopyRange", [] { Write(At("range.txt"), "0123456789"), Remove(At("range.out")); },
         [] {
             const int copied =
                 Call(FileCopyRange, At("range.txt").c_str(), At("range.out").c_str(), 2, 6);
             return Judge(copied == 1 && ReadFile(Native(At("range.out"))) == "2345", copied == 0);
         }},
        {"PathDirectory", Nothing,
         [] { return JudgeText(Call(PathDirectory, "c:\\a\\b\\file.txt"), "c:\\a\\b"); }},
        {"DirectoryPathCreate", [] { Remove(At("made")); },
         [] {
             const int result = Call(DirectoryPathCreate, At("made\\x\\y").c_str());
             return Judge(result == 0 && Exists(At("made\\x\\y")), result == -1);
         }},
        {"PathParentsCreate", [] { Remove(At("parents")); },
         [] {
             // Returns 1 either way; success is the folders being there.
             const int result = Call(PathParentsCreate, At("parents\\p\\q\\file.txt").c_str());
             return Judge(result == 1 && Exists(At("parents\\p\\q")), result == 1);
         }},
        {"WindowsDirectorySet", Nothing,
         [] {
             Call(WindowsDirectorySet, "c:\\windows-fault-value");
             const char *value = Call(WindowsDirectoryValue);
             const bool set = value && std::strcmp(value, "c:\\windows-fault-value") == 0;
             Call(WindowsDirectorySet, nullptr);
             return Judge(set && !Call(WindowsDirectoryValue), !Call(WindowsDirectoryValue));
         }},
    };
}

std::vector<Operation> FileOperations() {
    auto lines = [] { Write(At("lines.txt"), "line one\nline two\n"); };
    return {
        {"FileOpenMode", lines,
         [] {
             const int fd = Call(FileOpenMode, At("lines.txt").c_str(), "r+b");
             if (fd >= 0) Call(FileClose, fd);
             return Judge(fd >= 0, fd == -1);
         }},
        {"PathExists", lines,
         [] {
             const int found = Call(PathExists, At("line?.txt").c_str());
             return Judge(found == 1, found == 0);
         }},
        {"FileExists", lines,
         [] {
             const int found = Call(FileExists, At("lines.txt").c_str());
             return Judge(found == 1, found == 0);
         }},
        {"FileExistsFmt", lines,
         [] {
             const int found = Call(FileExistsFmt, "%s\\%s.txt", kTop, "lines");
             return Judge(found == 1, found == 0);
         }},
        {"FileCatFmt", lines,
         [] {
             const long copied = Call(FileCatFmt, "%s\\lines.txt", kTop);  // into the capture
             return Judge(copied == 18, copied == -1);
         }},
        {"FileWriteBytes", [] { Remove(At("written.bin")); },
         [] {
             const int result = Call(FileWriteBytes, "abc", 3, At("written.bin").c_str(), "wb");
             return Judge(result == 3 && ReadFile(Native(At("written.bin"))) == "abc",
                          result == -1);
         }},
        {"FileReadAll", lines,
         [] {
             char *buffer = nullptr;
             const long length = Call(FileReadAll, At("lines.txt").c_str(), &buffer);
             const bool read =
                 length == 18 && buffer && std::strcmp(buffer, "line one\nline two\n") == 0;
             std::free(buffer);
             return Judge(read, length == -1);
         }},
        {"FileLoad", lines,
         [] {
             long length = -1;
             char *buffer = Call(FileLoad, At("lines.txt").c_str(), &length);
             const Verdict verdict = Judge(buffer && length == 18, !buffer && length == 0);
             std::free(buffer);
             return verdict;
         }},
        {"FileAppend", [] { Write(At("append.out"), "head:"), Write(At("append.in"), "tail"); },
         [] {
             const int result = Call(FileAppend, At("append.out").c_str(), At("append.in").c_str());
             const std::string bytes = ReadFile(Native(At("append.out")));
             return Judge(result == 1 && bytes == "head:tail", result == 0 && bytes == "head:");
         }},
        {"FdReadLine", lines,
         [] {
             const int fd = Call(FileOpenMode, At("lines.txt").c_str(), "rb");
             if (fd < 0) return Verdict::kFailure;
             const long length = Call(FdLength, fd);
             char *first = Call(FdReadLine, fd);
             char *second = first ? Call(FdReadLine, fd) : nullptr;
             Call(FileClose, fd);
             const bool read = length == 18 && first && second &&
                               std::strcmp(first, "line one\n") == 0 &&
                               std::strcmp(second, "line two\n") == 0;
             std::free(first), std::free(second);
             return Judge(read, !second);
         }},
        {"FdWriteWord", [] { Remove(At("word.bin")); },
         [] {
             const int fd = Call(FileOpenMode, At("word.bin").c_str(), "wb");
             if (fd < 0) return Verdict::kFailure;
             const int result = Call(FdWriteWord, fd, "WXYZ");
             Call(FileClose, fd);
             return Judge(result == 4, result == -1);
         }},
        {"StreamReadLine", lines,
         [] {
             FILE *stream = std::fopen(Native(At("lines.txt")).c_str(), "rb");
             if (!stream) return Verdict::kWrong;
             char line[32];
             const bool read = Call(StreamReadLine, line, sizeof line, stream) == line &&
                               std::strcmp(line, "line one\n") == 0;
             std::fclose(stream);
             return Judge(read, false);
         }},
        {"FileOpenLocked", lines,
         [] {
             FILE *stream = Call(FileOpenLocked, At("lines.txt").c_str(), "r");
             if (!stream) return Verdict::kFailure;
             const bool unlocked = Call(FileUnlock, stream) == 0;
             const int relocked = Call(FileLock, stream);  // -1 when its record cannot be made
             const bool closed = Call(FileCloseLocked, stream) == 0;
             return Judge(closed && unlocked && relocked == 0,
                          closed && unlocked && relocked == -1);
         }},
        {"FileOpenLocked_write", [] { Write(At("locked.txt"), "old contents"); },
         [] {
             FILE *stream = Call(FileOpenLocked, At("locked.txt").c_str(), "w");
             if (!stream) return Judge(false, ReadFile(Native(At("locked.txt"))) == "old contents");
             std::fputs("new", stream);
             return Judge(
                 Call(FileCloseLocked, stream) == 0 && ReadFile(Native(At("locked.txt"))) == "new",
                 false);
         }},
    };
}

std::vector<Operation> TreeOperations() {
    return {
        {"DirCount", MakeTree,
         [] {
             int folders = 0, files = 0;
             const int result = Call(DirCount, At("tree").c_str(), &folders, &files);
             return Judge(result == 1 && folders == 2 && files == 3, result == 0);
         }},
        {"DirList", MakeTree,
         [] {
             FILE *stream = std::fopen(Native(At("list.txt")).c_str(), "wb");
             if (!stream) return Verdict::kWrong;
             const int result = Call(DirList, At("tree").c_str(), stream);
             std::fclose(stream);
             const std::string listed = ReadFile(Native(At("list.txt")));
             const bool whole = listed.find("c.txt=") != std::string::npos &&
                                listed.find("a.txt=") != std::string::npos;
             return Judge(result == 1 && whole, result == 0);
         }},
        {"DirDelete", MakeTree,
         [] {
             const int result = Call(DirDelete, At("tree").c_str());
             return Judge(result != 0 && result != -1 && !Exists(At("tree")), result == 0);
         }},
        {"DirDeleteRecursive", MakeTree,
         [] {
             const int result = Call(DirDeleteRecursive, At("tree").c_str());
             return Judge(result == 1 && !Exists(At("tree")), result == 0);
         }},
    };
}

std::vector<Operation> RegistryOperations() {
    const RegistryRoot user = NUVEX_HKEY_CURRENT_USER;
    auto clean = [user] { Call(RegKeyDelete, user, kKey); };
    auto with_values = [user] {
        Call(RegValueSet, user, kKey, "text", "value", NUVEX_REG_SZ);
        Call(RegDwordSet, user, kKey, "word", 0x12345);
    };
    auto empty_key = [user] {
        RegKeyDelete(user, kKey);
        RegDwordSet(user, kKey, "word", 1);
        RegValueDelete(user, kKey, "word");
    };
    auto text_is = [user](const char *expected) {
        char *text = RegStringGet(user, kKey, "text");  // a check, outside the window
        const bool same = text && std::strcmp(text, expected) == 0;
        std::free(text);
        return same;
    };
    return {
        {"RegRootByName", Nothing,
         [] {
             return Judge(
                 Call(RegRootByName, "HKEY_CURRENT_USER\\Software") == NUVEX_HKEY_CURRENT_USER,
                 false);
         }},
        {"RegValueSet", clean,
         [=] {
             const int result = Call(RegValueSet, user, kKey, "text", "value", NUVEX_REG_SZ);
             return Judge(result == 1 && text_is("value"), result == 0);
         }},
        {"RegValueSetByName", clean,
         [=] {
             const int result = Call(RegValueSetByName, "HKEY_CURRENT_USER", kKey, "text",
                                     "by name", NUVEX_REG_SZ);
             return Judge(result == 1 && text_is("by name"), result == 0);
         }},
        {"RegValueUpdate", with_values,
         [=] {
             const int result = Call(RegValueUpdate, user, kKey, "text", "updated", NUVEX_REG_SZ);
             return Judge(result == 1 && text_is("updated"), result == 0 && text_is("value"));
         }},
        {"RegValueUpdateByName", with_values,
         [=] {
             const int result = Call(RegValueUpdateByName, "HKEY_CURRENT_USER", kKey, "text",
                                     "again", NUVEX_REG_SZ);
             return Judge(result == 1 && text_is("again"), result == 0 && text_is("value"));
         }},
        {"RegStringGet", with_values,
         [=] { return JudgeText(Call(RegStringGet, user, kKey, "text"), "value"); }},
        {"RegStringGetByName", with_values,
         [] {
             return JudgeText(Call(RegStringGetByName, "HKEY_CURRENT_USER", kKey, "text"), "value");
         }},
        {"RegBinarySet", clean,
         [=] {
             const int result = Call(RegBinarySet, user, kKey, "bin", "\1\2\3", 3);
             unsigned char four[4] = {0, 0, 0, 0};
             const bool back = RegBinaryGet(user, kKey, "bin", four) == 1 && four[2] == 3;
             return Judge(result == 1 && back, result == 0);
         }},
        {"RegDwordSet", clean,
         [=] {
             const int result = Call(RegDwordSet, user, kKey, "word", 7);
             return Judge(result == 1, result == 0);
         }},
        {"RegBinaryGet", with_values,
         [=] {
             unsigned char four[4] = {0, 0, 0, 0};
             const int result = Call(RegBinaryGet, user, kKey, "word", four);
             return Judge(result == 1 && four[0] == 0x45, result == 0);
         }},
        {"RegDwordGet", with_values,
         [=] {
             uint16_t value = 0;
             const int result = Call(RegDwordGet, user, kKey, "word", &value);
             return Judge(result == 1 && value == 0x2345, result == 0);
         }},
        {"RegValueDelete", with_values,
         [=] {
             const int result = Call(RegValueDelete, user, kKey, "text");
             return Judge(result == 1 && !text_is("value"), result == 0 && text_is("value"));
         }},
        {"RegKeyDelete", empty_key,
         [=] {
             const int result = Call(RegKeyDelete, user, kKey);
             return Judge(result == 1, result == 0);
         }},
        {"RegKeyDeleteByName", empty_key,
         [=] {
             const int result = Call(RegKeyDeleteByName, "HKEY_CURRENT_USER", kKey);
             return Judge(result == 1, result == 0);
         }},
        {"RegKeyRemove", empty_key,
         [=] {
             const int result = Call(RegKeyRemove, user, kKey);
             return Judge(result == 1, result == 0);
         }},
    };
}

const char *kWindows = "c:\\nuvex-fault\\windows";

void InstallLog() {
    Call(WindowsDirectorySet, kWindows);
    Write(std::string(kWindows) + "\\tamtam.log",
          "first\r\nc:\\nuvex-fault\\nuvex\\tamble\\bin\\tamble.exe\r\nlast\r\n");
}

// The shell folders, new for every call: a tree just removed may still be in the way under
// Wine.
int g_folders_generation = 0;
std::string Folders(const std::string &below) {
    return At("folders" + std::to_string(g_folders_generation) + "\\" + below);
}

// Whether the link is there, or the folder value no longer names ours: Wine's shell puts its
// own Shell Folders values back at times of its choosing, and a link then goes there.
bool LinkMade(const char *folder_value, const std::string &below) {
    if (Exists(Folders(std::string(folder_value) + "\\" + below))) return true;
    char *value = RegStringGet(NUVEX_HKEY_LOCAL_MACHINE, kShellFolders, folder_value);
    const bool ours = value && Folders(folder_value) == value;
    std::free(value);
    return !ours;
}

void ShellFolders() {
    InstallLog();
    Remove(Folders(""));
    ++g_folders_generation;
    for (const char *name : {"Common Desktop", "Common Startup", "Common Programs"})
        RegValueSet(NUVEX_HKEY_LOCAL_MACHINE, kShellFolders, name, Folders(name).c_str(),
                    NUVEX_REG_SZ);
    fs::create_directories(Native(At("nuvex\\tamble\\bin")));
}

void Browser(const std::string &command) {
    Call(RegValueSet, NUVEX_HKEY_CLASSES_ROOT, "http\\shell\\open\\command", "", command.c_str(),
         NUVEX_REG_SZ);
}

std::vector<Operation> ShellOperations() {
    return {
        {"InstallLogExePath", InstallLog,
         [] {
             return JudgeText(Call(InstallLogExePath),
                              "c:\\nuvex-fault\\nuvex\\tamble\\bin\\tamble.exe\r");
         }},
        {"InstallLogRoot", InstallLog,
         [] {
             char *root = Call(InstallLogRoot);
             // An empty root is also what a missing log gives.
             const Verdict verdict =
                 Judge(root && std::strcmp(root, "c:\\nuvex-") == 0, !root || !*root);
             std::free(root);
             return verdict;
         }},
        {"ShortcutCreate", [] { Remove(At("direct.lnk")); },
         [] {
             const int result = Call(ShortcutCreate, "c:\\target.exe", At("direct.lnk").c_str(),
                                     "desc", "c:\\icon.ico", "c:\\work");
             return Judge(result == 1 && Exists(At("direct.lnk")), result == 0 || result == 1);
         }},
        {"ShellFolderShortcutCreate", ShellFolders,
         [] {
             const int result = Call(ShellFolderShortcutCreate, "c:\\target.exe", "Common Desktop",
                                     "\\t.lnk", "no", "desc", "\\sub", "c:\\");
             return Judge(result == 0 && LinkMade("Common Desktop", "sub\\t.lnk"), result == 0);
         }},
        {"ProductShortcutsCreate", ShellFolders,
         [] {
             const int result = Call(ProductShortcutsCreate, "Desktop=ON Startup=ON SMenu=ON");
             const bool all = LinkMade("Common Desktop", "tamble.lnk") &&
                              LinkMade("Common Startup", "tamble.lnk") &&
                              LinkMade("Common Programs", "nuvex\\tamble\\tamble.lnk");
             return Judge(result == 1 && all, result == 1);
         }},
        {"DefaultBrowserPath", [] { Browser("\"c:\\nuvex-fault\\web\\browse.exe\" -url \"%1\""); },
         [] {
             return JudgeText(Call(DefaultBrowserPath),
                              "c:\\nuvex-fault\\web\\browse"
                              ".exe");
         }},
        // No program can start here (the browser and the product are missing): these check
        // that the paths and arguments made on the way never let an exception out or leak.
        {"UrlOpen", [] { Browser("\"c:\\nuvex-fault\\missing\\browse.exe\" -url \"%1\""); },
         [] {
             const int started = Call(UrlOpen, "http://localhost/a/long/enough/address", 0);
             return Judge(started == 0, started == 0);
         }},
        {"ProductRun", Nothing, [] { return Judge(Call(ProductRun) == 1, false); }},
        {"FirefoxPrefsPatch",
         [] {
             Write(At("mozilla firefox\\firefox.exe"), "");
             Write(At("mozilla firefox\\greprefs\\all.js"), "// prefs");
             Browser("\"" + At("mozilla firefox\\firefox.exe") + "\" -url \"%1\"");
         },
         [] {
             const int result = Call(FirefoxPrefsPatch);
             const bool patched =
                 ReadFile(Native(At("mozilla firefox\\greprefs\\all.js"))).size() > 8;
             return Judge(result == 1 && patched, result == -1 && !patched);
         }},
        {"InstallErrorLog", Nothing,
         [] {
             const int result = Call(InstallErrorLog, 7);
             return Judge(result == -1 && Exists("c:\\TamErrorInst.log"), false);
         }},
    };
}

std::vector<Operation> MarkerOperations() {
    return {
        {"MarkerSetInit", Nothing,
         [] {
             MarkerSet set{};
             const int result = Call(MarkerSetInit, &set, "<<", ">>", "(", ")");
             const bool whole = result == 1 && std::strcmp(set.inner_end, ")") == 0;
             MarkerSetFree(&set);
             return Judge(whole, result == 0);
         }},
        {"MarkerSplit", Nothing,
         [] {
             char *pieces[3] = {nullptr, nullptr, nullptr};
             const int result = Call(MarkerSplit, "ab{{cd}}ef", "{{", "}}", pieces, 0);
             const bool whole =
                 result == MARKER_FOUND && pieces[1] && std::strcmp(pieces[1], "cd") == 0;
             MarkerPiecesFree(pieces);
             return Judge(whole, result != MARKER_FOUND);
         }},
        {"OuterMarkerSplit", Nothing,
         [] {
             char *pieces[3] = {nullptr, nullptr, nullptr};
             const int result = Call(OuterMarkerSplit, "a{{b[c]}}d", &Markers(), pieces, 0, 0);
             const bool whole = result == MARKER_FOUND && std::strcmp(pieces[1], "b[c]") == 0;
             MarkerPiecesFree(pieces);
             return Judge(whole, result != MARKER_FOUND);
         }},
        {"InnerMarkerSplit", Nothing,
         [] {
             char *pieces[3] = {nullptr, nullptr, nullptr};
             const int result = Call(InnerMarkerSplit, "b[c]d", &Markers(), pieces, 0);
             const bool whole = result == MARKER_FOUND && std::strcmp(pieces[1], "c") == 0;
             MarkerPiecesFree(pieces);
             return Judge(whole, result != MARKER_FOUND);
         }},
        {"MarkerSplitPlain", Nothing,
         [] {
             char *pieces[3] = {nullptr, nullptr, nullptr};
             const int result = Call(MarkerSplitPlain, "x<y>z", "<", ">", pieces);
             const bool whole = result == MARKER_FOUND && std::strcmp(pieces[1], "y") == 0;
             MarkerPiecesFree(pieces);
             return Judge(whole, result != MARKER_FOUND);
         }},
        {"EntitiesReplace", Nothing,
         [] {
             return JudgeText(Call(EntitiesReplace, "Tom &amp; &name;, &odd;", Entities(), nullptr),
                              "Tom & Bob, &odd;");
         }},
        {"MarkerTextWalk", Nothing,
         [] {
             return JudgeText(Call(MarkerTextWalk, "a{{b[c]d[e]}}f{{&name;}}h", &Markers(),
                                   Entities(), nullptr, 0, 0, 1),
                              "a{{b[c]d[e]}}f{{Bob}}h");
         }},
        {"AttrTextNormalize", Nothing,
         [] {
             return JudgeText(Call(AttrTextNormalize, "  alpha_attribute = first value   b=2"),
                              "alpha_attribute=first value b=2 ");
         }},
        {"AttrTextParse", Nothing,
         [] {
             ec_entry *list = nullptr;
             const int result =
                 Call(AttrTextParse, "long_attribute_name=long_attribute_value b=2 ", &list);
             const char *b = list ? _list_value(list, "b") : nullptr;
             const bool whole = result == 1 && b && std::strcmp(b, "2") == 0;
             _list_free(list);
             return Judge(whole, result == -1 && !list);
         }},
        {"SplitOutsideParens", Nothing,
         [] {
             char *fields[8] = {};
             const int count = Call(SplitOutsideParens, "a,f(b,c),d", fields, ',');
             const bool whole = count == 3 && fields[1] && std::strcmp(fields[1], "f(b,c)") == 0;
             FieldsFree(fields);
             return Judge(whole, count == 0);
         }},
        {"StrAppendN", Nothing,
         [] {
             char *heap = static_cast<char *>(std::malloc(4));
             std::strcpy(heap, "abc");
             char *grown = Call(StrAppendN, heap, "defgh", 3);  // the old text when it cannot grow
             const Verdict verdict =
                 Judge(std::strcmp(grown, "abcdef") == 0, std::strcmp(grown, "abc") == 0);
             std::free(grown);
             return verdict;
         }},
    };
}

std::vector<Operation> InstallerOperations() {
    auto unpacked_none = [] { Remove(At("out")); };
    return {
        {"PackageRestore", [] { Remove(At("restored")); },
         [] {
             const int result =
                 Call(PackageRestore, PackagePath().c_str(), Native(At("restored")).c_str());
             return Judge(result == 1 && Exists(At("restored")), result == 0);
         }},
        {"PackageUnpack", unpacked_none,
         [] {
             char **info = nullptr;
             const int result = Call(PackageUnpack, PackagePath().c_str(), &info);
             const bool records = info && info[0] && std::strstr(info[0], "appname");
             return Judge(result == 1 && records && UnpackedWhole(), result == -1);
         }},
        {"PackageInfoValue",
         [] {
             char **info = nullptr;
             Call(PackageUnpack, PackagePath().c_str(), &info);
         },
         [] { return JudgeText(Call(PackageInfoValue, "version"), "1.0 beta"); }},
        {"ConsoleClear", Nothing,
         [] {
             Call(ConsoleClear);
             Call(ConsoleCursorMove, 0, 0);
             Call(ConsoleColorSet, 1);
             return Verdict::kSuccess;
         }},
    };
}

std::vector<Operation> WriterOperations() {
    auto manifest = [] {
        Write(At("m\\one.txt"), "one");
        Write(At("m\\manifest.txt"),
              "appname = Manifest Demo\ninfo version = 2\nlist a|b = ab\nfile c:\\x\\one.txt = "
              "one.txt\n");
    };
    return {
        {"ManifestRead", manifest,
         [] {
             pkgwrite::PackageSpec spec;
             std::string error;
             const bool read =
                 Call(pkgwrite::ManifestRead, Native(At("m\\manifest.txt")), &spec, &error);
             return Judge(read && spec.files.size() == 1 && spec.info.size() == 2, !read);
         }},
        {"PackageBuild", Nothing,
         [] {
             std::string restored, error;
             const bool built = Call(pkgwrite::PackageBuild, Spec(), &restored, &error);
             return Judge(built && restored.find("first file") != std::string::npos, !built);
         }},
        {"PackageWrite",
         [] { Remove(At("w\\written.rpm")), fs::create_directories(Native(At("w"))); },
         [] {
             std::string error;
             const bool written =
                 Call(pkgwrite::PackageWrite, Spec(), Native(At("w\\written.rpm")), &error);
             return Judge(
                 written && ReadFile(Native(At("w\\written.rpm"))) == ReadFile(PackagePath()),
                 !written && !Exists(At("w\\written.rpm")));
         }},
        {"PackageList", Nothing,
         [] {
             std::string listing;
             const bool listed = Call(pkgwrite::PackageList, PackagePath(), &listing);
             return Judge(listed && listing.find("two.bin") != std::string::npos, !listed);
         }},
        {"PackageExtract", [] { Remove(At("extracted")); },
         [] {
             std::string report;
             const int result =
                 Call(pkgwrite::PackageExtract, PackagePath(), Native(At("extracted")), &report);
             return Judge(result == 0, result == 1 || result == 2);
         }},
    };
}

std::vector<Operation> AllOperations() {
    std::vector<Operation> all;
    for (auto group :
         {TextOperations, PathOperations, FileOperations, TreeOperations, RegistryOperations,
          ShellOperations, MarkerOperations, InstallerOperations, WriterOperations})
        for (Operation &operation : group()) all.push_back(std::move(operation));
    return all;
}

}  // namespace

namespace faultinject {
// Test names are enough to tell the operations apart.
void PrintTo(const Operation &operation, std::ostream *out) {
    *out << operation.name;
}
}  // namespace faultinject

namespace {

class FaultInjection : public ::testing::TestWithParam<Operation> {};

TEST_P(FaultInjection, EveryFailedAllocationGivesTheFailureResult) {
    fs::create_directories(Native(kTop));
    testsupport::StdoutCapture quiet;  // some operations print as they go
    const faultinject::SweepReport report = faultinject::Sweep(GetParam());
    quiet.Text();
    EXPECT_TRUE(report.setup_ok) << "the operation does not succeed without a failure";
    EXPECT_TRUE(report.escaped.empty())
        << "exception left the call at " << faultinject::RunList(report.escaped);
    EXPECT_TRUE(report.wrong.empty())
        << "neither success nor failure at " << faultinject::RunList(report.wrong);
    EXPECT_TRUE(report.broken_after.empty())
        << "next call failed after " << faultinject::RunList(report.broken_after);
    EXPECT_TRUE(report.leaked.empty())
        << "blocks left live after " << faultinject::RunList(report.leaked);
    std::printf("%s: %ld allocations\n", GetParam().name.c_str(), report.allocations);
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultInjection, ::testing::ValuesIn(AllOperations()),
                         [](const ::testing::TestParamInfo<Operation> &info) {
                             return info.param.name;
                         });

// The harness itself: an armed allocation fails, every form, and only the chosen one. Direct
// calls of the allocation functions, which the compiler may not leave out as it may a pair of
// new and delete expressions.
void *volatile g_sink = nullptr;

TEST(FaultInjectionHarness, FailsOnlyTheArmedAllocation) {
    const faultinject::Window window;
    faultinject::Arm(2);
    void *first = ::operator new(16);
    bool threw = false;
    try {
        g_sink = ::operator new[](16);
    } catch (const std::bad_alloc &) {
        threw = true;
    }
    void *third = ::operator new(16);
    EXPECT_TRUE(faultinject::Disarm());
    EXPECT_TRUE(threw);
    ::operator delete(first);
    ::operator delete(third);

    faultinject::Arm(1);
    g_sink = ::operator new[](16, std::nothrow);
    EXPECT_TRUE(faultinject::Disarm());
    EXPECT_EQ(g_sink, nullptr);

    faultinject::Arm(1);
    EXPECT_THROW(g_sink = ::operator new(64, std::align_val_t(64)), std::bad_alloc);
    EXPECT_TRUE(faultinject::Disarm());
    faultinject::Arm(1);
    g_sink = ::operator new(64, std::align_val_t(64), std::nothrow);
    EXPECT_TRUE(faultinject::Disarm());
    EXPECT_EQ(g_sink, nullptr);

    faultinject::Arm(2);
    void *wide = ::operator new(64, std::align_val_t(64));
    EXPECT_FALSE(faultinject::Disarm()) << "only one allocation was made";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % 64, 0u);
    ::operator delete(wide, std::align_val_t(64));
}

TEST(FaultInjectionHarness, CountsLiveBlocksOfEveryForm) {
    const faultinject::Window window;
    const long before = faultinject::LiveBlocks();
    void *plain = ::operator new(10);
    void *array = ::operator new[](10, std::nothrow);
    void *wide = ::operator new[](10, std::align_val_t(32));
    EXPECT_EQ(faultinject::LiveBlocks(), before + 3);
    ::operator delete(plain, 10);
    ::operator delete[](array, std::nothrow);
    ::operator delete[](wide, std::align_val_t(32));
    EXPECT_EQ(faultinject::LiveBlocks(), before);
}

// A sweep reports what a faulty operation does: an escaping exception, a block kept.
TEST(FaultInjectionHarness, SweepFindsEscapesAndLeaks) {
    std::vector<void *> kept;
    const Operation faulty{"faulty", Nothing, [&kept] {
                               const faultinject::Window window;
                               std::string text(40, 'x');  // throws when its allocation fails
                               if (kept.empty()) kept.reserve(100);
                               kept.push_back(::operator new(4, std::nothrow));
                               return kept.back() ? Verdict::kSuccess : Verdict::kFailure;
                           }};
    const faultinject::SweepReport report = faultinject::Sweep(faulty);
    for (void *block : kept) ::operator delete(block);
    EXPECT_EQ(report.allocations, 2);
    EXPECT_EQ(report.escaped, std::vector<long>{1});
    EXPECT_FALSE(report.leaked.empty());
    EXPECT_TRUE(report.wrong.empty());
    EXPECT_FALSE(report.Clean());
}

}  // namespace
