#include "util/marker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/unit/support.h"
#include "util/text.h"

namespace {

using testsupport::StdoutCapture;

// The split's result and its three pieces ("-" for an empty slot).
struct Split {
    int result;
    std::string before, inside, after;
    bool operator==(const Split &o) const {
        return result == o.result && before == o.before && inside == o.inside && after == o.after;
    }
};

std::ostream &operator<<(std::ostream &out, const Split &s) {
    return out << s.result << " [" << s.before << "|" << s.inside << "|" << s.after << "]";
}

Split Collect(int result, char **pieces) {
    auto text = [](const char *p) { return p ? std::string(p) : std::string("-"); };
    Split split{result, text(pieces[0]), text(pieces[1]), text(pieces[2])};
    MarkerPiecesFree(pieces);
    return split;
}

Split Brackets(const char *text, int lenient = 0) {
    char *pieces[3] = {};
    return Collect(MarkerSplit(text, "[", "]", pieces, lenient), pieces);
}

class MarkerSetTest : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_EQ(MarkerSetInit(&set, "{{", "}}", "[", "]"), 1); }
    void TearDown() override { MarkerSetFree(&set); }
    MarkerSet set{};
};

TEST(MarkerSplit, PairsAndTheirCodes) {
    EXPECT_EQ(Brackets("x[a]y"), (Split{1, "x", "a", "y"}));
    EXPECT_EQ(Brackets("xy"), (Split{-1, "-", "-", "-"}));
    EXPECT_EQ(Brackets("x]a"), (Split{-2, "-", "-", "-"}));
    EXPECT_EQ(Brackets("x[a"), (Split{-3, "-", "-", "-"}));
    EXPECT_EQ(Brackets(""), (Split{-1, "-", "-", "-"}));
    EXPECT_EQ(Brackets("[]"), (Split{1, "", "", ""}));
}

TEST(MarkerSplit, StrictAndLenientNesting) {
    EXPECT_EQ(Brackets("]x[a]"), (Split{-2, "-", "-", "-"}));
    EXPECT_EQ(Brackets("[a[b]c]"), (Split{-2, "-", "-", "-"}));
    EXPECT_EQ(Brackets("[a[b]c]", 1), (Split{1, "", "a[b", "c]"}));
    EXPECT_EQ(Brackets("x]a", 1), (Split{-2, "-", "-", "-"})) << "an end without a start";
}

TEST(MarkerSplit, AFailedSplitEmptiesTheSlots) {
    char *pieces[3] = {};
    ASSERT_EQ(MarkerSplit("<a>", "<", ">", pieces, 0), 1);
    EXPECT_EQ(MarkerSplit("none", "<", ">", pieces, 0), -1);
    EXPECT_EQ(pieces[0], nullptr);
    EXPECT_EQ(pieces[1], nullptr);
    EXPECT_EQ(pieces[2], nullptr);
}

