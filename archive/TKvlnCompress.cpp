#include "archive/TKvlnCompress.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <typeinfo>
#include <utility>
#include <vector>

#include "archive/TWorkAhead.h"
#include "forms/Forms.h"
#include "platform/FileStream.h"
#include "platform/Files.h"
#include "routines/routines_API.h"
#include "routines/routines_Strings.h"

namespace kv {

namespace {

const char* const kCorruptHeaders =
    "Could not read the file headers for the compressed file. The Archive file could possible be corrupt";
const char* const kAborted = "Operation aborted by user";
const char* const kSizeMismatch =
    "The decompressed file's size does not match with the actual size of the file.  The file is %s";
constexpr uint16_t kSharedRead = fmOpenRead | fmShareDenyNone;
constexpr uint16_t kSharedReadWrite = fmOpenReadWrite | fmShareDenyNone;
constexpr int kInputBuffer = 65536;   // compressed bytes read at a time
constexpr int kOutputBuffer = 4096;   // decompressed bytes per progress point
constexpr int kCopyBuffer = 8192;     // disk-set and plain copies
constexpr int kMaxDisk = 255;         // disk numbers are one byte

// Lets a Cancel button be noticed at every progress point.
void ProcessMessages() {
    if (Application) Application->ProcessMessages();
}

// Paths are held without a trailing backslash and joined with one.
std::string WithBackslash(const std::string& path) {
    std::string r;
    AddBackslash(path, r);
    return r;
}
std::string WithoutBackslash(const std::string& path) {
    std::string r;
    RemoveBackslash(path, r);
    return r;
}

void MakeFolderOf(const std::string& path) {
    std::string folder = WithoutBackslash(ExtractFilePath(path));
    // Mostly only the last folder is missing: one try before the walk from the top.
    if (!folder.empty() && !CreateDirectoryA(folder.c_str(), nullptr)) ForceDirectories(folder);
}

// Gives an open file its last-write time through its handle (a stream without one
// by name, once closed), and closes it; 0 or the Windows error.
int SetDateAndClose(std::unique_ptr<TStream>& stream, const std::string& name, int32_t stamp) {
    TStream* s = stream.get();
    // Mostly a file stream, which a type compare tells at once.
    if (auto* h = s && typeid(*s) == typeid(TFileStream) ? static_cast<TFileStream*>(s) : dynamic_cast<THandleStream*>(s)) {
        int r = FileSetDate(h->Handle(), stamp);
        stream.reset();
        return r;
    }
    stream.reset();
    return FileSetDate(name, stamp);
}

// A sink that only counts, for testing members.
class TNullStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t count) override {
        FSize += count;
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return FSize; }

private:
    int64_t FSize = 0;
};

// The DOS timestamp of a stored date; 0 (no valid stamp) for dates that are no dates.
int32_t FileDateOf(double date) {
    if (!(date >= 0 && date < 100000)) return 0;
    return DateTimeToFileDate(date);
}

// Holds a member's compressed data: in memory while it is small, else in a
// temporary file (deleted with the stream). Small members thus cost no file.
class TSpillStream : public TStream {
public:
    using TCreateFile = std::function<std::unique_ptr<TStream>(std::string& name)>;
    static constexpr int64_t MemoryLimit = 8 << 20;

    explicit TSpillStream(TCreateFile create) : FCreate(std::move(create)) {}
    ~TSpillStream() override {
        if (FFile) {
            FFile.reset();
            DeleteFileA(FName.c_str());
        }
    }
    int64_t Read(void* b, int64_t n) override { return Active().Read(b, n); }
    int64_t Write(const void* b, int64_t n) override {
        if (!FFile && FMemory.Size() + n > MemoryLimit) {
            FFile = FCreate(FName);
            FFile->WriteBuffer(FMemory.Data().data(), FMemory.Size());
            FMemory.Clear();
        }
        return Active().Write(b, n);
    }
    int64_t Seek(int64_t o, TSeekOrigin origin) override { return Active().Seek(o, origin); }

private:
    TStream& Active() { return FFile ? *FFile : static_cast<TStream&>(FMemory); }

    TCreateFile FCreate;
    TMemoryStream FMemory;
    std::unique_ptr<TStream> FFile;
    std::string FName;
};

struct TInflater {
    z_stream z{};
    TInflater() {
        if (inflateInit2(&z, 15) < 0) throw Exception("error");
    }
    ~TInflater() { inflateEnd(&z); }
};

// A member inflated by a worker before its turn. Only a clean result is used; any
// other (a corrupt or short stream, a wrong size) is inflated again in turn, so
// that its errors and partial output are those of the plain path.
struct TAheadMember {
    std::string Entry;
    int Index = -1;  // of Entry in the table
    THeaderRecord Header;
    uint32_t Generation = 0;  // of the archive file read
    std::vector<uint8_t> Input, Output;
    bool Clean = false;  // the stream ended after exactly FileSize bytes
    std::atomic<bool> Ready{false};

    int64_t Packed() const { return static_cast<int64_t>(Header.LastBytePos) + 1 - Header.DataPos; }

    void Inflate() {
        try {
            TInflater inf;
            z_stream& z = inf.z;
            uint8_t none = 0;
            // One byte of room beyond FileSize shows a member that would be longer.
            Output.resize(static_cast<size_t>(Header.FileSize) + 1);
            z.next_in = Input.empty() ? &none : Input.data();
            z.avail_in = static_cast<uInt>(Input.size());
            z.next_out = Output.data();
            z.avail_out = static_cast<uInt>(Output.size());
            int rc = inflate(&z, Z_FINISH);
            Clean = rc == Z_STREAM_END && z.total_out == static_cast<uLong>(Header.FileSize);
            Output.resize(static_cast<size_t>(z.total_out));
        } catch (...) {
            Clean = false;
        }
        Input.clear();  // its room serves the next member
    }
};

}  // namespace

