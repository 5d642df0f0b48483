#include <gtest/gtest.h>

#include "forms/Graphics.h"
#include "runtime/Streaming.h"
#include "tests/support/Run.h"

using namespace kvtest;

namespace {
// A main form whose driver has a theme picture of its own, or none at all.
std::string Definition(const std::string& data) {
    return "object Form1: TForm\n"
           "  object Install1: TInstall\n"
           "    DialogThemeBitmap.Data = " + data + "\n"
           "    UseLoadingProgram = True\n"
           "  end\n"
           "end\n";
}
}  // namespace

TEST(DefCli, AThemePictureOfTheDefinitionsOwnRoundTrips) {
    kv::TBitmap own;
    own.SetPixelFormat(kv::pf4bit);
    own.SetSize(5, 7);
    own.SetPixel(1, 2, kv::RGB(0, 0, 255));
    kv::TPicture picture;
    picture.SetGraphic(&own);
    kv::TMemoryStream data;
    picture.WriteData(data);
    kv::TValue value;
    value.Kind = kv::TValue::vaBinary;
    value.Str = data.Data();
    TTempDir dir;
    for (const std::string& text : {Definition(kv::FormatValue(value, 4)), Definition("{\n      00}")}) {
        std::string f = dir.File("theme.def", text);
        auto r = RunCommand(Bin("kelvane") + " def format " + Quote(f));
        EXPECT_EQ(r.Status, 0) << r.Output;
        EXPECT_EQ(r.Output, text);
    }
    // Without the property the driver has the built-in picture, which is not written.
    std::string plain = dir.File("plain.def", "object Form1: TForm\n  object Install1: TInstall\n  end\nend\n");
    auto r = RunCommand(Bin("kelvane") + " def format " + Quote(plain));
    EXPECT_EQ(r.Output, "object Form1: TForm\n  object Install1: TInstall\n    UseLoadingProgram = True\n  end\nend\n");
}
