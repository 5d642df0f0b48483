// The archive's header table: one 172-byte record per member, in single-file
// or disk-set layout.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/EKvlnCompress.h"
#include "runtime/Streams.h"

namespace kv {

// One header record. Encode/Decode map it to its 172 bytes, field by field.
struct THeaderRecord {
    static constexpr int Size = 172;
    static constexpr size_t MaxFileName = 100;
    static constexpr size_t MaxFileVersion = 20;

    int32_t FileNumber = 0;
    double FileDate = 0;
    uint8_t EndDisk = 0;
    int32_t LastBytePos = 0;
    std::string FileName;  // at most 100 characters
    int32_t NextHeaderPos = 0;
    int32_t FileSize = 0;
    int32_t DataPos = 0;
    int32_t CompressedSize = 0;
    uint8_t StartDisk = 0;
    int32_t FileId = 0;
    std::string FileVersion;  // at most 20 characters

    void Encode(uint8_t out[Size]) const;
    // False when a string's length byte exceeds its room.
    bool Decode(const uint8_t in[Size]);
};

// The record handed to the engine's events. Totals are 64-bit: the members of
// one archive may well inflate to more than 2 GiB.
struct TlzhFileStats {
    uint8_t FilePercent = 0;
    int32_t FilePosition = 0;
    std::string FileName;
    int32_t CompressedSize = 0;
    uint8_t CompressionRatio = 0;
    int32_t FileSize = 0;
    THeaderRecord Header;
    bool FileDone = false;
    uint8_t TotalPercent = 0;
    int64_t TotalPosition = 0;
    int64_t TotalCompressedSize = 0;
    uint8_t TotalCompressionRatio = 0;
    int64_t TotalSize = 0;
};

// Part over whole times 100, rounded half to even; 0 without a whole. Kept
// within a byte's range.
uint8_t Percentage(int64_t part, int64_t whole);

// The text of a list entry before its first ";".
std::string EntryPath(const std::string& entry);

class TFileHeader {
public:
    bool InArchive = false;
    THeaderRecord HeaderRecord;

    bool IsValid() const;
    void FillFromFile(const std::string& entry);
    void LoadFromStream(TStream& stream);
    void SaveToStream(TStream& stream) const;
    void ToStats(TlzhFileStats& stats) const;
};

class TFileHeaders {
public:
    uint8_t MultiDisk = 0;

    int Count() const { return static_cast<int>(FItems.size()); }
    // The writable entry; its sizes may change, so the cached sums are dropped.
    TFileHeader& GetFileHeaders(int index);
    const TFileHeader& GetFileHeaders(int index) const;
    void Add(std::unique_ptr<TFileHeader> header);
    void Clear();
    void AddFiles(const std::vector<std::string>& list, bool append);
    // The first entry carrying the entry's name; Hint, the index most likely to, is
    // tried first.
    int IndexOf(const std::string& entry, int hint = -1) const;
    void InitStats(TlzhFileStats& stats) const;
    void SumSizes(TlzhFileStats& stats) const;
    // Follows NextHeaderPos from record to record; rejects counts and positions
    // that cannot belong to the stream.
    void LoadFromStream(TStream& stream, int64_t base);
    void SaveToStream(TStream& stream);

private:
    void CheckIndex(int index) const;

    std::vector<std::unique_ptr<TFileHeader>> FItems;
    // Sums of FileSize and CompressedSize; every extraction asks for them.
    mutable bool FSumsValid = false;
    mutable int64_t FTotalSize = 0, FTotalCompressedSize = 0;
    // Open-addressed hash of the names (ASCII case folded) to the index of the
    // first entry carrying each; built on demand, empty when not built.
    mutable std::vector<int32_t> FIndex;
    mutable bool FDuplicates = false;  // some name is carried by more than one entry
    void BuildIndex() const;
    void IndexInsert(int index) const;
};

}  // namespace kv
