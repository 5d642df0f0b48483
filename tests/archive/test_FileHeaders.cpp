#include "archive/TFileHeaders.h"

#include "tests/archive/ArchiveTestUtil.h"

namespace kv {
namespace {

using test::TRawRecord;

template <class E, class F>
std::string MessageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    return "<no exception>";
}

const std::string kCorrupt =
    "Could not read the file headers for the compressed file. The Archive file could possible be corrupt";

TRawRecord SampleRecord() {
    TRawRecord r;
    r.FileNumber = 7;
    r.FileDate = 36526.5;  // 2000-01-01 12:00
    r.EndDisk = 3;
    r.LastBytePos = 0x01020304;
    r.FileName = "C:\\Source\\Readme.txt";
    r.NextHeaderPos = 0x11223344;
    r.FileSize = 123456;
    r.DataPos = 177;
    r.CompressedSize = -2;
    r.StartDisk = 2;
    r.FileId = 1999;
    r.FileVersion = "4.0.1381.1";
    return r;
}

THeaderRecord FromRaw(const TRawRecord& r) {
    THeaderRecord h;
    h.FileNumber = r.FileNumber;
    h.FileDate = r.FileDate;
    h.EndDisk = r.EndDisk;
    h.LastBytePos = r.LastBytePos;
    h.FileName = r.FileName;
    h.NextHeaderPos = r.NextHeaderPos;
    h.FileSize = r.FileSize;
    h.DataPos = r.DataPos;
    h.CompressedSize = r.CompressedSize;
    h.StartDisk = r.StartDisk;
    h.FileId = r.FileId;
    h.FileVersion = r.FileVersion;
    return h;
}

std::string Encoded(const THeaderRecord& h) {
    uint8_t raw[172];
    h.Encode(raw);
    return std::string(reinterpret_cast<char*>(raw), 172);
}

TEST(FileHeaders, RecordEncodesEveryFieldAtItsOffset) {
    TRawRecord r = SampleRecord();
    std::string bytes = Encoded(FromRaw(r));
    EXPECT_EQ(bytes, r.Bytes());
    // Spot checks against the layout table, independent of the composer.
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x07\0\0\0", 4));
    EXPECT_EQ(bytes[12], '\x03');
    EXPECT_EQ(bytes.substr(16, 4), std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(bytes[20], static_cast<char>(r.FileName.size()));
    EXPECT_EQ(bytes.substr(21, r.FileName.size()), r.FileName);
    EXPECT_EQ(bytes.substr(124, 4), std::string("\x44\x33\x22\x11", 4));
    EXPECT_EQ(bytes.substr(136, 4), std::string("\xFE\xFF\xFF\xFF", 4));
    EXPECT_EQ(bytes[140], '\x02');
    EXPECT_EQ(bytes.substr(144, 4), std::string("\xCF\x07\0\0", 4));
    EXPECT_EQ(bytes[148], '\x0A');
    EXPECT_EQ(bytes.substr(149, 10), "4.0.1381.1");
    for (int pad : {13, 14, 15, 121, 122, 123, 141, 142, 143, 169, 170, 171}) EXPECT_EQ(bytes[pad], '\0') << pad;
}

TEST(FileHeaders, RecordDecodesComposedBytes) {
    TRawRecord r = SampleRecord();
    std::string bytes = r.Bytes();
    THeaderRecord h;
    ASSERT_TRUE(h.Decode(reinterpret_cast<const uint8_t*>(bytes.data())));
    EXPECT_EQ(Encoded(h), bytes);
    EXPECT_EQ(h.FileName, r.FileName);
    EXPECT_EQ(h.FileDate, 36526.5);
    EXPECT_EQ(h.CompressedSize, -2);
}

TEST(FileHeaders, LongNamesAndVersionsAreCut) {
    const struct {
        size_t name, version, storedName, storedVersion;
    } cases[] = {{100, 20, 100, 20}, {101, 21, 100, 20}, {255, 40, 100, 20}, {0, 0, 0, 0}};
    for (const auto& c : cases) {
        THeaderRecord h;
        h.FileName = std::string(c.name, 'n');
        h.FileVersion = std::string(c.version, 'v');
        std::string bytes = Encoded(h);
        EXPECT_EQ(static_cast<uint8_t>(bytes[20]), c.storedName);
        EXPECT_EQ(static_cast<uint8_t>(bytes[148]), c.storedVersion);
        THeaderRecord back;
        ASSERT_TRUE(back.Decode(reinterpret_cast<const uint8_t*>(bytes.data())));
        EXPECT_EQ(back.FileName, std::string(c.storedName, 'n'));
        EXPECT_EQ(back.FileVersion, std::string(c.storedVersion, 'v'));
    }
}

TEST(FileHeaders, LengthBytesBeyondTheirRoomAreRejected) {
    for (auto [at, value] : {std::pair{20, 101}, std::pair{148, 21}}) {
        std::string bytes = SampleRecord().Bytes();
        bytes[at] = static_cast<char>(value);
        TMemoryStream s(bytes);
        TFileHeader h;
        EXPECT_EQ(MessageOf<EKvlnCompress>([&] { h.LoadFromStream(s); }), kCorrupt);
    }
}

TEST(FileHeaders, EmptyArchiveIsThePreamble) {
    TFileHeaders t;
    TMemoryStream s;
    t.SaveToStream(s);
    EXPECT_EQ(s.Data(), std::string(5, '\0'));
    t.LoadFromStream(s, 0);
    EXPECT_EQ(t.Count(), 0);
    EXPECT_EQ(t.MultiDisk, 0);
}

TEST(FileHeaders, ReadsSingleFileArchiveAtAnyBase) {
    std::string archive = test::ComposeArchive({{"C:\\a.txt", "alpha", "1.0", 5, 36000.25},
                                                {"C:\\dir\\b.bin", std::string(1000, 'b'), "", 1999, 0}});
    for (std::string prefix : {std::string(), std::string("MZ-stub-bytes-of-the-program", 28)}) {
        TMemoryStream s(prefix + archive + "TRAILER");
        TFileHeaders t;
        t.LoadFromStream(s, static_cast<int64_t>(prefix.size()));
        ASSERT_EQ(t.Count(), 2);
        const THeaderRecord& a = t.GetFileHeaders(0).HeaderRecord;
        const THeaderRecord& b = t.GetFileHeaders(1).HeaderRecord;
        EXPECT_TRUE(t.GetFileHeaders(0).InArchive);
        EXPECT_EQ(a.FileName, "C:\\a.txt");
        EXPECT_EQ(a.FileVersion, "1.0");
        EXPECT_EQ(a.FileId, 5);
        EXPECT_EQ(a.DataPos, 5 + 172);
        EXPECT_EQ(a.FileDate, 36000.25);
        EXPECT_EQ(b.FileNumber, 2);
        EXPECT_EQ(b.DataPos, a.NextHeaderPos + 172);
        EXPECT_EQ(b.NextHeaderPos, static_cast<int32_t>(archive.size()));
    }
}

TEST(FileHeaders, DiskSetTableIsWrittenBackToBack) {
    TFileHeaders t;
    t.MultiDisk = 1;
    for (int i = 0; i < 3; ++i) {
        auto h = std::make_unique<TFileHeader>();
        h->HeaderRecord.FileName = "f" + IntToStr(i);
        h->HeaderRecord.StartDisk = h->HeaderRecord.EndDisk = 1;
        h->HeaderRecord.DataPos = 5 + 3 * 172;
        h->HeaderRecord.LastBytePos = h->HeaderRecord.DataPos - 1;
        t.Add(std::move(h));
    }
    TMemoryStream s;
    s.WriteString("garbage that the table overwrites");
    t.SaveToStream(s);
    std::string d = s.Data();
    EXPECT_EQ(d.substr(0, 5), std::string("\x03\0\0\0\x01", 5));
    for (int i = 0; i < 3; ++i) {
        TRawRecord r;
        r.FileNumber = 0;
        r.FileName = "f" + IntToStr(i);
        r.StartDisk = r.EndDisk = 1;
        r.DataPos = 5 + 3 * 172;
        r.LastBytePos = r.DataPos - 1;
        r.NextHeaderPos = 5 + 172 * (i + 1);
        EXPECT_EQ(d.substr(5 + 172 * i, 172), r.Bytes()) << i;
    }
    TFileHeaders back;
    back.LoadFromStream(s, 0);
    EXPECT_EQ(back.Count(), 3);
    EXPECT_EQ(back.MultiDisk, 1);
}

TEST(FileHeaders, BadTablesGiveClearErrors) {
    std::string good = test::ComposeArchive({{"a", "alpha"}, {"b", "beta"}});
    auto patched = [&](size_t at, const std::string& bytes) {
        std::string s = good;
        s.replace(at, bytes.size(), bytes);
        return s;
    };
    const size_t second = 5 + 172 + test::Deflate("alpha").size();
    const struct {
        std::string data;
        std::string message;
    } cases[] = {
        {"", "Could not read the file header count for the compressed file"},
        {std::string("\x01\0\0\0", 4), "Could not read the file header count for the compressed file"},
        {patched(0, test::I32(-1)), "The header count -1 of the compressed file is negative"},
        {patched(0, test::I32(3)), kCorrupt},
        {patched(0, test::I32(0x7FFFFFFF)), kCorrupt},
        {good.substr(0, 100), kCorrupt},
        {good.substr(0, good.size() - 1), "The file header 2 of the compressed file points outside the file"},
        {patched(5 + 124, test::I32(5)), "The file header 1 of the compressed file points outside the file"},
        {patched(5 + 124, test::I32(-1000)), "The file header 1 of the compressed file points outside the file"},
        {patched(5 + 20, std::string(1, '\0')), "Tried to add an invalid file header"},
        {patched(5 + 20, "\x65"), kCorrupt},
        {patched(second + 16, test::I32(0x7FFFFF00)),
         "The file header 2 of the compressed file has data positions outside the file"},
        {patched(second + 132, test::I32(-7)),
         "The file header 2 of the compressed file has data positions outside the file"},
        {patched(second + 128, test::I32(-1)),
         "The file header 2 of the compressed file has data positions outside the file"},
        {patched(4, "\x01"), "The file header 1 of the compressed file has data positions outside the file"},
    };
    for (const auto& c : cases) {
        TMemoryStream s(c.data);
        TFileHeaders t;
        EXPECT_EQ(MessageOf<EKvlnCompress>([&] { t.LoadFromStream(s, 0); }), c.message) << c.message;
    }
}

TEST(FileHeaders, IndexOfIgnoresCaseAndTextAfterSemicolon) {
    TFileHeaders t;
    for (const char* name : {"C:\\Src\\One.txt", "C:\\Src\\Two.txt", "c:\\src\\one.TXT"}) {
        auto h = std::make_unique<TFileHeader>();
        h->HeaderRecord.FileName = name;
        t.Add(std::move(h));
    }
    EXPECT_EQ(t.IndexOf("c:\\SRC\\one.txt"), 0);
    EXPECT_EQ(t.IndexOf("C:\\Src\\Two.txt;1;anything"), 1);
    // A hint is only a guess: a name stored twice still answers with its first entry.
    EXPECT_EQ(t.IndexOf("c:\\src\\one.txt", 2), 0);
    EXPECT_EQ(t.IndexOf("C:\\Src\\Two.txt", 0), 1);
    EXPECT_EQ(t.IndexOf("C:\\Src\\Two.txt", 99), 1);
    EXPECT_EQ(t.IndexOf("One.txt"), -1);
    EXPECT_EQ(t.IndexOf(""), -1);
    auto h = std::make_unique<TFileHeader>();
    h->HeaderRecord.FileName = "later.txt";
    t.Add(std::move(h));
    EXPECT_EQ(t.IndexOf("LATER.TXT"), 3);
    t.Clear();
    EXPECT_EQ(t.IndexOf("later.txt"), -1);
    for (const char* name : {"a.txt", "b.txt"}) {
        auto u = std::make_unique<TFileHeader>();
        u->HeaderRecord.FileName = name;
        t.Add(std::move(u));
    }
    EXPECT_EQ(t.IndexOf("B.TXT;x", 1), 1);
    EXPECT_EQ(t.IndexOf("b.txt", 0), 1);
    // Long names, letters of every case at every place; the neighbours of the
    // letters ("@[`{") and 1252 letters are not folded.
    t.Clear();
    const std::string names[] = {"Program Files\\Kelvane Demo\\ReadMe.txt", "@[`{AZaz\\x", "`{@[azAZ\\x",
                                 "\xC4pfel\\x\xE4pfel.txt"};
    for (const auto& name : names) {
        auto u = std::make_unique<TFileHeader>();
        u->HeaderRecord.FileName = name;
        t.Add(std::move(u));
    }
    EXPECT_EQ(t.IndexOf("PROGRAM FILES\\kelvane demo\\readme.TXT"), 0);
    EXPECT_EQ(t.IndexOf("@[`{azAZ\\X"), 1);
    EXPECT_EQ(t.IndexOf("`{@[AZaz\\X"), 2);
    EXPECT_EQ(t.IndexOf("\xC4PFEL\\X\xE4PFEL.TXT"), 3);
    EXPECT_EQ(t.IndexOf("\xE4pfel\\x\xE4pfel.txt"), -1);
    EXPECT_EQ(t.IndexOf("c.txt", 1), -1);
}

TEST(FileHeaders, TableErrors) {
    TFileHeaders t;
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { t.GetFileHeaders(0); }),
              "0 is an invalid TFileHeader index in TFileHeaders.GetFileHeaders");
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { t.GetFileHeaders(-1); }),
              "-1 is an invalid TFileHeader index in TFileHeaders.GetFileHeaders");
    auto blank = std::make_unique<TFileHeader>();
    blank->HeaderRecord.FileName = "   ";
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { t.Add(std::move(blank)); }), "Tried to add an invalid file header");
    EXPECT_EQ(t.Count(), 0);
}

