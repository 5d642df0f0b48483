#include "archive/TFileHeaders.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/FileStream.h"
#include "platform/Files.h"
#include "objects/cmp_TVersion.h"

namespace kv {

namespace {

const char* const kReadHeadersError =
    "Could not read the file headers for the compressed file. The Archive file could possible be corrupt";
const char* const kWriteHeadersError = "Could not write the file headers for the compressed file";

void PutI32(uint8_t* p, int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}
int32_t GetI32(const uint8_t* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int32_t>(u);
}
void PutShortString(uint8_t* p, const std::string& s, size_t room) {
    size_t n = std::min(s.size(), room);
    p[0] = static_cast<uint8_t>(n);
    std::memcpy(p + 1, s.data(), n);
}
bool GetShortString(const uint8_t* p, std::string& s, size_t room) {
    if (p[0] > room) return false;
    s.assign(reinterpret_cast<const char*>(p + 1), p[0]);
    return true;
}

// Eight bytes with their ASCII capitals made small: a byte below 0x80 that is at
// least 'A' and at most 'Z' gets bit 5.
uint64_t FoldAscii(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = ones * 0x80;
    const uint64_t low7 = w & ~highs;
    const uint64_t atLeastA = low7 + ones * (0x80 - 'A'), aboveZ = low7 + ones * (0x80 - 'Z' - 1);
    return w | ((atLeastA & ~aboveZ & ~w & highs) >> 2);
}

// A hash of a name that ignores the case of ASCII letters (as SameName compares),
// taken eight bytes at a time.
uint32_t NameHash(std::string_view s) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = (h ^ FoldAscii(w)) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    uint64_t w = 0;
    std::memcpy(&w, s.data() + i, s.size() - i);
    h = (h ^ FoldAscii(w)) * 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 29;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// CompareText(a, b) == 0 without copies.
bool SameName(const std::string& a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (std::memcmp(a.data(), b.data(), b.size()) == 0) return true;  // mostly spelt alike
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; };
    for (size_t i = 0; i < b.size(); ++i)
        if (up(a[i]) != up(b[i])) return false;
    return true;
}

std::string_view EntryName(const std::string& entry) {
    return std::string_view(entry).substr(0, entry.find(';'));
}

}  // namespace

void THeaderRecord::Encode(uint8_t out[Size]) const {
    std::memset(out, 0, Size);
    PutI32(out + 0, FileNumber);
    uint64_t bits;
    std::memcpy(&bits, &FileDate, 8);
    for (int i = 0; i < 8; ++i) out[4 + i] = static_cast<uint8_t>(bits >> (8 * i));
    out[12] = EndDisk;
    PutI32(out + 16, LastBytePos);
    PutShortString(out + 20, FileName, MaxFileName);
    PutI32(out + 124, NextHeaderPos);
    PutI32(out + 128, FileSize);
    PutI32(out + 132, DataPos);
    PutI32(out + 136, CompressedSize);
    out[140] = StartDisk;
    PutI32(out + 144, FileId);
    PutShortString(out + 148, FileVersion, MaxFileVersion);
}

bool THeaderRecord::Decode(const uint8_t in[Size]) {
    FileNumber = GetI32(in + 0);
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(in[4 + i]) << (8 * i);
    std::memcpy(&FileDate, &bits, 8);
    EndDisk = in[12];
    LastBytePos = GetI32(in + 16);
    NextHeaderPos = GetI32(in + 124);
    FileSize = GetI32(in + 128);
    DataPos = GetI32(in + 132);
    CompressedSize = GetI32(in + 136);
    StartDisk = in[140];
    FileId = GetI32(in + 144);
    return GetShortString(in + 20, FileName, MaxFileName) && GetShortString(in + 148, FileVersion, MaxFileVersion);
}

uint8_t Percentage(int64_t part, int64_t whole) {
    if (whole == 0) return 0;
    int64_t r = Round(static_cast<double>(part) / static_cast<double>(whole) * 100.0);
    return static_cast<uint8_t>(std::clamp<int64_t>(r, 0, 255));
}

std::string EntryPath(const std::string& entry) { return std::string(EntryName(entry)); }

// ---- TFileHeader ----------------------------------------------------------------

bool TFileHeader::IsValid() const { return !IsBlank(HeaderRecord.FileName); }

