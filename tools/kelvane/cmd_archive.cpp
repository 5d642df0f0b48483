// kelvane archive list|add|extract|test|split: the author's view of archives.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string_view>

#include "archive/TKvlnCompress.h"
#include "platform/Files.h"
#include "tools/kelvane/Command.h"

namespace kv::cli {
namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: kelvane archive list ARCHIVE [--offset N]\n"
                 "       kelvane archive add ARCHIVE FILE... [--list FILE] [--append] [--id N]\n"
                 "               [--level none|fastest|default|max]\n"
                 "       kelvane archive extract ARCHIVE DIR [MEMBER...] [--offset N] [--paths]\n"
                 "               [--overwrite always|never|version|date|versiondate]\n"
                 "       kelvane archive test ARCHIVE [--offset N]\n"
                 "       kelvane archive split ARCHIVE DIR --capacity BYTES [--name files.1] [--offset N]\n");
    return 2;
}

std::string Out(const std::string& ansi) { return AnsiToUtf8(ansi); }

// A path of the command line as the machine sees it: Windows paths stay, a host
// path names drive Z:, a relative one gets Windows separators.
std::string WinPath(const std::string& arg) {
    std::string a = Utf8ToAnsi(arg);
    if ((a.size() >= 2 && a[1] == ':') || a.rfind("\\\\", 0) == 0) return a;
    if (!a.empty() && a[0] == '/') return WinPathFromHost(arg);
    for (char& c : a)
        if (c == '/') c = '\\';
    return a;
}