TEST(FileHeaders, StatsRoundHalvesToEvenAndGuardZero) {
    const struct {
        int64_t part, whole;
        int percent;
    } cases[] = {{1, 8, 12}, {3, 8, 38}, {5, 8, 62}, {0, 0, 0}, {7, 0, 0}, {-1, 0, 0},
                 {1, 1, 100}, {9, 1, 255}, {-1, 10, 0}, {2, 3, 67}};
    for (const auto& c : cases) EXPECT_EQ(Percentage(c.part, c.whole), c.percent) << c.part << "/" << c.whole;

    TFileHeaders t;
    for (auto [size, packed] : {std::pair{800, 100}, std::pair{0, 8}, std::pair{200, 150}}) {
        auto h = std::make_unique<TFileHeader>();
        h->HeaderRecord.FileName = "x";
        h->HeaderRecord.FileSize = size;
        h->HeaderRecord.CompressedSize = packed;
        t.Add(std::move(h));
    }
    TlzhFileStats stats;
    stats.TotalPosition = 99;
    stats.FileDone = true;
    t.InitStats(stats);
    EXPECT_EQ(stats.TotalSize, 1000);
    EXPECT_EQ(stats.TotalCompressedSize, 258);
    EXPECT_EQ(stats.TotalCompressionRatio, 26);
    EXPECT_EQ(stats.TotalPosition, 0);
    EXPECT_FALSE(stats.FileDone);
    t.GetFileHeaders(0).ToStats(stats);
    EXPECT_EQ(stats.CompressionRatio, 12);  // 12.5 rounds to even
    t.GetFileHeaders(1).ToStats(stats);
    EXPECT_EQ(stats.CompressionRatio, 0);
    EXPECT_EQ(stats.Header.CompressedSize, 8);
}

