#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/Boot.h"
#include "platform/Registry.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::MachineTest;
using kv::test::TempMachine;

namespace {

HKEY Create(HKEY root, const char* path) {
    HKEY k = 0;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS) << path;
    return k;
}

LONG SetString(HKEY k, const char* name, const std::string& v) {
    return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                          static_cast<DWORD>(v.size() + 1));
}

std::vector<std::string> SubKeys(HKEY k) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD n = sizeof name;
        if (RegEnumKeyExA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr)) break;
        names.push_back(name);
    }
    return names;
}

}  // namespace

TEST_F(MachineTest, RegistryKeysAndValues) {
    HKEY k = Create(HKEY_LOCAL_MACHINE, "Software\\Test\\Deep");
    DWORD disp = 0;
    HKEY k2 = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\test\\DEEP\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k2,
                              &disp),
              ERROR_SUCCESS);
    EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(SetString(k, "Name", "value"), ERROR_SUCCESS);
    // The other handle sees it, by any case of the name; the name keeps its case.
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(k2, "NAME", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 6u);
    char small[3];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(k2, "name", nullptr, &type, reinterpret_cast<BYTE*>(small), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    char name[32];
    DWORD n = sizeof name;
    EXPECT_EQ(RegEnumValueA(k2, 0, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Name");
    EXPECT_EQ(RegQueryValueExA(k2, "other", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    // Values enumerate in creation order, keys by name.
    for (const char* v : {"zeta", "alpha", "Mid"}) EXPECT_EQ(SetString(k, v, v), ERROR_SUCCESS);
    EXPECT_EQ(SetString(k, "ZETA", "again"), ERROR_SUCCESS);
    std::vector<std::string> values;
    for (DWORD i = 0;; ++i) {
        n = sizeof name;
        if (RegEnumValueA(k, i, name, &n, nullptr, nullptr, nullptr, nullptr)) break;
        values.push_back(name);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"Name", "zeta", "alpha", "Mid"}));
    for (const char* s : {"b", "C", "a"}) RegCloseKey(Create(k, s));
    EXPECT_EQ(SubKeys(k), (std::vector<std::string>{"a", "b", "C"}));
    DWORD subKeys = 0, valueCount = 0, maxData = 0;
    EXPECT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &valueCount, nullptr, &maxData,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 3u);
    EXPECT_EQ(valueCount, 4u);
    EXPECT_EQ(maxData, 6u);
    // A key with sub keys cannot be deleted; without, it can, and its handles go stale.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Test"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(k, "alpha"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(k, "alpha"), ERROR_FILE_NOT_FOUND);
    for (const char* s : {"a", "b", "C"}) EXPECT_EQ(RegDeleteKeyA(k, s), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Test\\Deep"), ERROR_SUCCESS);
    EXPECT_EQ(SetString(k2, "x", "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    RegCloseKey(k);
    RegCloseKey(k2);
    EXPECT_EQ(RegCloseKey(k2), ERROR_INVALID_HANDLE);
    // A key opened for reading takes no writes.
    HKEY ro = 0;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, KEY_READ, &ro), ERROR_SUCCESS);
    EXPECT_EQ(SetString(ro, "x", "y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(ro, "new", 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(ro);
}

TEST_F(MachineTest, RegistryRefusesBadInput) {
    HKEY k = 0;
    const std::string longName(256, 'k');
    struct Case { std::string sub; LONG want; };
    const Case cases[] = {
        {"\\Software", ERROR_BAD_PATHNAME},
        {"Software\\\\x", ERROR_BAD_PATHNAME},
        {"\\", ERROR_BAD_PATHNAME},
        {"Software\\" + longName, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, c.sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
                  c.want)
            << c.sub;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, c.sub.c_str(), 0, KEY_READ, &k), c.want) << c.sub;
        EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, c.sub.c_str()), c.want) << c.sub;
    }
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "No\\Such\\Key", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
    std::string deep = "d";
    for (int i = 1; i < 512; ++i) deep += "\\d";
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, deep.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    HKEY deeper = 0;
    EXPECT_EQ(RegCreateKeyExA(k, "one more", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deeper, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
    EXPECT_EQ(RegOpenKeyExA(0, "x", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(0x80000004u, "x", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "x", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetString(0x1234, "x", "y"), ERROR_INVALID_HANDLE);
    HKEY ok = Create(HKEY_CURRENT_USER, "Software\\Ok");
    std::string big(kMaxValueSize + 1, 'b');
    EXPECT_EQ(RegSetValueExA(ok, "big", 0, REG_BINARY, reinterpret_cast<const BYTE*>(big.data()),
                             static_cast<DWORD>(big.size())),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetString(ok, std::string(kMaxValueNameLen + 1, 'n').c_str(), "v"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(ok, "null", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetString(ok, "back\\slash in a value name is fine", "v"), ERROR_SUCCESS);
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    EXPECT_FALSE(reg.OpenKey("Software\\\\x", true));
    EXPECT_EQ(GetLastError(), ERROR_BAD_PATHNAME);
    EXPECT_THROW(reg.CreateKey("a\\\\b"), ERegistryException);
    RegCloseKey(ok);
}

TEST_F(MachineTest, TRegistryBehavesAsTheClassLibrary) {
    TRegistry reg;
    EXPECT_EQ(reg.RootKey(), HKEY_CURRENT_USER);
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Kelvane\\Install", true));
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Kelvane\\Install");
    ASSERT_TRUE(reg.OpenKey("Install0", true));  // relative to the open key
    EXPECT_EQ(reg.CurrentPath(), "SOFTWARE\\Kelvane\\Install\\Install0");
    reg.WriteString("Path", "C:\\TEMP\\SETUP.EXE");
    reg.WriteInteger("Size", -5);
    TDateTime when = EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 58, 500);
    reg.WriteDateTime("CreationDate", when);
    reg.WriteBool("Flag", true);
    const uint8_t bin[] = {1, 2, 3};
    reg.WriteBinaryData("Bin", bin, 3);
    reg.WriteExpandString("Exp", "%windir%");
    EXPECT_EQ(reg.ReadString("path"), "C:\\TEMP\\SETUP.EXE");
    EXPECT_EQ(reg.ReadString("Exp"), "%windir%");
    EXPECT_EQ(reg.ReadInteger("SIZE"), -5);
    EXPECT_EQ(reg.ReadDateTime("CreationDate"), when);
    EXPECT_TRUE(reg.ReadBool("Flag"));
    uint8_t out[8] = {};
    EXPECT_EQ(reg.ReadBinaryData("Bin", out, sizeof out), 3);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(reg.GetDataType("Size"), rdInteger);
    EXPECT_EQ(reg.GetDataSize("Path"), 18);
    EXPECT_EQ(reg.GetDataSize("none"), -1);
    EXPECT_TRUE(reg.ValueExists("PATH"));
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"Path", "Size", "CreationDate", "Flag", "Bin", "Exp"}));
    // Missing and wrongly typed values raise the class library's errors.
    struct Case { std::function<void()> read; const char* message; };
    const Case cases[] = {
        {[&] { reg.ReadString("none"); }, "Failed to get data for 'none'"},
        {[&] { reg.ReadInteger("none"); }, "Failed to get data for 'none'"},
        {[&] { reg.ReadDateTime("none"); }, "Failed to get data for 'none'"},
        {[&] { reg.ReadBinaryData("none", out, 8); }, "Failed to get data for 'none'"},
        {[&] { reg.ReadInteger("Path"); }, "Invalid data type for 'Path'"},
        {[&] { reg.ReadString("Size"); }, "Invalid data type for 'Size'"},
        {[&] { reg.ReadDateTime("Bin"); }, "Invalid data type for 'Bin'"},
        {[&] { reg.ReadBinaryData("Path", out, 8); }, "Invalid data type for 'Path'"},
        {[&] { reg.ReadBinaryData("CreationDate", out, 4); }, "Invalid data type for 'CreationDate'"},
    };
    for (const auto& c : cases) {
        try {
            c.read();
            ADD_FAILURE() << c.message;
        } catch (const ERegistryException& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
    EXPECT_TRUE(reg.DeleteValue("Flag"));
    EXPECT_FALSE(reg.DeleteValue("Flag"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    reg.CloseKey();
    try {
        reg.WriteString("x", "y");  // no key open
        ADD_FAILURE();
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to set data for 'x'");
    }
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\KELVANE\\install\\Install0"));
    EXPECT_FALSE(reg.KeyExists("\\SOFTWARE\\KELVANE\\none"));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Kelvane", false));
    EXPECT_TRUE(reg.HasSubKeys());
    EXPECT_EQ(reg.GetKeyNames(), std::vector<std::string>{"Install"});
    // The class library deletes a key with everything below it.
    EXPECT_TRUE(reg.DeleteKey("Install"));
    EXPECT_FALSE(reg.HasSubKeys());
    EXPECT_FALSE(reg.OpenKey("\\SOFTWARE\\Kelvane\\Install", false));
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\Kelvane"));
    EXPECT_THROW(reg.WriteString("x", "y"), ERegistryException);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(Registry, NewMachinesHaveTheStandardEntries) {
    struct Case { const char* preset; const char* startMenu; };
    const Case cases[] = {
        {"Win95", "C:\\WINDOWS\\Start Menu"},
        {"NT4", "C:\\WINNT\\Profiles\\Administrator\\Start Menu"},
        {"NT351", nullptr},
    };
    for (const auto& c : cases) {
        TempMachine m(c.preset);
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion"));
        EXPECT_EQ(reg.ReadString("ProgramFilesDir"), "C:\\Program Files");
        EXPECT_EQ(reg.ReadString("CommonFilesDir"), "C:\\Program Files\\Common Files");
        EXPECT_TRUE(reg.KeyExists("RunOnce"));
        reg.SetRootKey(HKEY_CURRENT_USER);
        bool has = reg.OpenKeyReadOnly("\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
        EXPECT_EQ(has, c.startMenu != nullptr) << c.preset;
        if (has) {
            EXPECT_EQ(reg.ReadString("Start Menu"), c.startMenu);
            EXPECT_TRUE(DirectoryExists(reg.ReadString("Programs")));
        }
    }
}

TEST_F(MachineTest, RegEdit4ExportImportsAsTheSameTree) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Vendor \"Q\"\\Back\\slash]", true));
    reg.WriteString("", "default");
    reg.WriteString("quote\"and\\back", "C:\\Dir\\\"x\"");
    reg.WriteString("Empty", "");
    reg.WriteString("Lines", "one\r\ntwo");
    reg.WriteInteger("Int", 0x7fff0001);
    std::string bin;
    for (int i = 0; i < 200; ++i) bin += static_cast<char>(i);
    reg.WriteBinaryData("Long", bin.data(), static_cast<int32_t>(bin.size()));
    reg.WriteExpandString("Exp", "%SystemRoot%\\x");
    HKEY k = reg.CurrentKey();
    const std::string multi = std::string("a\0b\0\0", 5);
    RegSetValueExA(k, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.data()), 5);
    RegSetValueExA(k, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3);
    RegSetValueExA(k, "Big", 0, REG_DWORD_BIG_ENDIAN, reinterpret_cast<const BYTE*>("\1\2\3\4"), 4);
    RegSetValueExA(k, "ShortDword", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1"), 1);
    reg.CloseKey();
    ASSERT_TRUE(reg.OpenKey("\\Software\\Vendor \"Q\"\\Empty Key", true));
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKey("\\.txt", true));
    reg.WriteString("", "txtfile");

    const std::string exported = RegExport();
    EXPECT_NE(exported.find("\r\n\"Int\"=dword:7fff0001\r\n"), std::string::npos);
    EXPECT_NE(exported.find("\r\n\"quote\\\"and\\\\back\"=\"C:\\\\Dir\\\\\\\"x\\\"\"\r\n"), std::string::npos);
    EXPECT_NE(exported.find("\r\n\"Multi\"=hex(7):61,00,62,00,00\r\n"), std::string::npos);
    EXPECT_NE(exported.find("\r\n@=\"default\"\r\n"), std::string::npos);
    EXPECT_NE(exported.find(",\\\r\n  "), std::string::npos);  // long data goes on over lines

    TempMachine fresh;
    RegImport(exported);
    EXPECT_EQ(RegExport(), exported);
    EXPECT_EQ(RegExport("HKLM\\Software\\Vendor \"Q\"").rfind(
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Vendor \"Q\"]\r\n", 0),
              0u);
    EXPECT_THROW(RegExport("HKLM\\No\\Such"), ERegistryException);
    EXPECT_THROW(RegExport("HKEY_NOWHERE\\x"), ERegistryException);
}

TEST_F(MachineTest, RegEdit4ImportDeletesAndRefusesBadFiles) {
    RegImport(
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A\\B]\r\n\"keep\"=\"1\"\r\n\"drop\"=dword:2\r\n"
        "[HKEY_CURRENT_USER\\A\\C\\D]\r\n; a comment\r\n@=hex:01,\\\r\n  02\r\n");
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\A\\C\\D", false));
    uint8_t b[2];
    EXPECT_EQ(reg.ReadBinaryData("", b, 2), 2);
    RegImport("REGEDIT4\n[HKEY_CURRENT_USER\\A\\B]\n\"drop\"=-\n[-HKEY_CURRENT_USER\\A\\C]\n");
    EXPECT_TRUE(reg.KeyExists("\\A\\B"));
    EXPECT_FALSE(reg.KeyExists("\\A\\C"));
    ASSERT_TRUE(reg.OpenKey("\\A\\B", false));
    EXPECT_EQ(reg.GetValueNames(), std::vector<std::string>{"keep"});

    const char* bad[] = {
        "",
        "REGEDIT5\n",
        "REGEDIT4\n\"v\"=\"x\"\n",
        "REGEDIT4\n[HKEY_NOWHERE\\x]\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x\\\\y]\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"v\"=dword:123456789\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"v\"=dword:\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"v\"=hex:1g\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"v\"=hex(zz):00\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"v=\"x\"\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"v\"=\"a\\qb\"\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"v\"=\"a\" trailing\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\n\"v\"=something\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\x]\nv=\"x\"\n",
        "REGEDIT4\n[-HKEY_CURRENT_USER\\x]\n\"v\"=\"x\"\n",
    };
    for (const char* text : bad) {
        EXPECT_THROW(RegImport(text), ERegistryException) << text;
        EXPECT_FALSE(reg.KeyExists("\\x")) << text;  // nothing of a bad file is written
    }
}

// Mutated exports: a clear error or an import, never a crash or a hang.
TEST_F(MachineTest, RegEdit4ImportSurvivesMutations) {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("\\Fuzz\\Sub", true));
    reg.WriteString("s", "text \"q\"");
    reg.WriteInteger("i", 42);
    const uint8_t bin[] = {0, 1, 2, 255};
    reg.WriteBinaryData("b", bin, 4);
    const std::string base = RegExport("HKCU\\Fuzz");
    uint32_t seed = 777;
    auto next = [&] { return seed = seed * 1664525 + 1013904223; };
    const char pool[] = "[]\\\"=@:,-\r\nhexdword(7)0aF;";
    for (int i = 0; i < 300; ++i) {
        std::string t = base;
        int edits = 1 + next() % 4;
        for (int e = 0; e < edits; ++e) {
            size_t at = (next() >> 4) % t.size();
            switch (next() % 3) {
                case 0: t[at] = pool[(next() >> 8) % (sizeof pool - 1)]; break;
                case 1: t.erase(at, 1 + next() % 5); break;
                default: t.insert(at, 1, pool[(next() >> 8) % (sizeof pool - 1)]); break;
            }
            if (t.empty()) t = "R";
        }
        try {
            RegImport(t);
        } catch (const ERegistryException&) {
        }
    }
}

TEST(Registry, AStoreThatIsNoDatabaseGivesTheRegistryError) {
    TempMachine m;
    UseMachine(m.Root + "/other");  // let go of the store first
    m.Write("registry.db", std::string(5000, 'x'));
    UseMachine(m.Dir);
    HKEY k;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &k), ERROR_BADDB);
    TRegistry reg;
    EXPECT_FALSE(reg.OpenKey("\\Software", true));
    EXPECT_EQ(GetLastError(), ERROR_BADDB);
}

