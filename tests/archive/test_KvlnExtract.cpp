#include "platform/FileStream.h"
#include "platform/Files.h"
#include "tests/archive/EngineTestUtil.h"

namespace kv {
namespace {

using namespace test;

const char* const kMismatch =
    "The decompressed file's size does not match with the actual size of the file.  The file is %s";

struct ExtractFixture : ::testing::Test {
    TScratchDir dir;
    TTestEngine engine;
    std::string archive = dir / "setup.1";
    std::string out = dir / "out";

    void Compose(const std::vector<TComposedMember>& members, const std::string& prefix = "") {
        WriteFile(archive, prefix + ComposeArchive(members));
        engine.SetOffset(static_cast<int32_t>(prefix.size()));
        engine.SetCompressedFile(dir / "unload.1");  // the table is read again
        engine.SetCompressedFile(archive);
    }
    void Extract(const std::vector<std::string>& entries) {
        engine.SetExtractDirectory(out);
        SetList(engine, entries);
        engine.Extract();
    }
    std::string Extracted(const std::string& name) { return ReadFile(out + "\\" + name); }
};

TEST_F(ExtractFixture, ExtractsComposedMembersWithTheirDates) {
    Compose({{"C:\\src\\Alpha.txt", "alpha", "1.0", 3, kDate1},
             {"C:\\src\\sub\\beta.bin", RandomBytes(70000, 1), "", 7, kDate2},
             {"empty.txt", "", "", 0, kDate1}});
    TEventLog log;
    log.Attach(engine);
    Extract({"c:\\SRC\\alpha.TXT;1", "C:\\src\\sub\\beta.bin", "EMPTY.TXT"});
    EXPECT_EQ(Extracted("Alpha.txt"), "alpha");
    EXPECT_TRUE(Extracted("beta.bin") == RandomBytes(70000, 1));
    EXPECT_EQ(Extracted("empty.txt"), "");
    EXPECT_EQ(FileDateToDateTime(FileAge(out + "\\beta.bin")), kDate2);
    const std::vector<std::string> expected = {
        "BeforeExtracting Alpha.txt", "Status Alpha.txt", "Status Alpha.txt done", "AfterExtracting Alpha.txt done",
        "BeforeExtracting beta.bin",  "Status beta.bin x18", "Status beta.bin done", "AfterExtracting beta.bin done",
        "BeforeExtracting empty.txt", "Status empty.txt done", "AfterExtracting empty.txt done"};
    EXPECT_EQ(log.Folded(), expected);
    // Totals cover the whole archive, percentages with a zero whole are 0.
    EXPECT_EQ(log.stats.back().TotalSize, 70005);
    EXPECT_EQ(log.stats.back().TotalPosition, 70005);
    EXPECT_EQ(log.stats.back().FilePercent, 0);
    EXPECT_EQ(log.stats[22].FilePosition, 70000);
    EXPECT_EQ(log.stats[22].FilePercent, 100);
    EXPECT_EQ(engine.FilesToProcess()->Count(), 0);
    EXPECT_EQ(engine.DestFileName, "");
}

TEST_F(ExtractFixture, ReadsAnArchiveAtABaseOffset) {
    std::string stub = "MZ" + RandomBytes(3000, 2);
    Compose({{"a.txt", "alpha", "", 0, kDate1}, {"b.txt", "beta", "", 5, kDate1}}, stub);
    WriteFile(archive, ReadFile(archive) + "SELFEXTRACTING trailer");
    Extract({"b.txt", "a.txt"});
    EXPECT_EQ(Extracted("a.txt"), "alpha");
    EXPECT_EQ(Extracted("b.txt"), "beta");
    EXPECT_EQ(engine.IndexOfFileId(5), 1);
}

TEST_F(ExtractFixture, DestFileNameRenamesOneMember) {
    Compose({{"a.txt", "alpha", "", 0, kDate1}, {"b.txt", "beta", "", 0, kDate1}});
    engine.OnBeforeExtracting = [](TKvlnCompress* e, const TlzhFileStats& s) {
        if (s.FileName == "a.txt") e->DestFileName = "C:\\elsewhere\\renamed.txt";
    };
    Extract({"a.txt", "b.txt"});
    EXPECT_EQ(Extracted("renamed.txt"), "alpha");
    EXPECT_EQ(Extracted("b.txt"), "beta");
}

TEST_F(ExtractFixture, OverwriteModes) {
    const TDateTime older = kDate1, newer = kDate2;
    const struct {
        TOverwriteType mode;
        std::string archivedVersion;
        TDateTime archivedDate;
        TDateTime destDate;
        bool replaced;
    } cases[] = {
        {owAlways, "", older, newer, true},
        {owNever, "9.9", newer, older, false},
        {owVersion, "1.0", older, newer, true},    // the destination has no version
        {owVersion, "", newer, older, false},      // both empty: the same
        {owDate, "", newer, older, true},
        {owDate, "", older, older, false},         // equal dates: the same
        {owDate, "", older, newer, false},
        {owVersionDate, "", newer, older, true},   // equal versions, older destination
        {owVersionDate, "", older, newer, false},
        {owVersionDate, "2", older, newer, true},  // versions differ: by version
    };
    for (const auto& c : cases) {
        Compose({{"f.txt", "archived", c.archivedVersion, 0, c.archivedDate}});
        WriteFile(out + "\\f.txt", "on disk");
        SetMTime(out + "\\f.txt", c.destDate);
        engine.SetOverwrite(c.mode);
        TEventLog log;
        log.Attach(engine);
        Extract({"f.txt"});
        EXPECT_EQ(Extracted("f.txt"), c.replaced ? "archived" : "on disk") << c.mode << " " << c.archivedVersion;
        EXPECT_EQ(log.Count("Replace f.txt"), c.replaced ? 1 : 0);
        // A kept file still gets its final report.
        EXPECT_EQ(log.lines.back(), c.replaced ? "AfterExtracting f.txt done" : "Status f.txt done");
    }
}

TEST_F(ExtractFixture, DestinationsInUseOrLocked) {
    Compose({{"f.txt", "archived", "", 0, kDate2}});
    const std::string dest = out + "\\f.txt";
    WriteFile(dest, "running");
    SetMTime(dest, kDate1);
    AddInUse(dest);
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Extract({"f.txt"}); }), "Cannot create the file " + dest);
    // A file in use can still be read: the date rule keeps a file as new as the member.
    SetMTime(dest, kDate2);
    engine.SetOverwrite(owDate);
    Extract({"f.txt"});
    EXPECT_EQ(ReadFile(dest), "running");
    ClearInUse();
    TFileStream holder(dest, fmOpenReadWrite | fmShareExclusive);
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Extract({"f.txt"}); }), "Error comparing file versions in TKvlnCompress");
}