void TFileHeader::FillFromFile(const std::string& entry) {
    HeaderRecord.FileName = EntryPath(entry).substr(0, THeaderRecord::MaxFileName);
    const std::string& name = HeaderRecord.FileName;
    std::unique_ptr<TFileStream> file;
    try {
        file = std::make_unique<TFileStream>(name, fmOpenRead | fmShareDenyNone);
    } catch (const Exception&) {
        throw EKvlnCompress("Cannot open the file %s", {name});
    }
    TDateTime date = 0;
    TryFileDateToDateTime(FileGetDate(file->Handle()), date);
    HeaderRecord.FileDate = date;
    int64_t size = file->Size();
    if (size < 0 || size > INT32_MAX) throw EKvlnCompress("The file %s is too large for an archive", {name});
    HeaderRecord.FileSize = static_cast<int32_t>(size);
    // Only a program image ("MZ") can carry a version resource; asking the
    // version reader about any other file would only open it once more.
    char magic[2] = {};
    bool image = file->Read(magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
    file.reset();
    HeaderRecord.FileVersion = image ? FileVersionOf(name).substr(0, THeaderRecord::MaxFileVersion) : "";
}

void TFileHeader::LoadFromStream(TStream& stream) {
    uint8_t raw[THeaderRecord::Size];
    if (stream.Read(raw, sizeof raw) != sizeof raw || !HeaderRecord.Decode(raw))
        throw EKvlnCompress(kReadHeadersError);
    InArchive = true;
}

void TFileHeader::SaveToStream(TStream& stream) const {
    uint8_t raw[THeaderRecord::Size];
    HeaderRecord.Encode(raw);
    if (stream.Write(raw, sizeof raw) != sizeof raw) throw EKvlnCompress(kWriteHeadersError);
}

void TFileHeader::ToStats(TlzhFileStats& stats) const {
    stats.FileName = HeaderRecord.FileName;
    stats.FileSize = HeaderRecord.FileSize;
    stats.CompressedSize = HeaderRecord.CompressedSize;
    stats.CompressionRatio = Percentage(HeaderRecord.CompressedSize, HeaderRecord.FileSize);
    stats.FilePercent = 0;
    stats.FilePosition = 0;
    stats.FileDone = false;
    stats.Header = HeaderRecord;
}

// ---- TFileHeaders ---------------------------------------------------------------

void TFileHeaders::CheckIndex(int index) const {
    if (index < 0 || index >= Count())
        throw EKvlnCompress("%d is an invalid TFileHeader index in TFileHeaders.GetFileHeaders", {index});
}

TFileHeader& TFileHeaders::GetFileHeaders(int index) {
    CheckIndex(index);
    FSumsValid = false;
    return *FItems[static_cast<size_t>(index)];
}

const TFileHeader& TFileHeaders::GetFileHeaders(int index) const {
    CheckIndex(index);
    return *FItems[static_cast<size_t>(index)];
}

void TFileHeaders::Add(std::unique_ptr<TFileHeader> header) {
    if (!header || !header->IsValid()) throw EKvlnCompress("Tried to add an invalid file header");
    FItems.push_back(std::move(header));
    if (FItems.size() * 2 > FIndex.size()) FIndex.clear();  // rebuilt, larger, when next asked
    else IndexInsert(Count() - 1);
    FSumsValid = false;
}

void TFileHeaders::Clear() {
    FItems.clear();
    FIndex.clear();
    FSumsValid = false;
}

void TFileHeaders::AddFiles(const std::vector<std::string>& list, bool append) {
    if (!append) Clear();
    int number = 0;
    for (const std::string& entry : list) {
        auto header = std::make_unique<TFileHeader>();
        header->FillFromFile(entry);
        header->HeaderRecord.FileNumber = ++number;
        Add(std::move(header));
    }
}

void TFileHeaders::IndexInsert(int index) const {
    const std::string& name = FItems[static_cast<size_t>(index)]->HeaderRecord.FileName;
    size_t mask = FIndex.size() - 1;
    for (size_t p = NameHash(name) & mask;; p = (p + 1) & mask) {
        int32_t at = FIndex[p];
        if (at < 0) {
            FIndex[p] = index;
            return;
        }
        if (SameName(FItems[static_cast<size_t>(at)]->HeaderRecord.FileName, name)) {
            FDuplicates = true;
            return;
        }
    }
}

void TFileHeaders::BuildIndex() const {
    if (!FIndex.empty()) return;
    size_t size = 16;
    while (size < FItems.size() * 2) size *= 2;
    FIndex.assign(size, -1);
    FDuplicates = false;
    for (int i = 0; i < Count(); ++i) IndexInsert(i);
}

int TFileHeaders::IndexOf(const std::string& entry, int hint) const {
    if (FItems.empty()) return -1;
    BuildIndex();
    std::string_view name = EntryName(entry);
    // Lists mostly name the members in their order: the likely one is tried first.
    // It is the answer only while no name is stored twice (else the first one is).
    if (!FDuplicates && hint >= 0 && hint < Count() &&
        SameName(FItems[static_cast<size_t>(hint)]->HeaderRecord.FileName, name))
        return hint;
    size_t mask = FIndex.size() - 1;
    for (size_t p = NameHash(name) & mask; FIndex[p] >= 0; p = (p + 1) & mask)
        if (SameName(FItems[static_cast<size_t>(FIndex[p])]->HeaderRecord.FileName, name)) return FIndex[p];
    return -1;
}

void TFileHeaders::SumSizes(TlzhFileStats& stats) const {
    if (!FSumsValid) {
        FTotalSize = FTotalCompressedSize = 0;
        for (const auto& h : FItems) {
            FTotalSize += h->HeaderRecord.FileSize;
            FTotalCompressedSize += h->HeaderRecord.CompressedSize;
        }
        FSumsValid = true;
    }
    stats.TotalSize = FTotalSize;
    stats.TotalCompressedSize = FTotalCompressedSize;
}

void TFileHeaders::InitStats(TlzhFileStats& stats) const {
    stats.TotalPosition = 0;
    stats.TotalPercent = 0;
    stats.FileDone = false;
    SumSizes(stats);
    stats.TotalCompressionRatio = Percentage(stats.TotalCompressedSize, stats.TotalSize);
}

namespace {

// Reads the records through a window of the stream: they lie between the members'
// data, and with small members one read serves many of them.
class TRecordReader {
public:
    explicit TRecordReader(TStream& stream) : FStream(stream) {}

    bool Read(int64_t at, uint8_t (&raw)[THeaderRecord::Size]) {
        const int64_t n = THeaderRecord::Size;
        if (at < FAt || at + n > FAt + static_cast<int64_t>(FBuffer.size())) {
            FBuffer.resize(kWindow);
            if (FStream.Seek(at, soBeginning) != at) return false;
            int64_t got = FStream.Read(FBuffer.data(), kWindow);
            FBuffer.resize(static_cast<size_t>(std::max<int64_t>(got, 0)));
            FAt = at;
            if (got < n) return false;
        }
        std::memcpy(raw, FBuffer.data() + (at - FAt), n);
        return true;
    }

private:
    static constexpr int64_t kWindow = 16 << 10;
    TStream& FStream;
    std::vector<uint8_t> FBuffer;
    int64_t FAt = 0;
};

}  // namespace

void TFileHeaders::LoadFromStream(TStream& stream, int64_t base) {
    Clear();
    int64_t size = stream.Size();
    if (base < 0 || stream.Seek(base, soBeginning) != base)
        throw EKvlnCompress("Could not read the file header count for the compressed file");
    uint8_t preamble[5];
    if (stream.Read(preamble, 4) != 4 || stream.Read(preamble + 4, 1) != 1)
        throw EKvlnCompress("Could not read the file header count for the compressed file");
    int32_t count = GetI32(preamble);
    MultiDisk = preamble[4];
    if (count < 0) throw EKvlnCompress("The header count %d of the compressed file is negative", {count});
    int64_t p = base + 5;
    FItems.reserve(static_cast<size_t>(std::min<int64_t>(count, std::max<int64_t>(0, size - p) / THeaderRecord::Size)));
    TRecordReader reader(stream);
    for (int32_t i = 0; i < count; ++i) {
        auto header = std::make_unique<TFileHeader>();
        uint8_t raw[THeaderRecord::Size];
        if (!reader.Read(p, raw) || !header->HeaderRecord.Decode(raw)) throw EKvlnCompress(kReadHeadersError);
        header->InArchive = true;
        const THeaderRecord& r = header->HeaderRecord;
        // Records only ever follow one another, so each next position lies behind
        // the record and inside the stream; that also bounds the count.
        int64_t next = base + r.NextHeaderPos;
        if (next < p + THeaderRecord::Size || next > size)
            throw EKvlnCompress("The file header %d of the compressed file points outside the file", {i + 1});
        bool sane = r.FileSize >= 0 && r.CompressedSize >= 0 && r.DataPos >= 0 && r.LastBytePos >= -1;
        if (MultiDisk == 0)
            sane = sane && r.LastBytePos >= r.DataPos - 1 && base + r.LastBytePos < size;
        else
            sane = sane && r.StartDisk >= 1 && r.StartDisk <= r.EndDisk &&
                   (r.StartDisk < r.EndDisk || r.LastBytePos >= r.DataPos - 1);
        if (!sane)
            throw EKvlnCompress("The file header %d of the compressed file has data positions outside the file", {i + 1});
        p = next;
        Add(std::move(header));
    }
}

void TFileHeaders::SaveToStream(TStream& stream) {
    stream.SetPosition(0);
    uint8_t preamble[5];
    PutI32(preamble, Count());
    preamble[4] = MultiDisk;
    if (stream.Write(preamble, 4) != 4 || stream.Write(preamble + 4, 1) != 1)
        throw EKvlnCompress(kWriteHeadersError);
    if (MultiDisk == 0) return;
    for (auto& h : FItems) {
        h->HeaderRecord.NextHeaderPos = static_cast<int32_t>(stream.Position() + THeaderRecord::Size);
        h->SaveToStream(stream);
    }
}

}  // namespace kv
