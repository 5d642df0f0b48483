#include "forms/Graphics.h"

#include <algorithm>
#include <cstring>

#include "resources/Resources.h"
#include "runtime/Streaming.h"

namespace kv {

KV_REGISTER_CLASS(TGraphic, TPersistent) {}
KV_REGISTER_CLASS(TBitmap, TGraphic) {}
KV_REGISTER_CLASS(TPicture, TPersistent) {}

// ---- TGraphic ------------------------------------------------------------------------------

void TGraphic::LoadFromFile(const std::string& path) {
    auto s = OpenFileStream(path, false);
    LoadFromStream(*s);
}

void TGraphic::SaveToFile(const std::string& path) const {
    auto s = OpenFileStream(path, true);
    SaveToStream(*s);
}

void TGraphic::ReadData(TStream& s) {
    uint32_t size = s.ReadU32();
    int64_t left = s.Size() - s.Position();
    if (size > left)
        throw EReadError("Picture data is truncated: the %s needs %u bytes, %d are left", {ClassName(), size, left});
    TMemoryStream data(s.ReadString(size));
    LoadFromStream(data);
}

void TGraphic::WriteData(TStream& s) const {
    TMemoryStream data;
    SaveToStream(data);
    s.WriteU32(static_cast<uint32_t>(data.Size()));
    s.WriteString(data.Data());
}

// ---- BMP files -----------------------------------------------------------------------------

int BitsPerPixel(TPixelFormat pf) {
    static const int bits[] = {1, 4, 8, 24, 32};
    return bits[pf];
}

namespace {

constexpr int32_t kMaxDimension = 32768;
// An RLE file may leave most of its pixels out; this bounds what a small file can ask for.
constexpr int64_t kMaxRlePixels = int64_t{1} << 24;
constexpr uint32_t kFileHeaderSize = 14, kInfoHeaderSize = 40;
enum : uint32_t { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

[[noreturn]] void Invalid(const std::string& why) { throw EInvalidGraphic("Bitmap image is not valid: " + why); }

TPixelFormat FormatOfBits(uint32_t bits) {
    switch (bits) {
    case 1: return pf1bit;
    case 4: return pf4bit;
    case 8: return pf8bit;
    case 24: return pf24bit;
    case 32: return pf32bit;
    }
    Invalid(Format("%u bits per pixel are not supported", {bits}));
}

int64_t RowStride(int32_t width, int bits) { return (static_cast<int64_t>(width) * bits + 31) / 32 * 4; }

std::vector<TColor> StandardPalette(TPixelFormat pf) {
    switch (pf) {
    case pf1bit: return {clBlack, clWhite};
    case pf4bit:
        return {RGB(0, 0, 0),     RGB(128, 0, 0),   RGB(0, 128, 0),   RGB(128, 128, 0),
                RGB(0, 0, 128),   RGB(128, 0, 128), RGB(0, 128, 128), RGB(192, 192, 192),
                RGB(128, 128, 128), RGB(255, 0, 0), RGB(0, 255, 0),   RGB(255, 255, 0),
                RGB(0, 0, 255),   RGB(255, 0, 255), RGB(0, 255, 255), RGB(255, 255, 255)};
    case pf8bit: {
        std::vector<TColor> p;
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b) p.push_back(RGB(r * 51, g * 51, b * 51));
        for (int i = 1; i <= 40; ++i) p.push_back(RGB(i * 255 / 41, i * 255 / 41, i * 255 / 41));
        return p;
    }
    default: return {};
    }
}

uint8_t Nearest(const std::vector<TColor>& palette, TColor c) {
    int best = 0;
    int64_t bestDist = INT64_MAX;
    for (size_t i = 0; i < palette.size() && bestDist > 0; ++i) {
        int dr = GetRValue(c) - GetRValue(palette[i]), dg = GetGValue(c) - GetGValue(palette[i]),
            db = GetBValue(c) - GetBValue(palette[i]);
        int64_t d = dr * dr + dg * dg + db * db;
        if (d < bestDist) bestDist = d, best = static_cast<int>(i);
    }
    return static_cast<uint8_t>(best);
}

// Little-endian fields of a file in memory; reading past the end is a truncated file.
class TBytes {
public:
    explicit TBytes(const std::string& s) : FData(reinterpret_cast<const uint8_t*>(s.data())), FSize(s.size()) {}
    size_t Size() const { return FSize; }
    const uint8_t* At(size_t pos, size_t count) const {
        if (pos > FSize || count > FSize - pos) Invalid("the file is truncated");
        return FData + pos;
    }
    uint8_t U8(size_t pos) const { return *At(pos, 1); }
    uint16_t U16(size_t pos) const {
        const uint8_t* p = At(pos, 2);
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    uint32_t U32(size_t pos) const {
        const uint8_t* p = At(pos, 4);
        return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }

private:
    const uint8_t* FData;
    size_t FSize;
};

// Decodes a BMP file into a bitmap's fields.
struct TBmpDecoder {
    explicit TBmpDecoder(const TBytes& f) : F(f) {}
    const TBytes& F;
    int32_t Width = 0, Height = 0;
    TPixelFormat PixelFormat = pf24bit;
    std::vector<TColor> Palette;
    std::vector<uint8_t> Pixels;

