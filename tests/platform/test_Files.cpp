#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "platform/FileStream.h"
#include "platform/Files.h"
#include "platform/Sqlite.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::MachineTest;

namespace {

HANDLE Open(const char* path, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING) {
    return CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ReadAll(const std::string& path) {
    TFileStream s(path, fmOpenRead | fmShareDenyNone);
    std::string data(static_cast<size_t>(s.Size()), '\0');
    s.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
    return data;
}

}  // namespace

TEST_F(MachineTest, StreamsCreateReadWriteSeekAndSize) {
    {
        TFileStream s("C:\\TEMP\\a.bin", fmCreate);
        s.WriteU32(0x01020304);
        s.WriteString("tail");
        EXPECT_EQ(s.Size(), 8);
        s.SetPosition(2);
        EXPECT_EQ(s.ReadU8(), 0x02);
        s.SetSize(6);
        EXPECT_EQ(s.Size(), 6);
        EXPECT_EQ(s.Seek(0, soEnd), 6);
        EXPECT_EQ(s.Seek(-10, soCurrent), -1);
    }
    EXPECT_EQ(M.Read("drive_c/TEMP/a.bin"), std::string("\x04\x03\x02\x01ta", 6));
    EXPECT_EQ(ReadAll("c:\\temp\\A.BIN").size(), 6u);
    try {
        TFileStream s("C:\\TEMP\\missing.bin", fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_STREQ(e.what(), "Cannot open file C:\\TEMP\\missing.bin");
    }
    try {
        TFileStream s("C:\\NoFolder\\x.bin", fmCreate);
        FAIL();
    } catch (const EFCreateError& e) {
        EXPECT_STREQ(e.what(), "Cannot create file C:\\NoFolder\\x.bin");
    }
    EXPECT_THROW(TFileStream("C:\\TEMP\\a.bin", 3), EFOpenError);
}

// Positions as reads, writes and seeks leave them, refused seeks included.
TEST_F(MachineTest, PositionsFollowReadsWritesAndSeeks) {
    TFileStream s("C:\\TEMP\\p.bin", fmCreate);
    s.WriteString("abcdef");
    s.SetPosition(1);
    EXPECT_EQ(s.Seek(-10, soCurrent), -1);
    EXPECT_EQ(s.Position(), 1);
    s.SetPosition(4);
    char buf[10];
    EXPECT_EQ(s.Read(buf, 10), 2);
    EXPECT_EQ(s.Position(), 6);
    s.WriteString("xy");
    EXPECT_EQ(s.Position(), 8);
    EXPECT_EQ(s.Seek(-3, soEnd), 5);
    EXPECT_EQ(s.Read(buf, 10), 3);
    EXPECT_EQ(std::string(buf, 3), "fxy");
    s.SetSize(2);
    EXPECT_EQ(s.Position(), 2);
    EXPECT_EQ(s.Size(), 2);
}

TEST_F(MachineTest, DispositionsAsWindowsHasThem) {
    HANDLE h = Open("C:\\TEMP\\d.txt", GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "abc", 3, &n, nullptr));
    EXPECT_FALSE(ReadFile(h, &n, 1, &n, nullptr));  // opened for writing only
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Open("C:\\TEMP\\d.txt", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(Open("C:\\TEMP\\none.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("C:\\NONE\\none.txt", GENERIC_READ, 0, OPEN_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open("C:\\TEMP", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    h = Open("c:\\temp\\D.TXT", GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, nullptr), 3u);
    CloseHandle(h);
    h = Open("C:\\TEMP\\d.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    CloseHandle(h);
    EXPECT_TRUE(M.Exists("drive_c/TEMP/d.txt"));
    EXPECT_FALSE(M.Exists("drive_c/TEMP/D.TXT"));
}

TEST_F(MachineTest, ShareModesAsWindowsChecksThem) {
    M.Write("drive_c/f.txt", "data");
    const DWORD R = GENERIC_READ, W = GENERIC_WRITE, RW = R | W;
    const DWORD sR = FILE_SHARE_READ, sW = FILE_SHARE_WRITE, sRW = sR | sW;
    struct Case { DWORD a1, s1, a2, s2; bool ok; };
    const Case cases[] = {
        {R, sR, R, sR, true},   {R, sR, R, sRW, true},  {R, sR, W, sRW, false}, {R, sRW, W, sRW, true},
        {R, 0, R, sRW, false},  {W, sR, R, sRW, true}, {W, sRW, R, sRW, true}, {W, sRW, R, sR, false},
        {RW, sRW, RW, sRW, true}, {R, sW, W, sR, true}, {R, sRW, R, 0, false}, {0, 0, RW, 0, true},
    };
    for (const auto& c : cases) {
        HANDLE h1 = Open("C:\\f.txt", c.a1, c.s1);
        ASSERT_NE(h1, INVALID_HANDLE_VALUE);
        HANDLE h2 = Open("C:\\F.TXT", c.a2, c.s2);
        EXPECT_EQ(h2 != INVALID_HANDLE_VALUE, c.ok) << c.a1 << " " << c.s1 << " / " << c.a2 << " " << c.s2;
        if (h2 == INVALID_HANDLE_VALUE) EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        else CloseHandle(h2);
        CloseHandle(h1);
    }
    // A file held open without delete sharing cannot be deleted, moved or replaced.
    TFileStream held("C:\\f.txt", fmOpenRead | fmShareDenyWrite);
    EXPECT_FALSE(DeleteFileA("C:\\f.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileA("C:\\f.txt", "C:\\g.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CopyFileA("C:\\f.txt", "C:\\g.txt", true));
    EXPECT_FALSE(CopyFileA("C:\\g.txt", "C:\\f.txt", false));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_THROW(TFileStream("C:\\f.txt", fmOpenWrite | fmShareDenyNone), EFOpenError);
}

TEST_F(MachineTest, InUseFilesRefuseWhatWindowsRefuses) {
    M.Write("drive_c/Program Files/App/tool.dll", "old");
    M.Write("drive_c/new.dll", "new");
    AddInUse("c:\\progra~1\\app\\TOOL.DLL");  // any spelling of the same file
    EXPECT_EQ(InUseList(), std::vector<std::string>{"C:\\Program Files\\App\\tool.dll"});
    const char* p = "C:\\Program Files\\App\\tool.dll";
    EXPECT_EQ(ReadAll(p), "old");  // shared reading works
    EXPECT_THROW(TFileStream(p, fmOpenRead), EFOpenError);  // compatibility mode shares nothing
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_THROW(TFileStream(p, fmCreate), EFCreateError);
    EXPECT_FALSE(DeleteFileA(p));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(CopyFileA("C:\\new.dll", p, false));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExA("C:\\new.dll", p, MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileA("C:\\Program Files\\App", "C:\\App2"));  // its folder cannot move either
    EXPECT_TRUE(CopyFileA(p, "C:\\copy.dll", false));
    EXPECT_EQ(M.Read("drive_c/Program Files/App/tool.dll"), "old");
    EXPECT_TRUE(RemoveInUse(p));
    EXPECT_FALSE(RemoveInUse(p));
    EXPECT_TRUE(DeleteFileA(p));
}

// Open files of other programs of the machine count; a killed program's do not.
TEST_F(MachineTest, OtherProgramsHoldFilesUntilTheyEnd) {
    M.Write("drive_c/held.txt", "x");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        HANDLE h = Open("C:\\held.txt", GENERIC_READ, 0);
        char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
        (void)!::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(Open("C:\\held.txt", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    HANDLE h = Open("C:\\held.txt", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    ::close(ready[0]);
    ::close(ready[1]);
}

// A folder cannot move while a file below it is open without delete sharing, in this
// program or another.
TEST_F(MachineTest, FoldersWithOpenFilesStay) {
    M.Write("drive_c/dir/sub/f.txt", "x");
    {
        TFileStream held("C:\\DIR\\SUB\\F.TXT", fmOpenRead | fmShareDenyNone);
        EXPECT_FALSE(MoveFileA("C:\\dir", "C:\\dir2"));
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    }
    ASSERT_TRUE(MoveFileA("C:\\dir", "C:\\dir2"));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        HANDLE h = Open("C:\\dir2\\sub\\f.txt", GENERIC_READ, FILE_SHARE_READ);
        char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
        (void)!::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_FALSE(MoveFileA("C:\\dir2", "C:\\dir3"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(MoveFileA("C:\\dir2", "C:\\dir3"));
    ::close(ready[0]);
    ::close(ready[1]);
}

// A forked child's copies of its parent's handles hold nothing once the parent closes them.
TEST_F(MachineTest, ForkedChildrenHoldNoInheritedFiles) {
    M.Write("drive_c/f.txt", "x");
    HANDLE h = Open("C:\\f.txt", GENERIC_READ, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        (void)!::write(ready[1], "y", 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    EXPECT_EQ(Open("C:\\f.txt", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    CloseHandle(h);
    h = Open("C:\\f.txt", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

// The records of closed handles are reused for later openings: what another program
// sees is only what is open now.
TEST_F(MachineTest, ClosedHandlesLeaveNothingHeld) {
    M.Write("drive_c/a.txt", "a");
    M.Write("drive_c/b.txt", "b");
    for (int i = 0; i < 3; ++i) CloseHandle(Open("C:\\a.txt", GENERIC_READ | GENERIC_WRITE, 0));
    HANDLE b = Open("C:\\b.txt", GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    pid_t child = ::fork();
    if (child == 0) {
        HANDLE a2 = Open("C:\\a.txt", GENERIC_READ | GENERIC_WRITE, 0);
        HANDLE b2 = Open("C:\\b.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
        ::_exit(a2 != INVALID_HANDLE_VALUE && b2 == INVALID_HANDLE_VALUE ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CloseHandle(b);
}

TEST_F(MachineTest, DeleteCopyAndMove) {
    M.Write("drive_c/a.txt", "A");
    M.Write("drive_c/b.txt", "B");
    M.Write("drive_c/dir/sub/c.txt", "C");
    EXPECT_FALSE(DeleteFileA("C:\\none.txt"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA("C:\\dir"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    EXPECT_FALSE(CopyFileA("C:\\a.txt", "C:\\b.txt", true));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_TRUE(CopyFileA("C:\\a.txt", "C:\\B.TXT", false));
    EXPECT_EQ(M.Read("drive_c/b.txt"), "A");

    EXPECT_FALSE(MoveFileA("C:\\a.txt", "C:\\b.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileExA("C:\\a.txt", "C:\\b.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(M.Exists("drive_c/a.txt"));
    EXPECT_TRUE(MoveFileA("C:\\b.txt", "C:\\B.txt"));  // a new case for the same name
    EXPECT_TRUE(M.Exists("drive_c/B.txt"));
    EXPECT_FALSE(M.Exists("drive_c/b.txt"));
    EXPECT_TRUE(MoveFileA("C:\\dir", "C:\\Moved"));
    EXPECT_EQ(M.Read("drive_c/Moved/sub/c.txt"), "C");
    EXPECT_FALSE(MoveFileA("C:\\Moved\\sub\\c.txt", "C:\\nofolder\\c.txt"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    // Across drives a file is copied and deleted; a folder cannot go.
    EXPECT_TRUE(MoveFileA("C:\\Moved\\sub\\c.txt", "A:\\c.txt"));
    EXPECT_EQ(M.Read("drive_a/c.txt"), "C");
    EXPECT_FALSE(MoveFileExA("C:\\B.txt", "A:\\b.txt", 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
    EXPECT_FALSE(MoveFileA("C:\\Moved", "A:\\Moved"));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
}

TEST_F(MachineTest, ReadOnlyAndOtherAttributes) {
    M.Write("drive_c/r.txt", "r");
    EXPECT_EQ(GetFileAttributesA("C:\\r.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(GetFileAttributesA("C:\\TEMP"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesA("C:\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    ASSERT_TRUE(SetFileAttributesA("C:\\r.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesA("C:\\R.TXT"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FALSE(DeleteFileA("C:\\r.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_THROW(TFileStream("C:\\r.txt", fmOpenWrite), EFOpenError);
    EXPECT_THROW(TFileStream("C:\\r.txt", fmCreate), EFCreateError);
    EXPECT_EQ(ReadAll("C:\\r.txt"), "r");
    // A copy carries the attributes; a move keeps them.
    ASSERT_TRUE(CopyFileA("C:\\r.txt", "C:\\r2.txt", true));
    EXPECT_EQ(GetFileAttributesA("C:\\r2.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_FALSE(CopyFileA("C:\\r.txt", "C:\\r2.txt", false));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(MoveFileA("C:\\r2.txt", "C:\\r3.txt"));
    EXPECT_EQ(GetFileAttributesA("C:\\r3.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesA("C:\\r.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\r.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("C:\\r.txt"));
    M.Write("drive_c/r.txt", "again");  // a new file of the old name starts afresh
    EXPECT_EQ(GetFileAttributesA("C:\\r.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

// Attributes belong to the file that had them: not to a new file of the same name,
// however the old one went; creating and truncating set them from the flags.
TEST_F(MachineTest, AttributesStayWithTheirFile) {
    const DWORD hidden = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
    HANDLE h = Open("C:\\h.txt", GENERIC_WRITE, 0, CREATE_NEW);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("C:\\h.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    h = CreateFileA("C:\\h.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("C:\\h.txt"), hidden);
    h = Open("C:\\h.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("C:\\h.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(SetFileAttributesA("C:\\h.txt", hidden));
    M.Write("drive_c/h.txt", "rewritten in place");  // the same file
    EXPECT_EQ(GetFileAttributesA("C:\\h.txt"), hidden);
    std::filesystem::remove(M.Host("drive_c/h.txt"));  // gone behind the machine's back
    M.Write("drive_c/h.txt", "another file");
    EXPECT_EQ(GetFileAttributesA("C:\\h.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(SetFileAttributesA("C:\\h.txt", hidden));
    std::filesystem::remove(M.Host("drive_c/h.txt"));
    h = Open("C:\\h.txt", GENERIC_WRITE, 0, CREATE_NEW);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("C:\\h.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(CreateDirectoryA("C:\\d", nullptr));
    ASSERT_TRUE(SetFileAttributesA("C:\\d", FILE_ATTRIBUTE_SYSTEM));
    std::filesystem::remove(M.Host("drive_c/d"));
    ASSERT_TRUE(CreateDirectoryA("C:\\D", nullptr));
    EXPECT_EQ(GetFileAttributesA("C:\\d"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

// A machine made before attributes carried their file's identity keeps those of its
// files; records of files that are gone are dropped.
TEST(Machine, OlderAttributeRecordsKeepTheirFiles) {
    kv::test::TempMachine m;
    m.Write("drive_c/Kept.txt", "k");
    {
        TSqlite old(m.Root + "/old.db");
        old.Exec("CREATE TABLE attrs(fold BLOB PRIMARY KEY, attr INTEGER NOT NULL)");
        for (const char* fold : {"C:\\KEPT.TXT", "C:\\GONE.TXT"})
            TSqlite::Query(old, "INSERT INTO attrs VALUES(?,?)").Bind(1, std::string(fold)).Bind(2, 0x22).Run();
    }
    std::filesystem::copy_file(m.Root + "/old.db", m.Dir + "/state.db",
                               std::filesystem::copy_options::overwrite_existing);
    UseMachine(m.Dir);
    EXPECT_EQ(GetFileAttributesA("C:\\kept.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    m.Write("drive_c/gone.txt", "new");
    EXPECT_EQ(GetFileAttributesA("C:\\gone.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(MachineTest, LastWriteTimeInAndOut) {
    M.Write("drive_c/t.txt", "t");
    int32_t stamp = DateTimeToFileDate(EncodeDate(1998, 6, 15) + EncodeTime(13, 45, 58, 0));
    EXPECT_EQ(FileSetDate("C:\\t.txt", stamp), 0);
    EXPECT_EQ(FileAge("c:\\T.TXT"), stamp);
    HANDLE h = Open("C:\\t.txt", GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(FileGetDate(h), stamp);
    EXPECT_EQ(FileSetDate(h, stamp), static_cast<int>(ERROR_ACCESS_DENIED));  // needs write access
    FILETIME ft;
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &ft));
    EXPECT_NEAR(FileTimeToDateTime(ft), EncodeDate(1998, 6, 15) + EncodeTime(13, 45, 58, 0), 1e-9);
    CloseHandle(h);
    EXPECT_EQ(FileAge("C:\\none.txt"), -1);
    EXPECT_EQ(FileAge("C:\\TEMP"), -1);
    ASSERT_TRUE(CopyFileA("C:\\t.txt", "C:\\t2.txt", true));
    EXPECT_EQ(FileAge("C:\\t2.txt"), stamp);
    // DOS stamps that name no time are refused.
    FILETIME out;
    for (uint32_t bad : {0u, (1u << 5) | 1u, ((13u << 5) | 1u) << 16, (((2u << 5) | 30u) << 16), ((1u << 5) | 1u) << 16 | (24u << 11)})
        EXPECT_FALSE(DosDateTimeToFileTime(static_cast<WORD>(bad >> 16), static_cast<WORD>(bad), &out)) << bad;
    // 29 February: 2000 has it, 2100 does not.
    auto feb29 = [](int year) { return static_cast<WORD>(((year - 1980) << 9) | (2 << 5) | 29); };
    ASSERT_TRUE(DosDateTimeToFileTime(feb29(2000), static_cast<WORD>(13 << 11), &out));
    EXPECT_NEAR(FileTimeToDateTime(out), EncodeDate(2000, 2, 29) + EncodeTime(13, 0, 0, 0), 1e-9);
    EXPECT_FALSE(DosDateTimeToFileTime(feb29(2100), 0, &out));
    WORD d, t;
    FILETIME early = DateTimeToFileTime(EncodeDate(1970, 1, 1));
    EXPECT_FALSE(FileTimeToDosDateTime(&early, &d, &t));
}

TEST_F(MachineTest, FloppyWritesComeUpShortWhenFull) {
    DWORD spc, bps, freeClusters, total;
    ASSERT_TRUE(GetDiskFreeSpaceA("A:\\", &spc, &bps, &freeClusters, &total));
    EXPECT_EQ(spc * bps * total, 1457664u);
    EXPECT_EQ(freeClusters, total);
    EXPECT_EQ(DiskFree(1), 1457664);
    M.Write("drive_a/small.txt", std::string(1000, 's'));  // takes two clusters
    ASSERT_TRUE(CreateDirectoryA("A:\\dir", nullptr));      // and one more
    EXPECT_EQ(DiskFree(1), 1457664 - 3 * 512);
    std::string big(1457664, 'b');
    {
        TFileStream s("A:\\dir\\big.bin", fmCreate);
        EXPECT_EQ(s.Write(big.data(), 100), 100);
        EXPECT_EQ(s.Write(big.data(), static_cast<int64_t>(big.size())), 1457664 - 3 * 512 - 100);
        EXPECT_EQ(s.Write(big.data(), 1), 0);
        EXPECT_THROW(s.SetSize(1457664), EOSError);
        s.SetSize(512);  // shrinking frees clusters again
        s.SetPosition(512);
        EXPECT_EQ(s.Write(big.data(), 2000), 2000);
    }
    HANDLE h = Open("A:\\more.bin", GENERIC_WRITE, 0, CREATE_NEW);
    DWORD n = 99;
    EXPECT_FALSE(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(n, 1457664u - 3 * 512 - 2560);  // what the other files leave
    CloseHandle(h);
    DeleteFileA("A:\\more.bin");
    // A copy that does not fit leaves nothing behind.
    M.Write("drive_c/huge.bin", big);
    EXPECT_FALSE(CopyFileA("C:\\huge.bin", "A:\\huge.bin", false));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_FALSE(M.Exists("drive_a/huge.bin"));
    uint64_t freeC = 0;
    EXPECT_TRUE(GetDiskFreeSpaceExA("C:\\", &freeC, nullptr, nullptr));
    EXPECT_GT(freeC, 0u);
}

TEST_F(MachineTest, FoldersCreatedWithTheirParents) {
    EXPECT_TRUE(ForceDirectories("C:\\One\\Two\\Three"));
    EXPECT_TRUE(DirectoryExists("c:\\one\\two\\three"));
    EXPECT_TRUE(ForceDirectories("C:\\ONE\\two\\Four\\"));
    EXPECT_TRUE(M.Exists("drive_c/One/Two/Four"));
    EXPECT_THROW(ForceDirectories(""), EInOutError);
    EXPECT_FALSE(ForceDirectories("C:\\One\\a|b"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_FALSE(CreateDirectoryA("C:\\One", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA("C:\\X\\Y", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(RemoveDirectoryA("C:\\One\\Two"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(RemoveDirectoryA("C:\\One\\Two\\Three"));
    M.Write("drive_c/file", "");
    EXPECT_FALSE(ForceDirectories("C:\\file\\sub"));
}

TEST_F(MachineTest, SearchesMatchWildcardsLikeWindows) {
    for (const char* f : {"readme.txt", "Read.me", "a1.txt", "a22.txt", "noext", "Long File Name.html"})
        M.Write(std::string("drive_c/s/") + f, "12345");
    M.Write("drive_c/s/Sub/x", "");
    auto find = [](const std::string& pattern) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return names;
        do names.push_back(fd.cFileName);
        while (FindNextFileA(h, &fd));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        FindClose(h);
        return names;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(find("C:\\s\\*.*"), (V{".", "..", "a1.txt", "a22.txt", "Long File Name.html", "noext", "Read.me",
                                     "readme.txt", "Sub"}));
    EXPECT_EQ(find("C:\\s\\*.TXT"), (V{"a1.txt", "a22.txt", "readme.txt"}));
    EXPECT_EQ(find("C:\\s\\a?.txt"), (V{"a1.txt"}));
    EXPECT_EQ(find("C:\\s\\a??.txt"), (V{"a1.txt", "a22.txt"}));
    EXPECT_EQ(find("C:\\s\\*."), (V{".", "..", "noext", "Sub"}));
    EXPECT_EQ(find("C:\\s\\noext.*"), (V{"noext"}));
    EXPECT_EQ(find("C:\\s\\LONGFI~1.HTM"), (V{"Long File Name.html"}));
    EXPECT_EQ(find("C:\\s\\README.TXT"), (V{"readme.txt"}));
    EXPECT_EQ(find("C:\\s\\*.zip"), V{});
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(find("C:\\nothere\\*.*"), V{});
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(find("C:\\"), V{});
    // The class library's search leaves folders out unless asked for.
    TSearchRec sr;
    ASSERT_EQ(FindFirst("C:\\s\\*.*", faAnyFile & ~faDirectory, sr), 0);
    EXPECT_EQ(sr.Name, "a1.txt");
    EXPECT_EQ(sr.Size, 5);
    EXPECT_EQ(sr.Attr, faArchive);
    EXPECT_EQ(sr.Time, FileAge("C:\\s\\a1.txt"));
    int count = 1;
    while (FindNext(sr) == 0) ++count;
    FindClose(sr);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(FindFirst("C:\\s\\*.zip", faAnyFile, sr), static_cast<int>(ERROR_FILE_NOT_FOUND));
}

TEST_F(MachineTest, TemporaryFilesAreUniqueAndCreated) {
    char dir[MAX_PATH], name[MAX_PATH];
    EXPECT_EQ(GetTempPathA(MAX_PATH, dir), 8u);
    EXPECT_STREQ(dir, "C:\\TEMP\\");
    UINT u = GetTempFileNameA(dir, "batch", 0, name);
    ASSERT_NE(u, 0u);
    EXPECT_EQ(std::string(name), "C:\\TEMP\\bat" + Format("%X", {u}) + ".TMP");
    EXPECT_TRUE(FileExists(name));
    EXPECT_EQ(GetTempFileNameA("C:\\TEMP", "x", 0x1ABCD, name), 0xABCDu);
    EXPECT_STREQ(name, "C:\\TEMP\\xABCD.TMP");
    EXPECT_FALSE(FileExists(name));
    EXPECT_EQ(GetTempFileNameA("C:\\nothere", "x", 0, name), 0u);
    // Programs asking at the same moment never get the same name.
    const int kids = 4, each = 40;
    for (int k = 0; k < kids; ++k)
        if (::fork() == 0) {
            char n[MAX_PATH];
            for (int i = 0; i < each; ++i)
                if (!GetTempFileNameA("C:\\TEMP", "k", 0, n)) ::_exit(1);
            ::_exit(0);
        }
    int failures = 0;
    for (int k = 0; k < kids; ++k) {
        int status = 0;
        ::wait(&status);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    EXPECT_EQ(failures, 0);
    TSearchRec sr;
    int count = 0;
    for (int r = FindFirst("C:\\TEMP\\k*.TMP", faAnyFile, sr); r == 0; r = FindNext(sr)) ++count;
    FindClose(sr);
    EXPECT_EQ(count, kids * each);
}
