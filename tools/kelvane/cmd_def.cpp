// kelvane def check|format: read a definition, report faults, write it canonically.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include "runtime/Streaming.h"
#include "tools/kelvane/Command.h"

namespace kv::cli {
namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: kelvane def check FILE [--generic] [--handler NAME]...\n"
                 "       kelvane def format FILE [--generic] [--handler NAME]... [-o OUT]\n");
    return 2;
}

int CmdDef(const TArgs& args) {
    if (args.size() < 2) return Usage();
    const std::string& verb = args[0];
    if (verb != "check" && verb != "format") return Usage();
    std::string file, out;
    TReadOptions opt;
    opt.Designing = true;  // the components are looked at, not run
    std::vector<std::string> handlers;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--generic") opt.Generic = true;
        else if (args[i] == "--handler" && i + 1 < args.size()) handlers.push_back(args[++i]);
        else if (args[i] == "-o" && i + 1 < args.size() && verb == "format") out = args[++i];
        else if (file.empty() && !args[i].empty() && args[i][0] != '-') file = args[i];
        else return Usage();
    }
    if (file.empty()) return Usage();
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "kelvane def: cannot open %s\n", file.c_str());
        return 1;
    }
    std::stringstream buf;
    buf << in.rdbuf();
    opt.FileName = file;
    // Handlers live in the program that carries the definition; here they are names.
    TComponent handlerNames(nullptr);
    for (const auto& h : handlers) handlerNames.DeclareHandler(h);
    opt.HandlerSource = &handlerNames;
    std::unique_ptr<TComponent> root;
    try {
        root.reset(ReadComponentText(buf.str(), opt));
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.Message().c_str());
        return 1;
    }
    if (verb == "check") {
        std::printf("%s: OK, %d components\n", file.c_str(), root->ComponentCount() + 1);
        return 0;
    }
    std::string text = WriteComponentText(root.get());
    if (out.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    std::ofstream o(out, std::ios::binary);
    o << text;
    if (!o.flush()) {
        std::fprintf(stderr, "kelvane def: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace kv::cli

KV_COMMAND(def, "def check|format FILE [--generic] [--handler NAME]... [-o OUT]", kv::cli::CmdDef);
