// An engine for the tests and an event recorder.
#pragma once

#include "archive/TKvlnCompress.h"
#include "tests/archive/ArchiveTestUtil.h"

namespace kv::test {

class TTestEngine : public TKvlnCompress {
public:
    TTestEngine() : TKvlnCompress(nullptr) {}
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
    static std::string ExtractName(const std::string& path) { return ExtractFileName(path); }
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
