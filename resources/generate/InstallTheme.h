// Draws the built-in theme picture of the wizard pages, INSTALLTHEME1: a night-blue to
// teal gradient with a compact disc rising out of it. Only + - * / and sqrt, so every
// build draws the same bytes.
#pragma once

#include <algorithm>
#include <cmath>

#include "forms/Graphics.h"

namespace kv::theme {

constexpr int kWidth = 117, kHeight = 290;

inline double Clamp01(double v) { return std::min(1.0, std::max(0.0, v)); }

struct TRgb {
    double R, G, B;
};

inline TRgb Mix(TRgb a, TRgb b, double t) { return {a.R + (b.R - a.R) * t, a.G + (b.G - a.G) * t, a.B + (b.B - a.B) * t}; }

inline uint8_t Channel(double v) { return static_cast<uint8_t>(std::min(255.0, std::max(0.0, v)) + 0.5); }

inline void DrawInstallTheme(TBitmap& bmp) {
    const TRgb top{9, 28, 64}, middle{20, 70, 118}, bottom{38, 128, 150}, white{255, 255, 255};
    const double cx = 58.5, cy = 214.5;                      // the disc's centre
    const double outer = 40, label = 15, hole = 5.5;         // its radii
    bmp.SetPixelFormat(pf24bit);
    bmp.SetSize(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            double px = x + 0.5, py = y + 0.5;
            // Background: two-stop vertical gradient, eased, with a soft glow behind the disc.
            double t = py / kHeight;
            TRgb c = t < 0.55 ? Mix(top, middle, t / 0.55) : Mix(middle, bottom, (t - 0.55) / 0.45);
            double dx = px - cx, dy = py - cy, d = std::sqrt(dx * dx + dy * dy);
            double glow = Clamp01(1 - d / 95);
            c = Mix(c, white, 0.10 * glow * glow);
            // A faint beam of light from the top left corner.
            double beam = Clamp01(1 - std::abs((px * 0.8 - py * 0.35) - 18) / 26) * Clamp01(1 - py / 170);
            c = Mix(c, white, 0.07 * beam);
            // Fine horizontal lines in the upper part, fading out.
            if (y % 4 == 0) c = Mix(c, white, 0.025 * Clamp01(1 - py / 150));
            // The disc: a silvery face with grooves, a sheen across it, a label ring and a hole.
            double inDisc = Clamp01(outer - d + 0.5) * Clamp01(d - hole + 0.5);
            if (inDisc > 0) {
                double groove = (static_cast<int>(d) % 3 == 0) ? 0.05 : 0.0;
                double sheen = Clamp01(1 - std::abs(dx + dy * 0.6) / 14) * 0.22 +
                               Clamp01(1 - std::abs(dx - dy * 1.4 + 10) / 10) * 0.10;
                double face = d < label ? 0.30 : 0.18 + groove;
                c = Mix(c, white, inDisc * Clamp01(face + sheen));
                double rim = Clamp01(1 - std::abs(d - (outer - 0.8)) / 1.2);
                double ring = Clamp01(1 - std::abs(d - label) / 0.9);
                c = Mix(c, white, inDisc * (0.35 * rim + 0.25 * ring));
            }
            // A thin light edge on the right, where the page's controls begin.
            if (x == kWidth - 1) c = Mix(c, white, 0.18);
            bmp.SetPixel(x, y, RGB(Channel(c.R), Channel(c.G), Channel(c.B)));
        }
    }
}

}  // namespace kv::theme
