#include "platform/PEImage.h"

#include <cstring>
#include <vector>

#include "platform/FileStream.h"

namespace kv {

namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

constexpr uint32_t RT_VERSION = 16;
constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint32_t kMaxBlock = 65536;  // VS_VERSIONINFO's length is one WORD

struct TSection {
    uint32_t va, virtualSize, rawSize, rawPtr;
};

class TImageReader {
public:
    explicit TImageReader(TStream& s) : FS(s), FSize(s.Size()) {}

    bool ReadAt(uint64_t offset, void* buf, uint32_t len) {
        if (FSize < 0 || offset > static_cast<uint64_t>(FSize) || len > static_cast<uint64_t>(FSize) - offset)
            return false;
        if (FS.Seek(static_cast<int64_t>(offset), soBeginning) != static_cast<int64_t>(offset)) return false;
        return FS.Read(buf, len) == len;
    }

    bool LoadHeaders() {
        uint8_t dos[64];
        if (!ReadAt(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
        uint64_t pe = U32(dos + 0x3C);
        uint8_t coff[24];
        if (!ReadAt(pe, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0) return false;
        uint16_t sections = U16(coff + 6);
        uint16_t optSize = U16(coff + 20);
        if (sections == 0 || sections > 96 || optSize < 96) return false;
        std::vector<uint8_t> opt(optSize);
        if (!ReadAt(pe + 24, opt.data(), optSize)) return false;
        size_t countAt, dirAt;
        switch (U16(opt.data())) {
            case 0x10B: countAt = 92, dirAt = 96; break;    // PE32
            case 0x20B: countAt = 108, dirAt = 112; break;  // PE32+
            default: return false;
        }
        if (U32(opt.data() + countAt) < 3 || dirAt + 3 * 8 > optSize) return false;
        FResRva = U32(opt.data() + dirAt + 2 * 8);
        if (FResRva == 0 || U32(opt.data() + dirAt + 2 * 8 + 4) == 0) return false;
        std::vector<uint8_t> table(sections * 40u);
        if (!ReadAt(pe + 24 + optSize, table.data(), static_cast<uint32_t>(table.size()))) return false;
        for (uint16_t i = 0; i < sections; ++i) {
            const uint8_t* h = table.data() + i * 40;
            FSections.push_back({U32(h + 12), U32(h + 8), U32(h + 16), U32(h + 20)});
        }
        return true;
    }

    // Reads Len bytes at an RVA; they must lie in one section's file data.
    bool ReadRva(uint64_t rva, void* buf, uint32_t len) {
        for (const TSection& s : FSections) {
            if (rva < s.va) continue;
            uint64_t delta = rva - s.va;
            if (delta + len > s.rawSize) continue;
            return ReadAt(static_cast<uint64_t>(s.rawPtr) + delta, buf, len);
        }
        return false;
    }

    // One resource directory: the target of the entry with the wanted id; without
    // one, the first entry unless Strict. Id < 0 takes the first entry.
    bool Pick(uint32_t dirOffset, int64_t id, bool strict, bool wantSubdir, uint32_t& target) {
        uint8_t dir[16];
        if (!ReadRva(static_cast<uint64_t>(FResRva) + dirOffset, dir, sizeof dir)) return false;
        uint32_t n = U16(dir + 12) + U16(dir + 14);
        if (n == 0) return false;
        std::vector<uint8_t> entries(n * 8u);
        if (!ReadRva(static_cast<uint64_t>(FResRva) + dirOffset + 16, entries.data(), n * 8u)) return false;
        const uint8_t* chosen = nullptr;
        for (uint32_t i = 0; i < n && id >= 0; ++i) {
            const uint8_t* e = entries.data() + i * 8;
            if (static_cast<int64_t>(U32(e)) == id) {
                chosen = e;
                break;
            }
        }
        if (!chosen && strict) return false;
        if (!chosen) chosen = entries.data();
        uint32_t off = U32(chosen + 4);
        if (((off & kSubdirectory) != 0) != wantSubdir) return false;
        target = off & ~kSubdirectory;
        return true;
    }

    bool VersionBlock(std::string& out) {
        // Exactly three levels (type, name, language) are followed, so directory
        // offsets that point back at a parent cannot make the walk loop.
        uint32_t types, names, langs;
        if (!Pick(0, RT_VERSION, true, true, types)) return false;
        if (!Pick(types, 1, false, true, names)) return false;
        if (!Pick(names, -1, false, false, langs)) return false;
        uint8_t data[16];
        if (!ReadRva(static_cast<uint64_t>(FResRva) + langs, data, sizeof data)) return false;
        uint32_t rva = U32(data), size = U32(data + 4);
        if (size < 6) return false;
        uint32_t len = size < kMaxBlock ? size : kMaxBlock;
        std::string block(len, '\0');
        if (!ReadRva(rva, block.data(), len)) return false;
        uint16_t wLength = U16(reinterpret_cast<const uint8_t*>(block.data()));
        if (wLength < 6 || wLength > len) return false;
        block.resize(wLength);
        out = std::move(block);
        return true;
    }

private:
    TStream& FS;
    int64_t FSize;
    uint32_t FResRva = 0;
    std::vector<TSection> FSections;
};

// One node of the version block: length, value length, type, key, value, children.
struct TNode {
    size_t end = 0;
    std::string key;  // ASCII-folded key; other characters kept as '?'
    size_t value = 0, valueBytes = 0;
    bool text = false;
    size_t children = 0;
};

size_t Align4(size_t v) { return (v + 3) & ~static_cast<size_t>(3); }

bool ParseNode(const uint8_t* b, size_t p, size_t limit, TNode& n) {
    if (p + 6 > limit) return false;
    size_t len = U16(b + p);
    if (len < 6 || p + len > limit) return false;
    n.end = p + len;
    uint16_t valueLength = U16(b + p + 2);
    n.text = U16(b + p + 4) == 1;
    n.key.clear();
    size_t q = p + 6;
    for (;; q += 2) {
        if (q + 2 > n.end) return false;
        uint16_t c = U16(b + q);
        if (c == 0) break;
        n.key += c < 128 ? static_cast<char>(c) : '?';
    }
    n.value = Align4(q + 2);
    if (n.value > n.end) n.value = n.end;
    n.valueBytes = n.text ? valueLength * 2u : valueLength;
    if (n.valueBytes > n.end - n.value) n.valueBytes = n.end - n.value;
    n.children = Align4(n.value + n.valueBytes);
    return true;
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// UTF-16 text up to its first zero, in the ANSI code page.
std::string WideToAnsi(const uint8_t* p, size_t bytes) {
    std::string utf8;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        uint32_t c = U16(p + i);
        if (c == 0) break;
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes) {
            uint32_t lo = U16(p + i + 2);
            if (lo >= 0xDC00 && lo < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(utf8, c);
    }
    return Utf8ToAnsi(utf8);
}

bool ReadFileBlock(const std::string& fileName, std::string& block) {
    try {
        TFileStream s(fileName, fmOpenRead | fmShareDenyWrite);
        return ReadVersionResource(s, block);
    } catch (const Exception&) {
        return false;
    }
}

}  // namespace

bool ReadVersionResource(TStream& image, std::string& block) {
    try {
        TImageReader r(image);
        return r.LoadHeaders() && r.VersionBlock(block);
    } catch (const Exception&) {
        return false;
    }
}

uint32_t GetFileVersionInfoSizeA(const std::string& fileName, uint32_t* handle) {
    if (handle) *handle = 0;
    std::string block;
    if (!ReadFileBlock(fileName, block)) return 0;
    return static_cast<uint32_t>(block.size() * 2);
}

bool GetFileVersionInfoA(const std::string& fileName, uint32_t, uint32_t len, void* data) {
    std::string block;
    if (!data || !ReadFileBlock(fileName, block) || len < block.size() * 2) return false;
    std::memset(data, 0, block.size() * 2);
    std::memcpy(data, block.data(), block.size());
    return true;
}

bool VerQueryValueA(void* block, const std::string& subBlock, void** buffer, uint32_t* len) {
    if (!block || !buffer || !len) return false;
    auto* b = static_cast<uint8_t*>(block);
    TNode node;
    size_t total = U16(b);
    if (!ParseNode(b, 0, total, node)) return false;
    std::vector<std::string> parts;
    std::string part;
    for (char c : subBlock + "\\") {
        if (c != '\\' && c != '/') {
            part += c;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    for (const std::string& want : parts) {
        TNode child;
        bool found = false;
        for (size_t q = node.children; q < node.end; q = Align4(child.end)) {
            if (!ParseNode(b, q, node.end, child)) break;
            if (SameText(child.key, want)) {
                found = true;
                break;
            }
        }
        if (!found) return false;
        node = child;
    }
    if (node.valueBytes == 0) return false;
    if (!parts.empty() && SameText(parts[0], "StringFileInfo")) {
        // The ANSI copy goes to the mirror position in the second half, which
        // the wide original (two bytes a character) always leaves room for.
        std::string ansi = WideToAnsi(b + node.value, node.valueBytes);
        char* out = reinterpret_cast<char*>(b + total + node.value);
        std::memcpy(out, ansi.c_str(), ansi.size() + 1);
        *buffer = out;
        *len = static_cast<uint32_t>(ansi.size() + 1);
        return true;
    }
    *buffer = b + node.value;
    *len = static_cast<uint32_t>(node.valueBytes);
    return true;
}

}  // namespace kv