struct TKvlnCompress::TExtractAhead {
    static constexpr int64_t MemberLimit = 1 << 20;  // larger members inflate as they are written
    static constexpr int64_t Budget = 4 << 20;       // input and output bytes held ahead
    static constexpr size_t MaxMembers = 128;  // a batch wakes the worker once
    static constexpr int64_t WindowSize = 256 << 10;

    std::map<int, std::unique_ptr<TAheadMember>> Slots;  // by position in FilesToProcess
    int Next = 0;                                        // the first position not yet looked at
    int LastIndex = -1;                                  // in the table, of the member looked at last
    int64_t Held = 0;
    // Members that follow one another in the archive are read through one window
    // of it: one read serves many of them.
    std::vector<uint8_t> Window;
    int64_t WindowAt = 0, LastEnd = -1;
    uint32_t WindowGeneration = 0;
    // Members whose turn has passed, kept with their buffers: for small members
    // allocating and freeing a few KiB each costs more than the rest of the work.
    static constexpr size_t SpareRoom = 8 << 10, SpareBudget = 1 << 20;
    std::vector<std::unique_ptr<TAheadMember>> Spare;
    size_t SpareBytes = 0;
    TWorkAhead Workers{1};  // declared last: joined before the slots go

    static size_t Room(const TAheadMember& m) { return m.Input.capacity() + m.Output.capacity(); }
    std::unique_ptr<TAheadMember> NewMember() {
        if (Spare.empty()) return std::make_unique<TAheadMember>();
        std::unique_ptr<TAheadMember> m = std::move(Spare.back());
        Spare.pop_back();
        SpareBytes -= Room(*m);
        return m;
    }
    // Takes back a member the worker is done with (one that was taken).
    void Recycle(std::unique_ptr<TAheadMember> m) {
        if (m->Input.capacity() > SpareRoom || m->Output.capacity() > SpareRoom || SpareBytes + Room(*m) > SpareBudget)
            return;
        SpareBytes += Room(*m);
        m->Input.clear();
        m->Output.clear();
        m->Clean = false;
        m->Ready.store(false);
        Spare.push_back(std::move(m));
    }

    // The member read ahead for Position, if any; its bytes no longer count.
    std::unique_ptr<TAheadMember> Take(int position) {
        auto it = Slots.find(position);
        if (it == Slots.end()) return nullptr;
        std::unique_ptr<TAheadMember> m = std::move(it->second);
        Slots.erase(it);
        Held -= m->Header.FileSize + m->Packed();
        Workers.Await(m->Ready);
        return m;
    }

    // Bytes [At, At + N) of Archive; false when it has fewer.
    bool ReadAt(TStream& archive, uint32_t generation, int64_t at, int64_t n, uint8_t* to) {
        if (generation != WindowGeneration) {
            Window.clear();
            LastEnd = -1;
            WindowGeneration = generation;
        }
        const bool inWindow = at >= WindowAt && at + n <= WindowAt + static_cast<int64_t>(Window.size());
        const bool follows = LastEnd >= 0 && at >= LastEnd && at - LastEnd <= 4096;
        LastEnd = at + n;
        if (!inWindow && (!follows || n > WindowSize / 4)) {
            archive.SetPosition(at);
            return archive.Read(to, n) == n;
        }
        if (!inWindow) {
            Window.resize(static_cast<size_t>(WindowSize));
            archive.SetPosition(at);
            int64_t got = archive.Read(Window.data(), WindowSize);
            Window.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
            WindowAt = at;
            if (got < n) return false;
        }
        std::copy_n(Window.data() + (at - WindowAt), n, to);
        return true;
    }
};

// A file read by the engine's thread and compressed by a worker before its turn.
struct TKvlnCompress::TAddAhead {
    static constexpr int64_t FileLimit = 60 << 10;  // compresses to less than one progress point
    static constexpr int64_t Budget = 4 << 20;
    static constexpr size_t MaxFiles = 64;

    struct TFile {
        std::string Name;
        TCompressionLevel Level = colMax;
        TMemoryStream Source, Packed;
        bool Clean = false;  // no progress point fell within: the data as in turn
        std::atomic<bool> Ready{false};

        void Compress() {
            bool progressed = false;
            try {
                TCompressionStream z(Level, Packed);
                z.OnProgress = [&progressed](TCustomZlibStream*) { progressed = true; };
                z.CopyFrom(Source, 0);
                z.Finish();
                Clean = !progressed;
            } catch (...) {
                Clean = false;
            }
        }
        int64_t Bytes() const { return static_cast<int64_t>(Name.size()) + 2 * Source.Data().size(); }
    };

    std::map<int, std::unique_ptr<TFile>> Slots;  // by index in the table
    int Next = 0;
    int64_t Held = 0;
    TWorkAhead Workers{TWorkAhead::Cores()};  // declared last: joined before the slots go

    std::unique_ptr<TFile> Take(int index) {
        auto it = Slots.find(index);
        if (it == Slots.end()) return nullptr;
        std::unique_ptr<TFile> f = std::move(it->second);
        Slots.erase(it);
        Held -= f->Bytes();
        Workers.Await(f->Ready);
        return f;
    }
};

const TEnumInfo TCompressionLevelInfo{"TCompressionLevel", {"colNone", "colFastest", "colDefault", "colMax"}};

