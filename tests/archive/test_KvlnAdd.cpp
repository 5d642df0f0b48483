#include "platform/Files.h"
#include "tests/archive/EngineTestUtil.h"

namespace kv {
namespace {

using namespace test;

struct AddFixture : ::testing::Test {
    TScratchDir dir;
    TTestEngine engine;
    std::string archive = dir / "out/setup.1";

    std::string Source(const std::string& name, const std::string& data, TDateTime date = kDate1) {
        std::string path = dir / ("src/" + name);
        WriteFile(path, data);
        SetMTime(path, date);
        return path;
    }
    void AddFiles(const std::vector<std::string>& entries, TlzhCommand cmd = lzcOverwrite, int32_t id = 0) {
        engine.SetCompressedFile(archive);
        SetList(engine, entries);
        engine.Add(cmd, id);
    }
};

TEST_F(AddFixture, WritesTheArchiveByteForByte) {
    std::string a = Source("a.txt", "alpha alpha alpha alpha", kDate1);
    std::string b = Source("b.bin", TextBytes(5000, 1), kDate2);
    AddFiles({a + ";1;extra", b}, lzcOverwrite, 42);

    std::string expected = I32(2) + std::string(1, '\0');
    int32_t number = 0;
    for (auto [path, date] : {std::pair{a, kDate1}, std::pair{b, kDate2}}) {
        std::string data = ReadFile(path);
        std::string z = Deflate(data, 9);
        TRawRecord r;
        r.FileNumber = ++number;
        r.FileDate = date;
        r.FileName = path;
        r.FileSize = static_cast<int32_t>(data.size());
        r.DataPos = static_cast<int32_t>(expected.size() + 172);
        r.CompressedSize = static_cast<int32_t>(z.size());
        r.LastBytePos = r.DataPos + r.CompressedSize - 1;
        r.NextHeaderPos = r.LastBytePos + 1;
        r.FileId = 42;
        expected += r.Bytes() + z;
    }
    EXPECT_TRUE(ReadFile(archive) == expected);
    EXPECT_EQ(engine.FilesToProcess()->Count(), 0);
}

TEST_F(AddFixture, EmptyListMakesTheEmptyArchive) {
    AddFiles({});
    EXPECT_EQ(ReadFile(archive), std::string(5, '\0'));
    EXPECT_EQ(engine.FileCount(), 0);
}

TEST_F(AddFixture, OnlyAddAppendsAndLeavesStoredMembersUntouched) {
    std::string a = Source("a.txt", "first");
    std::string b = Source("b.txt", "second");
    std::string c = Source("c.txt", "third");
    AddFiles({a, b}, lzcOnlyAdd, 1);  // a missing archive is created
    std::string before = ReadFile(archive);
    AddFiles({c, a}, lzcOnlyAdd, 2);
    std::string after = ReadFile(archive);
    EXPECT_EQ(after.substr(0, 5), I32(4) + std::string(1, '\0'));
    EXPECT_TRUE(after.substr(5, before.size() - 5) == before.substr(5));
    ASSERT_EQ(engine.FileCount(), 4);
    const int numbers[] = {1, 2, 1, 2};
    const int ids[] = {1, 1, 2, 2};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(engine.GetFileStats(i).Header.FileNumber, numbers[i]);
        EXPECT_EQ(engine.GetFileStats(i).Header.FileId, ids[i]);
    }
    // Same stored name twice: lookup by name finds the first, by id the later.
    EXPECT_EQ(engine.IndexOfFileId(1), 1);
    EXPECT_EQ(engine.IndexOfFileId(2), 3);