    void Decode() {
        if (F.Size() < 2 || F.U8(0) != 'B' || F.U8(1) != 'M') Invalid("not a BMP file");
        uint32_t offBits = F.U32(10);
        uint32_t headerSize = F.U32(kFileHeaderSize);
        bool core = headerSize == 12;
        if (!core && headerSize != 40 && headerSize != 52 && headerSize != 56 && headerSize != 108 && headerSize != 124)
            Invalid(Format("a header of %u bytes is not supported", {headerSize}));
        F.At(kFileHeaderSize, headerSize);
        int64_t width, height;
        uint32_t planes, bits, compression = BI_RGB, colorsUsed = 0, imageSize = 0;
        if (core) {
            width = F.U16(18);
            height = F.U16(20);
            planes = F.U16(22);
            bits = F.U16(24);
        } else {
            width = static_cast<int32_t>(F.U32(18));
            height = static_cast<int32_t>(F.U32(22));
            planes = F.U16(26);
            bits = F.U16(28);
            compression = F.U32(30);
            imageSize = F.U32(34);
            colorsUsed = F.U32(46);
        }
        if (planes != 1) Invalid(Format("%u planes are not supported", {planes}));
        PixelFormat = FormatOfBits(bits);
        size_t paletteAt = kFileHeaderSize + headerSize;
        switch (compression) {
        case BI_RGB: break;
        case BI_RLE8:
        case BI_RLE4:
            if (bits != (compression == BI_RLE8 ? 8u : 4u))
                Invalid(Format("RLE%u compression with %u bits per pixel", {compression == BI_RLE8 ? 8u : 4u, bits}));
            if (height < 0) Invalid("a compressed bitmap cannot be top-down");
            break;
        case BI_BITFIELDS: {
            // Only the layout of plain 32-bit pixels: blue, green, red, unused.
            if (bits != 32) Invalid(Format("bit fields with %u bits per pixel are not supported", {bits}));
            size_t masksAt = kFileHeaderSize + kInfoHeaderSize;
            if (F.U32(masksAt) != 0xFF0000 || F.U32(masksAt + 4) != 0xFF00 || F.U32(masksAt + 8) != 0xFF)
                Invalid("bit fields other than 8 bits of red, green and blue are not supported");
            if (headerSize == kInfoHeaderSize) paletteAt += 12;
            break;
        }
        default: Invalid(Format("compression %u is not supported", {compression}));
        }
        if (width <= 0 || width > kMaxDimension) Invalid(Format("a width of %d pixels", {width}));
        if (height == 0 || height < -kMaxDimension || height > kMaxDimension)
            Invalid(Format("a height of %d pixels", {height}));
        Width = static_cast<int32_t>(width);
        Height = static_cast<int32_t>(height < 0 ? -height : height);

        size_t dataAt = paletteAt;
        if (bits <= 8) {
            uint32_t maxColours = 1u << bits;
            uint32_t count = colorsUsed ? colorsUsed : maxColours;
            if (count > maxColours) Invalid(Format("%u palette colours for %u bits per pixel", {count, bits}));
            size_t entry = core ? 3 : 4;
            const uint8_t* p = F.At(paletteAt, count * entry);
            for (uint32_t i = 0; i < count; ++i, p += entry) Palette.push_back(RGB(p[2], p[1], p[0]));
            dataAt += count * entry;
        }
        if (offBits != 0) {
            if (offBits < dataAt || offBits > F.Size()) Invalid(Format("pixel data at offset %u", {offBits}));
            dataAt = offBits;
        }

        int bpp = PixelFormat >= pf24bit ? static_cast<int>(bits / 8) : 1;
        if (compression == BI_RLE8 || compression == BI_RLE4) {
            if (int64_t{Width} * Height > kMaxRlePixels) Invalid(Format("%d x %d pixels", {Width, Height}));
            size_t left = F.Size() - dataAt;
            if (imageSize > left) Invalid("the pixel data is truncated");
            Pixels.assign(static_cast<size_t>(Width) * Height, 0);
            DecodeRle(dataAt, imageSize ? imageSize : left, compression == BI_RLE4);
        } else {
            int64_t stride = RowStride(Width, static_cast<int>(bits));
            if (stride * Height > static_cast<int64_t>(F.Size() - dataAt)) Invalid("the pixel data is truncated");
            Pixels.resize(static_cast<size_t>(Width) * Height * bpp);
            for (int32_t row = 0; row < Height; ++row) {
                int32_t y = height < 0 ? row : Height - 1 - row;
                const uint8_t* src = F.At(dataAt + static_cast<size_t>(row * stride), static_cast<size_t>(stride));
                uint8_t* dst = Pixels.data() + static_cast<size_t>(y) * Width * bpp;
                if (bits >= 8) {
                    std::memcpy(dst, src, static_cast<size_t>(Width) * bpp);
                } else {
                    for (int32_t x = 0; x < Width; ++x) {
                        int bit = x * static_cast<int>(bits);
                        dst[x] = static_cast<uint8_t>((src[bit / 8] >> (8 - static_cast<int>(bits) - bit % 8)) &
                                                      ((1 << bits) - 1));
                    }
                }
            }
        }
    }

