// The kelvane archive commands, run as the real program.
#include <sys/wait.h>

#include "tests/archive/ArchiveTestUtil.h"

namespace kv {
namespace {

using namespace test;

struct TRun {
    int status;
    std::string output;
};

TRun Kelvane(const std::string& args) {
    std::string cmd = std::string(KELVANE_BIN_DIR) + "/kelvane " + args + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = ::pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

void HostWrite(const std::string& path, const std::string& data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}
std::string HostRead(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The commands take host paths (drive Z: of the machine) and relative ones.
TEST(ArchiveCli, AddListTestExtractSplit) {
    TempMachine m;
    ::setenv("KELVANE_MACHINE", m.Dir.c_str(), 1);
    std::string d = m.Root + "/w";
    HostWrite(d + "/src/big.bin", RandomBytes(150000, 1));
    HostWrite(d + "/src/text.txt", TextBytes(40000, 2));
    std::filesystem::copy_file(std::string(KELVANE_SOURCE_DIR) + "/tests/objects/fixtures/ver32.dll", d + "/src/v.dll");
    const struct {
        std::string args;
        int status;
        std::vector<std::string> contains;
    } steps[] = {
        {"archive add " + d + "/a.1 " + d + "/src/big.bin " + d + "/src/text.txt --id 9", 0, {"\\w\\src\\big.bin (150000 -> "}},
        {"archive add " + d + "/a.1 " + d + "/src/v.dll --append --level fastest --id 1999", 0, {"added"}},
        {"archive list " + d + "/a.1", 0, {"4.0.1381.1", " 1999  ", "3 members, 194608 bytes", "\\w\\src\\text.txt"}},
        {"archive test " + d + "/a.1", 0, {"\\src\\v.dll", "3 members, 0 failed"}},
        {"archive extract " + d + "/a.1 " + d + "/out", 0, {"3 extracted, 0 kept"}},
        {"archive extract " + d + "/a.1 " + d + "/out --overwrite never", 0, {"0 extracted, 3 kept"}},
        {"archive extract " + d + "/a.1 " + d + "/out nothere", 1, {"The file <nothere> was not found in the archive"}},
        {"archive split " + d + "/a.1 " + d + "/disks --capacity 60000", 0, {"disk 2", "disk 3", "3 disks"}},
        {"archive extract " + d + "/disks/files.1 " + d + "/out2", 0, {"3 extracted"}},
        {"archive list " + d + "/missing.1", 1, {"Cannot open the compressed file Z:", "\\w\\missing.1"}},
        {"archive frobnicate x", 2, {"usage: kelvane archive"}},
        {"archive extract " + d + "/a.1 " + d + "/out --overwrite sometimes", 2, {"usage"}},
    };
    for (const auto& s : steps) {
        TRun r = Kelvane(s.args);
        EXPECT_EQ(r.status, s.status) << s.args << "\n" << r.output;
        for (const auto& c : s.contains) EXPECT_NE(r.output.find(c), std::string::npos) << s.args << "\n" << r.output;
    }
    for (const char* name : {"big.bin", "text.txt", "v.dll"}) {
        EXPECT_TRUE(HostRead(d + "/out/" + name) == HostRead(d + "/src/" + name)) << name;
        EXPECT_TRUE(HostRead(d + "/out2/" + name) == HostRead(d + "/src/" + name)) << name;
    }

    // A damaged member fails its test.
    std::string bytes = HostRead(d + "/a.1");
    bytes[5 + 172 + 1000] ^= 0x20;
    HostWrite(d + "/bad.1", bytes);
    TRun r = Kelvane("archive test " + d + "/bad.1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\\src\\big.bin: The compressed data of the file"), std::string::npos) << r.output;
    ::unsetenv("KELVANE_MACHINE");
}

// With --paths each member goes to its folder below DIR, relative to the folder all
// stored names share, whatever order the folders come in; a name stored twice
// stands for its first member.
TEST(ArchiveCli, ExtractWithPathsKeepsTheFolders) {
    TempMachine m;
    ::setenv("KELVANE_MACHINE", m.Dir.c_str(), 1);
    const std::string d = m.Root + "/w", s = d + "/src/";
    const char* names[] = {"b/one.txt", "a/two.txt", "b/sub/three.txt", "a/four.txt"};
    for (const char* n : names) HostWrite(s + n, std::string("first ") + n);
    std::string args = "archive add " + d + "/p.1";
    for (const char* n : names) args += " " + s + n;
    TRun r = Kelvane(args);
    ASSERT_EQ(r.status, 0) << r.output;
    HostWrite(s + "b/one.txt", "second");
    r = Kelvane("archive add " + d + "/p.1 " + s + "b/one.txt --append");
    ASSERT_EQ(r.status, 0) << r.output;
    r = Kelvane("archive extract " + d + "/p.1 " + d + "/out --paths");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("4 extracted, 0 kept"), std::string::npos) << r.output;
    for (const char* n : names) EXPECT_EQ(HostRead(d + "/out/" + n), std::string("first ") + n) << n;
    ::unsetenv("KELVANE_MACHINE");
}

}  // namespace
}  // namespace kv