KV_REGISTER_CLASS(TKvlnCompress, TComponent) {
    b.Boolean("Abort", &TKvlnCompress::Abort, &TKvlnCompress::SetAbort, false)
        .String("CompressedFile", &TKvlnCompress::CompressedFile, &TKvlnCompress::SetCompressedFile)
        .Enum<TCompressionLevel>("CompressionLevel", TCompressionLevelInfo, &TKvlnCompress::CompressionLevel,
                                 &TKvlnCompress::SetCompressionLevel, colMax)
        .String("ExtractDirectory", &TKvlnCompress::ExtractDirectory, &TKvlnCompress::SetExtractDirectory)
        .Object<TStrings>("FilesToProcess", &TKvlnCompress::FilesToProcess)
        .Integer("Offset", &TKvlnCompress::Offset, &TKvlnCompress::SetOffset, 0)
        .Enum<TOverwriteType>("Overwrite", TOverwriteTypeInfo, &TKvlnCompress::Overwrite,
                              &TKvlnCompress::SetOverwrite, owAlways)
        .Event("OnAborted", &TKvlnCompress::OnAborted)
        .Event("OnAfterAdding", &TKvlnCompress::OnAfterAdding)
        .Event("OnBeforeAdding", &TKvlnCompress::OnBeforeAdding)
        .Event("OnAfterExtracting", &TKvlnCompress::OnAfterExtracting)
        .Event("OnBeforeExtracting", &TKvlnCompress::OnBeforeExtracting)
        .Event("OnFullDisk", &TKvlnCompress::OnFullDisk)
        .Event("OnListing", &TKvlnCompress::OnListing)
        .Event("OnNewDisk", &TKvlnCompress::OnNewDisk)
        .Event("OnReplace", &TKvlnCompress::OnReplace)
        .Event("OnStatus", &TKvlnCompress::OnStatus);
}

TKvlnCompress::TKvlnCompress(TComponent* Owner)
    : TComponent(Owner), FFilesToProcess(std::make_unique<TStringList>()) {}

TKvlnCompress::~TKvlnCompress() = default;

std::unique_ptr<TStream> TKvlnCompress::OpenStream(const std::string& path, uint16_t mode) {
    return std::make_unique<TFileStream>(path, mode);
}

void TKvlnCompress::SetCompressedFile(const std::string& Value) {
    if (AnsiCompareText(Value, FCompressedFile) == 0) return;
    // Moving between the disk files of one set keeps the table.
    if (FHeadersLoaded && AnsiCompareText(ChangeFileExt(Value, ".1"), ChangeFileExt(FCompressedFile, ".1")) != 0)
        FHeadersLoaded = false;
    FCompressedFile = Value;
}

void TKvlnCompress::SetFilesToProcess(TStrings* Value) {
    if (!Value) {
        FFilesToProcess->Clear();
        return;
    }
    for (int i = Value->Count() - 1; i >= 0; --i)
        if (IsBlank(Value->Get(i))) Value->Delete(i);
    FFilesToProcess->Assign(Value);
}

// ---- the header table ---------------------------------------------------------------

void TKvlnCompress::ReadHeaders() {
    std::unique_ptr<TStream> stream;
    try {
        if (!FileExists(FCompressedFile)) throw EFOpenError("");
        stream = OpenStream(FCompressedFile, kSharedRead);
    } catch (const Exception&) {
        throw EKvlnCompress("Cannot open the compressed file %s", {FCompressedFile});
    }
    FHeadersLoaded = false;
    ++FArchiveGeneration;
    FFileIdTable.fill(0);
    try {
        FHeaders.LoadFromStream(*stream, FOffset);
        for (int i = 0; i < FHeaders.Count(); ++i) {
            int32_t id = std::as_const(FHeaders).GetFileHeaders(i).HeaderRecord.FileId;
            if (id >= 0 && id < FileIdCount) FFileIdTable[static_cast<size_t>(id)] = i;
        }
    } catch (const Exception&) {
        throw EKvlnCompress(kCorruptHeaders);
    }
    FHeadersLoaded = true;
}

void TKvlnCompress::LoadIfNeeded() {
    if (!FHeadersLoaded && FMode != kmAdding) ReadHeaders();
}

int TKvlnCompress::FileCount() {
    LoadIfNeeded();
    return FHeaders.Count();
}

TlzhFileStats TKvlnCompress::GetFileStats(int Index) {
    if (Index < 0 || Index >= FileCount())
        throw EKvlnCompress("Tried to access the %dth file. This file is not defined", {Index});
    FHeaders.InitStats(FStats);
    std::as_const(FHeaders).GetFileHeaders(Index).ToStats(FStats);
    return FStats;
}

int TKvlnCompress::IndexOfFileId(int32_t FileId) {
    if (!FHeadersLoaded) ReadHeaders();
    if (FileId < 0 || FileId >= FileIdCount) return 0;
    return FFileIdTable[static_cast<size_t>(FileId)];
}

// ---- disks -------------------------------------------------------------------------

void TKvlnCompress::OpenDisk(std::unique_ptr<TStream>& Stream, int32_t DiskNumber, uint16_t Mode,
                             std::string& FileName) {
    ++FArchiveGeneration;
    for (int attempt = 0; attempt < 4; ++attempt) {
        Stream.reset();
        if (FHeaders.MultiDisk) FileName = ChangeFileExt(FileName, "." + IntToStr(DiskNumber));
        if (!FileExists(FileName)) {
            if (!OnNewDisk) throw EKvlnCompress("Could not open the correct disk file %d", {DiskNumber});
            std::string path = WithoutBackslash(ExtractFilePath(FileName));
            OnNewDisk(this, DiskNumber, path);
            FileName = WithBackslash(path) + ExtractFileName(FileName);
            if (!FileExists(FileName)) continue;
        }
        try {
            Stream = OpenStream(FileName, Mode);
        } catch (const Exception&) {
            throw EKvlnCompress("Cannot open the compressed file %s", {FileName});
        }
        return;
    }
    throw EKvlnCompress("Cannot open the compressed file %s", {FileName});
}

void TKvlnCompress::FullDisk() {
    if (OnFullDisk) {
        OnFullDisk(this);
        return;
    }
    throw EkcDiskFull("The disk is full");
}

// ---- adding ----------------------------------------------------------------------------

