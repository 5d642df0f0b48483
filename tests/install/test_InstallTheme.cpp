#include <gtest/gtest.h>

#include "forms/script/ScriptBackend.h"
#include "install/TInstall.h"
#include "platform/Processes.h"
#include "resources/Resources.h"
#include "runtime/Streaming.h"
#include "tests/platform/TempMachine.h"

using namespace kv;

namespace {

class Theme : public ::testing::Test {
protected:
    kv::test::TempMachine M;
    void SetUp() override {
        RecreateApplication();
        Application->SetBackend(std::make_unique<TScriptBackend>());
        SetCommandLine(std::vector<std::string>{"-sC:\\SRC"});
    }
    void TearDown() override {
        RecreateApplication();
        SetCommandLine(std::vector<std::string>{});
    }
    // Streams a main form holding Body.
    TCustomInstall* Load(const std::string& body) {
        Application->CreateForm(TForm::StaticClass(), [&](TCustomForm* f) {
            ReadComponentText("object Form1: TForm\n" + body + "end\n", {}, f);
        });
        return CurrentInstall();
    }
};

// The Data value of a picture holding Bitmap, as a definition writes it at Indent.
std::string DataText(const TBitmap& bitmap, int indent) {
    TPicture p;
    p.SetGraphic(&bitmap);
    TMemoryStream s;
    p.WriteData(s);
    TValue v;
    v.Kind = TValue::vaBinary;
    v.Str = s.Data();
    return FormatValue(v, indent);
}

}  // namespace

TEST_F(Theme, TheBuiltInPictureIsTheDefaultAndIsNotWritten) {
    TCustomInstall* install = Load("  object Install1: TInstall\n  end\n");
    TPicture* theme = install->DialogThemeBitmap();
    EXPECT_EQ(theme->Width(), 117);
    EXPECT_EQ(theme->Height(), 290);
    TBitmap builtIn;
    LoadBitmapResource(builtIn, "INSTALLTHEME1");
    EXPECT_TRUE(theme->Graphic()->Equals(builtIn));
    EXPECT_FALSE(install->DialogThemeBitmapStored());
    EXPECT_EQ(WriteComponentText(install), "object Install1: TInstall\n  UseLoadingProgram = True\nend\n");
}

TEST_F(Theme, TheSetterCopiesAndADifferentPictureIsWritten) {
    TCustomInstall* install = Load("  object Install1: TInstall\n  end\n");
    TPicture own;
    own.Bitmap()->SetSize(4, 2);
    install->SetDialogThemeBitmap(&own);
    EXPECT_NE(install->DialogThemeBitmap()->Graphic(), own.Graphic());
    EXPECT_TRUE(install->DialogThemeBitmap()->Equals(own));
    own.Bitmap()->SetPixel(0, 0, clWhite);  // the driver's copy stays as it was
    EXPECT_EQ(install->DialogThemeBitmap()->Bitmap()->Pixel(0, 0), clBlack);
    EXPECT_TRUE(install->DialogThemeBitmapStored());
    EXPECT_NE(WriteComponentText(install).find("  DialogThemeBitmap.Data = {\n    07544269746D6170"), std::string::npos);
    // Back to the built-in picture: no longer written.
    TPicture builtIn;
    LoadBitmapResource(*builtIn.Bitmap(), "INSTALLTHEME1");
    install->SetDialogThemeBitmap(&builtIn);
    EXPECT_FALSE(install->DialogThemeBitmapStored());
}

TEST_F(Theme, ADefinitionsOwnPictureIsReadAndWrittenBackUnchanged) {
    TBitmap own;
    own.SetPixelFormat(pf8bit);
    own.SetSize(3, 2);
    own.SetPixel(2, 1, RGB(255, 102, 0));
    std::string text = "object Install1: TInstall\n  DialogThemeBitmap.Data = " + DataText(own, 2) +
                       "\n  UseLoadingProgram = True\nend\n";
    std::string body;  // the same object, one level down inside the form
    for (size_t at = 0, next; at < text.size(); at = next) {
        next = text.find('\n', at) + 1;
        body += "  " + text.substr(at, next - at);
    }
    TCustomInstall* install = Load(body);
    EXPECT_EQ(install->DialogThemeBitmap()->Width(), 3);
    EXPECT_TRUE(install->DialogThemeBitmap()->Graphic()->Equals(own));
    EXPECT_EQ(WriteComponentText(install), text);
}

TEST_F(Theme, BadPictureDataStopsTheDefinition) {
    try {
        Load("  object Install1: TInstall\n    DialogThemeBitmap.Data = {07544269746D617004000000424D0000}\n  end\n");
        ADD_FAILURE();
    } catch (const EParserError& e) {
        EXPECT_NE(e.Message().find("Error reading Install1.DialogThemeBitmap.Data: Bitmap image is not valid"),
                  std::string::npos) << e.Message();
    }
}
