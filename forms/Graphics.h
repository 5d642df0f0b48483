// Pictures: the abstract graphic, Windows bitmaps (BMP files) and the picture that
// owns one graphic and streams it inside definitions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Classes.h"

namespace kv {

// A colour packed as Windows packs it: 0x00BBGGRR.
using TColor = int32_t;
constexpr TColor RGB(uint8_t r, uint8_t g, uint8_t b) { return r | (g << 8) | (b << 16); }
constexpr uint8_t GetRValue(TColor c) { return static_cast<uint8_t>(c); }
constexpr uint8_t GetGValue(TColor c) { return static_cast<uint8_t>(c >> 8); }
constexpr uint8_t GetBValue(TColor c) { return static_cast<uint8_t>(c >> 16); }
constexpr TColor clBlack = 0x000000, clWhite = 0xFFFFFF;

// A graphic's data is not valid ("Bitmap image is not valid: ..."), or a file is
// not of a known picture format.
KV_EXCEPTION(EInvalidGraphic, Exception);
// An operation the graphic cannot do (a pixel outside the image, a palette of a
// bitmap without one, ...).
KV_EXCEPTION(EInvalidGraphicOperation, Exception);

class TGraphic : public TPersistent {
    KV_CLASS(TGraphic, TPersistent)
public:
    virtual bool Empty() const = 0;
    virtual int32_t Width() const = 0;
    virtual int32_t Height() const = 0;
    // The graphic's file format, read from the stream's position to its end. On
    // failure the graphic is left as it was.
    virtual void LoadFromStream(TStream& s) = 0;
    virtual void SaveToStream(TStream& s) const = 0;
    // Files through the class library's file access (the machine's Windows paths).
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;
    // Same class and the same image.
    virtual bool Equals(const TGraphic& other) const = 0;
    // How a picture streams the graphic after its class name: a 32-bit size, then
    // the file's bytes.
    virtual void ReadData(TStream& s);
    virtual void WriteData(TStream& s) const;

    TNotifyEvent OnChange;

protected:
    void Changed() { OnChange(this); }
};

enum TPixelFormat : uint8_t { pf1bit, pf4bit, pf8bit, pf24bit, pf32bit };
int BitsPerPixel(TPixelFormat pf);

// A device-independent bitmap as Windows BMP files hold it: 1, 4 and 8 bits a pixel
// with a palette, 24 and 32 bits a pixel direct. Reads uncompressed, RLE8 and RLE4
// files; writes uncompressed files. A bitmap read from a file writes those very
// bytes back until the image is changed.
class TBitmap : public TGraphic {
    KV_CLASS(TBitmap, TGraphic)
public:
    TBitmap() = default;

    bool Empty() const override { return FWidth == 0 || FHeight == 0; }
    int32_t Width() const override { return FWidth; }
    int32_t Height() const override { return FHeight; }
    // Keeps the top-left part of the image; new pixels are black (palette entry 0).
    void SetSize(int32_t width, int32_t height);
    void SetWidth(int32_t value) { SetSize(value, FHeight); }
    void SetHeight(int32_t value) { SetSize(FWidth, value); }

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    // Converts the pixels; an indexed format gets its standard palette (black and
    // white; the 16 VGA colours; a 6x6x6 colour cube and grays) and the nearest colours.
    void SetPixelFormat(TPixelFormat value);
    // The colours of an indexed format; empty for 24 and 32 bits.
    const std::vector<TColor>& Palette() const { return FPalette; }
    // 1 to 2^bits colours; indices keep their values.
    void SetPalette(const std::vector<TColor>& colours);

    // (0, 0) is the top-left pixel. An index without a palette entry shows black.
    TColor Pixel(int32_t x, int32_t y) const;
    // An indexed format takes the nearest palette colour.
    void SetPixel(int32_t x, int32_t y, TColor colour);
    uint8_t PixelIndex(int32_t x, int32_t y) const;
    void SetPixelIndex(int32_t x, int32_t y, uint8_t index);
    // The image as 24-bit RGB, top row first, three bytes (red, green, blue) a pixel:
    // what a window toolkit draws.
    std::vector<uint8_t> RGBData() const;

    // Bad data raises EInvalidGraphic; an empty stream gives an empty bitmap.
    void LoadFromStream(TStream& s) override;
    // An empty bitmap writes nothing.
    void SaveToStream(TStream& s) const override;
    bool Equals(const TGraphic& other) const override;
    // Copies a bitmap; nullptr empties this one.
    void Assign(const TPersistent* source) override;

private:
    int BytesPerPixel() const { return FPixelFormat >= pf24bit ? BitsPerPixel(FPixelFormat) / 8 : 1; }
    size_t Offset(int32_t x, int32_t y) const;  // checks the point
    std::string Encode() const;
    // The image changed: the loaded file no longer describes it.
    void Modified();

    int32_t FWidth = 0, FHeight = 0;
    TPixelFormat FPixelFormat = pf24bit;
    std::vector<TColor> FPalette;
    // Top row first; a byte a pixel (palette index), or blue, green, red (and a
    // fourth byte at 32 bits).
    std::vector<uint8_t> FPixels;
    std::string FFile;  // the BMP file as read, while it describes the image
};

// Owns at most one graphic. Streams in definitions as the binary property "Data":
// a length byte and the graphic's class name (no graphic: length 0), then the
// graphic's data.
class TPicture : public TPersistent {
    KV_CLASS(TPicture, TPersistent)
public:
    TPicture() = default;

    TGraphic* Graphic() const { return FGraphic.get(); }
    // Takes a copy of Value; nullptr leaves the picture without a graphic.
    void SetGraphic(const TGraphic* value);
    // The graphic as a bitmap; another graphic (or none) is replaced by an empty
    // bitmap first.
    TBitmap* Bitmap();
    int32_t Width() const { return FGraphic ? FGraphic->Width() : 0; }
    int32_t Height() const { return FGraphic ? FGraphic->Height() : 0; }

    // The format comes from the extension (".bmp"); an unknown one raises
    // EInvalidGraphic "Unknown picture file extension (.%s)". On failure the
    // picture is left as it was.
    void LoadFromFile(const std::string& path);
    // Writes nothing when there is no graphic.
    void SaveToFile(const std::string& path) const;

    // Copies a picture or a graphic; nullptr clears.
    void Assign(const TPersistent* source) override;
    void DefineProperties(TFiler& filer) override;
    bool Equals(const TPicture& other) const;
    // The "Data" value; bad data raises EReadError.
    void ReadData(TStream& s);
    void WriteData(TStream& s) const;

    // A picture without a graphic is written too (as "Data = {00}"): for an owner whose
    // default picture is not empty, so that clearing it is kept.
    bool StoreEmpty = false;
    TNotifyEvent OnChange;

private:
    void Replace(std::unique_ptr<TGraphic> graphic);
    std::unique_ptr<TGraphic> FGraphic;
};

// Fills Bitmap from the bitmap resource Name compiled into the program; EResNotFound
// "Resource %s not found" when there is none.
void LoadBitmapResource(TBitmap& bitmap, const std::string& name);

}  // namespace kv
