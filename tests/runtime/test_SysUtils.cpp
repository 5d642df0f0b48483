#include <gtest/gtest.h>

#include "runtime/SysUtils.h"

using namespace kv;

TEST(Format, Conversions) {
    struct Case { std::string fmt; TVarRecs args; std::string want; };
    const Case cases[] = {
        {"%s and %d", {"a", 5}, "a and 5"},
        {"%5d|%-5d|", {42, 42}, "   42|42   |"},
        {"%.3d", {7}, "007"},
        {"%x %.4x", {255, 10}, "FF 000A"},
        {"%x", {-1}, "FFFFFFFF"},
        {"%u", {-1}, "4294967295"},
        {"%.2f", {3.14159}, "3.14"},
        {"%f", {2.5}, "2.50"},
        {"%8.3f", {1.5}, "   1.500"},
        {"%.2s", {"abcdef"}, "ab"},
        {"100%%", {}, "100%"},
        {"%1:s %0:s %s", {"a", "b"}, "b a b"},
        {"%*d", {4, 1}, "   1"},
        {"%n", {1234567.5}, "1,234,567.50"},
        {"%e", {1000.0}, "1.00000000000000E+003"},
    };
    for (const auto& c : cases) EXPECT_EQ(Format(c.fmt, c.args), c.want) << c.fmt;
}

TEST(Format, BadFormatsRaise) {
    EXPECT_THROW(Format("%d", {"x"}), EConvertError);
    EXPECT_THROW(Format("%s", {}), EConvertError);
    EXPECT_THROW(Format("%", {}), EConvertError);
    EXPECT_THROW(Format("%q", {1}), EConvertError);
    EXPECT_THROW(Format("%f", {1}), EConvertError);
}

TEST(StrToInt, AsThePlatformConverts) {
    struct Case { const char* s; bool ok; int32_t v; };
    const Case cases[] = {
        {"12", true, 12}, {"-12", true, -12}, {"+7", true, 7}, {"  5", true, 5},
        {"$FF", true, 255}, {"-$10", true, -16}, {"$FFFFFFFF", true, -1}, {"0x1F", true, 31},
        {"1 2", false, 0}, {"12 ", false, 0}, {"", false, 0}, {"-", false, 0}, {"$", false, 0},
        {"2147483647", true, 2147483647}, {"2147483648", false, 0}, {"-2147483648", true, INT32_MIN},
        {"12a", false, 0}, {"99999999999999999999999", false, 0},
    };
    for (const auto& c : cases) {
        int32_t v = 0;
        EXPECT_EQ(TryStrToInt(c.s, v), c.ok) << c.s;
        if (c.ok) {
            EXPECT_EQ(v, c.v) << c.s;
        }
    }
    try {
        StrToInt("x1");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'x1' is not a valid integer value");
    }
}

TEST(Round, HalvesGoToEven) {
    EXPECT_EQ(Round(0.5), 0);
    EXPECT_EQ(Round(1.5), 2);
    EXPECT_EQ(Round(2.5), 2);
    EXPECT_EQ(Round(-2.5), -2);
    EXPECT_EQ(Round(2.6), 3);
}

TEST(AnsiText, CaseInsensitiveCompare) {
    EXPECT_EQ(AnsiCompareText("abc", "ABC"), 0);
    EXPECT_EQ(AnsiCompareText("\xE9t\xE9", "\xC9T\xC9"), 0);  // été / ÉTÉ in 1252
    EXPECT_LT(AnsiCompareText("abc", "abd"), 0);
    EXPECT_GT(AnsiCompareText("abcd", "ABC"), 0);
    EXPECT_EQ(AnsiUpperCase("stra\xDF" "e"), "STRA\xDF" "E");  // ß has no capital in 1252
    EXPECT_EQ(AnsiToUtf8("\x80 \xE9"), "\xE2\x82\xAC \xC3\xA9");
    EXPECT_EQ(Utf8ToAnsi("\xE2\x82\xAC \xC3\xA9"), "\x80 \xE9");
    // CompareText folds ASCII letters only; other bytes compare unsigned.
    EXPECT_EQ(CompareText("Setup.EXE", "setup.exe"), 0);
    EXPECT_GT(CompareText("\xE9", "\xC9"), 0);
    EXPECT_GT(CompareText("\xE9", "z"), 0);
    EXPECT_LT(CompareText("ab", "ABC"), 0);
    EXPECT_GT(CompareText("_", "a"), 0);
}

TEST(DateTime, EpochAndDosStamps) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
    TDateTime d = EncodeDate(2001, 2, 28) + EncodeTime(13, 45, 31, 0);
    int32_t stamp = DateTimeToFileDate(d);
    // 2-second grid: 31 s becomes 30 s.
    EXPECT_EQ(FileDateToDateTime(stamp), EncodeDate(2001, 2, 28) + EncodeTime(13, 45, 30, 0));
    EXPECT_EQ(static_cast<uint32_t>(stamp) >> 16, static_cast<uint32_t>((21 << 9) | (2 << 5) | 28));
    EXPECT_EQ(DateTimeToFileDate(EncodeDate(1979, 12, 31)), 0);
    EXPECT_THROW(FileDateToDateTime(0), EConvertError);  // month 0
    EXPECT_THROW(EncodeDate(2001, 2, 29), EConvertError);
    EXPECT_EQ(UnixToDateTime(86400 + 43200), 25570.5);
    EXPECT_EQ(DateTimeToUnix(25570.5), 86400 + 43200);
    int h, m, s, ms;
    DecodeTime(-1.25, h, m, s, ms);  // before the epoch the fraction is still the time
    EXPECT_EQ(h, 6);
}

TEST(FileNames, PartsOfWindowsPaths) {
    struct Case { const char* name; const char* path; const char* dir; const char* file; const char* ext; };
    const Case cases[] = {
        {"C:\\TEMP\\X\\SETUP.EXE", "C:\\TEMP\\X\\", "C:\\TEMP\\X", "SETUP.EXE", ".EXE"},
        {"C:\\SETUP.EXE", "C:\\", "C:\\", "SETUP.EXE", ".EXE"},
        {"C:SETUP", "C:", "C:", "SETUP", ""},
        {"setup.tar.gz", "", "", "setup.tar.gz", ".gz"},
        {"C:\\a.b\\file", "C:\\a.b\\", "C:\\a.b", "file", ""},
        {"\\\\srv\\share\\x.1", "\\\\srv\\share\\", "\\\\srv\\share", "x.1", ".1"},
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractFilePath(c.name), c.path) << c.name;
        EXPECT_EQ(ExtractFileDir(c.name), c.dir) << c.name;
        EXPECT_EQ(ExtractFileName(c.name), c.file) << c.name;
        EXPECT_EQ(ExtractFileExt(c.name), c.ext) << c.name;
    }
    EXPECT_EQ(ChangeFileExt("C:\\TEMP\\bat1.tmp", ".bat"), "C:\\TEMP\\bat1.bat");
    EXPECT_EQ(ChangeFileExt("C:\\a.b\\file", ".PIF"), "C:\\a.b\\file.PIF");
    EXPECT_EQ(ChangeFileExt("name.", ""), "name");
}
