#include <gtest/gtest.h>

#include <random>

#include "forms/Graphics.h"
#include "resources/Resources.h"
#include "resources/generate/InstallTheme.h"
#include "runtime/Streaming.h"
#include "tests/platform/TempMachine.h"

using namespace kv;

namespace {

// Little-endian fields, for files written by hand from the format's description.
std::string U16(uint32_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string U32(uint32_t v) { return U16(v & 0xFFFF) + U16(v >> 16); }
std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

// A BMP file with a 40-byte header: the palette (B, G, R, 0 each) and the pixel data given.
std::string Bmp(int32_t width, int32_t height, uint16_t bits, uint32_t compression, const std::string& palette,
                const std::string& data, uint32_t colorsUsed = 0) {
    uint32_t off = 14 + 40 + static_cast<uint32_t>(palette.size());
    return "BM" + U32(off + static_cast<uint32_t>(data.size())) + U32(0) + U32(off) + U32(40) +
           U32(static_cast<uint32_t>(width)) + U32(static_cast<uint32_t>(height)) + U16(1) + U16(bits) +
           U32(compression) + U32(static_cast<uint32_t>(data.size())) + U32(0) + U32(0) +
           U32(colorsUsed) + U32(0) + palette + data;
}

std::string Grays(int n) {
    std::string p;
    for (int i = 0; i < n; ++i) p += Bytes({i * 16, i * 16, i * 16, 0});
    return p;
}

std::unique_ptr<TBitmap> Load(const std::string& file) {
    auto b = std::make_unique<TBitmap>();
    TMemoryStream s(file);
    b->LoadFromStream(s);
    return b;
}

std::string Save(const TGraphic& g) {
    TMemoryStream s;
    g.SaveToStream(s);
    return s.Data();
}

std::string LoadError(const std::string& file) {
    try {
        Load(file);
    } catch (const EInvalidGraphic& e) {
        return e.Message();
    }
    return "no error";
}

// A 5 x 3 bitmap of the format with a pattern of palette entries or of colours.
std::unique_ptr<TBitmap> Pattern(TPixelFormat pf) {
    auto bmp = std::make_unique<TBitmap>();
    TBitmap& b = *bmp;
    b.SetPixelFormat(pf);
    b.SetSize(5, 3);
    if (pf < pf24bit) {
        int n = 1 << BitsPerPixel(pf);
        std::vector<TColor> palette;
        for (int i = 0; i < std::min(n, 16); ++i) palette.push_back(RGB(i * 16, 255 - i * 16, i * 5));
        b.SetPalette(palette);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) b.SetPixelIndex(x, y, static_cast<uint8_t>((x + y * 5) % palette.size()));
    } else {
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) b.SetPixel(x, y, RGB(x * 50, y * 100, 7));
    }
    return bmp;
}

}  // namespace

TEST(Bitmap, WritesTheFileTheFormatDescribes) {
    // 2 x 2 at 24 bits: rows bottom first, blue green red, each row padded to 4 bytes.
    TBitmap b;
    b.SetSize(2, 2);
    b.SetPixel(0, 0, RGB(255, 0, 0));
    b.SetPixel(1, 0, RGB(0, 255, 0));
    b.SetPixel(0, 1, RGB(0, 0, 255));
    b.SetPixel(1, 1, clWhite);
    EXPECT_EQ(Save(b), Bmp(2, 2, 24, 0, "", Bytes({255, 0, 0, 255, 255, 255, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0})));
    // 3 x 1 at 1 bit: the leftmost pixel is the highest bit.
    TBitmap m;
    m.SetPixelFormat(pf1bit);
    m.SetSize(3, 1);
    m.SetPixelIndex(0, 0, 1);
    m.SetPixelIndex(2, 0, 1);
    EXPECT_EQ(Save(m), Bmp(3, 1, 1, 0, Bytes({0, 0, 0, 0, 255, 255, 255, 0}), Bytes({0xA0, 0, 0, 0}), 2));
    EXPECT_EQ(Save(TBitmap()), "");  // an empty bitmap writes nothing
}

