// An engine whose files may live on small "disks", and an event recorder.
#pragma once

#include <map>

#include "archive/TKvlnCompress.h"
#include "objects/FileServices.h"
#include "tests/archive/ArchiveTestUtil.h"

namespace kv::test {

// Writes stop at the capacity: the file cannot grow beyond it.
class TCapacityStream : public TStream {
public:
    TCapacityStream(std::unique_ptr<TStream> inner, int64_t capacity) : FInner(std::move(inner)), FCapacity(capacity) {}
    int64_t Read(void* b, int64_t n) override { return FInner->Read(b, n); }
    int64_t Write(const void* b, int64_t n) override {
        int64_t room = std::max<int64_t>(0, FCapacity - FInner->Position());
        return n > room ? (room > 0 ? FInner->Write(b, room) : 0) : FInner->Write(b, n);
    }
    int64_t Seek(int64_t o, TSeekOrigin origin) override { return FInner->Seek(o, origin); }
    void SetSize(int64_t size) override { FInner->SetSize(size); }

private:
    std::unique_ptr<TStream> FInner;
    int64_t FCapacity;
};

inline std::string HostPath(std::string p);

class TTestEngine : public TKvlnCompress {
public:
    TTestEngine() : TKvlnCompress(nullptr) {}
    // Files under these folders hold at most this many bytes each.
    std::map<std::string, int64_t> Capacity;

protected:
    std::unique_ptr<TStream> OpenStream(const std::string& path, uint16_t mode) override {
        auto s = TKvlnCompress::OpenStream(path, mode);
        std::string host = HostPath(path);
        for (const auto& [folder, bytes] : Capacity)
            if (host.rfind(folder, 0) == 0) return std::make_unique<TCapacityStream>(std::move(s), bytes);
        return s;
    }
};

// Records the events of an engine as short lines.
struct TEventLog {
    std::vector<std::string> lines;
    std::vector<TlzhFileStats> stats;

    void Attach(TKvlnCompress& e) {
        auto rec = [this](const char* what) {
            return [this, what](TKvlnCompress*, const TlzhFileStats& s) {
                lines.push_back(std::string(what) + " " + ExtractName(s.FileName) + (s.FileDone ? " done" : ""));
                stats.push_back(s);
            };
        };
        e.OnBeforeAdding = rec("BeforeAdding");
        e.OnAfterAdding = rec("AfterAdding");
        e.OnBeforeExtracting = rec("BeforeExtracting");
        e.OnAfterExtracting = rec("AfterExtracting");
        e.OnReplace = rec("Replace");
        e.OnStatus = rec("Status");
        e.OnAborted = [this](TObject*) { lines.push_back("Aborted"); };
    }
    static std::string ExtractName(const std::string& path) { return fsv::ExtractFileName(path); }
    int Count(const std::string& line) const { return static_cast<int>(std::count(lines.begin(), lines.end(), line)); }
    // The lines with runs of equal Status lines folded into one "Status xN".
    std::vector<std::string> Folded() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < lines.size();) {
            size_t j = i;
            while (j < lines.size() && lines[j] == lines[i]) ++j;
            out.push_back(j - i > 1 ? lines[i] + " x" + std::to_string(j - i) : lines[i]);
            i = j;
        }
        return out;
    }
};

// The engine joins with '\\'; on the host that is '/'.
inline std::string HostPath(std::string p) {
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

template <class E, class F>
std::string MessageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return std::string("<other exception> ") + e.what();
    }
    return "<no exception>";
}

inline void SetList(TKvlnCompress& e, const std::vector<std::string>& entries) {
    TStringList l;
    for (const auto& s : entries) l.Add(s);
    e.SetFilesToProcess(&l);
}

const TDateTime kDate1 = EncodeDate(2001, 2, 3) + EncodeTime(4, 5, 6, 0);
const TDateTime kDate2 = EncodeDate(2003, 7, 8) + EncodeTime(9, 10, 12, 0);

}  // namespace kv::test