    // Run-length data, bottom row first. Pixels past the right edge or the top are
    // dropped; a file may end without its end-of-bitmap mark.
    void DecodeRle(size_t at, size_t size, bool rle4) {
        const uint8_t* d = F.At(at, size);
        size_t p = 0;
        int64_t x = 0, y = 0;
        auto put = [&](uint8_t index) {
            if (x < Width && y < Height) Pixels[static_cast<size_t>(Height - 1 - y) * Width + x] = index;
            ++x;
        };
        auto need = [&](size_t n) {
            if (size - p < n) Invalid("the run-length data is truncated");
        };
        while (p < size) {
            need(2);
            uint8_t count = d[p], value = d[p + 1];
            p += 2;
            if (count > 0) {
                for (int i = 0; i < count; ++i) put(rle4 ? ((i & 1) ? value & 15 : value >> 4) : value);
            } else if (value == 0) {
                x = 0;
                ++y;
            } else if (value == 1) {
                return;
            } else if (value == 2) {
                need(2);
                x += d[p];
                y += d[p + 1];
                p += 2;
            } else {
                size_t bytes = rle4 ? (value + 1u) / 2 : value;
                need(bytes);
                for (int i = 0; i < value; ++i)
                    put(rle4 ? ((i & 1) ? d[p + i / 2] & 15 : d[p + i / 2] >> 4) : d[p + i]);
                p += bytes + (bytes & 1);  // absolute runs end on a 16-bit boundary
            }
        }
    }
};

}  // namespace

// ---- TBitmap ---------------------------------------------------------------------------

size_t TBitmap::Offset(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= FWidth || y >= FHeight)
        throw EInvalidGraphicOperation("Pixel (%d, %d) is outside the bitmap of %d x %d pixels", {x, y, FWidth, FHeight});
    return (static_cast<size_t>(y) * FWidth + x) * BytesPerPixel();
}

void TBitmap::Modified() {
    FFile.clear();
    Changed();
}

void TBitmap::SetSize(int32_t width, int32_t height) {
    if (width < 0 || height < 0 || width > kMaxDimension || height > kMaxDimension)
        throw EInvalidGraphicOperation("A bitmap of %d x %d pixels is not possible", {width, height});
    if (width == FWidth && height == FHeight) return;
    size_t bpp = BytesPerPixel();
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * bpp);
    size_t keep = static_cast<size_t>(std::min(width, FWidth)) * bpp;
    for (int32_t y = 0; keep && y < std::min(height, FHeight); ++y)
        std::memcpy(pixels.data() + y * width * bpp, FPixels.data() + y * FWidth * bpp, keep);
    FPixels = std::move(pixels);
    FWidth = width;
    FHeight = height;
    Modified();
}