void TKvlnCompress::AddStatus() {
    if (FAbort) throw EkcAborted(kAborted);
    ProcessMessages();
    if (!FDest) throw EKvlnCompress("AddStatus has Nil DestFile");
    int64_t p = FSource ? FSource->Position() : 0;
    FStats.TotalPosition += p - FStats.FilePosition - 1;
    FStats.FilePosition = static_cast<int32_t>(p - 1);
    FStats.CompressedSize = static_cast<int32_t>(std::min<int64_t>(FDest->Size(), INT32_MAX));
    FStats.FilePercent = Percentage(FStats.FilePosition, FStats.FileSize);
    FStats.TotalPercent = Percentage(FStats.TotalPosition, FStats.TotalSize);
    OnStatus(this, FStats);
}

void TKvlnCompress::Add(TlzhCommand Command, int32_t FileId) {
    FAbort = false;
    FMode = kmAdding;
    FHeaders.MultiDisk = 0;
    FOffset = 0;
    // The table is rebuilt from the entries; whatever was loaded no longer holds.
    FHeadersLoaded = false;
    FStoredCount = 0;
    FStoredEnd = 0;
    std::vector<std::string> entries;
    for (int i = 0; i < FFilesToProcess->Count(); ++i) entries.push_back(FFilesToProcess->Get(i));
    struct TFinally {
        TKvlnCompress& self;
        ~TFinally() {
            self.FAddAhead.reset();
            self.FArchive.reset();
            self.FFilesToProcess->Clear();
        }
    } finally{*this};
    try {
        MakeFolderOf(FCompressedFile);
        if (Command == lzcOnlyAdd && FileExists(FCompressedFile)) {
            try {
                FArchive = OpenStream(FCompressedFile, kSharedReadWrite);
            } catch (const Exception&) {
                throw EKvlnCompress("Cannot create the file %s", {FCompressedFile});
            }
            try {
                FHeaders.LoadFromStream(*FArchive, 0);
            } catch (const Exception&) {
                FArchive.reset();  // leave the damaged file as it is
                throw EKvlnCompress(kCorruptHeaders);
            }
            if (FHeaders.MultiDisk) {
                FArchive.reset();
                throw EKvlnCompress("Cannot add files to the disk set %s", {FCompressedFile});
            }
            FStoredCount = FHeaders.Count();
            FStoredEnd =
                FStoredCount ? std::as_const(FHeaders).GetFileHeaders(FStoredCount - 1).HeaderRecord.NextHeaderPos : 5;
            FHeaders.AddFiles(entries, true);
        } else {
            try {
                FArchive = OpenStream(FCompressedFile, fmCreate);
            } catch (const Exception&) {
                throw EKvlnCompress("Cannot create the file %s", {FCompressedFile});
            }
            FStoredEnd = 5;
            FHeaders.AddFiles(entries, false);
        }
        FHeaders.SaveToStream(*FArchive);
        // The old last member's NextHeaderPos: the end of what the archive holds.
        FArchive->SetPosition(FStoredEnd);
        FHeaders.InitStats(FStats);
        FStats.TotalCompressedSize = 0;
        if (FHeaders.Count() - FStoredCount > 1) FAddAhead = std::make_unique<TAddAhead>();
        for (int i = 0; i < FHeaders.Count(); ++i) {
            TFileHeader& h = FHeaders.GetFileHeaders(i);
            if (!h.InArchive) AddMember(h, i, FileId);
        }
        FHeadersLoaded = false;
    } catch (const EkcAborted&) {
        RepairAfterFailedAdd();
        OnAborted(this);
    } catch (const EAbort&) {
        RepairAfterFailedAdd();
    } catch (...) {
        FAbort = true;
        RepairAfterFailedAdd();
        throw;
    }
}

// A failed add would leave a count that promises members never written; the
// archive is cut back to the members stored completely.
void TKvlnCompress::RepairAfterFailedAdd() {
    FHeadersLoaded = false;
    if (!FArchive) return;
    try {
        FArchive->SetPosition(0);
        FArchive->WriteI32(FStoredCount);
        FArchive->WriteU8(0);
        FArchive->SetSize(FStoredEnd);
    } catch (const Exception&) {
    }
}

void TKvlnCompress::AddMember(TFileHeader& h, int index, int32_t FileId) {
    THeaderRecord& r = h.HeaderRecord;
    struct TCleanup {
        TKvlnCompress& self;
        ~TCleanup() { self.FSource = self.FDest = nullptr; }
    } cleanup{*this};
    std::unique_ptr<TAddAhead::TFile> ahead = FAddAhead ? FAddAhead->Take(index) : nullptr;
    if (ahead && (!ahead->Clean || ahead->Name != r.FileName)) ahead.reset();
    if (FAddAhead) CompressAhead(index);
    std::unique_ptr<TStream> source;
    if (!ahead) {
        try {
            source = OpenStream(r.FileName, kSharedRead);
        } catch (const Exception&) {
            throw EKvlnCompress("Cannot open the file %s", {r.FileName});
        }
    }
    auto temp = std::make_unique<TSpillStream>([this](std::string& name) {
        GetTempFile(false, name);
        try {
            return OpenStream(name, fmCreate);
        } catch (const Exception&) {
            throw EKvlnCompress("Cannot create the file %s", {name});
        }
    });

    h.ToStats(FStats);
    FStats.CompressedSize = 0;
    OnBeforeAdding(this, FStats);
    // Compressed ahead at the level still in force: no progress point fell within.
    const bool packedAhead = ahead && ahead->Level == FCompressionLevel;
    FSource = ahead ? static_cast<TStream*>(&ahead->Source) : source.get();
    FDest = packedAhead ? static_cast<TStream*>(&ahead->Packed) : temp.get();
    if (!packedAhead) {
        TCompressionStream z(FCompressionLevel, *temp);
        z.OnProgress = [this](TCustomZlibStream*) { AddStatus(); };
        z.CopyFrom(*FSource, 0);
        z.Finish();
    }
    TStream& data = *FDest;
    int64_t packed = data.Size();
    if (packed > INT32_MAX) throw EKvlnCompress("The file %s is too large for an archive", {r.FileName});
    FStats.CompressionRatio = Percentage(packed, FStats.FileSize);
    FStats.FileDone = true;
    AddStatus();
    FStats.FileDone = false;

    data.SetPosition(0);
    int64_t headerPos = FArchive->Position();
    h.SaveToStream(*FArchive);
    r.DataPos = static_cast<int32_t>(FArchive->Position());
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(packed, 1), 1 << 20)));
    int64_t copied = 0;
    try {
        while (copied < packed) {
            int64_t n = data.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
            if (n <= 0) break;
            int64_t w = FArchive->Write(buffer.data(), n);
            copied += w;
            if (w < n) break;
        }
    } catch (const Exception&) {
    }
    if (copied < packed) FullDisk();
    FStats.TotalCompressedSize += packed;
    int64_t end = FArchive->Position();
    if (end > INT32_MAX) throw EKvlnCompress("The compressed file %s would exceed 2 GiB", {FCompressedFile});
    r.LastBytePos = static_cast<int32_t>(end - 1);
    r.NextHeaderPos = static_cast<int32_t>(end);
    r.CompressedSize = FStats.CompressedSize;
    r.FileId = FileId;
    if (FileId >= 0 && FileId < FileIdCount) FFileIdTable[static_cast<size_t>(FileId)] = index;
    FArchive->SetPosition(headerPos);
    h.SaveToStream(*FArchive);
    FArchive->SetPosition(end);
    h.InArchive = true;
    ++FStoredCount;
    FStoredEnd = end;
    OnAfterAdding(this, FStats);
}