TEST(Bitmap, EveryFormatRoundTrips) {
    for (TPixelFormat pf : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit}) {
        auto bmp = Pattern(pf);
        TBitmap& b = *bmp;
        std::string file = Save(b);
        auto pback = Load(file);
        TBitmap& back = *pback;
        EXPECT_EQ(back.PixelFormat(), pf);
        EXPECT_EQ(back.Width(), 5);
        EXPECT_EQ(back.Height(), 3);
        EXPECT_TRUE(back.Equals(b)) << BitsPerPixel(pf);
        EXPECT_EQ(back.Pixel(4, 2), b.Pixel(4, 2));
        EXPECT_EQ(Save(back), file);
    }
}

TEST(Bitmap, ReadsTheOtherLayoutsAndKeepsTheirBytes) {
    // Top-down rows (negative height): the first row in the file is the top one.
    std::string topDown = Bmp(1, -2, 24, 0, "", Bytes({0, 0, 255, 0, 255, 0, 0, 0}));
    auto tp = Load(topDown);
    TBitmap& t = *tp;
    EXPECT_EQ(t.Height(), 2);
    EXPECT_EQ(t.Pixel(0, 0), RGB(255, 0, 0));
    EXPECT_EQ(t.Pixel(0, 1), RGB(0, 0, 255));
    EXPECT_EQ(Save(t), topDown);  // unchanged, written back as it came
    t.SetPixel(0, 0, RGB(1, 2, 3));
    EXPECT_EQ(Save(t), Bmp(1, 2, 24, 0, "", Bytes({255, 0, 0, 0, 3, 2, 1, 0})));  // changed: bottom-up
    // The OS/2 core header: 16-bit sizes, 3-byte palette entries.
    std::string core = "BM" + U32(0) + U32(0) + U32(14 + 12 + 6) + U32(12) + U16(2) + U16(1) + U16(1) + U16(1) +
                       Bytes({0, 0, 0, 255, 255, 255}) + Bytes({0x40, 0, 0, 0});
    auto c = Load(core);
    EXPECT_EQ(c->Pixel(0, 0), clBlack);
    EXPECT_EQ(c->Pixel(1, 0), clWhite);
    // 32 bits with the plain bit fields; a short palette (4 of 256 colours).
    std::string fields = "BM" + U32(0) + U32(0) + U32(14 + 40 + 12) + U32(40) + U32(1) + U32(1) + U16(1) + U16(32) +
                         U32(3) + U32(4) + U32(0) + U32(0) + U32(0) + U32(0) + U32(0xFF0000) + U32(0xFF00) + U32(0xFF) +
                         Bytes({10, 20, 30, 255});
    EXPECT_EQ(Load(fields)->Pixel(0, 0), RGB(30, 20, 10));
    auto shortPalette = Load(Bmp(2, 1, 8, 0, Grays(4), Bytes({3, 9, 0, 0}), 4));
    EXPECT_EQ(shortPalette->Palette().size(), 4u);
    EXPECT_EQ(shortPalette->Pixel(0, 0), RGB(48, 48, 48));
    EXPECT_EQ(shortPalette->Pixel(1, 0), clBlack);  // no such entry
}