TEST(MarkerSplit, TheTextMayBeOneOfTheSlots) {
    // A walk by hand: the after piece becomes the next text (read under the sanitizer).
    char *pieces[3] = {};
    ASSERT_EQ(MarkerSplit("<a>x<b>y<c>z", "<", ">", pieces, 0), 1);
    std::vector<std::string> inside{pieces[MARKER_INSIDE]};
    while (MarkerSplit(pieces[MARKER_AFTER], "<", ">", pieces, 0) == 1)
        inside.emplace_back(pieces[MARKER_INSIDE]);
    EXPECT_EQ(inside, (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(MarkerSplitPlain("[p]q[r]", "[", "]", pieces), 1);
    ASSERT_EQ(MarkerSplitPlain(pieces[MARKER_AFTER], "[", "]", pieces), 1);
    EXPECT_STREQ(pieces[MARKER_BEFORE], "q");
    EXPECT_STREQ(pieces[MARKER_INSIDE], "r");
    MarkerSet set{};
    ASSERT_EQ(MarkerSetInit(&set, "{", "}", "(", ")"), 1);
    ASSERT_EQ(OuterMarkerSplit("{1}{2}", &set, pieces, 0, 0), 1);
    ASSERT_EQ(OuterMarkerSplit(pieces[MARKER_AFTER], &set, pieces, 0, 0), 1);
    EXPECT_STREQ(pieces[MARKER_INSIDE], "2");
    ASSERT_EQ(InnerMarkerSplit("(3)(4)", &set, pieces, 0), 1);
    ASSERT_EQ(InnerMarkerSplit(pieces[MARKER_AFTER], &set, pieces, 0), 1);
    EXPECT_STREQ(pieces[MARKER_INSIDE], "4");
    MarkerPiecesFree(pieces);
    MarkerSetFree(&set);
}

TEST(MarkerSetInit, EmptyMarkersAreRefusedUntouched) {
    MarkerSet set{};
    for (int empty = 0; empty < 4; ++empty) {
        const char *markers[4] = {"{{", "}}", "[", "]"};
        markers[empty] = "";
        EXPECT_EQ(MarkerSetInit(&set, markers[0], markers[1], markers[2], markers[3]), 0) << empty;
        EXPECT_EQ(set.outer_start, nullptr);
        EXPECT_EQ(set.inner_end, nullptr);
    }
}

TEST(MarkerTextWalk, ASetWithAnEmptyMarkerGivesNoneAtOnce) {
    char empty[] = "", close[] = "}", open[] = "[", shut[] = "]";
    MarkerSet set{empty, close, open, shut};
    StdoutCapture said;
    EXPECT_EQ(MarkerTextWalk("a{b}c", &set, nullptr, nullptr, 0, 0, 0), nullptr);
    EXPECT_EQ(said.Text(), "");
}

TEST(MarkerSplit, LongMarkersAtTheEndOfTheText) {
    char *pieces[3] = {};
    EXPECT_EQ(Collect(MarkerSplit("ab<!--", "<!--", "-->", pieces, 0), pieces).result, -3);
    EXPECT_EQ(Collect(MarkerSplit("x-->", "<!--", "-->", pieces, 0), pieces).result, -2);
    EXPECT_EQ(Collect(MarkerSplit("<", "<!--", "-->", pieces, 0), pieces).result, -1);
}

TEST_F(MarkerSetTest, OuterSearchInStrictModeAndRoleExchange) {
    char *pieces[3] = {};
    EXPECT_EQ(Collect(OuterMarkerSplit("[a]{{b}}", &set, pieces, 0, 0), pieces).result, -2);
    EXPECT_EQ(OuterMarkerFind(&set, "x]{{", 0, 0), -3);
    EXPECT_EQ(OuterMarkerFind(&set, "x}}{{", 0, 0), -4);
    EXPECT_EQ(OuterMarkerFind(&set, "x]{{", 0, 1), 2) << "lenient ignores the competitors";
    EXPECT_EQ(Collect(OuterMarkerSplit("[a]{{b}}", &set, pieces, 1, 0), pieces),
              (Split{1, "", "a", "{{b}}"}));
    EXPECT_STREQ(set.outer_start, "[") << "the exchange lasts";
    EXPECT_STREQ(set.inner_end, "}}");
    EXPECT_EQ(Collect(InnerMarkerSplit("x{{y}}z", &set, pieces, 0), pieces),
              (Split{1, "x", "y", "z"}));
}

TEST(MarkerSplitPlain, FirstOccurrences) {
    char *pieces[3] = {};
    EXPECT_EQ(Collect(MarkerSplitPlain("a]b[c]d]", "[", "]", pieces), pieces),
              (Split{1, "a]b", "c", "d]"}));
    EXPECT_EQ(Collect(MarkerSplitPlain("a[b", "[", "]", pieces), pieces).result, -1);
    EXPECT_EQ(SubstrPos("hello", "ll"), 2);
    EXPECT_EQ(SubstrPos("hello", "x"), -1);
}

class EntityTest : public ::testing::Test {
   protected:
    void SetUp() override {
        list1 = _list_append(nullptr, "n", "V");
        list1 = _list_append(list1, "blank", "");
        list2 = _list_append(nullptr, "m", "W");
    }
    void TearDown() override {
        _list_free(list1);
        _list_free(list2);
    }
    std::string Replace(const char *text) {
        char *replaced = EntitiesReplace(text, list1, list2);
        std::string out = replaced;
        std::free(replaced);
        return out;
    }
    ec_entry *list1 = nullptr, *list2 = nullptr;
};

TEST_F(EntityTest, NamesFromTheTwoLists) {
    EXPECT_EQ(Replace("a&n;b&#m;c"), "aVbWc");
    EXPECT_EQ(Replace("&unknown; & alone"), "&unknown; & alone");
    EXPECT_EQ(Replace("x & y &n; z;"), "x & y &n; z;") << "a lone & swallows up to the next ;";
    EXPECT_EQ(Replace("[&blank;]"), "[ ]");
    EXPECT_STREQ(_list_value(list1, "blank"), "") << "the stored value stays empty";
    EXPECT_EQ(EntityValue("#n", list1, list2), nullptr);
}

TEST_F(MarkerSetTest, WalkRebuildsTheTextAndPrintsThePieces) {
    StdoutCapture capture;
    char *rebuilt = MarkerTextWalk("a{{b[c]d[e]}}f{{g}}h", &set, nullptr, nullptr, 0, 0, 0);
    const std::string printed = capture.Text();
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_STREQ(rebuilt, "a{{b[c]d[e]}}f{{g}}h");
    std::free(rebuilt);
    EXPECT_EQ(printed,
              "strings in Outer Markers 1=\nb[c]d[e]\n\nSubstring 1=\nc\nSubstring 2=\ne\n"
              "strings in Outer Markers 2=\ng\n\n");
}

TEST_F(MarkerSetTest, WalkOfABrokenTextGivesNone) {
    StdoutCapture capture;
    EXPECT_EQ(MarkerTextWalk("a{{b}}c{{open", &set, nullptr, nullptr, 0, 0, 0), nullptr);
    EXPECT_EQ(MarkerTextWalk("a{{b[c}}", &set, nullptr, nullptr, 0, 0, 0), nullptr);
    EXPECT_NE(capture.Text().find("strings in Outer Markers 1=\nb\n"), std::string::npos);
}

TEST_F(MarkerSetTest, WalkReplacesEntitiesFirst) {
    ec_entry *list = _list_append(nullptr, "open", "{{");
    StdoutCapture capture;
    char *rebuilt = MarkerTextWalk("&open;x}}", &set, list, nullptr, 0, 0, 1);
    capture.Text();
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_STREQ(rebuilt, "{{x}}");
    std::free(rebuilt);
    _list_free(list);
}

TEST(AttrText, NormaliseThenParse) {
    char *normal = AttrTextNormalize("  a = 1   b=2");
    EXPECT_STREQ(normal, "a=1 b=2 ");
    ec_entry *list = nullptr;
    EXPECT_EQ(AttrTextParse(normal, &list), 1);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->name, "a");
    EXPECT_STREQ(list->value, "1");
    EXPECT_STREQ(list->next->name, "b");
    EXPECT_EQ(BlankCountTo(normal, "b="), 1);
    EXPECT_EQ(BlankCountTo(normal, "a="), 0);
    EXPECT_EQ(BlankCountTo(normal, "c="), -1);
    _list_free(list);
    std::free(normal);
    char *empty = AttrTextNormalize("");
    EXPECT_STREQ(empty, " ");
    std::free(empty);
}

TEST(AttrText, FormatErrorsPrintAndLeaveNoList) {
    for (const auto &[text, message] : std::vector<std::pair<const char *, const char *>>{
             {"=1 ", "Error xml format 1\n"}, {"a=1=2 ", "Error xml format 2\n"}}) {
        ec_entry *list = reinterpret_cast<ec_entry *>(1);
        StdoutCapture capture;
        EXPECT_EQ(AttrTextParse(text, &list), -1);
        EXPECT_EQ(capture.Text(), message);
        EXPECT_EQ(list, nullptr);
    }
    ec_entry *untouched = nullptr;
    EXPECT_EQ(AttrTextParse(" ", &untouched), 1);
    ec_entry *list = nullptr;
    EXPECT_EQ(AttrTextParse("a b=2 c", &list), 1);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->value, "") << "a name without = has the empty value";
    EXPECT_EQ(list->next->next, nullptr) << "a pair without its blank is not added";
    _list_free(list);
}

