// The kelvane CLI: each command family registers itself from its own source file.
#pragma once

#include <string>
#include <vector>

namespace kv::cli {

using TArgs = std::vector<std::string>;
// Returns the process exit status. Args hold what follows the command's word.
using TCommandFn = int (*)(const TArgs& args);

struct TCommandRegistrar {
    TCommandRegistrar(const char* word, const char* usage, TCommandFn fn);
};

}  // namespace kv::cli

// KV_COMMAND(def, "def check|format FILE [--generic]", CmdDef);
#define KV_COMMAND(word, usage, fn) \
    static ::kv::cli::TCommandRegistrar kv_command_##word##_registrar(#word, usage, fn)