TEST_F(ExtractFixture, SkipFileFromHandlers) {
    Compose({{"a.txt", "alpha", "", 0, kDate1}, {"b.txt", "beta", "", 0, kDate1}});
    WriteFile(out + "\\b.txt", "old");
    engine.OnBeforeExtracting = [](TKvlnCompress* e, const TlzhFileStats& s) { e->SkipFile = s.FileName == "a.txt"; };
    engine.OnReplace = [](TKvlnCompress* e, const TlzhFileStats&) { e->SkipFile = true; };
    Extract({"a.txt", "b.txt"});
    EXPECT_FALSE(Exists(out + "\\a.txt"));
    EXPECT_EQ(Extracted("b.txt"), "old");
}

TEST_F(ExtractFixture, AbortFromStatusEndsQuietly) {
    Compose({{"big.bin", RandomBytes(50000, 3), "", 0, kDate1}, {"b.txt", "beta", "", 0, kDate1}});
    TEventLog log;
    log.Attach(engine);
    engine.OnStatus = [&](TKvlnCompress* e, const TlzhFileStats& s) {
        log.lines.push_back("Status");
        if (s.FilePosition >= 8192) e->SetAbort(true);
    };
    Extract({"big.bin", "b.txt"});
    EXPECT_TRUE(engine.Abort());
    const std::vector<std::string> expected = {"BeforeExtracting big.bin", "Status x2", "Aborted"};
    EXPECT_EQ(log.Folded(), expected);
    // The partly written file is closed and left, holding what was reported.
    EXPECT_EQ(ReadFile(out + "\\big.bin").size(), 8192u);
    EXPECT_FALSE(Exists(out + "\\b.txt"));
    EXPECT_EQ(engine.FilesToProcess()->Count(), 0);
}