TEST(SplitOutsideParens, GroupsStayWhole) {
    char *fields[8] = {};
    ASSERT_EQ(SplitOutsideParens("f(a,b),c", fields, ','), 2);
    EXPECT_STREQ(fields[0], "f(a,b)");
    EXPECT_STREQ(fields[1], "c");
    EXPECT_EQ(fields[2], nullptr);
    FieldsFree(fields);
    ASSERT_EQ(SplitOutsideParens(" ,,a,, ", fields, ','), 1);
    EXPECT_STREQ(fields[0], "a");
    FieldsFree(fields);
    ASSERT_EQ(SplitOutsideParens("g((x,y),z),(open,", fields, ','), 2);
    EXPECT_STREQ(fields[1], "(open,");
    FieldsFree(fields);
    EXPECT_EQ(HasSepOutsideParens("f(a,b)", ','), 0);
    EXPECT_EQ(HasSepOutsideParens(",x", ','), 1);
    EXPECT_EQ(HasSepOutsideParens("(a),b", ','), 1);
}

TEST(SplitOutsideParens, HasSepAgreesWithTheSplit) {
    // Where the split gives two fields or more, a separator stood outside parentheses.
    const char *texts[] = {"a(b", "f(x)", "a(b)c", "f(a(b)", "a)b", "(a)(b)", "g((x,y),z),w"};
    for (const char sep : {'(', ')', ','}) {
        for (const char *text : texts) {
            char *fields[16] = {};
            const int count = SplitOutsideParens(text, fields, sep);
            FieldsFree(fields);
            if (count > 1) {
                EXPECT_EQ(HasSepOutsideParens(text, sep), 1) << "'" << text << "' on " << sep;
            }
        }
    }
    EXPECT_EQ(HasSepOutsideParens("a(b", '('), 1);
    EXPECT_EQ(HasSepOutsideParens("ab", '('), 0);
}

TEST(StrAppendN, AppendsAtMostN) {
    char *text = StrAppendN(nullptr, "abc", 2);
    EXPECT_STREQ(text, "ab");
    text = StrAppendN(text, "xyz", 10);
    EXPECT_STREQ(text, "abxyz");
    std::free(text);
}

}  // namespace
