#include "platform/Files.h"
#include "tests/archive/EngineTestUtil.h"

namespace kv {
namespace {

using namespace test;
namespace fs = std::filesystem;

struct DiskFixture : ::testing::Test {
    TScratchDir dir;
    TTestEngine engine;
    std::string source = dir / "setup.exe";
    std::vector<TComposedMember> members;
    std::string stub = "MZ stub of the setup program";
    std::vector<int> asked;
    // Disks taken out of drive A: go here (a host folder outside the machine's drives).
    std::string shelf = dir.Machine().Host("shelf");

    void SetUp() override { fs::create_directories(shelf); }

    void SwapOut() {
        for (auto& e : fs::directory_iterator(dir.FloppyHost())) fs::rename(e.path(), shelf + "/" + e.path().filename().string());
    }
    void SwapIn(int disk) {
        std::string name = "/files." + std::to_string(disk);
        if (fs::exists(shelf + name)) fs::rename(shelf + name, dir.FloppyHost() + name);
    }

    // Splits onto drive A: of the given capacity; the handler changes floppies.
    void Split(int64_t capacity, bool handler = true) {
        WriteFile(source, stub + ComposeArchive(members));
        dir.SetFloppyCapacity(capacity);
        engine.SetCompressedFile(source);
        engine.SetOffset(static_cast<int32_t>(stub.size()));
        if (handler)
            engine.OnNewDisk = [this](TKvlnCompress*, int32_t disk, std::string& path) {
                EXPECT_TRUE(path == "A:\\" || path == "A:") << path;
                asked.push_back(disk);
                SwapOut();
                SwapIn(disk);
            };
        engine.CopyToDisks("A:\\", "files.1");
        SwapOut();
    }

    // The disk files a split must produce: the table and the data back to back,
    // cut into pieces of the capacity; positions follow from that alone.
    std::vector<std::string> ExpectedDisks(int64_t capacity) {
        std::vector<std::string> data;
        std::string stream = std::string(5 + 172 * members.size(), '\0');
        std::vector<int64_t> starts, ends;
        for (const auto& m : members) {
            data.push_back(Deflate(m.data));
            starts.push_back(static_cast<int64_t>(stream.size()));
            stream += data.back();
            ends.push_back(static_cast<int64_t>(stream.size()) - 1);
        }
        std::string table = I32(static_cast<int32_t>(members.size())) + std::string(1, '\x01');
        for (size_t i = 0; i < members.size(); ++i) {
            TRawRecord r;
            r.FileNumber = static_cast<int32_t>(i + 1);
            r.FileDate = members[i].date;
            r.FileName = members[i].name;
            r.FileSize = static_cast<int32_t>(members[i].data.size());
            r.CompressedSize = static_cast<int32_t>(data[i].size());
            r.FileId = members[i].id;
            r.FileVersion = members[i].version;
            r.NextHeaderPos = static_cast<int32_t>(5 + 172 * (i + 1));
            // A member that starts where a disk is full keeps that disk and its length.
            int64_t s = starts[i];
            bool atBoundary = s % capacity == 0;
            r.StartDisk = static_cast<uint8_t>(s / capacity + (atBoundary ? 0 : 1));
            r.DataPos = static_cast<int32_t>(atBoundary ? capacity : s % capacity);
            r.EndDisk = static_cast<uint8_t>(ends[i] / capacity + 1);
            r.LastBytePos = static_cast<int32_t>(ends[i] % capacity);
            table += r.Bytes();
        }
        stream.replace(0, table.size(), table);
        std::vector<std::string> disks;
        for (size_t at = 0; at < stream.size(); at += static_cast<size_t>(capacity))
            disks.push_back(stream.substr(at, static_cast<size_t>(capacity)));
        return disks;
    }

