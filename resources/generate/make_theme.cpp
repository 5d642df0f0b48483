// kelvane-make-theme FILE: writes the theme picture INSTALLTHEME1 as a BMP file.
// resources/INSTALLTHEME1.bmp is its output, committed; a test checks they agree.
#include <cstdio>
#include <fstream>

#include "resources/generate/InstallTheme.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kelvane-make-theme FILE\n");
        return 2;
    }
    kv::TBitmap bmp;
    kv::theme::DrawInstallTheme(bmp);
    kv::TMemoryStream s;
    bmp.SaveToStream(s);
    std::ofstream out(argv[1], std::ios::binary);
    out << s.Data();
    if (!out.flush()) {
        std::fprintf(stderr, "kelvane-make-theme: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