void TKvlnCompress::CompressAhead(int index) {
    TAddAhead& a = *FAddAhead;
    a.Next = std::max(a.Next, index + 1);
    // Topped up in batches, so that the workers are woken once for many files.
    if (a.Slots.size() > TAddAhead::MaxFiles / 2) return;
    std::vector<TAddAhead::TFile*> batch;
    while (a.Next < FHeaders.Count() && a.Slots.size() < TAddAhead::MaxFiles && a.Held < TAddAhead::Budget) {
        const int i = a.Next++;
        const TFileHeader& h = std::as_const(FHeaders).GetFileHeaders(i);
        if (h.InArchive || h.HeaderRecord.FileSize > TAddAhead::FileLimit) continue;
        auto f = std::make_unique<TAddAhead::TFile>();
        f->Name = h.HeaderRecord.FileName;
        f->Level = FCompressionLevel;
        try {
            std::unique_ptr<TStream> source = OpenStream(f->Name, kSharedRead);
            int64_t size = source->Size();
            if (size < 0 || size > TAddAhead::FileLimit) continue;
            std::string& bytes = f->Source.Data();
            bytes.resize(static_cast<size_t>(size));
            if (source->Read(bytes.data(), size) != size) continue;
        } catch (const Exception&) {
            continue;  // opened again in its turn, which reports the fault
        }
        a.Held += f->Bytes();
        batch.push_back(f.get());
        a.Slots[i] = std::move(f);
    }
    // Each worker takes its own share of the batch.
    const size_t shares = std::min<size_t>(batch.size(), TWorkAhead::Cores());
    for (size_t k = 0; k < shares; ++k) {
        std::vector<TAddAhead::TFile*> share;
        for (size_t j = k; j < batch.size(); j += shares) share.push_back(batch[j]);
        a.Workers.Post([share = std::move(share), &workers = a.Workers] {
            for (TAddAhead::TFile* f : share) {
                f->Compress();
                workers.Finished(f->Ready);
            }
        });
    }
}

// ---- extracting ----------------------------------------------------------------------

void TKvlnCompress::Extract() {
    FAbort = false;
    FMode = kmExtracting;
    struct TFinally {
        TKvlnCompress& self;
        ~TFinally() {
            self.FAhead.reset();
            self.FArchive.reset();
            self.FFilesToProcess->Clear();
            self.DestFileName.clear();
        }
    } finally{*this};
    try {
        if (!FHeadersLoaded) ReadHeaders();
        CurrentDisk = 0;
        FHeaders.InitStats(FStats);
        FHeaders.SumSizes(FStats);
        FKnownFolder.clear();
        if (FFilesToProcess->Count() > 1) FAhead = std::make_unique<TExtractAhead>();
        for (int i = 0; i < FFilesToProcess->Count(); ++i) ExtractMember(FFilesToProcess->Get(i), i);
    } catch (const EkcAborted&) {
        OnAborted(this);
    } catch (const EAbort&) {
    } catch (...) {
        FAbort = true;
        throw;
    }
}

std::string TKvlnCompress::Destination() const {
    const std::string_view name = FileNamePart(DestFileName);
    std::string d;
    d.reserve(FExtractDirectory.size() + 1 + name.size());
    d = FExtractDirectory;
    if (!d.empty() && d.back() != '\\') d += '\\';
    d += name;
    return d;
}