    std::string Shelved(int disk) {
        std::ifstream f(shelf + "/files." + std::to_string(disk), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    // Checks the shelved disks against the layout; the number of disks.
    size_t ExpectDisks(int64_t capacity) {
        std::vector<std::string> expected = ExpectedDisks(capacity);
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(Shelved(static_cast<int>(i + 1)) == expected[i]) << "disk " << i + 1;
        EXPECT_FALSE(fs::exists(shelf + "/files." + std::to_string(expected.size() + 1)));
        return expected.size();
    }

    // Copies the shelved disks into a folder of drive C:.
    void Unshelve(const std::string& folder, const std::vector<int>& disks) {
        fs::create_directories(HostPath(folder));
        for (int d : disks)
            fs::copy_file(shelf + "/files." + std::to_string(d), HostPath(folder) + "/files." + std::to_string(d));
    }
};

TEST_F(DiskFixture, SplitsByteForByteWithAMemberOnThreeDisks) {
    members = {{"C:\\src\\one.bin", RandomBytes(12000, 1), "1.2", 4, kDate1},
               {"C:\\src\\two.bin", RandomBytes(20000, 2), "", 1999, kDate2},
               {"C:\\src\\three.txt", "small", "", 0, kDate1}};
    Split(10240);
    EXPECT_EQ(ExpectDisks(10240), 4u);
    // A new floppy for disks 2 to 4, then disk 1 again for the final table.
    EXPECT_EQ(asked, (std::vector<int>{2, 3, 4, 1}));
    // The table held in memory now describes the disk set.
    EXPECT_EQ(engine.GetFileStats(1).Header.StartDisk, 2);
    EXPECT_EQ(engine.GetFileStats(1).Header.EndDisk, 4);
}

TEST_F(DiskFixture, MemberStartingWhereADiskFilledUp) {
    members = {{"one.bin", RandomBytes(9368, 3), "", 0, kDate1}, {"two.bin", RandomBytes(3000, 4), "", 0, kDate1}};
    const int64_t capacity = 19 * 512;
    ASSERT_EQ(5 + 2 * 172 + static_cast<int64_t>(Deflate(members[0].data).size()), capacity);
    Split(capacity);
    EXPECT_EQ(ExpectDisks(capacity), 2u);
    EXPECT_EQ(engine.GetFileStats(1).Header.DataPos, capacity);
    EXPECT_EQ(engine.GetFileStats(1).Header.StartDisk, 1);

    Unshelve(dir / "set", {1, 2});
    TTestEngine reader;
    reader.SetCompressedFile(dir / "set/files.1");
    reader.SetExtractDirectory(dir / "out");
    SetList(reader, {"two.bin", "one.bin"});
    reader.Extract();
    EXPECT_TRUE(ReadFile(dir / "out/two.bin") == members[1].data);
    EXPECT_TRUE(ReadFile(dir / "out/one.bin") == members[0].data);
}

TEST_F(DiskFixture, ExtractAsksOnlyForDisksThatAreMissing) {
    members = {{"one.bin", RandomBytes(12000, 1), "", 0, kDate1}, {"two.bin", RandomBytes(20000, 2), "", 0, kDate2}};
    Split(10240);
    // Disk 1 in one folder, disks 2 to 4 in another; then disk 4 alone in a third.
    std::string a = dir / "set1", b = dir / "set2", c = dir / "set3";
    Unshelve(a, {1});
    Unshelve(b, {2, 3, 4});
    fs::create_directories(HostPath(c));
    const struct {
        bool moveDisk4;
        std::vector<int> expected;
    } cases[] = {{false, {2}}, {true, {2, 4}}};
    for (const auto& cs : cases) {
        if (cs.moveDisk4) fs::rename(HostPath(b + "\\files.4"), HostPath(c) + "/files.4");
        TTestEngine reader;
        std::vector<int> asks;
        reader.OnNewDisk = [&](TKvlnCompress*, int32_t disk, std::string& path) {
            asks.push_back(disk);
            path = disk == 4 && cs.moveDisk4 ? c : b;
        };
        reader.SetCompressedFile(a + "\\files.1");
        reader.SetExtractDirectory(dir / "out");
        SetList(reader, {"two.bin"});
        reader.Extract();
        EXPECT_TRUE(ReadFile(dir / "out/two.bin") == members[1].data);
        EXPECT_EQ(asks, cs.expected);
        // Extraction leaves CompressedFile naming the last disk file it opened.
        EXPECT_EQ(reader.CompressedFile(), (cs.moveDisk4 ? c : b) + "\\files.4");
        EXPECT_EQ(reader.CurrentDisk, 4);
    }

    TTestEngine noHandler;
    noHandler.SetCompressedFile(a + "\\files.1");
    noHandler.SetExtractDirectory(dir / "out");
    SetList(noHandler, {"two.bin"});
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { noHandler.Extract(); }), "Could not open the correct disk file 2");