// Members after the current one are inflated ahead by a worker: what handlers see
// and what lands on disk is as when each member is extracted on its own, and a bad
// member still fails in its turn with the plain path's message.
TEST_F(ExtractFixture, ManyMembersInOneRunMatchOneByOne) {
    std::vector<TComposedMember> members;
    std::vector<std::string> names;
    for (int i = 0; i < 120; ++i) {
        std::string name = "m" + std::to_string(i) + ".bin";
        size_t size = i % 7 == 0 ? 9000 + i : 100 + 37 * i;  // some of several 4 KiB pieces, one of 0
        members.push_back({name, i == 5 ? std::string() : TextBytes(size, i), "", i, kDate1});
        names.push_back(name);
    }
    Compose(members);
    auto run = [&](const std::string& folder, bool oneByOne) {
        TEventLog log;
        log.Attach(engine);
        engine.SetExtractDirectory(folder);
        if (oneByOne) {
            for (const auto& n : names) {
                SetList(engine, {n});
                engine.Extract();
            }
        } else {
            SetList(engine, names);
            engine.Extract();
        }
        std::vector<std::string> seen;
        for (size_t i = 0; i < log.lines.size(); ++i)
            seen.push_back(log.lines[i] + " " + std::to_string(log.stats[i].FilePosition) + " " +
                           std::to_string(log.stats[i].FilePercent));
        return seen;
    };
    EXPECT_EQ(run(dir / "one", true), run(dir / "all", false));
    for (const auto& m : members) EXPECT_EQ(ReadFile(dir / ("all\\" + m.name)), m.data) << m.name;

    // Member 60's data corrupt: 0 to 59 are out, then its own error.
    std::string bytes = ComposeArchive(members);
    std::string z60 = Deflate(members[60].data);
    size_t at = bytes.find(z60);
    ASSERT_NE(at, std::string::npos);
    bytes[at + z60.size() / 2] ^= 0x55;
    WriteFile(archive, bytes);
    TEventLog log;
    log.Attach(engine);
    engine.SetCompressedFile(dir / "reset.1");
    engine.SetCompressedFile(archive);
    engine.SetExtractDirectory(dir / "bad");
    SetList(engine, names);
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { engine.Extract(); }), "The compressed data of the file m60.bin is corrupt");
    EXPECT_EQ(ReadFile(dir / "bad\\m59.bin"), members[59].data);
    EXPECT_FALSE(Exists(dir / "bad\\m61.bin"));
}

TEST_F(ExtractFixture, ClearErrors) {
    Compose({{"a.txt", "alpha", "", 0, kDate1}});
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Extract({"a.txt", "nothere.txt;5"}); }),
              "The file <nothere.txt;5> was not found in the archive <" + archive + ">");
    EXPECT_TRUE(engine.Abort());
    EXPECT_EQ(Extracted("a.txt"), "alpha");
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { engine.GetFileStats(1); }),
              "Tried to access the 1th file. This file is not defined");
    engine.SetCompressedFile(dir / "missing.1");
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Extract({"a.txt"}); }),
              "Cannot open the compressed file " + dir / "missing.1");
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { engine.FileCount(); }),
              "Cannot open the compressed file " + dir / "missing.1");
}

TEST_F(ExtractFixture, IndexOfFileIdIsZeroForTheFirstAndForUnknownIds) {
    Compose({{"a", "1", "", 5, kDate1}, {"b", "2", "", 1999, kDate1}, {"c", "3", "", 2000, kDate1},
             {"d", "4", "", 5, kDate1}, {"e", "5", "", -1, kDate1}});
    const struct {
        int32_t id;
        int index;
    } cases[] = {{5, 3}, {1999, 1}, {2000, 0}, {-1, 0}, {0, 0}, {77, 0}};
    for (const auto& c : cases) EXPECT_EQ(engine.IndexOfFileId(c.id), c.index) << c.id;
    Compose({{"a", "1", "", 9, kDate1}, {"b", "2", "", 8, kDate1}});
    engine.SetCompressedFile(dir / "other.1");
    engine.SetCompressedFile(archive);
    EXPECT_EQ(engine.IndexOfFileId(9), 0);
    EXPECT_EQ(engine.IndexOfFileId(8), 1);
}

TEST_F(ExtractFixture, LongestNameAndVersion) {
    std::string name(100, 'n');
    name.replace(0, 3, "C:\\");
    Compose({{name, "data", std::string(20, 'v'), 0, kDate1}});
    EXPECT_EQ(engine.GetFileStats(0).Header.FileVersion, std::string(20, 'v'));
    Extract({name});
    EXPECT_EQ(Extracted(name.substr(3)), "data");
}

TEST_F(ExtractFixture, CompressedFileSetterKeepsTheTableWithinADiskSet) {
    Compose({{"a", "1", "", 0, kDate1}});
    EXPECT_EQ(engine.FileCount(), 1);
    DeleteFileA(archive.c_str());
    // Another letter case or another disk of the same set: still loaded.
    for (std::string name : {dir / "SETUP.1", dir / "setup.2", dir / "setup.7"}) {
        engine.SetCompressedFile(name);
        EXPECT_EQ(engine.FileCount(), 1) << name;
    }
    engine.SetCompressedFile(dir / "other.1");
    EXPECT_THROW(engine.FileCount(), EKvlnCompress);
}