void TKvlnCompress::ExtractMember(const std::string& entry, int position) {
    SkipFile = false;
    std::unique_ptr<TAheadMember> ahead = FAhead ? FAhead->Take(position) : nullptr;
    struct TGiveBack {
        TKvlnCompress& self;
        std::unique_ptr<TAheadMember>& member;
        ~TGiveBack() {
            if (member && self.FAhead) self.FAhead->Recycle(std::move(member));
        }
    } giveBack{*this, ahead};
    int index = ahead && ahead->Generation == FArchiveGeneration && ahead->Entry == entry ? ahead->Index
                                                                                          : FHeaders.IndexOf(entry);
    if (index < 0)
        throw EKvlnCompress("The file <%s> was not found in the archive <%s>", {entry, FCompressedFile});
    // A copy: handlers may make the engine read another table.
    const THeaderRecord h = std::as_const(FHeaders).GetFileHeaders(index).HeaderRecord;
    std::as_const(FHeaders).GetFileHeaders(index).ToStats(FStats);
    if (IsBlank(DestFileName)) DestFileName = FileNamePart(h.FileName);
    OnBeforeExtracting(this, FStats);
    std::string dest = Destination();

    // A file that is not there yet is created at once: one look at its folder, not two.
    // A folder other than the last one is looked at first: in a missing folder the try
    // would fail, which costs more than the look.
    std::unique_ptr<TStream> out;
    bool folderMissing = false;
    if (!SkipFile) {
        const std::string_view folder = FilePathPart(dest);
        if (!folder.empty() && folder != FKnownFolder)
            folderMissing = !DirectoryExists(WithoutBackslash(std::string(folder)));
        if (!folderMissing) {
            try {
                out = OpenStream(dest, fmCreate | fmExclusive);
                FKnownFolder = folder;
            } catch (const Exception&) {
            }
        }
    }
    bool extract = true;
    const bool existed = !out && !folderMissing && FileExists(dest);
    if (existed) {
        switch (TVersionResource::CompareWithArchived(h.FileVersion, dest, FOverwrite, h.FileDate)) {
            case 0: throw EKvlnCompress("Error comparing file versions in TKvlnCompress");
            case 2: break;
            default: extract = false;
        }
        if (extract && OnReplace) {
            OnReplace(this, FStats);
            dest = Destination();
        }
    }
    if (SkipFile) extract = false;

    if (!extract) {
        FStats.FileDone = true;
        OnStatus(this, FStats);
    } else {
        // The archive stays open from member to member while it is the right file.
        int32_t firstDisk = h.StartDisk == 0 ? 1 : h.StartDisk;
        if (!FArchive || FArchiveDisk != firstDisk) {
            try {
                OpenDisk(FArchive, firstDisk, kSharedRead, FCompressedFile);
            } catch (...) {
                // No disk, no file: the one just created goes again.
                if (out) {
                    out.reset();
                    DeleteFileA(dest.c_str());
                }
                throw;
            }
            FArchiveDisk = firstDisk;
        }
        CurrentDisk = h.StartDisk;
        if (!out) {
            try {
                // Not made a moment ago though not there: its folder is most likely missing.
                if (!existed) MakeFolderOf(dest);
                out = OpenStream(dest, fmCreate);
            } catch (const Exception&) {
                // Most folders exist already; only a failure is worth the look.
                try {
                    MakeFolderOf(dest);
                    out = OpenStream(dest, fmCreate);
                } catch (const Exception&) {
                    throw EKvlnCompress("Cannot create the file %s", {dest});
                }
            }
            FKnownFolder = FilePathPart(dest);
        }
        if (FAhead) InflateAhead(position);
        bool ended;
        const THeaderRecord& a = ahead ? ahead->Header : h;
        if (ahead && ahead->Clean && ahead->Index == index && ahead->Generation == FArchiveGeneration &&
            a.DataPos == h.DataPos && a.LastBytePos == h.LastBytePos && a.FileSize == h.FileSize &&
            a.StartDisk == h.StartDisk && a.EndDisk == h.EndDisk) {
            // The same progress points as inflating in turn: every 4 KiB and once at the end.
            const std::vector<uint8_t>& data = ahead->Output;
            for (size_t at = 0; at < data.size(); at += kOutputBuffer)
                EmitOutput(h, *out, data.data() + at, std::min<int64_t>(kOutputBuffer, data.size() - at));
            EmitOutput(h, *out, nullptr, 0);
            ended = true;
        } else {
            FArchive->SetPosition(static_cast<int64_t>(FOffset) + h.DataPos);
            ended = Decompress(h, *out);
        }
        FStats.FileDone = true;
        OnStatus(this, FStats);
        // What was written: the file was created empty.
        int64_t size = FStats.FilePosition;
        int dated = SetDateAndClose(out, dest, FileDateOf(h.FileDate));
        if (size != h.FileSize) throw EKvlnCompress(kSizeMismatch, {h.FileName});
        if (!ended) throw EKvlnCompress("The compressed data of the file %s is incomplete", {h.FileName});
        if (dated != 0) throw EKvlnCompress("Cannot set the date of the file just extracted.");
        OnAfterExtracting(this, FStats);
    }
    DestFileName.clear();
}

int64_t TKvlnCompress::ReadMemberInput(const THeaderRecord& h, uint8_t* buffer, int64_t size) {
    int64_t n = size;
    if (CurrentDisk >= h.EndDisk) {
        int64_t left = static_cast<int64_t>(FOffset) + h.LastBytePos + 1 - FArchive->Position();
        if (left <= 0) return 0;
        n = std::min(n, left);
    }
    int64_t r = FArchive->Read(buffer, n);
    return r < 0 ? 0 : r;
}

bool TKvlnCompress::Decompress(const THeaderRecord& h, TStream& Dest) {
    TInflater inf;
    z_stream& z = inf.z;
    std::unique_ptr<uint8_t[]> in(new uint8_t[kInputBuffer]);  // not cleared: for small members that cost 3%
    uint8_t out[kOutputBuffer];
    bool ended = false;
    for (;;) {
        int64_t n;
        do {
            z.next_out = out;
            z.avail_out = kOutputBuffer;
            while (z.avail_out > 0 && !ended) {
                if (z.avail_in == 0) {
                    z.next_in = in.get();
                    z.avail_in = static_cast<uInt>(ReadMemberInput(h, in.get(), kInputBuffer));
                }
                // With no input left this still drains what inflate holds back.
                int rc = inflate(&z, Z_NO_FLUSH);
                if (rc == Z_STREAM_END) {
                    ended = true;
                } else if (rc == Z_BUF_ERROR) {
                    break;  // no progress without more input
                } else if (rc == Z_MEM_ERROR) {
                    throw Exception("error");
                } else if (rc != Z_OK) {
                    throw EKvlnCompress("The compressed data of the file %s is corrupt", {h.FileName});
                }
            }
            n = kOutputBuffer - z.avail_out;
            EmitOutput(h, Dest, out, n);
        } while (n > 0);
        if (ended || CurrentDisk >= h.EndDisk) break;
        ++CurrentDisk;
        FArchiveDisk = 0;
        OpenDisk(FArchive, CurrentDisk, kSharedRead, FCompressedFile);
        FArchiveDisk = CurrentDisk;
        FArchive->SetPosition(0);
    }
    return ended;
}

