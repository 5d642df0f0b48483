#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "tests/net/TestServers.h"

using kvtest::ReadAll;
using kvtest::Servers;

namespace {

struct TRun {
    int status;
    std::string output;  // stdout and stderr
};

TRun Kelvane(const std::string& args) {
    std::string cmd = std::string(KELVANE_BIN_DIR) + "/kelvane net " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    TRun run{-1, ""};
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) run.output.append(buf, n);
    int status = pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class CmdNet : public ::testing::Test {
protected:
    void SetUp() override {
        kvtest::NoProxies();
        Servers().ClearLogs();
    }
    kvtest::TTempDir tmp;
};

}  // namespace

TEST_F(CmdNet, GetsOverHttpWithAProgressLine) {
    std::string local = tmp / "exact.bin";
    TRun run = Kelvane("get --host " + Servers().Http().Host() + " exact.bin " + local);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(ReadAll(local), Servers().Payload().exact);
    EXPECT_EQ(run.output, "\rexact.bin: 8192 of 8192 bytes (100%)\nexact.bin: saved as " + local + " (8192 bytes)\n");
}

TEST_F(CmdNet, GetsOverFtpFromAFolderWithCredentials) {
    std::string local = tmp / "inner.txt";
    TRun run = Kelvane("get --ftp --host " + Servers().Ftp().Host() +
                       " --dir 'sub\\deep' --user kv --password secret inner.txt " + local);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(ReadAll(local), Servers().Payload().nested);
    EXPECT_EQ(Servers().Ftp().Count("COMMAND USER kv"), 1);
}

TEST_F(CmdNet, ReportsFailures) {
    std::string local = tmp / "x";
    TRun run = Kelvane("get --ftp --host " + Servers().Ftp().Host() + " --user kv --password no x " + local);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output.substr(0, run.output.find(". Error message")),
              "kelvane net: Cannot connect to host " + Servers().Ftp().Host());
    run = Kelvane("get --host " + Servers().Http().Host() + " cut.bin " + local);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("(50%)\nkelvane net: Could not read from file cut.bin on the server."), std::string::npos)
        << run.output;
}

TEST_F(CmdNet, Usage) {
    for (const char* args : {"", "put x y", "get x y", "get --host h x", "get --host h --user u x y",
                             "get --host h --bogus x y", "get --host '  ' x y"}) {
        TRun run = Kelvane(args);
        EXPECT_EQ(run.status, 2) << args << ": " << run.output;
    }
}