    AddFiles({c}, lzcOverwrite, 3);  // replaces the archive
    EXPECT_EQ(engine.FileCount(), 1);
    EXPECT_EQ(engine.GetFileStats(0).FileName, c);
}

TEST_F(AddFixture, EventsAndProgressWhileAdding) {
    std::string big = Source("big.bin", RandomBytes(200000, 9));
    std::string empty = Source("empty.txt", "");
    TEventLog log;
    log.Attach(engine);
    AddFiles({big, empty});
    const std::vector<std::string> expected = {
        "BeforeAdding big.bin", "Status big.bin x3", "Status big.bin done", "AfterAdding big.bin",
        "BeforeAdding empty.txt", "Status empty.txt done", "AfterAdding empty.txt"};
    EXPECT_EQ(log.Folded(), expected);
    // Progress: positions grow, compressed size is the temporary file's size so far.
    EXPECT_EQ(log.stats[1].CompressedSize, 65536);
    EXPECT_EQ(log.stats[3].CompressedSize, 3 * 65536);
    const TlzhFileStats& done = log.stats[4];
    EXPECT_EQ(done.FilePosition, 200000 - 1);
    EXPECT_EQ(done.FileSize, 200000);
    EXPECT_EQ(done.CompressedSize, engine.GetFileStats(0).CompressedSize);
    EXPECT_EQ(done.CompressionRatio, Percentage(done.CompressedSize, 200000));
    EXPECT_EQ(done.TotalSize, 200000);
    EXPECT_EQ(done.FilePercent, 100);
    const TlzhFileStats& emptyDone = log.stats[7];
    EXPECT_EQ(emptyDone.FilePercent, 0);
    EXPECT_EQ(emptyDone.CompressionRatio, 0);
    EXPECT_EQ(emptyDone.CompressedSize, 8);
    EXPECT_EQ(log.stats[8].TotalCompressedSize, engine.GetFileStats(0).CompressedSize + 8);
}

TEST_F(AddFixture, AbortFromStatusEndsQuietlyAndKeepsCompleteMembers) {
    std::string a = Source("a.txt", "kept");
    AddFiles({a});
    std::string big = Source("big.bin", RandomBytes(300000, 3));
    std::string c = Source("c.txt", "never");
    TEventLog log;
    log.Attach(engine);
    engine.OnStatus = [&](TKvlnCompress* e, const TlzhFileStats& s) {
        if (s.FilePosition > 0) e->SetAbort(true);
    };
    AddFiles({big, c}, lzcOnlyAdd);
    EXPECT_TRUE(engine.Abort());
    EXPECT_EQ(log.lines.back(), "Aborted");
    EXPECT_EQ(log.Count("AfterAdding big.bin"), 0);
    // The archive still reads, with the member stored before.
    TTestEngine reader;
    reader.SetCompressedFile(archive);
    EXPECT_EQ(reader.FileCount(), 1);
    EXPECT_EQ(reader.GetFileStats(0).FileName, a);
    EXPECT_EQ(engine.FilesToProcess()->Count(), 0);
}

TEST_F(AddFixture, FailuresNameTheFile) {
    std::string a = Source("a.txt", "a");
    std::string longPath = dir.Path() + "\\" + std::string(110 - dir.Path().size(), 'p') + "\\x.txt";
    WriteFile(longPath, "x");
    const struct {
        std::vector<std::string> entries;
        std::string message;
    } cases[] = {
        {{a, dir / "missing.txt"}, "Cannot open the file " + dir / "missing.txt"},
        {{longPath}, "Cannot open the file " + longPath.substr(0, 100)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MessageOf<EKvlnCompress>([&] { AddFiles(c.entries); }), c.message);
        EXPECT_TRUE(engine.Abort());
        EXPECT_EQ(engine.FilesToProcess()->Count(), 0);
    }
    // A member name of exactly 100 characters is stored whole.
    std::string hundred = dir.Path() + "\\" + std::string(99 - dir.Path().size() - 4, 'h') + ".txt";
    ASSERT_EQ(hundred.size(), 100u);
    WriteFile(hundred, "h");
    AddFiles({hundred});
    EXPECT_EQ(engine.GetFileStats(0).FileName, hundred);

    engine.SetCompressedFile(dir / "src/a.txt/cannot.1");
    SetList(engine, {a});
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { engine.Add(lzcOverwrite, 0); }),
              "Cannot create the file " + dir / "src/a.txt/cannot.1");
}

TEST_F(AddFixture, AddingToADamagedArchiveLeavesItAlone) {
    WriteFile(archive, I32(3) + std::string(1, '\0') + "short");
    std::string a = Source("a.txt", "a");
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { AddFiles({a}, lzcOnlyAdd); }),
              "Could not read the file headers for the compressed file. The Archive file could possible be corrupt");
    EXPECT_EQ(ReadFile(archive), I32(3) + std::string(1, '\0') + "short");
}

TEST_F(AddFixture, ShortWriteOnAFullFloppyCallsFullDisk) {
    std::string a = Source("a.bin", RandomBytes(5000, 4));
    dir.SetFloppyCapacity(2048);
    archive = "A:\\setup.1";
    EXPECT_EQ(MessageOf<EkcDiskFull>([&] { AddFiles({a}); }), "The disk is full");
    int fullDisk = 0;
    engine.OnFullDisk = [&](TObject* sender) {
        EXPECT_EQ(sender, &engine);
        ++fullDisk;
    };
    AddFiles({a});
    EXPECT_EQ(fullDisk, 1);
}

// The "bat....TMP" files in the machine's temporary folder.
int TempFiles() {
    char temp[MAX_PATH + 1];
    GetTempPathA(sizeof temp, temp);
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(HostPath(temp)))
        n += LowerCase(e.path().filename().string()).rfind("bat", 0) == 0;
    return n;
}

TEST_F(AddFixture, LargeMembersGoThroughATemporaryFile) {
    std::string data;
    std::string block = RandomBytes(1 << 16, 8);
    while (data.size() < (9u << 20)) data += block;  // stored as it is at colNone
    std::string big = Source("big.bin", data);
    engine.SetCompressionLevel(colNone);
    int before = TempFiles();
    int during = 0;
    engine.OnAfterAdding = [&](TKvlnCompress*, const TlzhFileStats&) { during = TempFiles(); };
    AddFiles({big});
    EXPECT_EQ(during, before + 1);
    EXPECT_EQ(TempFiles(), before);
    std::string bytes = ReadFile(archive);
    EXPECT_TRUE(Inflate(bytes.substr(5 + 172)) == data);
}

