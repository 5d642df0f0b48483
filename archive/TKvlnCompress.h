// The archive engine: builds archives, extracts members under an overwrite rule,
// copies an archive onto a disk set and copies plain files, reporting progress
// through its events.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "archive/TCompressionStream.h"
#include "archive/TFileHeaders.h"
#include "objects/cmp_TVersion.h"
#include "runtime/Classes.h"

namespace kv {

enum TlzhCommand { lzcOverwrite, lzcOnlyAdd };

extern const TEnumInfo TCompressionLevelInfo;

class TKvlnCompress;
using TlzhFileStatsEvent = TEvent<TKvlnCompress*, const TlzhFileStats&>;
// On entry Path is a folder; the handler brings the disk in and returns the
// folder in which the disk's file is found or created.
using TlzhNewDiskEvent = TEvent<TKvlnCompress*, int32_t, std::string&>;

class TKvlnCompress : public TComponent {
    KV_CLASS(TKvlnCompress, TComponent)
public:
    static constexpr int FileIdCount = 2000;

    explicit TKvlnCompress(TComponent* Owner);
    ~TKvlnCompress() override;

    // ---- published ----
    bool Abort() const { return FAbort; }
    void SetAbort(bool v) { FAbort = v; }
    const std::string& CompressedFile() const { return FCompressedFile; }
    void SetCompressedFile(const std::string& Value);
    TCompressionLevel CompressionLevel() const { return FCompressionLevel; }
    void SetCompressionLevel(TCompressionLevel v) { FCompressionLevel = v; }
    const std::string& ExtractDirectory() const { return FExtractDirectory; }
    void SetExtractDirectory(const std::string& v) { FExtractDirectory = v; }
    TStrings* FilesToProcess() const { return FFilesToProcess.get(); }
    // Removes the blank entries from Value itself, then copies the rest.
    void SetFilesToProcess(TStrings* Value);
    int32_t Offset() const { return FOffset; }
    void SetOffset(int32_t v) { FOffset = v; }
    TOverwriteType Overwrite() const { return FOverwrite; }
    void SetOverwrite(TOverwriteType v) { FOverwrite = v; }

    TNotifyEvent OnAborted;
    TlzhFileStatsEvent OnAfterAdding;
    TlzhFileStatsEvent OnBeforeAdding;
    TlzhFileStatsEvent OnAfterExtracting;  // raised after each member extracted
    TlzhFileStatsEvent OnBeforeExtracting;
    TNotifyEvent OnFullDisk;
    TlzhFileStatsEvent OnListing;  // declared for definitions; nothing raises it
    TlzhNewDiskEvent OnNewDisk;
    TlzhFileStatsEvent OnReplace;
    TlzhFileStatsEvent OnStatus;

    // ---- public state for callers and handlers ----
    std::string DestFileName;  // name for the next extracted member; empty: its own
    bool SkipFile = false;
    int32_t CurrentDisk = 0;

    int FileCount();
    TlzhFileStats GetFileStats(int Index);
    int IndexOfFileId(int32_t FileId);
    const std::array<int32_t, FileIdCount>& FileIdTable() const { return FFileIdTable; }
    // The table as loaded (FileCount loads it).
    const TFileHeaders& FileHeaders() const { return FHeaders; }

    void Add(TlzhCommand Command, int32_t FileId);
    void Extract();
    void CopyToDisks(const std::string& DestDir, const std::string& DiskFileName);
    void CopyFile(const std::string& Source, std::string Dest);
    // Inflates member Index without writing it anywhere and checks its size.
    void TestFile(int Index);

    // A write came up short: OnFullDisk when assigned, else EkcDiskFull.
    virtual void FullDisk();
    // The compression stream's progress step.
    void AddStatus();

protected:
    // Every file the engine opens or creates goes through here.
    virtual std::unique_ptr<TStream> OpenStream(const std::string& path, uint16_t mode);
    void OpenDisk(std::unique_ptr<TStream>& Stream, int32_t DiskNumber, uint16_t Mode, std::string& FileName);

private:
    enum TMode { kmNone, kmAdding, kmExtracting };

    void ReadHeaders();
    void LoadIfNeeded();
    struct TAddAhead;
    void AddMember(TFileHeader& h, int index, int32_t FileId);
    // Reads the small files to add after Index and has workers compress them,
    // within a memory budget.
    void CompressAhead(int index);
    void RepairAfterFailedAdd();
    struct TExtractAhead;
    void ExtractMember(const std::string& entry, int position);
    std::string Destination() const;
    // Reads members after Position (that lie on the disk open now) and has a worker
    // inflate them, within a memory budget.
    void InflateAhead(int position);
    // Inflates the current member from FArchive into Dest; false when its zlib
    // stream did not end.
    bool Decompress(const THeaderRecord& h, TStream& Dest);
    // Hands N bytes of a member's output to Dest at a progress point: the abort
    // check, messages, the write and OnStatus (N may be 0: the last point).
    void EmitOutput(const THeaderRecord& h, TStream& Dest, const uint8_t* data, int64_t n);
    int64_t ReadMemberInput(const THeaderRecord& h, uint8_t* buffer, int64_t size);
    bool CopyChunk(THeaderRecord& h, TStream& source, std::unique_ptr<TStream>& disk, std::string& folder,
                   const std::string& diskFileName);
    std::string CheckedDiskName(const std::string& folder, const std::string& diskFileName);

    bool FAbort = false;
    std::string FCompressedFile;
    TCompressionLevel FCompressionLevel = colMax;
    std::string FExtractDirectory;
    std::unique_ptr<TStringList> FFilesToProcess;
    int32_t FOffset = 0;
    TOverwriteType FOverwrite = owAlways;

    TFileHeaders FHeaders;
    bool FHeadersLoaded = false;
    TMode FMode = kmNone;
    TlzhFileStats FStats;
    std::unique_ptr<TStream> FArchive;
    int32_t FArchiveDisk = 0;  // while extracting: the disk whose file FArchive holds
    uint32_t FArchiveGeneration = 0;  // changes whenever FArchive or the table may change
    std::unique_ptr<TExtractAhead> FAhead;  // while extracting several members
    std::string FKnownFolder;  // while extracting: the folder a file was last created in
    std::unique_ptr<TAddAhead> FAddAhead;   // while adding several files
    TStream* FSource = nullptr;  // while adding: the file being compressed
    TStream* FDest = nullptr;    // while adding: the temporary file
    std::array<int32_t, FileIdCount> FFileIdTable{};
    // While adding: what the archive holds for certain, to repair it after a failure.
    int FStoredCount = 0;
    int64_t FStoredEnd = 0;
};

}  // namespace kv
