#include "tests/archive/EngineTestUtil.h"

namespace kv {
namespace {

using namespace test;

struct DiskFixture : ::testing::Test {
    TScratchDir dir;
    TTestEngine engine;
    std::string source = dir / "setup.exe";
    std::string floppy = dir / "A";
    std::vector<TComposedMember> members;
    std::string stub = "MZ stub of the setup program";

    void SetUp() override { std::filesystem::create_directories(floppy); }

    void Split(int64_t capacity, bool askForDisks = true) {
        WriteFile(source, stub + ComposeArchive(members));
        engine.SetCompressedFile(source);
        engine.SetOffset(static_cast<int32_t>(stub.size()));
        engine.Capacity[floppy + "/"] = capacity;
        if (askForDisks) engine.OnNewDisk = [this](TKvlnCompress*, int32_t, std::string& path) { asked.push_back(path); };
        engine.CopyToDisks(floppy, "files.1");
    }
    std::vector<std::string> asked;

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

    void ExpectDisks(int64_t capacity) {
        std::vector<std::string> expected = ExpectedDisks(capacity);
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_TRUE(ReadFile(floppy + "/files." + std::to_string(i + 1)) == expected[i]) << "disk " << i + 1;
        EXPECT_FALSE(std::filesystem::exists(floppy + "/files." + std::to_string(expected.size() + 1)));
    }
};

TEST_F(DiskFixture, SplitsByteForByteWithAMemberOnThreeDisks) {
    members = {{"C:\\src\\one.bin", RandomBytes(12000, 1), "1.2", 4, kDate1},
               {"C:\\src\\two.bin", RandomBytes(20000, 2), "", 1999, kDate2},
               {"C:\\src\\three.txt", "small", "", 0, kDate1}};
    Split(10000);
    ExpectDisks(10000);
    EXPECT_EQ(asked, (std::vector<std::string>{floppy, floppy, floppy}));
    // The table held in memory now describes the disk set.
    EXPECT_EQ(engine.GetFileStats(1).Header.StartDisk, 2);
    EXPECT_EQ(engine.GetFileStats(1).Header.EndDisk, 4);
}

TEST_F(DiskFixture, MemberStartingWhereADiskFilledUp) {
    members = {{"one.bin", RandomBytes(9000, 3), "", 0, kDate1}, {"two.bin", RandomBytes(3000, 4), "", 0, kDate1}};
    int64_t capacity = 5 + 2 * 172 + static_cast<int64_t>(Deflate(members[0].data).size());
    Split(capacity);
    ExpectDisks(capacity);
    EXPECT_EQ(engine.GetFileStats(1).Header.DataPos, capacity);
    EXPECT_EQ(engine.GetFileStats(1).Header.StartDisk, 1);

    TTestEngine reader;
    reader.SetCompressedFile(floppy + "/files.1");
    reader.SetExtractDirectory(dir / "out");
    SetList(reader, {"two.bin", "one.bin"});
    reader.Extract();
    EXPECT_TRUE(ReadFile(dir / "out/two.bin") == members[1].data);
    EXPECT_TRUE(ReadFile(dir / "out/one.bin") == members[0].data);
}

TEST_F(DiskFixture, ExtractAsksOnlyForDisksThatAreMissing) {
    members = {{"one.bin", RandomBytes(12000, 1), "", 0, kDate1},
               {"two.bin", RandomBytes(20000, 2), "", 0, kDate2}};
    Split(10000);
    // Disk 1 in A, disks 2 to 4 in B; then disk 4 alone in C.
    std::string b = dir / "B", c = dir / "C";
    std::filesystem::create_directories(b);
    std::filesystem::create_directories(c);
    for (int d = 2; d <= 4; ++d)
        std::filesystem::rename(floppy + "/files." + std::to_string(d), b + "/files." + std::to_string(d));
    const struct {
        bool moveDisk4;
        std::vector<int> expected;
    } cases[] = {{false, {2}}, {true, {2, 4}}};
    for (const auto& cs : cases) {
        if (cs.moveDisk4) std::filesystem::rename(b + "/files.4", c + "/files.4");
        TTestEngine reader;
        std::vector<int> asks;
        reader.OnNewDisk = [&](TKvlnCompress*, int32_t disk, std::string& path) {
            asks.push_back(disk);
            path = disk == 4 && cs.moveDisk4 ? c : b;
        };
        reader.SetCompressedFile(floppy + "/files.1");
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
    noHandler.SetCompressedFile(floppy + "/files.1");
    noHandler.SetExtractDirectory(dir / "out");
    SetList(noHandler, {"two.bin"});
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { noHandler.Extract(); }), "Could not open the correct disk file 2");

    TTestEngine stubborn;  // a handler that never brings the disk: four attempts
    int tries = 0;
    stubborn.OnNewDisk = [&](TKvlnCompress*, int32_t, std::string&) { ++tries; };
    stubborn.SetCompressedFile(floppy + "/files.1");
    stubborn.SetExtractDirectory(dir / "out");
    SetList(stubborn, {"two.bin"});
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { stubborn.Extract(); }),
              "Cannot open the compressed file " + floppy + "\\files.2");
    EXPECT_EQ(tries, 4);
}

TEST_F(DiskFixture, SplitFailures) {
    members = {{"one.bin", RandomBytes(12000, 1), "", 0, kDate1}};
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { Split(10000, false); }),
              "There was no event handler for the OnNewDisk event, therefore no new disk could be inserted");
    EXPECT_TRUE(engine.Abort());
    engine.OnNewDisk.Clear();
    TTestEngine fresh;
    fresh.SetCompressedFile(source);
    fresh.SetOffset(static_cast<int32_t>(stub.size()));
    fresh.Capacity[floppy + "/"] = 2000;
    fresh.OnNewDisk = [](TKvlnCompress*, int32_t, std::string&) {};
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { fresh.CopyToDisks(floppy, "files.1"); }),
              "There is too little space on this disk to operate");
    // A disk set cannot be split again.
    fresh.SetCompressedFile(floppy + "/files.1");
    fresh.SetOffset(0);
    WriteFile(floppy + "/files.1", I32(0) + std::string(1, '\x01'));
    EXPECT_EQ(MessageOf<EKvlnCompress>([&] { fresh.CopyToDisks(dir / "B", "files.1"); }),
              "The compressed file " + floppy + "/files.1 is already a disk set");
}

TEST_F(DiskFixture, AbortFromStatusWhileSplitting) {
    members = {{"one.bin", RandomBytes(30000, 1), "", 0, kDate1}};
    int aborted = 0;
    engine.OnAborted = [&](TObject*) { ++aborted; };
    engine.OnStatus = [](TKvlnCompress* e, const TlzhFileStats&) { e->SetAbort(true); };
    Split(100000);
    EXPECT_EQ(aborted, 1);
    EXPECT_TRUE(engine.Abort());
}

TEST_F(DiskFixture, CopyFileFollowsTheOverwriteRule) {
    std::string src = dir / "src.txt", dst = dir / "dst/dst.txt";
    WriteFile(src, TextBytes(20000, 1));
    SetMTime(src, kDate2);
    std::filesystem::create_directories(dir / "dst");
    TEventLog log;
    log.Attach(engine);
    engine.CopyFile(src, dst);
    EXPECT_TRUE(ReadFile(dst) == ReadFile(src));
    int32_t stamp;
    ASSERT_TRUE(fsv::GetFileDate(dst, stamp));
    EXPECT_EQ(FileDateToDateTime(stamp), kDate2);
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
        EXPECT_EQ(fsv::ExtractFileName(s.FileName), "src.txt");
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