// Archives whose data lies: each ends in a clear EKvlnCompress.
TEST_F(ExtractFixture, BadMembersGiveClearErrors) {
    const std::string data = TextBytes(20000, 5);
    const std::string z = Deflate(data);
    auto withData = [&](const std::string& stream, int32_t fileSize) {
        TRawRecord r;
        r.FileName = "f.txt";
        r.FileDate = kDate1;
        r.FileSize = fileSize;
        r.DataPos = 5 + 172;
        r.CompressedSize = static_cast<int32_t>(stream.size());
        r.LastBytePos = r.DataPos + r.CompressedSize - 1;
        r.NextHeaderPos = r.LastBytePos + 1;
        return I32(1) + std::string(1, '\0') + r.Bytes() + stream;
    };
    std::string corrupt = z;
    corrupt[z.size() / 2] ^= 0x55;
    std::string badChecksum = z;
    badChecksum.back() ^= 1;
    std::string mismatch = Format(kMismatch, {"f.txt"});
    const struct {
        std::string bytes;
        std::string message;
    } cases[] = {
        {withData(z, 19999), mismatch},                       // inflates to more
        {withData(z, 20001), mismatch},                       // inflates to fewer
        {withData(z.substr(0, z.size() / 2), 20000), mismatch},  // a stream that never ends
        {withData(z.substr(0, z.size() - 2), 20000), "The compressed data of the file f.txt is incomplete"},
        {withData(corrupt, 20000), "The compressed data of the file f.txt is corrupt"},
        {withData(badChecksum, 20000), "The compressed data of the file f.txt is corrupt"},
        {withData(std::string(300, '\0'), 20000), "The compressed data of the file f.txt is corrupt"},
        {withData(z, 20000).substr(0, 100),
         "Could not read the file headers for the compressed file. The Archive file could possible be corrupt"},
        {I32(-4) + std::string(1, '\0'),
         "Could not read the file headers for the compressed file. The Archive file could possible be corrupt"},
    };
    for (const auto& c : cases) {
        WriteFile(archive, c.bytes);
        engine.SetCompressedFile(dir / "reset.1");
        engine.SetCompressedFile(archive);
        EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Extract({"f.txt"}); }), c.message);
        EXPECT_EQ(MessageOf<EKvlnCompress>([&] { engine.TestFile(0); }),
                  c.message.rfind("Could not", 0) == 0 ? c.message : c.message)
            << c.message;
    }
    WriteFile(archive, withData(z, 20000));
    engine.SetCompressedFile(dir / "reset.1");
    engine.SetCompressedFile(archive);
    EXPECT_NO_THROW(engine.TestFile(0));
}

TEST_F(ExtractFixture, FullDestinationFloppy) {
    Compose({{"a.bin", RandomBytes(10000, 6), "", 0, kDate1}});
    dir.SetFloppyCapacity(5120);
    out = "A:\\";
    EXPECT_EQ(MessageOf<EkcDiskFull>([&] { Extract({"a.bin"}); }), "The disk is full");
    int calls = 0;
    engine.OnFullDisk = [&](TObject*) { ++calls; };
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Extract({"a.bin"}); }), Format(kMismatch, {"a.bin"}));
    EXPECT_GT(calls, 0);
}

// Random damage to a valid archive ends in a clear EKvlnCompress or in files.
TEST_F(ExtractFixture, FuzzedArchivesNeverCrash) {
    std::string good = ComposeArchive({{"a.txt", TextBytes(3000, 1), "1.0", 1, kDate1},
                                       {"b.bin", RandomBytes(500, 2), "", 2, kDate2},
                                       {"c.txt", "", "", 3, kDate1}});
    engine.SetExtractDirectory(out);
    std::mt19937 rng(11);
    int failures = 0;
    for (int iter = 0; iter < 500; ++iter) {
        std::string s = good;
        for (int e = 1 + static_cast<int>(rng() % 3); e > 0; --e) {
            size_t at = rng() % s.size();
            switch (rng() % 4) {
                case 0: s[at] = static_cast<char>(rng()); break;
                case 1: s[at] ^= static_cast<char>(1 << (rng() % 8)); break;
                case 2: s.resize(std::max<size_t>(at, 1)); break;
                default: s.replace(at, std::min<size_t>(4, s.size() - at), I32(static_cast<int32_t>(rng()))); break;
            }
        }
        WriteFile(archive, s);
        engine.SetCompressedFile(dir / "reset.1");
        engine.SetCompressedFile(archive);
        try {
            SetList(engine, {"a.txt", "b.bin", "c.txt"});
            engine.Extract();
        } catch (const EKvlnCompress&) {
            ++failures;
        }
    }
    EXPECT_GT(failures, 0);
}

}  // namespace
}  // namespace kv
