#include "runtime/Streams.h"

#include <cstring>

namespace kv {

int64_t TStream::GetSize() {
    int64_t pos = Seek(0, soCurrent);
    int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count < 0 || Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count < 0 || Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<char> buf(static_cast<size_t>(std::min<int64_t>(count, 61440) + 1));
    int64_t done = 0;
    while (done < count) {
        int64_t n = std::min<int64_t>(count - done, static_cast<int64_t>(buf.size()));
        source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        done += n;
    }
    return done;
}

uint8_t TStream::ReadU8() {
    uint8_t b;
    ReadBuffer(&b, 1);
    return b;
}

uint16_t TStream::ReadU16() {
    uint8_t b[2];
    ReadBuffer(b, 2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t TStream::ReadU32() {
    uint8_t b[4];
    ReadBuffer(b, 4);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

uint64_t TStream::ReadU64() {
    uint64_t lo = ReadU32();
    uint64_t hi = ReadU32();
    return lo | (hi << 32);
}

double TStream::ReadDouble() {
    uint64_t bits = ReadU64();
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

void TStream::WriteU8(uint8_t v) { WriteBuffer(&v, 1); }

void TStream::WriteU16(uint16_t v) {
    uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    WriteBuffer(b, 2);
}

void TStream::WriteU32(uint32_t v) {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)};
    WriteBuffer(b, 4);
}

void TStream::WriteU64(uint64_t v) {
    WriteU32(static_cast<uint32_t>(v));
    WriteU32(static_cast<uint32_t>(v >> 32));
}

void TStream::WriteDouble(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    WriteU64(bits);
}

std::string TStream::ReadString(int64_t count) {
    if (count < 0) throw EReadError("Stream read error");
    std::string s;
    // Grow as data arrives so a bogus count cannot force a huge allocation.
    const int64_t chunk = 65536;
    while (static_cast<int64_t>(s.size()) < count) {
        int64_t n = std::min(chunk, count - static_cast<int64_t>(s.size()));
        size_t old = s.size();
        s.resize(old + static_cast<size_t>(n));
        ReadBuffer(s.data() + old, n);
    }
    return s;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || FPos >= static_cast<int64_t>(FData.size())) return 0;
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(FData.size()) - FPos);
    std::memcpy(buffer, FData.data() + FPos, static_cast<size_t>(n));
    FPos += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    if (FPos + count > static_cast<int64_t>(FData.size())) FData.resize(static_cast<size_t>(FPos + count));
    std::memcpy(FData.data() + FPos, buffer, static_cast<size_t>(count));
    FPos += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPos : static_cast<int64_t>(FData.size());
    int64_t p = base + offset;
    if (p < 0) throw EStreamError("Invalid stream position");
    FPos = p;
    return FPos;
}

void TMemoryStream::SetSize(int64_t size) {
    if (size < 0) throw EStreamError("Invalid stream size");
    FData.resize(static_cast<size_t>(size));
    if (FPos > size) FPos = size;
}

}  // namespace kv
