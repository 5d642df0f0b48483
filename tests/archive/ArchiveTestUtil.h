// Helpers shared by the archive tests: a scratch folder, files with known bytes
// and dates, and header records composed byte by byte.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/Paths.h"
#include "runtime/SysUtils.h"
#include "tests/platform/TempMachine.h"

namespace kv::test {

// Windows separators for a path written with "/".
inline std::string Win(std::string p) {
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

// A fresh emulated machine; Path() is the folder C:\work on it.
class TScratchDir {
public:
    TScratchDir() { std::filesystem::create_directories(HostPath(Path())); }
    std::string operator/(const std::string& name) const { return Path() + "\\" + Win(name); }
    std::string Path() const { return "C:\\work"; }
    const TempMachine& Machine() const { return FMachine; }

    // Drive A: holds at most Bytes (a multiple of its 512-byte clusters).
    void SetFloppyCapacity(int64_t bytes) const {
        std::string ini = FMachine.Read("machine.ini");
        size_t at = ini.find("A=removable,drive_a,");
        ini.replace(at, ini.find("\r\n", at) - at, "A=removable,drive_a," + std::to_string(bytes));
        FMachine.Write("machine.ini", ini);
        UseMachine(FMachine.Dir);
    }
    std::string FloppyHost() const { return FMachine.Host("drive_a"); }

private:
    TempMachine FMachine;
};

inline void WriteFile(const std::string& path, const std::string& data) {
    std::string host = HostPath(path);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::ofstream(host, std::ios::binary) << data;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream f(HostPath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(HostPath(path)); }

inline void SetMTime(const std::string& path, TDateTime d) {
    auto t = std::filesystem::file_time_type::clock::from_sys(
        std::chrono::sys_seconds(std::chrono::seconds(DateTimeToUnix(d))));
    std::filesystem::last_write_time(HostPath(path), t);
}

inline std::string RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

inline std::string TextBytes(size_t n, uint32_t seed) {
    static const char* const words[] = {"setup ", "archive ", "disk ", "file ", "version ", "\r\n"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) s += words[rng() % 6];
    s.resize(n);
    return s;
}

inline std::string Inflate(const std::string& z) {
    std::string out(1 << 16, '\0');
    z_stream s{};
    inflateInit(&s);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(z.data()));
    s.avail_in = static_cast<uInt>(z.size());
    std::string result;
    int rc;
    do {
        s.next_out = reinterpret_cast<Bytef*>(out.data());
        s.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&s, Z_NO_FLUSH);
        result.append(out.data(), out.size() - s.avail_out);
    } while (rc == Z_OK);
    inflateEnd(&s);
    EXPECT_EQ(rc, Z_STREAM_END);
    return result;
}

inline std::string Deflate(const std::string& data, int level = 9) {
    uLongf n = compressBound(static_cast<uLong>(data.size()));
    std::string out(n, '\0');
    z_stream s{};
    deflateInit2(&s, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    s.avail_in = static_cast<uInt>(data.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// Little-endian pieces for composing archives by hand.
inline std::string I32(int32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(static_cast<uint32_t>(v) >> (8 * i));
    return s;
}
inline std::string F64(double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(b >> (8 * i));
    return s;
}
inline std::string Short(const std::string& v, size_t room) {
    std::string s(1 + room, '\0');
    s[0] = static_cast<char>(v.size());
    s.replace(1, v.size(), v);
    return s;
}

struct TRawRecord {
    int32_t FileNumber = 1;
    double FileDate = 0;
    uint8_t EndDisk = 0;
    int32_t LastBytePos = 0;
    std::string FileName = "a.txt";
    int32_t NextHeaderPos = 0;
    int32_t FileSize = 0;
    int32_t DataPos = 0;
    int32_t CompressedSize = 0;
    uint8_t StartDisk = 0;
    int32_t FileId = 0;
    std::string FileVersion;

    // The 172 bytes exactly as the layout table lists them.
    std::string Bytes() const {
        std::string s = I32(FileNumber) + F64(FileDate) + std::string(1, static_cast<char>(EndDisk)) +
                        std::string(3, '\0') + I32(LastBytePos) + Short(FileName, 100) + std::string(3, '\0') +
                        I32(NextHeaderPos) + I32(FileSize) + I32(DataPos) + I32(CompressedSize) +
                        std::string(1, static_cast<char>(StartDisk)) + std::string(3, '\0') + I32(FileId) +
                        Short(FileVersion, 20) + std::string(3, '\0');
        EXPECT_EQ(s.size(), 172u);
        return s;
    }
};

// A single-file archive of the given members (name, contents), composed by hand.
struct TComposedMember {
    TComposedMember(std::string n, std::string d, std::string v = "", int32_t i = 0, double t = 0)
        : name(std::move(n)), data(std::move(d)), version(std::move(v)), id(i), date(t) {}
    std::string name, data, version;
    int32_t id;
    double date;
};
inline std::string ComposeArchive(const std::vector<TComposedMember>& members) {
    std::string a = I32(static_cast<int32_t>(members.size())) + std::string(1, '\0');
    int32_t number = 0;
    for (const auto& m : members) {
        std::string z = Deflate(m.data);
        TRawRecord r;
        r.FileNumber = ++number;
        r.FileDate = m.date;
        r.FileName = m.name;
        r.FileSize = static_cast<int32_t>(m.data.size());
        r.DataPos = static_cast<int32_t>(a.size() + 172);
        r.CompressedSize = static_cast<int32_t>(z.size());
        r.LastBytePos = r.DataPos + r.CompressedSize - 1;
        r.NextHeaderPos = r.LastBytePos + 1;
        r.FileId = m.id;
        r.FileVersion = m.version;
        a += r.Bytes() + z;
    }
    return a;
}

}  // namespace kv::test
