#include "platform/Boot.h"

#include "platform/Registry.h"

namespace kv {

LONG RegAppendMultiSz(HKEY root, const std::string& subKey, const std::string& name,
                      const std::vector<std::string>& items);  // Registry.cpp

namespace {
const char* const kSessionManager = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const char* const kPendingRenames = "PendingFileRenameOperations";
}  // namespace

std::vector<std::string> SplitMultiSz(const std::string& data) {
    std::vector<std::string> items;
    std::string d = data;
    if (!d.empty() && d.back() == '\0') d.pop_back();
    size_t start = 0;
    while (start < d.size()) {
        size_t end = d.find('\0', start);
        if (end == std::string::npos) end = d.size();
        items.push_back(d.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT: Windows NT keeps source and target (empty:
// delete; "!" first: replace an existing file) as "\??\" paths in the Session Manager's
// pending renames.
BOOL DelayMoveUntilReboot(const char* existingFileName, const char* newFileName, DWORD flags) {
    if (!Machine().IsNT()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    TWinPath src, dst;
    DWORD e = ParseWinPath(existingFileName ? existingFileName : "", src);
    bool del = !newFileName || !*newFileName;
    if (!e && !del) e = ParseWinPath(newFileName, dst);
    if (e) {
        SetLastError(e);
        return false;
    }
    std::vector<std::string> items = {"\\??\\" + src.Full(),
                                      del ? "" : std::string(flags & MOVEFILE_REPLACE_EXISTING ? "!" : "") +
                                                     "\\??\\" + dst.Full()};
    LONG rc = RegAppendMultiSz(HKEY_LOCAL_MACHINE, kSessionManager, kPendingRenames, items);
    if (rc) {
        SetLastError(rc);
        return false;
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> PendingRenames() {
    std::vector<std::pair<std::string, std::string>> out;
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!reg.OpenKeyReadOnly(kSessionManager)) return out;
    TRegDataInfo info;
    if (!reg.GetDataInfo(kPendingRenames, info)) return out;
    std::string data(static_cast<size_t>(info.DataSize), '\0');
    DWORD type = 0, size = static_cast<DWORD>(data.size());
    if (RegQueryValueExA(reg.CurrentKey(), kPendingRenames, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) ||
        type != REG_MULTI_SZ)
        return out;
    auto items = SplitMultiSz(data);
    for (size_t i = 0; i + 1 < items.size(); i += 2) out.emplace_back(items[i], items[i + 1]);
    return out;
}

}  // namespace kv
