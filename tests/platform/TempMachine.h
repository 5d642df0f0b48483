// A fresh emulated machine in a temporary folder for one test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Machine.h"

namespace kv::test {

class TempMachine {
public:
    explicit TempMachine(const std::string& preset = "NT4") {
        char tmpl[] = "/tmp/kvmachine.XXXXXX";
        Root = ::mkdtemp(tmpl);
        ::chdir(Root.c_str());
        UseMachine(Root + "/m", preset);
        Dir = Machine().Root();
    }
    ~TempMachine() {
        std::error_code ec;
        std::filesystem::remove_all(Root, ec);
    }
    // Host path of a file relative to the machine folder, e.g. "drive_c/TEMP/x".
    std::string Host(const std::string& rel) const { return Dir + "/" + rel; }
    void Write(const std::string& rel, const std::string& content) const {
        std::filesystem::create_directories(std::filesystem::path(Host(rel)).parent_path());
        std::ofstream(Host(rel), std::ios::binary) << content;
    }
    std::string Read(const std::string& rel) const {
        std::ifstream in(Host(rel), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool Exists(const std::string& rel) const { return std::filesystem::exists(Host(rel)); }

    std::string Root;  // the temporary folder (the machine is Root/m)
    std::string Dir;   // the machine folder
};

class MachineTest : public ::testing::Test {
protected:
    TempMachine M;
};

}  // namespace kv::test