TEST(FileHeaders, FillFromFileTakesNameDateSizeAndVersion) {
    test::TScratchDir dir;
    std::string path = dir / "payload.dat";
    test::WriteFile(path, "twelve bytes");
    test::SetMTime(path, EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 7, 0));
    TFileHeader h;
    h.FillFromFile(path + ";1;extra");
    EXPECT_EQ(h.HeaderRecord.FileName, path);
    EXPECT_EQ(h.HeaderRecord.FileSize, 12);
    EXPECT_EQ(h.HeaderRecord.FileDate, EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 6, 0));  // DOS 2-second grid
    EXPECT_EQ(h.HeaderRecord.FileVersion, "");
    EXPECT_FALSE(h.InArchive);
    EXPECT_EQ(h.HeaderRecord.DataPos, 0);
}

TEST(FileHeaders, PathLongerThan100CharactersCannotBeStored) {
    test::TScratchDir dir;
    std::string path = dir.Path() + "/" + std::string(120 - dir.Path().size(), 'x');
    test::WriteFile(path, "data");
    TFileHeader h;
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { h.FillFromFile(path); }),
              "Cannot open the file " + path.substr(0, 100));
}

// Random mutations of a valid table must end in a table or an EKvlnCompress.
TEST(FileHeaders, FuzzedTablesNeverCrash) {
    std::string good = test::ComposeArchive({{"a", "alpha"}, {"bb", std::string(300, 'b')}, {"c", ""}});
    std::mt19937 rng(7);
    for (int iter = 0; iter < 20000; ++iter) {
        std::string s = good;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = rng() % s.size();
            switch (rng() % 4) {
                case 0: s[at] = static_cast<char>(rng()); break;
                case 1: s[at] ^= static_cast<char>(1 << (rng() % 8)); break;
                case 2: s.resize(at); break;
                default: s.replace(at, std::min<size_t>(4, s.size() - at), test::I32(static_cast<int32_t>(rng()))); break;
            }
            if (s.empty()) s = "x";
        }
        TMemoryStream m(s);
        TFileHeaders t;
        try {
            t.LoadFromStream(m, 0);
            EXPECT_LE(t.Count(), 3);
        } catch (const EKvlnCompress&) {
        }
    }
}

}  // namespace
}  // namespace kv
