#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/Files.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::MachineTest;

TEST_F(MachineTest, ParseNormalisesWindowsPaths) {
    SetCurrentDir("C:\\WINNT");
    struct Case { const char* in; const char* want; };
    const Case cases[] = {
        {"C:\\a\\b", "C:\\a\\b"},
        {"c:/a//b/", "C:\\a\\b"},
        {"C:\\a\\..\\b\\.\\c", "C:\\b\\c"},
        {"C:\\..\\..", "C:\\"},
        {"C:\\a. \\b...", "C:\\a\\b"},
        {"C:", "C:\\WINNT"},
        {"C:system32", "C:\\WINNT\\system32"},
        {"D:x", "D:\\x"},
        {"system32\\drivers", "C:\\WINNT\\system32\\drivers"},
        {"\\TEMP", "C:\\TEMP"},
        {"..\\TEMP", "C:\\TEMP"},
        {"\\\\srv\\pub\\dir\\..\\x", "\\\\srv\\pub\\x"},
        {"\\\\srv\\pub", "\\\\srv\\pub\\"},
        {"/tmp/x", "Z:\\tmp\\x"},
        {"/", "Z:\\"},
    };
    for (const auto& c : cases) {
        TWinPath w;
        ASSERT_EQ(ParseWinPath(c.in, w), ERROR_SUCCESS) << c.in;
        EXPECT_EQ(w.Full(), c.want) << c.in;
    }
}