// Whether Name begins with Prefix, ASCII letters without regard to case, as
// CompareText compares.
bool StartsWithText(std::string_view name, std::string_view prefix) {
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (name.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (up(name[i]) != up(prefix[i])) return false;
    return true;
}

std::string WithBackslash(const std::string& path) {
    return path.empty() || path.back() == '\\' ? path : path + "\\";
}

// The files of a --list as the machine sees them. A list names thousands of files
// in a few folders: each host folder is looked up once for the list (a name that is
// a link itself, or a path with dots, is looked up whole).
std::vector<std::string> ListedPaths(const TStringList& lines) {
    std::map<std::string, std::string> folders;  // host folder -> Windows folder
    std::vector<std::string> out;
    for (int k = 0; k < lines.Count(); ++k) {
        const std::string& a = lines[k];
        size_t slash = a.rfind('/');
        std::string name = slash == std::string::npos ? "" : a.substr(slash + 1);
        struct stat st;
        if (a.empty() || a[0] != '/' || name.empty() || name == "." || name == ".." ||
            a.find("/./") != std::string::npos || a.find("/../") != std::string::npos ||
            a.find("//") != std::string::npos || (::lstat(a.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
            out.push_back(WinPath(a));
            continue;
        }
        std::string folder = slash == 0 ? "/" : a.substr(0, slash);
        auto it = folders.find(folder);
        if (it == folders.end()) it = folders.emplace(folder, WinPathFromHost(folder)).first;
        out.push_back(it->second.empty() ? "" : WithBackslash(it->second) + Utf8ToAnsi(name));
    }
    return out;
}

// Files created in the disk folder hold at most Capacity bytes each, as a disk would.
class TCapacityStream : public TStream {
public:
    TCapacityStream(std::unique_ptr<TStream> inner, int64_t capacity) : FInner(std::move(inner)), FCapacity(capacity) {}
    int64_t Read(void* b, int64_t n) override { return FInner->Read(b, n); }
    int64_t Write(const void* b, int64_t n) override {
        int64_t room = std::max<int64_t>(0, FCapacity - FInner->Position());
        return room > 0 ? FInner->Write(b, std::min(n, room)) : 0;
    }
    int64_t Seek(int64_t o, TSeekOrigin origin) override { return FInner->Seek(o, origin); }

private:
    std::unique_ptr<TStream> FInner;
    int64_t FCapacity;
};

class TCliEngine : public TKvlnCompress {
public:
    TCliEngine() : TKvlnCompress(nullptr) {}
    std::string DiskFolder;
    int64_t Capacity = 0;

protected:
    std::unique_ptr<TStream> OpenStream(const std::string& path, uint16_t mode) override {
        auto s = TKvlnCompress::OpenStream(path, mode);
        if (Capacity > 0 && SameText(ExtractFilePath(path), WithBackslash(DiskFolder)))
            return std::make_unique<TCapacityStream>(std::move(s), Capacity);
        return s;
    }
};

struct TOptions {
    std::vector<std::string> positional, listed;
    int32_t offset = 0, id = 0;
    int64_t capacity = 0;
    bool append = false, paths = false;
    std::string name = "files.1";
    TCompressionLevel level = colMax;
    TOverwriteType overwrite = owAlways;
};

bool Parse(const TArgs& args, TOptions& o) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        auto value = [&] { return args[++i]; };
        if (a == "--append") {
            o.append = true;
        } else if (a == "--paths") {
            o.paths = true;
        } else if (a == "--list" && hasValue) {
            // One file a line, for lists longer than a command line.
            TStringList l;
            l.LoadFromFile(value());
            for (auto& f : ListedPaths(l)) o.listed.push_back(std::move(f));
        } else if (a == "--offset" && hasValue) {
            o.offset = StrToInt(value());
        } else if (a == "--id" && hasValue) {
            o.id = StrToInt(value());
        } else if (a == "--capacity" && hasValue) {
            o.capacity = StrToInt64(value());
        } else if (a == "--name" && hasValue) {
            o.name = Utf8ToAnsi(value());
        } else if (a == "--level" && hasValue) {
            int l = TCompressionLevelInfo.IndexOf("col" + value());
            if (l < 0) return false;
            o.level = static_cast<TCompressionLevel>(l);
        } else if (a == "--overwrite" && hasValue) {
            std::string v = value();
            int m = TOverwriteTypeInfo.IndexOf(SameText(v, "versiondate") ? "owVersionDate" : "ow" + v);
            if (m < 0) return false;
            o.overwrite = static_cast<TOverwriteType>(m);
        } else if (a.rfind("--", 0) == 0) {
            return false;
        } else {
            o.positional.push_back(WinPath(a));
        }
    }
    return !o.positional.empty();
}

void Open(TCliEngine& e, const TOptions& o) {
    e.SetCompressedFile(o.positional[0]);
    e.SetOffset(o.offset);
}

int List(TCliEngine& e) {
    std::printf("%10s %10s %5s  %-19s %5s  %-20s %s\n", "Size", "Packed", "Ratio", "Date", "Id", "Version", "Name");
    for (int i = 0; i < e.FileCount(); ++i) {
        TlzhFileStats s = e.GetFileStats(i);
        std::printf("%10d %10d %4d%%  %-19s %5d  %-20s %s\n", s.FileSize, s.CompressedSize, s.CompressionRatio,
                    DateTimeToStr(s.Header.FileDate).c_str(), s.Header.FileId, Out(s.Header.FileVersion).c_str(),
                    Out(s.FileName).c_str());
    }
    TlzhFileStats s = e.FileCount() ? e.GetFileStats(0) : TlzhFileStats();
    std::printf("%d members, %lld bytes packed into %lld\n", e.FileCount(), static_cast<long long>(s.TotalSize),
                static_cast<long long>(s.TotalCompressedSize));
    return 0;
}

int Add(TCliEngine& e, const TOptions& o) {
    e.SetCompressionLevel(o.level);
    TStringList files;
    for (size_t i = 1; i < o.positional.size(); ++i) files.Add(o.positional[i]);
    for (const auto& f : o.listed) files.Add(f);
    e.SetFilesToProcess(&files);
    e.OnAfterAdding = [](TKvlnCompress*, const TlzhFileStats& s) {
        std::printf("added %s (%d -> %d)\n", Out(s.FileName).c_str(), s.FileSize, s.CompressedSize);
    };
    e.Add(o.append ? lzcOnlyAdd : lzcOverwrite, o.id);
    return 0;
}

int Extract(TCliEngine& e, const TOptions& o) {
    if (o.positional.size() < 2) return Usage();
    const std::string dir = o.positional[1];
    e.SetOverwrite(o.overwrite);
    int extracted = 0, requested = 0;
    e.OnAfterExtracting = [&](TKvlnCompress*, const TlzhFileStats&) { ++extracted; };
    e.OnNewDisk = [](TKvlnCompress*, int32_t disk, std::string& path) {
        std::fprintf(stderr, "disk %d is not in %s\n", disk, Out(path).c_str());
    };
    e.SetExtractDirectory(dir);
    if (o.positional.size() > 2) {
        TStringList names;
        for (size_t i = 2; i < o.positional.size(); ++i) names.Add(o.positional[i]);
        requested = names.Count();
        e.SetFilesToProcess(&names);
        e.Extract();
    } else {
        // Every member once (a name stored twice stands for its first member);
        // with --paths each into its folder below DIR, relative to the folder
        // that all stored names share.
        const int count = e.FileCount();
        const TFileHeaders& headers = e.FileHeaders();
        auto nameOf = [&](int i) -> const std::string& { return headers.GetFileHeaders(i).HeaderRecord.FileName; };
        // Views into the table, which stays as it is until the extraction starts.
        std::string_view common = count ? FilePathPart(nameOf(0)) : std::string_view();
        for (int i = 1; o.paths && i < count; ++i)
            while (!common.empty() && !StartsWithText(nameOf(i), common))
                common = FilePathPart(common.substr(0, common.size() - 1));
        // One extraction, folder by folder (a folder's files are made one after
        // another); each member's folder is set as its turn comes.
        std::vector<std::pair<std::string_view, int>> byFolder;  // (folder below DIR, member)
        byFolder.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            if (headers.IndexOf(nameOf(i), i) != i) continue;
            byFolder.emplace_back(o.paths ? FilePathPart(nameOf(i)).substr(common.size()) : std::string_view(), i);
        }
        // Archives mostly store their members folder by folder already.
        auto folderOrder = [](const auto& a, const auto& b) { return a.first < b.first; };
        if (!std::is_sorted(byFolder.begin(), byFolder.end(), folderOrder))
            std::stable_sort(byFolder.begin(), byFolder.end(), folderOrder);
        std::vector<std::string> folders;
        std::vector<uint32_t> folderOf;  // of each member in turn
        // Straight into the engine's list: a copy of 20,000 names is megabytes.
        TStrings& list = *e.FilesToProcess();
        list.Clear();
        for (size_t k = 0; k < byFolder.size(); ++k) {
            const auto& [sub, i] = byFolder[k];
            if (k == 0 || sub != byFolder[k - 1].first)
                folders.push_back(sub.empty() ? dir : WithBackslash(dir) + std::string(sub));
            if (IsBlank(nameOf(i))) continue;  // as SetFilesToProcess drops them
            list.Add(nameOf(i));
            folderOf.push_back(static_cast<uint32_t>(folders.size() - 1));
        }
        byFolder.clear();
        size_t turn = 0;
        e.OnBeforeExtracting = [&](TKvlnCompress* sender, const TlzhFileStats&) {
            if (turn < folderOf.size()) sender->SetExtractDirectory(folders[folderOf[turn++]]);
        };
        requested = list.Count();
        if (requested) e.Extract();
        e.OnBeforeExtracting = TlzhFileStatsEvent();  // it refers to this block's locals
    }
    std::printf("%d extracted, %d kept\n", extracted, requested - extracted);
    return 0;
}

