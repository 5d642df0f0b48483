// kelvane bind: makes a setup program from the generic engine and a definition.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/BoundDefinition.h"
#include "app/SetupProgram.h"
#include "tools/kelvane/Command.h"

namespace kv::cli {
namespace {

int Usage() {
    std::fprintf(stderr, "usage: kelvane bind DEFINITION -o PROGRAM [--engine ENGINE]\n");
    return 2;
}

// The engine installed beside this program.
std::string DefaultEngine() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string self = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    return self.substr(0, self.find_last_of('/') + 1) + "kelvane-setup";
}

int CmdBind(const TArgs& args) {
    std::string definition, output, engine = DefaultEngine();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" && i + 1 < args.size()) output = args[++i];
        else if (args[i] == "--engine" && i + 1 < args.size()) engine = args[++i];
        else if (definition.empty() && !args[i].empty() && args[i][0] != '-') definition = args[i];
        else return Usage();
    }
    if (definition.empty() || output.empty()) return Usage();
    std::ifstream in(definition, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "kelvane bind: cannot open %s\n", definition.c_str());
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        // Every fault of the definition is found now, not when the program runs.
        std::unique_ptr<TCustomForm> form(CheckDefinition(text.str(), definition));
        BindDefinition(engine, text.str(), output);
        std::printf("%s: %s bound, %d components\n", output.c_str(), definition.c_str(), form->ComponentCount() + 1);
    } catch (const Exception& e) {
        std::fprintf(stderr, "kelvane bind: %s\n", e.Message().c_str());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace kv::cli

KV_COMMAND(bind, "bind DEFINITION -o PROGRAM [--engine ENGINE]", kv::cli::CmdBind);
