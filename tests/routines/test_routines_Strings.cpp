#include <gtest/gtest.h>

#include "routines/routines_Components.h"
#include "routines/routines_Strings.h"

using namespace kv;

TEST(routines_Strings, Backslashes) {
    struct Case { const char* in; const char* added; const char* removed; };
    const Case cases[] = {
        {"", "", ""},
        {"C:\\", "C:\\", "C:"},
        {"C:", "C:\\", "C:"},
        {"C:\\DIR\\\\", "C:\\DIR\\\\", "C:\\DIR\\"},
        {"\\", "\\", ""},
        {"a", "a\\", "a"},
    };
    for (const auto& c : cases) {
        std::string r;
        AddBackslash(c.in, r);
        EXPECT_EQ(r, c.added) << c.in;
        RemoveBackslash(c.in, r);
        EXPECT_EQ(r, c.removed) << c.in;
    }
}

TEST(routines_Strings, PartsOfLists) {
    struct Count { const char* text; const char* sep; int32_t want; };
    const Count counts[] = {
        {"a;b", ";", 2}, {"a;b;", ";", 2}, {"", ";", 0}, {"a", ";", 1}, {";", ";", 1}, {";;", ";", 2},
        {"a,b", ",", 2}, {"a,b;", ",", 1}, {"a,b,", ",", 3}, {"a;b", "", 1}, {"a;b", ";;", 1},
    };
    for (const auto& c : counts) EXPECT_EQ(CountParts(c.text, c.sep), c.want) << c.text << " " << c.sep;
    struct Part { const char* text; int32_t n; const char* want; };
    const Part parts[] = {
        {"a;b;c", 1, "a"}, {"a;b;c", 2, "b"}, {"a;b;c", 3, "c"}, {"a;b;c", 4, ""}, {"a;b;c", 0, "a"},
        {"a;;c", 2, ""},   {"a;;c", 3, "c"},  {"a;b;", 3, ""},   {"", 1, ""},       {"abc", 1, "abc"},
    };
    for (const auto& c : parts) {
        std::string r = "unchanged";
        GetPart(c.text, c.n, ";", r);
        EXPECT_EQ(r, c.want) << c.text << " " << c.n;
    }
    std::string r;
    GetPart("x<>y<>z", 2, "<>", r);
    EXPECT_EQ(r, "y");
    TStringList list;
    list.Add("old");
    SplitList("C:\\A;D:\\B;", ";", list);
    EXPECT_EQ(list.Text(), "C:\\A\r\nD:\\B\r\n");
    SplitList("", ";", list);
    EXPECT_EQ(list.Count(), 0);
}

TEST(routines_Strings, ColonsAndFolderNames) {
    std::string r = "kept";
    TextAfterColon("no colon", r);
    EXPECT_EQ(r, "kept");
    TextAfterColon("ftp:host:21", r);
    EXPECT_EQ(r, "host:21");
    TextAfterColon("end:", r);
    EXPECT_EQ(r, "");
    struct Case { std::string in, want; };
    const Case cases[] = {
        {"ftp.host/dir:x", "ftp.host-dirx"},
        {"a\"b*c:d;e<f>g?h\\i|j", "abcdefghij"},
        {"tab\there\x01", "tab\there\x01"},
        {std::string("nul\0in", 6), std::string("nul\0in", 6)},
        {"Caf\xE9 / Bar", "Caf\xE9 - Bar"},
    };
    for (const auto& c : cases) {
        MakeFolderName(c.in, r);
        EXPECT_EQ(r, c.want) << c.in;
    }
}

TEST(routines_Components, UniqueNamesTakeTheFirstFreeNumber) {
    TComponent owner(nullptr);
    auto* a = new TComponent(&owner);
    auto* b = new TComponent(&owner);
    auto* c = new TComponent(&owner);
    SetUniqueName(a, "Link");
    SetUniqueName(b, "Link");
    SetUniqueName(c, "link");
    EXPECT_EQ(a->Name(), "Link");
    EXPECT_EQ(b->Name(), "Link1");
    EXPECT_EQ(c->Name(), "link2");
    // A name that can never be valid raises instead of trying for ever.
    auto* d = new TComponent(&owner);
    EXPECT_THROW(SetUniqueName(d, "1st"), EComponentError);
    EXPECT_THROW(SetUniqueName(d, "a b"), EComponentError);
    EXPECT_EQ(d->Name(), "");
}
