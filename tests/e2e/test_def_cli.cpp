#include <gtest/gtest.h>

#include "tests/support/Run.h"

using namespace kvtest;

namespace {
// Every value kind, nested owned objects, collections, references both ways, handlers.
const char* kDefinition =
    "object Form1: TSetupForm\n"
    "  Caption = 'Setup of ''Tool'''#13#10\n"
    "  Left = -4\n"
    "  Ratio = 0.125\n"
    "  Visible = True\n"
    "  object Install1: TSetupEngine\n"
    "    DestDirType = psProgramFiles\n"
    "    Information.CompanyName = 'ACME'\n"
    "    Information.Version = '1.0'\n"
    "    InstallTypes = [itFull, itCustom]\n"
    "    ThemeBitmap.Data = {\n"
    "      0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF\n"
    "      FF}\n"
    "    Lines.Strings = (\n"
    "      'one'\n"
    "      'two')\n"
    "    Entries = <\n"
    "      item\n"
    "        Key = 'Software\\ACME'\n"
    "        Root = hkCurrentUser\n"
    "      end>\n"
    "    NetLocation = Net1\n"
    "    OnBeforeProcess = Install1BeforeProcess\n"
    "    Picture = nil\n"
    "  end\n"
    "  object Net1: TRemoteSite\n"
    "    Container = Install1\n"
    "  end\n"
    "end\n";
}  // namespace

TEST(DefCli, FormatRoundTripsEveryValueKind) {
    TTempDir dir;
    std::string f = dir.File("every.def", kDefinition);
    auto r = RunCommand(Bin("kelvane") + " def format --generic " + Quote(f));
    ASSERT_EQ(r.Status, 0) << r.Output;
    EXPECT_EQ(r.Output, kDefinition);
    auto c = RunCommand(Bin("kelvane") + " def check --generic " + Quote(f));
    EXPECT_EQ(c.Status, 0) << c.Output;
    EXPECT_NE(c.Output.find("OK, 3 components"), std::string::npos) << c.Output;
    // A messy but valid text comes out canonical.
    std::string g = dir.File("messy.def", "object  F :TComponent Tag=$10 object X:TComponent end end");
    auto m = RunCommand(Bin("kelvane") + " def format " + Quote(g));
    EXPECT_EQ(m.Status, 0) << m.Output;
    EXPECT_EQ(m.Output, "object F: TComponent\n  Tag = 16\n  object X: TComponent\n  end\nend\n");
}

TEST(DefCli, FaultsEndWithStatusOneAndAPosition) {
    struct Case { const char* text; const char* generic; const char* where; };
    const Case cases[] = {
        {"object F: TComponent\n  object X: TNoSuch\n  end\nend\n", "", "2:3"},           // unknown class
        {"object F: TComponent\n  Height = 2\nend\n", "", "2:3"},                         // unknown property
        {"object F: TComponent\n  Tag = 'x'\nend\n", "", "2:9"},                          // wrong kind
        {"object F: TX\n  A = 'open\nend\n", "--generic", "2:7"},                          // unterminated string
        {"object F: TX\n  A = (\n  'a'\n", "--generic", "2:7"},                            // unterminated block
        {"object F: TX\n  A = 1\n", "--generic", "3:1"},                                   // missing end
        {"object F: TX\nend\nend\n", "--generic", "3:1"},                                  // trailing garbage
        {"object F: TX\n  A = [a b]\nend\n", "--generic", "2:10"},                         // bad set
    };
    TTempDir dir;
    for (const auto& c : cases) {
        std::string f = dir.File("bad.def", c.text);
        auto r = RunCommand(Bin("kelvane") + " def check " + c.generic + " " + Quote(f));
        EXPECT_EQ(r.Status, 1) << c.text << r.Output;
        EXPECT_NE(r.Output.find(f + ":" + c.where + ":"), std::string::npos) << c.text << r.Output;
    }
}
