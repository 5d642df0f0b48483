#include <cstdio>
#include <exception>
#include <map>
#include <string>

#include "tools/kelvane/Command.h"

namespace kv::cli {
namespace {
struct TEntry {
    std::string usage;
    TCommandFn fn;
};
std::map<std::string, TEntry>& Commands() {
    static std::map<std::string, TEntry> commands;
    return commands;
}
}  // namespace

TCommandRegistrar::TCommandRegistrar(const char* word, const char* usage, TCommandFn fn) {
    Commands()[word] = {usage, fn};
}
}  // namespace kv::cli

int main(int argc, char** argv) {
    using namespace kv::cli;
    auto usage = [] {
        std::fprintf(stderr, "usage: kelvane COMMAND ...\n");
        for (const auto& [word, e] : Commands()) std::fprintf(stderr, "  kelvane %s\n", e.usage.c_str());
        return 2;
    };
    if (argc < 2) return usage();
    auto it = Commands().find(argv[1]);
    if (it == Commands().end()) {
        std::fprintf(stderr, "kelvane: unknown command '%s'\n", argv[1]);
        return usage();
    }
    TArgs args(argv + 2, argv + argc);
    try {
        return it->second.fn(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kelvane %s: %s\n", argv[1], e.what());
        return 1;
    }
}