void TBitmap::SetPixelFormat(TPixelFormat value) {
    if (value == FPixelFormat) return;
    std::vector<TColor> palette = StandardPalette(value);
    TBitmap converted;
    converted.FPixelFormat = value;
    converted.FPalette = palette;
    converted.SetSize(FWidth, FHeight);
    for (int32_t y = 0; y < FHeight; ++y)
        for (int32_t x = 0; x < FWidth; ++x) converted.SetPixel(x, y, Pixel(x, y));
    FPixelFormat = value;
    FPalette = std::move(converted.FPalette);
    FPixels = std::move(converted.FPixels);
    Modified();
}

void TBitmap::SetPalette(const std::vector<TColor>& colours) {
    if (FPixelFormat >= pf24bit) throw EInvalidGraphicOperation("A bitmap of %d bits per pixel has no palette",
                                                                {BitsPerPixel(FPixelFormat)});
    size_t most = size_t{1} << BitsPerPixel(FPixelFormat);
    if (colours.empty() || colours.size() > most)
        throw EInvalidGraphicOperation("A palette of %d colours does not fit %d bits per pixel",
                                       {colours.size(), BitsPerPixel(FPixelFormat)});
    FPalette = colours;
    Modified();
}

TColor TBitmap::Pixel(int32_t x, int32_t y) const {
    const uint8_t* p = FPixels.data() + Offset(x, y);
    if (FPixelFormat >= pf24bit) return RGB(p[2], p[1], p[0]);
    return *p < FPalette.size() ? FPalette[*p] : clBlack;
}

void TBitmap::SetPixel(int32_t x, int32_t y, TColor colour) {
    uint8_t* p = FPixels.data() + Offset(x, y);
    if (FPixelFormat >= pf24bit) {
        p[0] = GetBValue(colour);
        p[1] = GetGValue(colour);
        p[2] = GetRValue(colour);
    } else {
        *p = Nearest(FPalette, colour);
    }
    Modified();
}

uint8_t TBitmap::PixelIndex(int32_t x, int32_t y) const {
    if (FPixelFormat >= pf24bit) throw EInvalidGraphicOperation("A bitmap of %d bits per pixel has no palette",
                                                                {BitsPerPixel(FPixelFormat)});
    return FPixels[Offset(x, y)];
}

void TBitmap::SetPixelIndex(int32_t x, int32_t y, uint8_t index) {
    size_t at = Offset(x, y);
    if (FPixelFormat >= pf24bit || index >= (1u << BitsPerPixel(FPixelFormat)))
        throw EInvalidGraphicOperation("Palette index %d does not fit %d bits per pixel",
                                       {index, BitsPerPixel(FPixelFormat)});
    FPixels[at] = index;
    Modified();
}