void TKvlnCompress::EmitOutput(const THeaderRecord& h, TStream& Dest, const uint8_t* data, int64_t n) {
    if (FAbort) throw EkcAborted(kAborted);
    ProcessMessages();
    if (n <= 0) return;
    if (static_cast<int64_t>(FStats.FilePosition) + n > h.FileSize) throw EKvlnCompress(kSizeMismatch, {h.FileName});
    int64_t w = Dest.Write(data, n);
    if (w < n) FullDisk();
    FStats.FilePosition += static_cast<int32_t>(w);
    FStats.TotalPosition += w;
    FStats.FilePercent = Percentage(FStats.FilePosition, FStats.FileSize);
    FStats.TotalPercent = Percentage(FStats.TotalPosition, FStats.TotalSize);
    OnStatus(this, FStats);
}

void TKvlnCompress::InflateAhead(int position) {
    TExtractAhead& a = *FAhead;
    a.Next = std::max(a.Next, position + 1);
    // Topped up in batches, so that the worker is woken once for many members.
    if (a.Slots.size() > TExtractAhead::MaxMembers / 2) return;
    std::vector<TAheadMember*> batch;
    while (a.Next < FFilesToProcess->Count() && a.Slots.size() < TExtractAhead::MaxMembers &&
           a.Held < TExtractAhead::Budget) {
        const int pos = a.Next++;
        const std::string& entry = FFilesToProcess->At(pos);
        const int index = FHeaders.IndexOf(entry, a.LastIndex + 1);
        if (index < 0) continue;  // reported in its turn
        a.LastIndex = index;
        const THeaderRecord& h = std::as_const(FHeaders).GetFileHeaders(index).HeaderRecord;
        std::unique_ptr<TAheadMember> m = a.NewMember();
        m->Entry = entry;
        m->Index = index;
        m->Header = h;
        m->Generation = FArchiveGeneration;
        const int64_t packed = m->Packed();
        const int32_t disk = h.StartDisk == 0 ? 1 : h.StartDisk;
        if (h.StartDisk != h.EndDisk || disk != FArchiveDisk || h.FileSize < 0 ||
            h.FileSize > TExtractAhead::MemberLimit || packed < 0 || packed > TExtractAhead::MemberLimit)
            continue;
        m->Input.resize(static_cast<size_t>(packed));
        // Room made here, where it is freed again: a block from another thread's
        // heap costs more to give back.
        m->Output.reserve(static_cast<size_t>(h.FileSize) + 1);
        try {
            if (!a.ReadAt(*FArchive, FArchiveGeneration, static_cast<int64_t>(FOffset) + h.DataPos, packed,
                          m->Input.data()))
                continue;
        } catch (const Exception&) {
            continue;  // read again in its turn, which reports the fault
        }
        a.Held += h.FileSize + packed;
        batch.push_back(m.get());
        a.Slots[pos] = std::move(m);
    }
    if (!batch.empty())
        a.Workers.Post([batch = std::move(batch), &workers = a.Workers] {
            for (TAheadMember* m : batch) {
                m->Inflate();
                workers.Finished(m->Ready);
            }
        });
}

void TKvlnCompress::TestFile(int Index) {
    if (Index < 0 || Index >= FileCount())
        throw EKvlnCompress("Tried to access the %dth file. This file is not defined", {Index});
    FAbort = false;
    const THeaderRecord h = std::as_const(FHeaders).GetFileHeaders(Index).HeaderRecord;
    FHeaders.InitStats(FStats);
    std::as_const(FHeaders).GetFileHeaders(Index).ToStats(FStats);
    struct TClose {
        std::unique_ptr<TStream>& s;
        ~TClose() { s.reset(); }
    } close{FArchive};
    OpenDisk(FArchive, h.StartDisk == 0 ? 1 : h.StartDisk, kSharedRead, FCompressedFile);
    CurrentDisk = h.StartDisk;
    FArchive->SetPosition(static_cast<int64_t>(FOffset) + h.DataPos);
    TNullStream sink;
    bool ended = Decompress(h, sink);
    if (sink.Size() != h.FileSize) throw EKvlnCompress(kSizeMismatch, {h.FileName});
    if (!ended) throw EKvlnCompress("The compressed data of the file %s is incomplete", {h.FileName});
}

// ---- disk sets ----------------------------------------------------------------------

std::string TKvlnCompress::CheckedDiskName(const std::string& folder, const std::string& diskFileName) {
    if (CurrentDisk > kMaxDisk) throw EKvlnCompress("A disk set cannot have more than %d disks", {kMaxDisk});
    return WithBackslash(folder) + ChangeFileExt(ExtractFileName(diskFileName), "." + IntToStr(CurrentDisk));
}