TEST(Bitmap, DecodesRunLengthData) {
    // The examples of the format's description, in a 20 x 3 bitmap.
    std::string rle8 = Bytes({3, 4, 5, 6, 0, 3, 0x45, 0x56, 0x67, 0, 2, 0x78, 0, 2, 5, 1, 2, 0x78, 0, 0, 9, 0x1E, 0, 1});
    auto rb = Load(Bmp(20, 3, 8, 1, Grays(256), rle8));
    TBitmap& b = *rb;
    auto row = [](const TBitmap& bmp, int y) {
        std::vector<int> r;
        for (int x = 0; x < bmp.Width(); ++x) r.push_back(bmp.PixelIndex(x, y));
        return r;
    };
    using V = std::vector<int>;
    EXPECT_EQ(row(b, 2), (V{4, 4, 4, 6, 6, 6, 6, 6, 0x45, 0x56, 0x67, 0x78, 0x78, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(row(b, 1), (V{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x78, 0x78}));
    EXPECT_EQ(row(b, 0), (V{0x1E, 0x1E, 0x1E, 0x1E, 0x1E, 0x1E, 0x1E, 0x1E, 0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    std::string rle4 = Bytes({3, 4, 5, 6, 0, 6, 0x45, 0x56, 0x67, 0, 4, 0x78, 0, 2, 5, 1, 4, 0x78, 0, 0, 9, 0x1E, 0, 1});
    auto rn = Load(Bmp(20, 3, 4, 2, Grays(16), rle4));
    TBitmap& n = *rn;
    EXPECT_EQ(row(n, 2), (V{0, 4, 0, 0, 6, 0, 6, 0, 4, 5, 5, 6, 6, 7, 7, 8, 7, 8, 0, 0}));
    EXPECT_EQ(row(n, 1), (V{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));  // the delta moved past the right edge
    EXPECT_EQ(row(n, 0), (V{1, 14, 1, 14, 1, 14, 1, 14, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Runs past the right edge are dropped; a missing end-of-bitmap mark is accepted.
    auto clipped = Load(Bmp(2, 1, 8, 1, Grays(256), Bytes({5, 7})));
    EXPECT_EQ(clipped->PixelIndex(1, 0), 7);
    EXPECT_EQ(Save(*clipped), Bmp(2, 1, 8, 1, Grays(256), Bytes({5, 7})));  // kept compressed
}

TEST(Bitmap, MalformedFilesGiveClearErrors) {
    std::string good = Bmp(2, 2, 24, 0, "", std::string(16, '\0'));
    auto with = [&](size_t at, const std::string& bytes) { return good.substr(0, at) + bytes + good.substr(at + bytes.size()); };
    struct Case { std::string file; const char* message; };
    const Case cases[] = {
        {"BX" + good.substr(2), "not a BMP file"},
        {"B", "not a BMP file"},
        {good.substr(0, 20), "the file is truncated"},
        {good.substr(0, 60), "the pixel data is truncated"},
        {with(14, U32(64)), "a header of 64 bytes is not supported"},
        {with(26, U16(2)), "2 planes are not supported"},
        {with(28, U16(16)), "16 bits per pixel are not supported"},
        {with(30, U32(4)), "compression 4 is not supported"},
        {with(30, U32(1)), "RLE8 compression with 24 bits per pixel"},
        {with(18, U32(0)), "a width of 0 pixels"},
        {with(18, U32(0x7FFFFFFF)), "a width of 2147483647 pixels"},
        {with(22, U32(0x80000000)), "a height of -2147483648 pixels"},
        {with(10, U32(900)), "pixel data at offset 900"},
        {Bmp(1, 1, 8, 0, Grays(256), "x", 300), "300 palette colours for 8 bits per pixel"},
        {Bmp(1, 1, 8, 0, Grays(2), "xxxx", 0), "the file is truncated"},  // 256 colours expected
        {Bmp(4, 4, 8, 1, Grays(256), Bytes({0, 5, 1, 2})), "the run-length data is truncated"},
        {Bmp(4, -4, 8, 1, Grays(256), Bytes({0, 1})), "a compressed bitmap cannot be top-down"},
        {Bmp(8192, 8192, 8, 1, Grays(256), Bytes({0, 1})), "8192 x 8192 pixels"},
        {Bmp(1, 1, 32, 3, "", U32(0xFF) + U32(0xFF00) + U32(0xFF0000) + "xxxx"), "bit fields other than"},
    };
    for (const Case& c : cases) {
        std::string m = LoadError(c.file);
        EXPECT_EQ(m.rfind("Bitmap image is not valid: ", 0), 0u) << m;
        EXPECT_NE(m.find(c.message), std::string::npos) << c.message << " / " << m;
    }
    // A failed load leaves the bitmap as it was.
    auto b = Pattern(pf8bit);
    TMemoryStream bad(good.substr(0, 30));
    EXPECT_THROW(b->LoadFromStream(bad), EInvalidGraphic);
    EXPECT_TRUE(b->Equals(*Pattern(pf8bit)));
}

// Bounded mutation fuzzing: any damage gives a bitmap or EInvalidGraphic, never a
// crash, another error or a huge allocation.
TEST(Bitmap, SurvivesMutatedFiles) {
    std::vector<std::string> seeds;
    for (TPixelFormat pf : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit}) seeds.push_back(Save(*Pattern(pf)));
    seeds.push_back(Bmp(20, 3, 8, 1, Grays(256), Bytes({3, 4, 0, 3, 1, 2, 3, 0, 0, 2, 5, 1, 0, 0, 9, 0x1E, 0, 1})));
    seeds.push_back(Bmp(20, 3, 4, 2, Grays(16), Bytes({3, 4, 0, 6, 0x45, 0x56, 0x67, 0, 0, 2, 5, 1, 9, 0x1E, 0, 1})));
    std::mt19937 rng(4242);
    int loaded = 0;
    for (int iter = 0; iter < 6000; ++iter) {
        std::string s = seeds[rng() % seeds.size()];
        int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits && !s.empty(); ++e) {
            size_t pos = rng() % s.size();
            switch (rng() % 4) {
            case 0: s[pos] = static_cast<char>(rng()); break;
            case 1: s[pos] = static_cast<char>(s[pos] ^ (1 << (rng() % 8))); break;
            case 2: s.resize(pos); break;
            default: s[pos] = static_cast<char>(rng() % 2 ? 0xFF : 0); break;
            }
        }
        try {
            auto b = Load(s);
            b->RGBData();
            Save(*b);
            ++loaded;
        } catch (const EInvalidGraphic&) {
        }
    }
    EXPECT_GT(loaded, 0);
}

TEST(Bitmap, PixelsSizesAndFormats) {
    TBitmap b;
    EXPECT_TRUE(b.Empty());
    b.SetSize(3, 2);
    b.SetPixel(0, 0, RGB(10, 20, 30));
    b.SetPixel(2, 1, RGB(200, 100, 50));
    EXPECT_EQ(b.RGBData(), (std::vector<uint8_t>{10, 20, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 200, 100, 50}));
    EXPECT_THROW(b.Pixel(3, 0), EInvalidGraphicOperation);
    EXPECT_THROW(b.SetPixel(0, -1, clWhite), EInvalidGraphicOperation);
    EXPECT_THROW(b.PixelIndex(0, 0), EInvalidGraphicOperation);  // no palette at 24 bits
    EXPECT_THROW(b.SetSize(-1, 2), EInvalidGraphicOperation);
    b.SetSize(1, 1);  // keeps the top-left part
    EXPECT_EQ(b.Pixel(0, 0), RGB(10, 20, 30));
    b.SetSize(2, 2);
    EXPECT_EQ(b.Pixel(1, 1), clBlack);
    // To a palette: the nearest of the standard colours; and back.
    b.SetPixel(1, 1, RGB(250, 250, 240));
    b.SetPixelFormat(pf1bit);
    EXPECT_EQ(b.Palette(), (std::vector<TColor>{clBlack, clWhite}));
    EXPECT_EQ(b.Pixel(0, 0), clBlack);
    EXPECT_EQ(b.Pixel(1, 1), clWhite);
    b.SetPixel(0, 1, RGB(220, 220, 220));
    EXPECT_EQ(b.PixelIndex(0, 1), 1);
    EXPECT_THROW(b.SetPixelIndex(0, 0, 2), EInvalidGraphicOperation);
    EXPECT_THROW(b.SetPalette({1, 2, 3}), EInvalidGraphicOperation);
    b.SetPixelFormat(pf8bit);
    EXPECT_EQ(b.Palette().size(), 256u);
    EXPECT_EQ(b.Pixel(1, 1), clWhite);
    b.SetPixelFormat(pf32bit);
    EXPECT_TRUE(b.Palette().empty());
    EXPECT_EQ(b.Pixel(1, 1), clWhite);
    EXPECT_THROW(b.SetPalette({clWhite}), EInvalidGraphicOperation);
}

TEST(Bitmap, AssignCopiesAndNotifies) {
    auto pa = Pattern(pf4bit);
    TBitmap& a = *pa;
    TBitmap b;
    int changes = 0;
    b.OnChange = [&](TObject*) { ++changes; };
    b.Assign(&a);
    EXPECT_TRUE(b.Equals(a));
    EXPECT_EQ(Save(b), Save(a));
    b.SetPixelIndex(0, 0, 9);
    EXPECT_FALSE(b.Equals(a));  // a copy, not a share
    EXPECT_EQ(a.PixelIndex(0, 0), 0);
    EXPECT_EQ(changes, 2);
    b.Assign(nullptr);
    EXPECT_TRUE(b.Empty());
    TStringList notAGraphic;
    EXPECT_THROW(b.Assign(&notAGraphic), Exception);
}

TEST(Bitmap, FilesOnTheMachine) {
    kv::test::TempMachine m;
    auto pb = Pattern(pf24bit);
    TBitmap& b = *pb;
    b.SaveToFile("C:\\pic.bmp");
    EXPECT_EQ(m.Read("drive_c/pic.bmp"), Save(b));
    TPicture p;
    p.LoadFromFile("C:\\PIC.BMP");
    ASSERT_NE(p.Graphic(), nullptr);
    EXPECT_TRUE(p.Graphic()->Equals(b));
    EXPECT_EQ(p.Width(), 5);
    p.SaveToFile("C:\\copy.bmp");
    EXPECT_EQ(m.Read("drive_c/copy.bmp"), Save(b));
    m.Write("drive_c/pic.gif", "GIF89a");
    try {
        p.LoadFromFile("C:\\pic.gif");
        ADD_FAILURE();
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Message(), "Unknown picture file extension (.gif)");
    }
    EXPECT_TRUE(p.Graphic()->Equals(b));  // left as it was
    m.Write("drive_c/bad.bmp", "BM");
    EXPECT_THROW(p.LoadFromFile("C:\\bad.bmp"), EInvalidGraphic);
    EXPECT_THROW(p.LoadFromFile("C:\\none.bmp"), Exception);
}

// ---- pictures ------------------------------------------------------------------------------

namespace {

class TPictureHolder : public TComponent {
    KV_CLASS(TPictureHolder, TComponent)
public:
    using TComponent::TComponent;
    TPicture Picture;
    TPicture* GetPicture() { return &Picture; }
};

std::string DataOf(TPicture& p) {
    TMemoryStream s;
    p.WriteData(s);
    return s.Data();
}

std::string ReadDataError(const std::string& data) {
    TPicture p;
    TMemoryStream s(data);
    try {
        p.ReadData(s);
    } catch (const EReadError& e) {
        return e.Message();
    }
    return "no error";
}

}  // namespace

KV_REGISTER_CLASS(TPictureHolder, TComponent) { b.Object<TPicture>("Picture", &TPictureHolder::GetPicture); }

TEST(Picture, DataIsTheClassNameThenTheSizedFile) {
    TPicture p;
    EXPECT_EQ(DataOf(p), std::string(1, '\0'));
    p.Bitmap()->Assign(Pattern(pf8bit).get());
    std::string file = Save(*p.Graphic());
    EXPECT_EQ(DataOf(p), "\x07TBitmap" + U32(static_cast<uint32_t>(file.size())) + file);
    TPicture back;
    TMemoryStream s(DataOf(p));
    back.ReadData(s);
    EXPECT_TRUE(back.Equals(p));
    // An empty bitmap is a size of 0.
    TPicture empty;
    empty.Bitmap();
    EXPECT_EQ(DataOf(empty), "\x07TBitmap" + U32(0));
}

TEST(Picture, BadDataIsAStreamError) {
    std::string file = Save(*Pattern(pf1bit));
    struct Case { std::string data; const char* message; };
    const Case cases[] = {
        {"", "Stream read error"},
        {"\x07TBitm", "Stream read error"},
        {"\x04TGif" + U32(0), "Picture data names 'TGif', which is not a graphic class"},
        {"\x0BTStringList" + U32(0), "Picture data names 'TStringList', which is not a graphic class"},
        {"\x08TGraphic" + U32(0), "which is not a graphic class"},  // abstract
        {"\x07TBitmap" + U32(500) + file, "Picture data is truncated: the TBitmap needs 500 bytes"},
        {"\x07TBitmap" + U32(static_cast<uint32_t>(file.size())) + file + "xy", "Picture data has 2 bytes too many"},
        {"\x07TBitmap" + U32(4) + "BMxx", "Bitmap image is not valid"},
    };
    for (const Case& c : cases) EXPECT_NE(ReadDataError(c.data).find(c.message), std::string::npos) << ReadDataError(c.data);
}

TEST(Picture, StreamsAsTheDataPropertyOfItsOwner) {
    TPictureHolder h(nullptr);
    h.SetName("Holder1");
    EXPECT_EQ(WriteComponentText(&h), "object Holder1: TPictureHolder\nend\n");  // no graphic, nothing written
    TBitmap small;
    small.SetPixelFormat(pf4bit);
    small.SetSize(2, 1);
    small.SetPixelIndex(1, 0, 15);
    h.Picture.SetGraphic(&small);
    std::string text = WriteComponentText(&h);
    EXPECT_NE(text.find("  Picture.Data = {\n    07544269746D6170"), std::string::npos) << text;
    std::unique_ptr<TComponent> back(ReadComponentText(text, {}));
    auto* holder = static_cast<TPictureHolder*>(back.get());
    EXPECT_EQ(holder->Picture.Width(), 2);
    EXPECT_TRUE(holder->Picture.Equals(h.Picture));
    EXPECT_EQ(WriteComponentText(back.get()), text);
    // A picture cleared where the default is not empty must be written to be kept.
    h.Picture.Assign(nullptr);
    EXPECT_EQ(WriteComponentText(&h), "object Holder1: TPictureHolder\nend\n");
    h.Picture.StoreEmpty = true;
    EXPECT_EQ(WriteComponentText(&h), "object Holder1: TPictureHolder\n  Picture.Data = {\n    00}\nend\n");
    // Bad data names the place in the definition.
    try {
        ReadComponentText("object Holder1: TPictureHolder\n  Picture.Data = {0454476966}\nend\n", {});
        ADD_FAILURE();
    } catch (const EParserError& e) {
        EXPECT_NE(e.Message().find(":2:18: Error reading Holder1.Picture.Data: Picture data names 'TGif'"),
                  std::string::npos) << e.Message();
    }
    EXPECT_THROW(ReadComponentText("object Holder1: TPictureHolder\n  Picture.Data = 'x'\nend\n", {}), EParserError);
}

TEST(Picture, AssignCopiesTheGraphic) {
    TPicture a;
    a.Bitmap()->SetSize(3, 4);
    TPicture b;
    int changes = 0;
    b.OnChange = [&](TObject*) { ++changes; };
    b.Assign(&a);
    ASSERT_NE(b.Graphic(), a.Graphic());
    EXPECT_TRUE(b.Equals(a));
    EXPECT_EQ(b.Height(), 4);
    b.Bitmap()->SetPixel(0, 0, clWhite);  // the graphic's changes reach the picture
    EXPECT_FALSE(b.Equals(a));
    EXPECT_EQ(changes, 2);
    b.Assign(a.Graphic());  // a graphic is copied as well
    EXPECT_TRUE(b.Equals(a));
    b.Assign(nullptr);
    EXPECT_EQ(b.Graphic(), nullptr);
    EXPECT_EQ(b.Width(), 0);
    EXPECT_FALSE(b.Equals(a));
}

// ---- resources -----------------------------------------------------------------------------

TEST(Resources, TheThemeBitmapIsBuiltIn) {
    EXPECT_EQ(FindResource("installtheme1"), FindResource("INSTALLTHEME1"));
    ASSERT_NE(FindResource("INSTALLTHEME1"), nullptr);
    EXPECT_EQ(FindResource("NOSUCHBITMAP"), nullptr);
    TBitmap theme;
    LoadBitmapResource(theme, "INSTALLTHEME1");
    EXPECT_EQ(theme.Width(), 117);
    EXPECT_EQ(theme.Height(), 290);
    try {
        LoadBitmapResource(theme, "NoSuchBitmap");
        ADD_FAILURE();
    } catch (const EResNotFound& e) {
        EXPECT_EQ(e.Message(), "Resource NoSuchBitmap not found");
    }
    EXPECT_EQ(theme.Width(), 117);
}

// The committed file is what the generator draws.
TEST(Resources, TheThemeBitmapIsTheGeneratorsDrawing) {
    TBitmap drawn;
    theme::DrawInstallTheme(drawn);
    EXPECT_TRUE(Save(drawn) == *FindResource("INSTALLTHEME1"))
        << "run kelvane-make-theme resources/INSTALLTHEME1.bmp and commit the file";
}