std::vector<uint8_t> TBitmap::RGBData() const {
    std::vector<uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(FWidth) * FHeight * 3);
    for (int32_t y = 0; y < FHeight; ++y)
        for (int32_t x = 0; x < FWidth; ++x) {
            TColor c = Pixel(x, y);
            rgb.insert(rgb.end(), {GetRValue(c), GetGValue(c), GetBValue(c)});
        }
    return rgb;
}

void TBitmap::LoadFromStream(TStream& s) {
    std::string file = s.ReadString(s.Size() - s.Position());
    if (file.empty()) {
        Assign(nullptr);
        return;
    }
    TBytes bytes(file);
    TBmpDecoder d(bytes);
    d.Decode();
    FWidth = d.Width;
    FHeight = d.Height;
    FPixelFormat = d.PixelFormat;
    FPalette = std::move(d.Palette);
    FPixels = std::move(d.Pixels);
    FFile = std::move(file);
    Changed();
}

// BITMAPFILEHEADER, BITMAPINFOHEADER, the palette, the rows bottom first.
std::string TBitmap::Encode() const {
    int bits = BitsPerPixel(FPixelFormat);
    int64_t stride = RowStride(FWidth, bits);
    uint32_t paletteSize = static_cast<uint32_t>(FPalette.size()) * 4;
    uint32_t offBits = kFileHeaderSize + kInfoHeaderSize + paletteSize;
    uint32_t imageSize = static_cast<uint32_t>(stride * FHeight);
    TMemoryStream m;
    m.WriteString("BM");
    m.WriteU32(offBits + imageSize);
    m.WriteU32(0);
    m.WriteU32(offBits);
    m.WriteU32(kInfoHeaderSize);
    m.WriteI32(FWidth);
    m.WriteI32(FHeight);
    m.WriteU16(1);
    m.WriteU16(static_cast<uint16_t>(bits));
    m.WriteU32(BI_RGB);
    m.WriteU32(imageSize);
    m.WriteU32(0);  // pixels per metre, both ways: not known
    m.WriteU32(0);
    m.WriteU32(static_cast<uint32_t>(FPalette.size()));
    m.WriteU32(0);
    for (TColor c : FPalette) {
        uint8_t q[4] = {GetBValue(c), GetGValue(c), GetRValue(c), 0};
        m.WriteBuffer(q, 4);
    }
    int bpp = BytesPerPixel();
    std::string row(static_cast<size_t>(stride), '\0');
    for (int32_t y = FHeight - 1; y >= 0; --y) {
        const uint8_t* src = FPixels.data() + static_cast<size_t>(y) * FWidth * bpp;
        if (bits >= 8) {
            std::memcpy(row.data(), src, static_cast<size_t>(FWidth) * bpp);
        } else {
            std::fill(row.begin(), row.end(), '\0');
            for (int32_t x = 0; x < FWidth; ++x) {
                int bit = x * bits;
                row[bit / 8] = static_cast<char>(row[bit / 8] | (src[x] << (8 - bits - bit % 8)));
            }
        }
        m.WriteString(row);
    }
    return m.Data();
}

void TBitmap::SaveToStream(TStream& s) const {
    if (Empty()) return;
    s.WriteString(FFile.empty() ? Encode() : FFile);
}

bool TBitmap::Equals(const TGraphic& other) const {
    auto* b = dynamic_cast<const TBitmap*>(&other);
    if (!b || b->ClassType() != ClassType()) return false;
    if (Empty() || b->Empty()) return Empty() && b->Empty();
    return FWidth == b->FWidth && FHeight == b->FHeight && FPixelFormat == b->FPixelFormat &&
           FPalette == b->FPalette && FPixels == b->FPixels;
}

void TBitmap::Assign(const TPersistent* source) {
    if (!source) {
        FWidth = FHeight = 0;
        FPixels.clear();
        FFile.clear();
        Changed();
        return;
    }
    if (auto* b = dynamic_cast<const TBitmap*>(source)) {
        if (b == this) return;
        FWidth = b->FWidth;
        FHeight = b->FHeight;
        FPixelFormat = b->FPixelFormat;
        FPalette = b->FPalette;
        FPixels = b->FPixels;
        FFile = b->FFile;
        Changed();
        return;
    }
    inherited::Assign(source);
}

