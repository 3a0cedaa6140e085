// The web library's operations run with their allocations failing one by one: no exception may
// leave them; each gives its result, its failure result or ends through ecError with its
// message for memory, which the test's end hook turns into a return to the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "tests/unit/fault_injection.h"
#include "tests/unit/support.h"
#include "webreq/error_internal.h"
#include "webreq/webreq.h"

namespace {

using faultinject::Call;
using faultinject::Operation;
using faultinject::Verdict;

// What ecError's end hook throws: the test's own type, never one the library catches.
struct Ended {};

[[noreturn]] void EndByThrow() {
    throw Ended{};
}

// Runs the call with stdout captured; an end through ecError counts as the stated failure when
// its message is one for memory ("...(): Memory allocation fail."), else as wrong.
template <class F>
Verdict Run(F &&call) {
    testsupport::StdoutCapture out;
    Verdict verdict;
    try {
        verdict = call();
    } catch (const Ended &) {
        const std::string text = out.Text();
        verdict = text.find("(): Memory allocation fail.") != std::string::npos ? Verdict::kFailure
                                                                                : Verdict::kWrong;
    }
    out.Text();
    return verdict;
}

Verdict Judge(bool success, bool failure) {
    return success ? Verdict::kSuccess : failure ? Verdict::kFailure : Verdict::kWrong;
}

std::string Dir() {
    static const std::string dir = [] {
        static testsupport::TempFolder folder;
        return folder.Path("");
    }();
    return dir;
}
std::string In(const char *name) {
    return Dir() + name;
}
void Put(const char *name, const std::string &bytes) {
    testsupport::WriteFile(In(name), bytes);
}

void Nothing() {}

// A list the test made, freed also when a later call ends through ecError.
struct OwnedList {
    ec_entry *list;
    ~OwnedList() { ec_sFree(list); }
};

std::vector<Operation> ListOperations() {
    return {
        {"ec_sDecoder", Nothing,
         [] {
             return Run([] {
                 ec_entry *list = Call(ec_sDecoder, "a = 1\nb = two words\n# note\nc = 3\n");
                 const char *b = list ? ec_sValue(list, "b") : nullptr;
                 const bool ok = b && std::strcmp(b, "two words") == 0;
                 ec_sFree(list);
                 return Judge(ok, false);
             });
         }},
        {"ec_fDecoder", [] { Put("form.txt", "a = 1\nb = 2\n"); },
         [] {
             return Run([] {
                 ec_entry *list = Call(ec_fDecoder, In("form.txt").c_str());
                 const bool ok = list && ec_siValue(list, "b") == 2;
                 ec_sFree(list);
                 return Judge(ok, !list);
             });
         }},
        {"_list_save_load", [] { std::remove(In("saved.txt").c_str()); },
         [] {
             return Run([] {
                 const OwnedList list{ec_sDecoder("k = v\nx = y\n")};
                 const std::string path = In("saved.txt");
                 const int saved = Call(_list_save, list.list, path.c_str());
                 ec_entry *loaded = saved == 1 ? Call(_list_load, path.c_str()) : nullptr;
                 const char *x = loaded ? _list_value(loaded, "x") : nullptr;
                 const bool ok = x && std::strcmp(x, "y") == 0;
                 ec_sFree(loaded);
                 return Judge(ok, saved != 1 || !loaded);
             });
         }},
        {"_list_set_copy_sorted", Nothing,
         [] {
             return Run([] {
                 OwnedList list{ec_sDecoder("b = 2\na = 1\n")};
                 list.list = Call(_list_set, list.list, "c", "3");
                 OwnedList copy{Call(_list_copy, list.list)};
                 ec_entry one{const_cast<char *>("a"), const_cast<char *>("0"), nullptr};
                 copy.list = Call(_list_insert_sorted, copy.list, &one);
                 const bool ok = copy.list && _list_position(copy.list, "c") >= 0;
                 return Judge(ok, false);
             });
         }},
    };
}

std::vector<Operation> TextOperations() {
    return {
        {"_cookie_encode", Nothing,
         [] {
             return Run([] {
                 char *text = Call(_cookie_encode, "a b;c");
                 const bool ok = text && std::strchr(text, ' ') == nullptr;
                 std::free(text);
                 return Judge(ok, !text);
             });
         }},
        {"ec_CookieSet", [] { ec_Finish(); },
         [] {
             return Run([] {
                 const int result = Call(ec_CookieSet, "name", "some value", 1, "/", nullptr, 0);
                 return Judge(result > 0, result < 0);
             });
         }},
        {"ec_Printf", Nothing,
         [] {
             return Run([] {
                 const int result = Call([] {
                     return ec_Printf(1, "see http://example.org/x and %s", "mail@example.org");
                 });
                 return Judge(result > 0, result < 0);
             });
         }},
        {"ec_Keywords", Nothing,
         [] {
             return Run([] {
                 char *keywords[8] = {};
                 const int count = Call(ec_KeywordSplit, "one two three", keywords);
                 const int shown =
                     count == 3 ? Call(ec_KeywordHighlight, 0, "a two b", keywords) : 0;
                 ec_KeywordFree(keywords);
                 return Judge(count == 3 && shown > 0, count < 3 || shown < 0);
             });
         }},
        {"ec_fGetLine", [] { Put("line.txt", std::string(3000, 'x') + "\nnext\n"); },
         [] {
             return Run([] {
                 FILE *stream = std::fopen(In("line.txt").c_str(), "rb");
                 char *line = nullptr;
                 try {
                     line = Call(ec_fGetLine, stream);
                 } catch (...) {
                     std::fclose(stream);
                     throw;
                 }
                 std::fclose(stream);
                 const bool ok = line && std::strlen(line) == 3001;
                 std::free(line);
                 return Judge(ok, false);
             });
         }},
        {"ec_SedStr", Nothing,
         [] {
             return Run([] {
                 const OwnedList args{
                     Call([] { return ec_SedArgAdd(nullptr, "name", "%s", "v"); })};
                 const int result = Call(ec_SedStr, args.list, "x $name$ y\n", 1);
                 return Judge(args.list && result >= 0, !args.list || result < 0);
             });
         }},
        {"ec_CounterAdd", [] { std::remove(In("count.txt").c_str()); },
         [] {
             return Run([] {
                 const int result = Call(ec_CounterAdd, In("count.txt").c_str(), 2);
                 return Judge(result == 2, result == 0);  // 0: the file could not be opened
             });
         }},
        {"ecError", Nothing,
         [] {
             testsupport::StdoutCapture out;
             try {
                 Call([] { ecError("Stop at %d.", 7); });
             } catch (const Ended &) {
             }
             return Judge(out.Text().find("Stop at 7.") != std::string::npos, false);
         }},
        // Under a web server the message goes out as a page built from the escaped text.
        {"ecError_page", Nothing,
         [] {
             testsupport::ScopedEnv remote{"REMOTE_ADDR", "127.0.0.1"};
             testsupport::StdoutCapture out;
             try {
                 Call([] { ecError("Stop at <%d>.", 7); });
             } catch (const Ended &) {
             }
             const std::string page = out.Text();
             return Judge(page.find("Stop at &lt;7>.") != std::string::npos &&
                              page.find("<7>") == std::string::npos,
                          false);
         }},
    };
}

// The request values: the query and cookie are parsed on the first look-up.
std::vector<Operation> ValueOperations() {
    auto reset = [] {
        ec_ValueFree();
        ec_Finish();
    };
    return {
        {"ec_Value", reset,
         [] {
             return Run([] {
                 char *value = Call([] { return ec_Value("q"); });
                 const bool ok = value && std::strcmp(value, "two") == 0;
                 ec_ValueFree();
                 return Judge(ok, false);
             });
         }},
        {"ec_ValueAdd", reset,
         [] {
             return Run([] {
                 char *value = Call([] { return ec_ValueAdd("n", "%d", 5); });
                 const bool ok = value && std::strcmp(value, "5") == 0;
                 ec_ValueFree();
                 return Judge(ok, !value);
             });
         }},
        {"ec_Serve", reset,
         [] {
             return Run([] {
                 const int status = Call(ec_Serve, [] {
                     const char *value = ec_Value("q");
                     ec_ValueAdd("added", "%s", value ? value : "");
                     return value && std::strcmp(ec_Value("added"), "two") == 0 ? 0 : 3;
                 });
                 return Judge(status == 0, false);
             });
         }},
        {"ec_ContentType", [] { ec_Finish(); },
         [] {
             return Run([] {
                 const int written = Call(ec_ContentType, "text/plain");
                 ec_Finish();
                 return Judge(written > 0, written < 0);
             });
         }},
    };
}

std::vector<Operation> AllOperations() {
    std::vector<Operation> all;
    for (auto group : {ListOperations, TextOperations, ValueOperations})
        for (Operation &operation : group()) all.push_back(std::move(operation));
    return all;
}

}  // namespace

namespace faultinject {
void PrintTo(const Operation &operation, std::ostream *out) {
    *out << operation.name;
}
}  // namespace faultinject

namespace {

class WebFaultInjection : public ::testing::TestWithParam<Operation> {
   protected:
    void SetUp() override { webreq::ErrorEndHookSet(EndByThrow); }
    void TearDown() override {
        webreq::ErrorEndHookSet(nullptr);
        ec_ValueFree();
        ec_Finish();
    }
    testsupport::ScopedEnv query{"QUERY_STRING", "q=two&r=%41"};
    testsupport::ScopedEnv cookie{"HTTP_COOKIE", "c=cookie"};
    testsupport::ScopedEnv method{"REQUEST_METHOD", "GET"};
    testsupport::ScopedEnv addr{"REMOTE_ADDR", nullptr};
};

TEST_P(WebFaultInjection, EveryFailedAllocationGivesTheFailureResult) {
    const faultinject::SweepReport report = faultinject::Sweep(GetParam());
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

INSTANTIATE_TEST_SUITE_P(Operations, WebFaultInjection, ::testing::ValuesIn(AllOperations()),
                         [](const ::testing::TestParamInfo<Operation> &info) {
                             return info.param.name;
                         });

}  // namespace