int Test(TCliEngine& e) {
    int bad = 0;
    for (int i = 0; i < e.FileCount(); ++i) {
        std::string name = e.GetFileStats(i).FileName;
        try {
            e.TestFile(i);
            std::printf("OK     %s\n", Out(name).c_str());
        } catch (const Exception& ex) {
            ++bad;
            std::printf("FAILED %s: %s\n", Out(name).c_str(), Out(ex.Message()).c_str());
        }
    }
    std::printf("%d members, %d failed\n", e.FileCount(), bad);
    return bad ? 1 : 0;
}

int Split(TCliEngine& e, const TOptions& o) {
    if (o.positional.size() != 2 || o.capacity <= 0) return Usage();
    const std::string dir = o.positional[1];
    ForceDirectories(dir);
    e.DiskFolder = dir;
    e.Capacity = o.capacity;
    e.OnNewDisk = [](TKvlnCompress*, int32_t disk, std::string&) { std::printf("disk %d\n", disk); };
    e.CopyToDisks(dir, o.name);
    std::printf("%d disks\n", e.CurrentDisk);
    return 0;
}

int CmdArchive(const TArgs& args) {
    if (args.empty()) return Usage();
    TOptions o;
    if (!Parse(args, o)) return Usage();
    const std::string& verb = args[0];
    TCliEngine e;
    Open(e, o);
    if (verb == "list") return List(e);
    if (verb == "add") return o.positional.size() + o.listed.size() < 2 ? Usage() : Add(e, o);
    if (verb == "extract") return Extract(e, o);
    if (verb == "test") return Test(e);
    if (verb == "split") return Split(e, o);
    return Usage();
}

}  // namespace
}  // namespace kv::cli

KV_COMMAND(archive, "archive list|add|extract|test|split ARCHIVE ...", kv::cli::CmdArchive);