// ---- TPicture --------------------------------------------------------------------------

void TPicture::Replace(std::unique_ptr<TGraphic> graphic) {
    FGraphic = std::move(graphic);
    if (FGraphic) FGraphic->OnChange = [this](TObject*) { OnChange(this); };
    OnChange(this);
}

void TPicture::SetGraphic(const TGraphic* value) {
    if (value == FGraphic.get()) return;
    std::unique_ptr<TGraphic> copy;
    if (value) {
        copy.reset(static_cast<TGraphic*>(value->ClassType()->Create(nullptr)));
        copy->Assign(value);
    }
    Replace(std::move(copy));
}

TBitmap* TPicture::Bitmap() {
    if (!dynamic_cast<TBitmap*>(FGraphic.get())) Replace(std::make_unique<TBitmap>());
    return static_cast<TBitmap*>(FGraphic.get());
}

void TPicture::LoadFromFile(const std::string& path) {
    std::string ext = LowerCase(ExtractFileExt(path));
    if (ext != ".bmp")
        throw EInvalidGraphic("Unknown picture file extension (%s)", {ext.empty() ? "." : ext});
    auto graphic = std::make_unique<TBitmap>();
    graphic->LoadFromFile(path);
    Replace(std::move(graphic));
}

void TPicture::SaveToFile(const std::string& path) const {
    if (FGraphic) FGraphic->SaveToFile(path);
}

void TPicture::Assign(const TPersistent* source) {
    if (!source) {
        Replace(nullptr);
    } else if (auto* p = dynamic_cast<const TPicture*>(source)) {
        SetGraphic(p->Graphic());
    } else if (auto* g = dynamic_cast<const TGraphic*>(source)) {
        SetGraphic(g);
    } else {
        inherited::Assign(source);
    }
}

bool TPicture::Equals(const TPicture& other) const {
    if (!FGraphic || !other.FGraphic) return !FGraphic && !other.FGraphic;
    return FGraphic->Equals(*other.FGraphic);
}

void TPicture::ReadData(TStream& s) {
    try {
        std::string name = s.ReadString(s.ReadU8());
        std::unique_ptr<TGraphic> graphic;
        if (!name.empty()) {
            const TClass* cls = GetClass(name);
            if (!cls || !cls->InheritsFrom(TGraphic::StaticClass()) || !cls->Factory)
                throw EReadError("Picture data names %s, which is not a graphic class", {QuotedStr(name)});
            graphic.reset(static_cast<TGraphic*>(cls->Create(nullptr)));
            graphic->ReadData(s);
        }
        if (int64_t extra = s.Size() - s.Position(); extra > 0)
            throw EReadError("Picture data has %d bytes too many", {extra});
        Replace(std::move(graphic));
    } catch (const EReadError&) {
        throw;
    } catch (const EInvalidGraphic& e) {
        throw EReadError(e.Message());
    }
}

void TPicture::WriteData(TStream& s) const {
    std::string name = FGraphic ? FGraphic->ClassName() : "";
    s.WriteU8(static_cast<uint8_t>(name.size()));
    s.WriteString(name);
    if (FGraphic) FGraphic->WriteData(s);
}

void TPicture::DefineProperties(TFiler& filer) {
    filer.DefineProperty(
        "Data",
        [this](const TValue& v) {
            if (v.Kind != TValue::vaBinary) throw EReadError("Invalid property value: binary data expected");
            TMemoryStream s(v.Str);
            ReadData(s);
        },
        [this] {
            TMemoryStream s;
            WriteData(s);
            TValue v;
            v.Kind = TValue::vaBinary;
            v.Str = s.Data();
            return v;
        },
        FGraphic != nullptr || StoreEmpty);
}

void LoadBitmapResource(TBitmap& bitmap, const std::string& name) {
    TMemoryStream s(GetResource(name));
    bitmap.LoadFromStream(s);
}

}  // namespace kv