// A program killed while it writes never leaves the store unreadable, and every value
// it had flushed is there.
TEST(Registry, SurvivesWritersKilledMidWrite) {
    TempMachine m;
    uint32_t seed = 99;
    int nextValue = 0;
    std::vector<int> flushed;
    for (int round = 0; round < 20; ++round) {
        int pipefd[2];
        ASSERT_EQ(::pipe(pipefd), 0);
        pid_t child = ::fork();
        if (child == 0) {
            ::close(pipefd[0]);
            TRegistry reg;
            reg.SetRootKey(HKEY_LOCAL_MACHINE);
            if (!reg.OpenKey("\\Software\\Stress", true)) ::_exit(1);
            for (int v = nextValue;; ++v) {
                reg.WriteInteger(Format("v%d", {v}), v);
                reg.WriteString(Format("s%d", {v}), std::string(100 + v % 300, 'x'));
                RegFlushKey(reg.CurrentKey());
                if (::write(pipefd[1], &v, sizeof v) != sizeof v) ::_exit(0);
            }
        }
        ::close(pipefd[1]);
        seed = seed * 1103515245 + 12345;
        int wanted = 1 + static_cast<int>((seed >> 8) % 25), got = 0, v = 0;
        while (got < wanted && ::read(pipefd[0], &v, sizeof v) == sizeof v) {
            flushed.push_back(v);
            ++got;
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(pipefd[0]);
        ASSERT_EQ(got, wanted);
        nextValue = v + 1;
        UseMachine(m.Dir);  // open the store afresh, as the next program would
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(reg.OpenKey("\\Software\\Stress", false));
        for (int f : flushed) {
            ASSERT_EQ(reg.ReadInteger(Format("v%d", {f})), f);
            ASSERT_EQ(reg.ReadString(Format("s%d", {f})).size(), static_cast<size_t>(100 + f % 300));
        }
    }
}

TEST(Registry, MoveAtRebootOnNTGoesToThePendingRenames) {
    TempMachine m("NT4");
    m.Write("drive_c/new.dll", "n");
    ASSERT_TRUE(MoveFileExA("C:\\new.dll", "C:\\WINNT\\system32\\x.dll", MOVEFILE_DELAY_UNTIL_REBOOT |
                                                                          MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExA("C:\\old.dll", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("c:\\a.txt", "c:\\b.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(PendingRenames(), (std::vector<P>{{"\\??\\C:\\new.dll", "!\\??\\C:\\WINNT\\system32\\x.dll"},
                                                {"\\??\\C:\\old.dll", ""},
                                                {"\\??\\C:\\a.txt", "\\??\\C:\\b.txt"}}));
    EXPECT_TRUE(m.Exists("drive_c/new.dll"));  // nothing moves before the boot
    EXPECT_FALSE(MoveFileExA("C:\\a|b", "C:\\c", MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

    TempMachine win95("Win95");
    EXPECT_FALSE(MoveFileExA("C:\\new.dll", "C:\\x.dll", MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
}

// Threads of one program may share the machine's stores.
TEST_F(MachineTest, ThreadsShareTheStores) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 30; ++i) {
                std::string file = Format("C:\\TEMP\\t%d_%d.txt", {t, i});
                HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
                DWORD n;
                if (h == INVALID_HANDLE_VALUE || !WriteFile(h, "x", 1, &n, nullptr) || !CloseHandle(h)) ++failures;
                HKEY k;
                if (RegCreateKeyExA(HKEY_CURRENT_USER, Format("Software\\T%d", {t}).c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &k, nullptr) ||
                    SetString(k, Format("v%d", {i}).c_str(), "x") || RegCloseKey(k))
                    ++failures;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);
    TSearchRec sr;
    int count = 0;
    for (int r = FindFirst("C:\\TEMP\\t*.txt", faAnyFile, sr); r == 0; r = FindNext(sr)) ++count;
    FindClose(sr);
    EXPECT_EQ(count, 120);
}