bool TKvlnCompress::CopyChunk(THeaderRecord& h, TStream& source, std::unique_ptr<TStream>& disk,
                              std::string& folder, const std::string& diskFileName) {
    if (FAbort) throw EkcAborted(kAborted);
    int64_t pos = source.Position();
    int64_t last = static_cast<int64_t>(h.LastBytePos) + FOffset;
    if (pos > last) return false;
    uint8_t buffer[kCopyBuffer];
    int64_t n = std::min<int64_t>(kCopyBuffer, last - pos + 1);
    if (source.Read(buffer, n) != n)
        throw EKvlnCompress("The compressed file %s ends inside the data of %s", {FCompressedFile, h.FileName});
    ProcessMessages();
    int64_t w = disk->Write(buffer, n);
    if (w < n) {
        disk.reset();
        ++CurrentDisk;
        if (!OnNewDisk)
            throw EKvlnCompress(
                "There was no event handler for the OnNewDisk event, therefore no new disk could be inserted");
        OnNewDisk(this, CurrentDisk, folder);
        std::string name = CheckedDiskName(folder, diskFileName);
        try {
            disk = OpenStream(name, fmCreate);
        } catch (const Exception&) {
            throw EKvlnCompress("Cannot create the file %s", {name});
        }
        if (disk->Write(buffer + w, n - w) < n - w)
            throw EKvlnCompress("There is too little space on this disk to operate");
    }
    FStats.FilePosition += static_cast<int32_t>(n);
    FStats.FilePercent = Percentage(FStats.FilePosition, FStats.CompressedSize);
    FStats.TotalPosition += n;
    FStats.TotalPercent = Percentage(FStats.TotalPosition, FStats.TotalCompressedSize);
    OnStatus(this, FStats);
    return true;
}

void TKvlnCompress::CopyToDisks(const std::string& DestDir, const std::string& DiskFileName) {
    FAbort = false;
    std::unique_ptr<TStream> source, disk;
    try {
        if (!FHeadersLoaded) ReadHeaders();
        // Positions of a disk set name other files; copying them as one would garble the set.
        if (FHeaders.MultiDisk) throw EKvlnCompress("The compressed file %s is already a disk set", {FCompressedFile});
        CurrentDisk = 1;
        FHeaders.MultiDisk = 1;
        FHeaders.InitStats(FStats);
        try {
            source = OpenStream(FCompressedFile, kSharedReadWrite);
        } catch (const Exception&) {
            throw EKvlnCompress("Cannot open the compressed file %s", {FCompressedFile});
        }
        std::string diskName = WithBackslash(DestDir) + ExtractFileName(DiskFileName);
        try {
            disk = OpenStream(diskName, fmCreate);
        } catch (const Exception&) {
            throw EKvlnCompress("Cannot create the file %s", {diskName});
        }
        FHeaders.SaveToStream(*disk);
        std::string folder = DestDir;
        for (int i = 0; i < FHeaders.Count(); ++i) {
            TFileHeader& h = FHeaders.GetFileHeaders(i);
            h.ToStats(FStats);
            source->SetPosition(static_cast<int64_t>(h.HeaderRecord.DataPos) + FOffset);
            int64_t start = disk->Position();
            int startDisk = CurrentDisk;
            while (CopyChunk(h.HeaderRecord, *source, disk, folder, DiskFileName)) {
            }
            h.HeaderRecord.DataPos = static_cast<int32_t>(start);
            h.HeaderRecord.StartDisk = static_cast<uint8_t>(startDisk);
            h.HeaderRecord.LastBytePos = static_cast<int32_t>(disk->Position() - 1);
            h.HeaderRecord.EndDisk = static_cast<uint8_t>(CurrentDisk);
        }
        std::string last = CurrentDisk == 1 ? diskName : CheckedDiskName(folder, DiskFileName);
        OpenDisk(disk, 1, kSharedReadWrite, last);
        FHeaders.SaveToStream(*disk);
    } catch (const EkcAborted&) {
        // Half rewritten, the table describes neither the archive nor a disk set.
        FHeadersLoaded = false;
        OnAborted(this);
    } catch (...) {
        FHeadersLoaded = false;
        FAbort = true;
        throw;
    }
}

// ---- plain copy ----------------------------------------------------------------------

void TKvlnCompress::CopyFile(const std::string& Source, std::string Dest) {
    FAbort = false;
    FOffset = 0;
    FExtractDirectory = WithoutBackslash(ExtractFilePath(Dest));
    DestFileName = ExtractFileName(Dest);
    TlzhFileStats stats;
    stats.FileName = Source;
    bool copy = true;
    if (FileExists(Dest)) {
        switch (TVersionResource::IsFileNewerByName(Source, Dest, FOverwrite)) {
            case 0: throw EKvlnCompress("Error comparing file versions in TKvlnCompress");
            case 2: break;
            default: copy = false;
        }
        if (copy && OnReplace) {
            OnReplace(this, stats);
            Dest = Destination();
        }
    }
    if (SkipFile || !copy) return;

    int32_t stamp = FileAge(Source);
    std::unique_ptr<TStream> in, out;
    try {
        in = OpenStream(Source, kSharedRead);
    } catch (const Exception&) {
        throw EKvlnCompress("Cannot open the file %s", {Source});
    }
    int64_t size = in->Size();
    stats.FileSize = static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX));
    stats.TotalSize = size;
    try {
        out = OpenStream(Dest, fmCreate);
    } catch (const Exception&) {
        throw EKvlnCompress("Cannot create the file %s", {Dest});
    }
    uint8_t buffer[kCopyBuffer];
    for (;;) {
        if (FAbort) return;
        int64_t r = in->Read(buffer, kCopyBuffer);
        if (r < 0) r = 0;
        if (out->Write(buffer, r) < r) FullDisk();
        stats.FilePosition += static_cast<int32_t>(r);
        stats.TotalPosition += r;
        stats.FilePercent = Percentage(stats.FilePosition, stats.FileSize);
        stats.TotalPercent = Percentage(stats.FilePosition, stats.FileSize);
        OnStatus(this, stats);
        ProcessMessages();
        if (r < kCopyBuffer) break;
    }
    in.reset();
    if (stamp != -1) SetDateAndClose(out, Dest, stamp);
    out.reset();
    stats.FileDone = true;
    OnStatus(this, stats);
}

}  // namespace kv