    TTestEngine stubborn;  // a handler that never brings the disk: four attempts
    int tries = 0;
    stubborn.OnNewDisk = [&](TKvlnCompress*, int32_t, std::string&) { ++tries; };
    stubborn.SetCompressedFile(a + "\\files.1");
    stubborn.SetExtractDirectory(dir / "out");
    SetList(stubborn, {"two.bin"});
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { stubborn.Extract(); }), "Cannot open the compressed file " + a + "\\files.2");
    EXPECT_EQ(tries, 4);
}

TEST_F(DiskFixture, SplitFailures) {
    members = {{"one.bin", RandomBytes(12000, 1), "", 0, kDate1}};
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Split(10240, false); }),
              "There was no event handler for the OnNewDisk event, therefore no new disk could be inserted");
    EXPECT_TRUE(engine.Abort());
    SwapOut();
    // The failed split left the table to be read again. A chunk that the next
    // floppy cannot take whole:
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Split(2048); }), "There is too little space on this disk to operate");
    // A disk set cannot be split again.
    WriteFile(dir / "set/files.1", I32(0) + std::string(1, '\x01'));
    TTestEngine fresh;
    fresh.SetCompressedFile(dir / "set/files.1");
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { fresh.CopyToDisks("A:\\", "files.1"); }),
              "The compressed file " + dir / "set/files.1" + " is already a disk set");
}

TEST_F(DiskFixture, AbortFromStatusWhileSplitting) {
    members = {{"one.bin", RandomBytes(30000, 1), "", 0, kDate1}};
    int aborted = 0;
    engine.OnAborted = [&](TObject*) { ++aborted; };
    engine.OnStatus = [](TKvlnCompress* e, const TlzhFileStats&) { e->SetAbort(true); };
    Split(1457664);
    EXPECT_EQ(aborted, 1);
    EXPECT_TRUE(engine.Abort());
}

TEST_F(DiskFixture, CopyFileFollowsTheOverwriteRule) {
    std::string src = dir / "src.txt", dst = dir / "dst/dst.txt";
    WriteFile(src, TextBytes(20000, 1));
    SetMTime(src, kDate2);
    fs::create_directories(HostPath(dir / "dst"));
    TEventLog log;
    log.Attach(engine);
    engine.CopyFile(src, dst);
    EXPECT_TRUE(ReadFile(dst) == ReadFile(src));
    EXPECT_EQ(FileDateToDateTime(FileAge(dst)), kDate2);
    const std::vector<std::string> expected = {"Status src.txt x3", "Status src.txt done"};
    EXPECT_EQ(log.Folded(), expected);
    EXPECT_EQ(log.stats.back().FilePosition, 20000);
    EXPECT_EQ(log.stats.back().TotalPercent, 100);
    EXPECT_EQ(engine.DestFileName, "dst.txt");

    WriteFile(dst, "newer on disk");
    SetMTime(dst, kDate2 + 1);
    engine.SetOverwrite(owDate);
    engine.CopyFile(src, dst);
    EXPECT_EQ(ReadFile(dst), "newer on disk");
    SetMTime(dst, kDate1);
    engine.OnReplace = [](TKvlnCompress* e, const TlzhFileStats& s) {
        EXPECT_EQ(ExtractFileName(s.FileName), "src.txt");
        e->DestFileName = "renamed.txt";
    };
    engine.CopyFile(src, dst);
    EXPECT_EQ(ReadFile(dst), "newer on disk");
    EXPECT_TRUE(ReadFile(dir / "dst/renamed.txt") == ReadFile(src));

    engine.OnReplace.Clear();
    engine.OnStatus = [](TKvlnCompress* e, const TlzhFileStats&) { e->SetAbort(true); };
    engine.SetOverwrite(owAlways);
    EXPECT_NO_THROW(engine.CopyFile(src, dir / "dst/aborted.txt"));
    EXPECT_EQ(ReadFile(dir / "dst/aborted.txt").size(), 8192u);
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { engine.CopyFile(dir / "none.txt", dir / "dst/x.txt"); }),
              "Cannot open the file " + dir / "none.txt");
}

}  // namespace
}  // namespace kv