TEST_F(MachineTest, BadPathsGetTheWindowsError) {
    struct Case { std::string in; DWORD want; };
    const Case cases[] = {
        {"", ERROR_PATH_NOT_FOUND},
        {"C:\\a<b", ERROR_INVALID_NAME},
        {"C:\\a>b", ERROR_INVALID_NAME},
        {"C:\\a|b", ERROR_INVALID_NAME},
        {"C:\\a\"b", ERROR_INVALID_NAME},
        {"C:\\a\tb", ERROR_INVALID_NAME},
        {"C:\\a?b", ERROR_INVALID_NAME},
        {"C:\\a*b\\c", ERROR_INVALID_NAME},
        {"C:\\x:y", ERROR_INVALID_NAME},
        {"1:\\x", ERROR_INVALID_NAME},
        {std::string("C:\\a\0b", 6), ERROR_INVALID_NAME},
        {"C:\\" + std::string(256, 'n'), ERROR_FILENAME_EXCED_RANGE},
        {"C:\\" + std::string(200, 'n') + "\\" + std::string(60, 'm'), ERROR_FILENAME_EXCED_RANGE},
        {"\\\\srv", ERROR_BAD_PATHNAME},
        {"\\\\\\share", ERROR_BAD_PATHNAME},
        {"\\\\s*v\\share", ERROR_INVALID_NAME},
        {"Q:\\x", ERROR_PATH_NOT_FOUND},
        {"\\\\nosuch\\share\\x", ERROR_BAD_NETPATH},
    };
    for (const auto& c : cases) {
        TResolvedPath r;
        EXPECT_EQ(ResolvePath(c.in, r), c.want) << c.in.substr(0, 40);
        if (c.in.find('\0') != std::string::npos) continue;  // a C string ends there
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesA(c.in.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), c.want) << c.in.substr(0, 40);
        EXPECT_EQ(CreateFileA(c.in.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_FALSE(CreateDirectoryA(c.in.c_str(), nullptr));
        EXPECT_FALSE(DeleteFileA(c.in.c_str()));
        EXPECT_FALSE(MoveFileA(c.in.c_str(), "C:\\x"));
        EXPECT_FALSE(CopyFileA("C:\\WINNT", c.in.c_str(), false));
        EXPECT_EQ(ShortPathName(c.in), "");
        EXPECT_FALSE(SetCurrentDir(c.in));
    }
}

TEST_F(MachineTest, NamesMatchWithoutRegardToCase) {
    M.Write("drive_c/Program Files/MyApp/ReadMe.TXT", "hello");
    TResolvedPath r;
    ASSERT_EQ(ResolvePath("c:\\PROGRAM FILES\\myapp\\readme.txt", r), ERROR_SUCCESS);
    EXPECT_TRUE(r.Exists);
    EXPECT_EQ(r.Win.Full(), "C:\\Program Files\\MyApp\\ReadMe.TXT");
    EXPECT_EQ(r.Host, M.Host("drive_c/Program Files/MyApp/ReadMe.TXT"));
    ASSERT_EQ(ResolvePath("c:\\program files\\MYAPP\\new.txt", r), ERROR_SUCCESS);
    EXPECT_FALSE(r.Exists);
    EXPECT_TRUE(r.ParentExists);
    EXPECT_EQ(r.Host, M.Host("drive_c/Program Files/MyApp/new.txt"));
    ASSERT_EQ(ResolvePath("c:\\nothere\\new.txt", r), ERROR_SUCCESS);
    EXPECT_FALSE(r.ParentExists);
    EXPECT_TRUE(FileExists("C:\\PROGRAM FILES\\MYAPP\\README.TXT"));
    EXPECT_TRUE(DirectoryExists("c:\\program files"));
    EXPECT_FALSE(DirectoryExists("c:\\program files\\myapp\\readme.txt"));
    // 1252 letters fold too; the host name is UTF-8.
    M.Write("drive_c/\xC3\x84pfel.txt", "x");
    EXPECT_TRUE(FileExists("C:\\\xE4PFEL.TXT"));
}

// One folder's paths in a row take a shorter way; every last name still resolves as
// it would alone.
TEST_F(MachineTest, PathsInARowResolveAsAlone) {
    M.Write("drive_c/Program Files/MyApp/ReadMe.TXT", "hello");
    M.Write("drive_c/Program Files/MyApp/Sub/x.txt", "x");
    const std::string folder = "C:\\program files\\MYAPP\\";
    const std::string names[] = {"readme.txt", "new.txt", "ReadMe.TXT. . ", "..", ".", "...", "", "sub",
                                 "SUB\\X.TXT", "a/b", "bad|name", "*.txt", std::string(250, 'n'),
                                 std::string("a\0b", 3)};
    auto show = [](DWORD e, const TResolvedPath& r) {
        return std::to_string(e) + " " + r.Win.Full() + " " + r.Host + " " + std::to_string(r.Exists) +
               std::to_string(r.ParentExists) + std::to_string(r.IsDir);
    };
    // Written in another case, and as the host spells it (which is remembered).
    for (const std::string& in : {folder, std::string("C:\\Program Files\\MyApp\\")})
        for (const auto& name : names) {
            TResolvedPath r;
            ResolvePath("C:\\WINNT\\elsewhere.txt", r);
            DWORD e = ResolvePath(in + name, r);
            const std::string alone = show(e, r);
            ResolvePath(in + "warm.txt", r);
            e = ResolvePath(in + name, r);
            EXPECT_EQ(show(e, r), alone) << in << name.substr(0, 20);
            // A third path in a row: the folder's way is watched by then.
            ResolvePath(in + "warm.txt", r);
            e = ResolvePath(in + name, r);
            EXPECT_EQ(show(e, r), alone) << in << name.substr(0, 20);
        }
    // The folder renamed behind the program's back: the next path finds the new one.
    TResolvedPath r;
    ASSERT_EQ(ResolvePath(folder + "new.txt", r), ERROR_SUCCESS);
    std::filesystem::rename(M.Host("drive_c/Program Files/MyApp"), M.Host("drive_c/Program Files/Old"));
    M.Write("drive_c/Program Files/myapp/other.txt", "o");
    ASSERT_EQ(ResolvePath(folder + "other.txt", r), ERROR_SUCCESS);
    EXPECT_TRUE(r.Exists);
    EXPECT_EQ(r.Win.Full(), "C:\\Program Files\\myapp\\other.txt");
}

// New files made one after another in a folder; meanwhile another program changes
// the way to it: each change shows in the next file made.
TEST_F(MachineTest, FilesMadeInARowFollowChangesOnTheWay) {
    M.Write("drive_c/Top/Mid/Dir/keep.txt", "k");
    auto make = [](const std::string& path) {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        DWORD e = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return e;
    };
    const std::string dir = "C:\\Top\\Mid\\Dir\\";  // as the host spells it: the way remembered
    for (int i = 0; i < 3; ++i) ASSERT_EQ(make(dir + "f" + std::to_string(i) + ".txt"), ERROR_SUCCESS);
    // A name made by another program, in another case.
    M.Write("drive_c/Top/Mid/Dir/OTHER.TXT", "o");
    EXPECT_EQ(make(dir + "other.txt"), static_cast<DWORD>(ERROR_FILE_EXISTS));
    // A folder above renamed, and another put in its place.
    std::filesystem::rename(M.Host("drive_c/Top/Mid"), M.Host("drive_c/Top/Was"));
    M.Write("drive_c/Top/Mid/Dir/F3.TXT", "x");
    EXPECT_EQ(make(dir + "f3.txt"), static_cast<DWORD>(ERROR_FILE_EXISTS));
    ASSERT_EQ(make(dir + "f4.txt"), ERROR_SUCCESS);
    EXPECT_TRUE(M.Exists("drive_c/Top/Mid/Dir/f4.txt"));
    EXPECT_FALSE(M.Exists("drive_c/Top/Was/Dir/f4.txt"));
    // The folder itself removed: its path is gone.
    for (int i = 5; i < 7; ++i) ASSERT_EQ(make(dir + "f" + std::to_string(i) + ".txt"), ERROR_SUCCESS);
    std::filesystem::remove_all(M.Host("drive_c/Top/Mid/Dir"));
    EXPECT_EQ(make(dir + "f7.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // A folder above swapped for a link to another tree.
    M.Write("drive_c/Top/Mid/Dir/g.txt", "g");
    for (int i = 8; i < 10; ++i) ASSERT_EQ(make(dir + "f" + std::to_string(i) + ".txt"), ERROR_SUCCESS);
    M.Write("drive_c/Elsewhere/Dir/F10.TXT", "e");
    std::filesystem::rename(M.Host("drive_c/Top/Mid"), M.Host("drive_c/Top/Gone"));
    std::filesystem::create_directory_symlink(M.Host("drive_c/Elsewhere"), M.Host("drive_c/Top/Mid"));
    EXPECT_EQ(make(dir + "f10.txt"), static_cast<DWORD>(ERROR_FILE_EXISTS));
    ASSERT_EQ(make(dir + "f11.txt"), ERROR_SUCCESS);
    EXPECT_TRUE(M.Exists("drive_c/Elsewhere/Dir/f11.txt"));
}

// Lookups keep folder listings; what other programs (and the host) do in a folder
// shows at once: names made, renamed and removed, a folder put in another's place.
TEST_F(MachineTest, NamesOthersChangeAreSeenAtOnce) {
    M.Write("drive_c/dir/a.txt", "a");
    EXPECT_FALSE(FileExists("C:\\dir\\B.TXT"));  // the folder listed
    auto inChild = [](const std::function<void()>& work) {
        pid_t child = ::fork();
        if (child == 0) {
            work();
            ::_exit(0);
        }
        ::waitpid(child, nullptr, 0);
    };
    const std::string dir = M.Host("drive_c/dir");
    inChild([&] {
        EXPECT_FALSE(FileExists("C:\\DIR\\b.txt"));  // the child's own listing
        std::ofstream(dir + "/b.txt") << "b";
        std::filesystem::rename(dir + "/a.txt", dir + "/Moved.TXT");
    });
    EXPECT_TRUE(FileExists("C:\\DIR\\B.TXT"));
    EXPECT_FALSE(FileExists("c:\\dir\\A.TXT"));
    TResolvedPath r;
    ASSERT_EQ(ResolvePath("c:\\dir\\moved.txt", r), ERROR_SUCCESS);
    EXPECT_EQ(r.Win.Full(), "C:\\dir\\Moved.TXT");
    inChild([&] { std::filesystem::remove(dir + "/b.txt"); });
    EXPECT_FALSE(FileExists("C:\\DIR\\B.TXT"));
    std::filesystem::rename(dir, M.Host("drive_c/old"));
    M.Write("drive_c/dir/C.txt", "c");
    EXPECT_TRUE(FileExists("C:\\DIR\\c.TXT"));
    EXPECT_FALSE(FileExists("C:\\DIR\\moved.txt"));
    EXPECT_TRUE(FileExists("C:\\OLD\\moved.txt"));
    // More folders than are kept at once.
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 40; ++i) {
            std::string name = "drive_c/many/d" + std::to_string(i) + "/File" + std::to_string(round) + ".txt";
            std::string win = "C:\\MANY\\D" + std::to_string(i) + "\\FILE" + std::to_string(round) + ".TXT";
            EXPECT_FALSE(FileExists(win));
            M.Write(name, "x");
            EXPECT_TRUE(FileExists(win)) << win;
        }
}

TEST_F(MachineTest, ShortNamesAreDeterministicPerFolder) {
    for (const char* f : {"Program Files/a", "Program Data/a", "Progra Misc/a", "readme.txt/a", "Long Name.text/a",
                          "My.Long.Doc.html/a", "UPPER.TXT/a"})
        M.Write(std::string("drive_c/d/") + f, "");
    struct Case { const char* in; const char* want; };
    const Case cases[] = {
        {"C:\\d\\Progra Misc", "C:\\d\\PROGRA~1"},
        {"C:\\d\\Program Data", "C:\\d\\PROGRA~2"},
        {"C:\\d\\program files\\a", "C:\\d\\PROGRA~3\\a"},
        {"C:\\d\\readme.txt", "C:\\d\\readme.txt"},
        {"C:\\d\\Long Name.text", "C:\\d\\LONGNA~1.TEX"},
        {"C:\\d\\My.Long.Doc.html", "C:\\d\\MYLONG~1.HTM"},
        {"C:\\D\\upper.txt", "C:\\d\\UPPER.TXT"},
        {"C:\\", "C:\\"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShortPathName(c.in), c.want) << c.in;
        // ... and the alias leads back to the file.
        char buf[MAX_PATH];
        ASSERT_GT(GetLongPathNameA(c.want, buf, MAX_PATH), 0u) << c.want;
        EXPECT_TRUE(SameText(buf, ExpandFileName(c.in))) << buf;
    }
    EXPECT_EQ(ShortPathName("C:\\d\\no such file"), "");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ShortPathName("C:\\d\\no such\\file"), "");
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(IsShortName("README.TXT"));
    EXPECT_TRUE(IsShortName("system32"));
    for (const char* n : {"Program Files", "a.b.c", "abcdefghi", "a.html", ".profile", "a+b", "a."})
        EXPECT_FALSE(IsShortName(n)) << n;
}

TEST_F(MachineTest, BuffersFollowTheWin32Rules) {
    M.Write("drive_c/Some Folder/x", "");
    char small[5];
    DWORD need = GetShortPathNameA("C:\\Some Folder", small, sizeof small);
    EXPECT_EQ(need, std::string("C:\\SOMEFO~1").size() + 1);
    char buf[MAX_PATH];
    EXPECT_EQ(GetShortPathNameA("C:\\Some Folder", buf, need), need - 1);
    EXPECT_STREQ(buf, "C:\\SOMEFO~1");
    EXPECT_EQ(GetWindowsDirectoryA(buf, MAX_PATH), 8u);
    EXPECT_STREQ(buf, "C:\\WINNT");
    EXPECT_EQ(GetSystemDirectoryA(small, sizeof small), std::string("C:\\WINNT\\system32").size() + 1);
    char* part = nullptr;
    EXPECT_EQ(GetFullPathNameA("C:\\a\\..\\b\\file.txt", MAX_PATH, buf, &part), 13u);
    EXPECT_STREQ(buf, "C:\\b\\file.txt");
    EXPECT_STREQ(part, "file.txt");
}

TEST_F(MachineTest, CurrentFolderIsAWindowsPath) {
    ASSERT_TRUE(SetCurrentDir("c:\\winnt\\SYSTEM32"));
    EXPECT_EQ(GetCurrentDir(), "C:\\WINNT\\system32");
    EXPECT_EQ(ExpandFileName("x.dll"), "C:\\WINNT\\system32\\x.dll");
    EXPECT_FALSE(SetCurrentDir("C:\\nothere"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    M.Write("drive_c/file", "");
    EXPECT_FALSE(SetCurrentDir("C:\\file"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    // The host's own folder, outside every drive, is seen through Z:.
    ::chdir("/tmp");
    EXPECT_EQ(GetCurrentDir(), "Z:\\tmp");
}

TEST(Machine, SharesAndHostPathsMapBothWays) {
    kv::test::TempMachine m;
    m.Write("shares/pub/dir/f.txt", "x");
    std::ofstream(m.Host("machine.ini"), std::ios::app) << "\\\\Srv\\Pub=shares/pub\r\n";
    UseMachine(m.Dir);
    EXPECT_TRUE(FileExists("\\\\SRV\\pub\\DIR\\F.TXT"));
    ASSERT_TRUE(SetCurrentDir("\\\\srv\\pub\\dir"));
    EXPECT_EQ(GetCurrentDir(), "\\\\srv\\pub\\dir");
    EXPECT_EQ(ExpandFileName("\\Program Files"), "\\\\srv\\pub\\Program Files");
    EXPECT_EQ(WinPathFromHost(m.Host("drive_c/WINNT")), "C:\\WINNT");
    EXPECT_EQ(WinPathFromHost(m.Host("drive_c")), "C:\\");
    EXPECT_EQ(WinPathFromHost(m.Host("shares/pub/dir")), "\\\\Srv\\Pub\\dir");
    EXPECT_EQ(WinPathFromHost("/usr/bin"), "Z:\\usr\\bin");
    EXPECT_EQ(HostPath("Z:\\usr\\bin"), "/usr/bin");
    EXPECT_THROW(HostPath("C:\\a|b"), EOSError);
}

// Host paths through symbolic links land where the links point, also after a link or
// a drive's folder is put elsewhere.
TEST(Machine, HostPathsFollowLinks) {
    kv::test::TempMachine m;
    m.Write("drive_c/dir/f.txt", "x");
    namespace fs = std::filesystem;
    fs::create_directory_symlink(m.Host("drive_c/dir"), m.Root + "/link");
    fs::create_symlink(m.Host("drive_c/dir/f.txt"), m.Root + "/file");
    EXPECT_EQ(WinPathFromHost(m.Root + "/link/f.txt"), "C:\\dir\\f.txt");
    EXPECT_EQ(WinPathFromHost(m.Root + "/link/new.txt"), "C:\\dir\\new.txt");
    EXPECT_EQ(WinPathFromHost(m.Root + "/file"), "C:\\dir\\f.txt");
    EXPECT_EQ(WinPathFromHost(m.Root + "/link/./f.txt"), "C:\\dir\\f.txt");
    EXPECT_EQ(WinPathFromHost(m.Root + "/link/../dir/f.txt"), "C:\\dir\\f.txt");  // ".." of where it points
    fs::remove(m.Root + "/link");
    fs::create_directory_symlink(m.Host("drive_a"), m.Root + "/link");
    EXPECT_EQ(WinPathFromHost(m.Root + "/link/f.txt"), "A:\\f.txt");
    // Drive C: moved away, a link in its place.
    fs::rename(m.Host("drive_c"), m.Root + "/c");
    fs::create_directory_symlink(m.Root + "/c", m.Host("drive_c"));
    EXPECT_EQ(WinPathFromHost(m.Root + "/c/dir/f.txt"), "C:\\dir\\f.txt");
}

TEST_F(MachineTest, RemovableDriveWithoutDiskIsNotReady) {
    std::filesystem::remove_all(M.Host("drive_a"));
    TResolvedPath r;
    EXPECT_EQ(ResolvePath("A:\\x", r), ERROR_NOT_READY);
    EXPECT_EQ(GetDriveTypeA("A:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeA("Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetLogicalDrives(), (1u << 0) | (1u << 2) | (1u << 25));
}

// Random bytes through every path function: errors, never a crash.
TEST_F(MachineTest, PathFunctionsSurviveRandomInput) {
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245 + 12345; };
    const std::string alphabet = "C:\\/.~*?<>|\" aAzZ09\x01\x7f\xe4\xff\\\\";
    for (int i = 0; i < 1500; ++i) {
        std::string s;
        size_t len = next() % 40;
        for (size_t k = 0; k < len; ++k) s += alphabet[(next() >> 8) % alphabet.size()];
        if (next() % 4 == 0) s = "C:\\" + s;
        TResolvedPath r;
        ResolvePath(s, r, next() % 2);
        ShortPathName(s);
        ExpandFileName(s);
        GetFileAttributesA(s.c_str());
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA(s.c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
    }
}
