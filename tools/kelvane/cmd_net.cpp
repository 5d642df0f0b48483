// kelvane net get: fetches one file the way a network install will, so that an
// author can try a server before shipping.
#include <cstdio>
#include <string>

#include "net/TNetInstallLocation.h"
#include "tools/kelvane/Command.h"

namespace kv::cli {
namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: kelvane net get --host H [--dir D] [--ftp] [--user U --password P] [--timeout MS] "
                 "REMOTE LOCAL\n");
    return 2;
}

int CmdNet(const TArgs& args) {
    if (args.empty() || args[0] != "get") return Usage();
    TNetInstallLocation loc(nullptr);
    loc.SetName("NetLocation");
    TLoginInformation& info = *loc.LoginInformation();
    std::vector<std::string> names;
    bool user = false, password = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--host" && hasValue) {
            info.SetHostname(args[++i]);
        } else if (a == "--dir" && hasValue) {
            info.SetDirectory(args[++i]);
        } else if (a == "--ftp") {
            info.SetProtocol(ipFTP);
        } else if (a == "--user" && hasValue) {
            info.SetUsername(args[++i]);
            user = true;
        } else if (a == "--password" && hasValue) {
            info.SetPassword(args[++i]);
            password = true;
        } else if (a == "--timeout" && hasValue) {
            loc.SetStallTimeout(StrToInt(args[++i]));
        } else if (!a.empty() && a[0] != '-') {
            names.push_back(a);
        } else {
            return Usage();
        }
    }
    if (names.size() != 2 || user != password) return Usage();
    info.SetAnonymous(!user);
    if (!IsFilledIn(&info)) {
        std::fprintf(stderr, "kelvane net: no host to download from\n");
        return 2;
    }
    const std::string& remote = names[0];
    const std::string& local = names[1];

    // One line, rewritten after every block.
    loc.OnDataReceived = [](TObject*, const std::string& name, int32_t, int32_t total, int32_t size, const char*) {
        if (size > 0)
            std::printf("\r%s: %d of %d bytes (%d%%)", name.c_str(), total, size,
                        static_cast<int>(static_cast<int64_t>(total) * 100 / size));
        else
            std::printf("\r%s: %d bytes", name.c_str(), total);
        std::fflush(stdout);
    };
    int64_t received = 0;
    loc.OnInternalDataReceived = [&](TObject*, const std::string&, int32_t, int32_t total, int32_t, const char*) {
        received = total;
    };
    try {
        loc.Download(remote, local);
    } catch (...) {
        // End the progress line before the error message appears.
        if (received) std::printf("\n");
        std::fflush(stdout);
        throw;
    }
    std::printf("\n%s: saved as %s (%lld bytes)\n", remote.c_str(), local.c_str(), static_cast<long long>(received));
    return 0;
}

}  // namespace
}  // namespace kv::cli

KV_COMMAND(net, "net get --host H [--dir D] [--ftp] [--user U --password P] [--timeout MS] REMOTE LOCAL",
           kv::cli::CmdNet);