// Small files are read and compressed ahead by workers: the archive, the events and
// a level changed by a handler for one file are as when each file is added in turn.
TEST_F(AddFixture, ManyFilesInOneRunMatchOneByOne) {
    std::vector<std::string> files;
    for (int i = 0; i < 100; ++i)
        files.push_back(Source("f" + std::to_string(i) + ".txt", i == 50 ? RandomBytes(150000, 4)  // not ahead
                                                                         : TextBytes(50 + 97 * i, i)));
    auto run = [&](const std::string& name, bool oneByOne) {
        TEventLog log;
        log.Attach(engine);
        engine.OnBeforeAdding = [&](TKvlnCompress* e, const TlzhFileStats& s) {
            log.lines.push_back("BeforeAdding " + TEventLog::ExtractName(s.FileName));
            log.stats.push_back(s);
            e->SetCompressionLevel(s.FileName == files[7] ? colNone : colMax);
        };
        archive = dir / name;
        if (oneByOne) {
            for (size_t i = 0; i < files.size(); ++i) AddFiles({files[i]}, i ? lzcOnlyAdd : lzcOverwrite);
        } else {
            AddFiles(files);
        }
        std::vector<std::string> seen;
        for (size_t i = 0; i < log.lines.size(); ++i)
            seen.push_back(log.lines[i] + " " + std::to_string(log.stats[i].FilePosition) + " " +
                           std::to_string(log.stats[i].CompressedSize) + " " +
                           std::to_string(log.stats[i].CompressionRatio));
        return seen;
    };
    EXPECT_EQ(run("one.1", true), run("all.1", false));
    // The same compressed bytes for every member (appending numbers members otherwise).
    TTestEngine one, all;
    one.SetCompressedFile(dir / "one.1");
    all.SetCompressedFile(dir / "all.1");
    ASSERT_EQ(one.FileCount(), all.FileCount());
    const std::string oneBytes = ReadFile(dir / "one.1"), allBytes = ReadFile(dir / "all.1");
    auto data = [](TKvlnCompress& e, const std::string& bytes, int i) {
        const THeaderRecord& r = e.FileHeaders().GetFileHeaders(i).HeaderRecord;
        return bytes.substr(static_cast<size_t>(r.DataPos), static_cast<size_t>(r.LastBytePos + 1 - r.DataPos));
    };
    for (int i = 0; i < all.FileCount(); ++i) EXPECT_TRUE(data(one, oneBytes, i) == data(all, allBytes, i)) << i;
    TTestEngine reader;
    reader.SetCompressedFile(dir / "all.1");
    EXPECT_GT(reader.GetFileStats(7).CompressedSize, reader.GetFileStats(7).FileSize);  // stored
    for (size_t i = 0; i < files.size(); ++i) {
        reader.SetExtractDirectory(dir / "x");
        SetList(reader, {files[i]});
        reader.Extract();
        EXPECT_TRUE(ReadFile(dir / ("x\\f" + std::to_string(i) + ".txt")) == ReadFile(files[i])) << i;
    }
}

TEST_F(AddFixture, FilesToProcessLosesBlankEntries) {
    TStringList list;
    for (const char* s : {"a", "  ", "", "b;x", "\t"}) list.Add(s);
    engine.SetFilesToProcess(&list);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(engine.FilesToProcess()->Count(), 2);
    EXPECT_EQ(engine.FilesToProcess()->Get(1), "b;x");
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

using namespace test;

std::string FixtureBytes(const std::string& name) {
    return ReadFile(std::string(KELVANE_SOURCE_DIR) + "/tests/objects/fixtures/" + name);
}

TEST_F(AddFixture, StoresTheFileVersionCutTo20Characters) {
    std::string dll = FixtureBytes("ver32.dll");
    std::string wide = dll;
    size_t sig = wide.find(std::string("\xBD\x04\xEF\xFE", 4));
    ASSERT_NE(sig, std::string::npos);
    wide.replace(sig + 8, 8, std::string(8, '\xFF'));  // 65535.65535.65535.65535
    std::string a = Source("ver32.dll", dll), b = Source("wide.dll", wide);
    AddFiles({a, b});
    EXPECT_EQ(engine.GetFileStats(0).Header.FileVersion, "4.0.1381.1");
    EXPECT_EQ(engine.GetFileStats(1).Header.FileVersion, "65535.65535.65535.65");
    std::string bytes = ReadFile(archive);
    EXPECT_EQ(bytes.substr(5 + 148, 21), Short("4.0.1381.1", 20));

    // owVersion against a destination that has a version of its own.
    std::string out = dir / "out";
    WriteFile(out + "/ver32.dll", FixtureBytes("drv32.dll"));  // 1.10.0.0
    WriteFile(out + "/wide.dll", wide);
    engine.SetOverwrite(owVersion);
    engine.SetExtractDirectory(out);
    SetList(engine, {a, b});
    engine.Extract();
    EXPECT_TRUE(ReadFile(out + "/ver32.dll") == dll);   // 4.0.1381.1 > 1.10.0.0
    EXPECT_TRUE(ReadFile(out + "/wide.dll") == wide);  // the cut version is lower: kept
}

}  // namespace
}  // namespace kv
