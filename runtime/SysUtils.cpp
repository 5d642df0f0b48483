#include "runtime/SysUtils.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kv {

void Abort() { throw EAbort(); }

// ---- Format ---------------------------------------------------------------------

namespace {

[[noreturn]] void FormatError(const std::string& fmt) {
    throw EConvertError("Format '" + fmt + "' invalid or incompatible with argument");
}

std::string Pad(std::string s, int width, bool left) {
    if (width > 0 && static_cast<int>(s.size()) < width) {
        std::string fill(width - s.size(), ' ');
        s = left ? s + fill : fill + s;
    }
    return s;
}

std::string WithMinDigits(std::string digits, int prec) {
    bool neg = !digits.empty() && digits[0] == '-';
    if (neg) digits.erase(0, 1);
    if (prec > static_cast<int>(digits.size())) digits.insert(0, prec - digits.size(), '0');
    return neg ? "-" + digits : digits;
}

std::string Thousands(const std::string& fixed) {
    size_t start = (!fixed.empty() && fixed[0] == '-') ? 1 : 0;
    size_t dot = fixed.find('.');
    size_t intEnd = dot == std::string::npos ? fixed.size() : dot;
    std::string out = fixed.substr(0, start);
    for (size_t i = start; i < intEnd; ++i) {
        out += fixed[i];
        size_t left = intEnd - i - 1;
        if (left > 0 && left % 3 == 0) out += ',';
    }
    return out + fixed.substr(intEnd);
}

// Delphi's %e: d.ddddE+ddd with precision significant digits (default 15).
std::string ExpText(double v, int prec) {
    if (prec < 1 || prec > 18) prec = 15;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*E", prec - 1, v);
    std::string s(buf);
    size_t e = s.find('E');
    if (e == std::string::npos) return s;
    std::string mant = s.substr(0, e);
    char sign = s[e + 1];
    std::string exp = s.substr(e + 2);
    if (exp.size() < 3) exp = std::string(3 - exp.size(), '0') + exp;
    return mant + "E" + sign + exp;
}

}  // namespace

std::string Format(const std::string& fmt, const TVarRecs& args) {
    std::string out;
    size_t argIndex = 0;
    size_t i = 0;
    auto nextArg = [&]() -> const TVarRec& {
        if (argIndex >= args.size()) throw EConvertError("No argument for format '" + fmt + "'");
        return args[argIndex++];
    };
    while (i < fmt.size()) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        ++i;
        if (i >= fmt.size()) FormatError(fmt);
        if (fmt[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // [index:] [-] [width] [.prec] type
        auto readNum = [&](int& value) -> bool {
            if (i < fmt.size() && fmt[i] == '*') {
                const TVarRec& a = nextArg();
                if (a.kind() != TVarRec::vInt && a.kind() != TVarRec::vUInt) FormatError(fmt);
                value = static_cast<int>(a.asInt());
                ++i;
                return true;
            }
            if (i >= fmt.size() || fmt[i] < '0' || fmt[i] > '9') return false;
            int64_t v = 0;
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
                v = v * 10 + (fmt[i] - '0');
                if (v > 100000) FormatError(fmt);
                ++i;
            }
            value = static_cast<int>(v);
            return true;
        };
        int width = -1, prec = -1;
        bool left = false;
        size_t save = i;
        int num = 0;
        if (i < fmt.size() && fmt[i] != '*' && readNum(num) && i < fmt.size() && fmt[i] == ':') {
            argIndex = static_cast<size_t>(num);
            ++i;
        } else {
            i = save;
        }
        if (i < fmt.size() && fmt[i] == '-') {
            left = true;
            ++i;
        }
        readNum(width);
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            if (!readNum(prec)) prec = 0;
        }
        if (i >= fmt.size()) FormatError(fmt);
        char type = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i])));
        ++i;
        const TVarRec& a = nextArg();
        bool isInt = a.kind() == TVarRec::vInt || a.kind() == TVarRec::vUInt;
        std::string text;
        switch (type) {
        case 'd':
            if (!isInt) FormatError(fmt);
            text = a.kind() == TVarRec::vUInt ? std::to_string(static_cast<uint64_t>(a.asInt()))
                                              : std::to_string(a.asInt());
            text = WithMinDigits(text, prec);
            break;
        case 'u':
            if (!isInt) FormatError(fmt);
            text = WithMinDigits(std::to_string(a.kind() == TVarRec::vUInt
                                                    ? static_cast<uint64_t>(a.asInt())
                                                    : static_cast<uint64_t>(static_cast<uint32_t>(a.asInt()))),
                                 prec);
            break;
        case 'x': {
            if (!isInt) FormatError(fmt);
            uint64_t v = static_cast<uint64_t>(a.asInt());
            if (a.kind() == TVarRec::vInt && a.asInt() >= INT32_MIN && a.asInt() <= INT32_MAX)
                v = static_cast<uint32_t>(a.asInt());
            char buf[32];
            std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
            text = WithMinDigits(buf, prec);
            break;
        }
        case 'p': {
            if (a.kind() != TVarRec::vPointer) FormatError(fmt);
            char buf[32];
            std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(a.asInt()));
            text = buf;
            break;
        }
        case 's':
            if (a.kind() != TVarRec::vString) FormatError(fmt);
            text = a.asString();
            if (prec >= 0 && static_cast<int>(text.size()) > prec) text.resize(prec);
            break;
        case 'f':
        case 'n':
        case 'm':
        case 'g':
        case 'e': {
            double v;
            if (a.kind() == TVarRec::vFloat) v = a.asFloat();
            else FormatError(fmt);
            char buf[512];
            if (type == 'e') {
                text = ExpText(v, prec);
            } else if (type == 'g') {
                int p = prec < 0 || prec > 18 ? 15 : (prec == 0 ? 1 : prec);
                std::snprintf(buf, sizeof buf, "%.*G", p, v);
                text = buf;
            } else {
                int p = prec < 0 ? 2 : std::min(prec, 18);
                if (!std::isfinite(v) || std::fabs(v) >= 1e18) {
                    text = ExpText(v, 15);
                } else {
                    std::snprintf(buf, sizeof buf, "%.*f", p, v);
                    text = buf;
                    if (type == 'n') text = Thousands(text);
                    if (type == 'm') text = "$" + Thousands(text);
                }
            }
            break;
        }
        default:
            FormatError(fmt);
        }
        out += Pad(text, width, left);
    }
    return out;
}

// ---- conversions ------------------------------------------------------------------

std::string IntToStr(int64_t v) { return std::to_string(v); }

std::string IntToHex(int64_t v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llX", digits < 0 ? 0 : std::min(digits, 16),
                  static_cast<unsigned long long>(v));
    return buf;
}

bool TryStrToInt64(const std::string& s, int64_t& out) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        neg = s[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < s.size() && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        if (v > (UINT64_MAX - d) / base) return false;
        v = v * base + d;
    }
    if (base == 16) {
        // Hex texts may spell the full 64-bit pattern.
        out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        return true;
    }
    if (neg) {
        if (v > static_cast<uint64_t>(INT64_MAX) + 1) return false;
        out = static_cast<int64_t>(0 - v);
    } else {
        if (v > static_cast<uint64_t>(INT64_MAX)) return false;
        out = static_cast<int64_t>(v);
    }
    return true;
}

bool TryStrToInt(const std::string& s, int32_t& out) {
    int64_t v;
    if (!TryStrToInt64(s, v)) return false;
    // A hex text of up to 8 digits is a 32-bit pattern ($FFFFFFFF is -1).
    std::string t = Trim(s);
    bool hex = t.find('$') != std::string::npos || t.find("0x") != std::string::npos ||
               t.find("0X") != std::string::npos;
    if (hex && v >= 0 && v <= 0xFFFFFFFFLL) {
        out = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }
    if (v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

int32_t StrToInt(const std::string& s) {
    int32_t v;
    if (!TryStrToInt(s, v)) throw EConvertError("'" + s + "' is not a valid integer value");
    return v;
}

int64_t StrToInt64(const std::string& s) {
    int64_t v;
    if (!TryStrToInt64(s, v)) throw EConvertError("'" + s + "' is not a valid integer value");
    return v;
}

int32_t StrToIntDef(const std::string& s, int32_t def) {
    int32_t v;
    return TryStrToInt(s, v) ? v : def;
}

std::string FloatToStr(double v) {
    char buf[64];
    for (int p = 15; p <= 17; ++p) {
        std::snprintf(buf, sizeof buf, "%.*G", p, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}

bool TryStrToFloat(const std::string& s, double& out) {
    std::string t = Trim(s);
    if (t.empty()) return false;
    const char* b = t.c_str();
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(b, &end);
    if (end != b + t.size() || errno == ERANGE) return false;
    // strtod also takes hex floats, inf and nan; the platform does not.
    for (char c : t)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' || c == 'e' ||
              c == 'E'))
            return false;
    out = v;
    return true;
}

double StrToFloat(const std::string& s) {
    double v;
    if (!TryStrToFloat(s, v)) throw EConvertError("'" + s + "' is not a valid floating point value");
    return v;
}

int64_t Round(double v) { return static_cast<int64_t>(std::nearbyint(v)); }
int64_t Trunc(double v) { return static_cast<int64_t>(std::trunc(v)); }

// ---- ANSI text ----------------------------------------------------------------------

char AnsiUpperChar(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char>(c - 32);
    switch (c) {
    case 0x9A: return static_cast<char>(0x8A);
    case 0x9C: return static_cast<char>(0x8C);
    case 0x9E: return static_cast<char>(0x8E);
    case 0xFF: return static_cast<char>(0x9F);
    default: return ch;
    }
}

char AnsiLowerChar(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 'A' && c <= 'Z') return static_cast<char>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char>(c + 32);
    switch (c) {
    case 0x8A: return static_cast<char>(0x9A);
    case 0x8C: return static_cast<char>(0x9C);
    case 0x8E: return static_cast<char>(0x9E);
    case 0x9F: return static_cast<char>(0xFF);
    default: return ch;
    }
}

void AnsiUpperInPlace(std::string& s) {
    for (char& c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) c = AnsiUpperChar(c);
        else if (u >= 'a' && u <= 'z') c = static_cast<char>(u - 32);
    }
}

std::string AnsiUpperCase(const std::string& s) {
    std::string r = s;
    AnsiUpperInPlace(r);
    return r;
}

std::string AnsiLowerCase(const std::string& s) {
    std::string r = s;
    for (char& c : r) c = AnsiLowerChar(c);
    return r;
}

std::string UpperCase(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

std::string LowerCase(const std::string& s) {
    std::string r = s;
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}

int AnsiCompareStr(const std::string& a, const std::string& b) {
    int r = a.compare(b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int AnsiCompareText(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(AnsiUpperChar(a[i]));
        unsigned char y = static_cast<unsigned char>(AnsiUpperChar(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && AnsiCompareText(a, b) == 0;
}

int CompareText(const std::string& a, const std::string& b) {
    auto up = [](char c) { return static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c); };
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (up(a[i]) != up(b[i])) return up(a[i]) < up(b[i]) ? -1 : 1;
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string TrimLeft(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
    return s.substr(i);
}

std::string TrimRight(const std::string& s) {
    size_t n = s.size();
    while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= ' ') --n;
    return s.substr(0, n);
}

std::string Trim(const std::string& s) { return TrimLeft(TrimRight(s)); }

bool IsBlank(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) > ' ') return false;
    return true;
}

std::string QuotedStr(const std::string& s) {
    std::string r = "'";
    for (char c : s) {
        r += c;
        if (c == '\'') r += '\'';
    }
    return r + "'";
}

int Pos(const std::string& sub, const std::string& s) {
    if (sub.empty()) return 0;
    size_t p = s.find(sub);
    return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
}

bool IsValidIdent(const std::string& s) {
    if (s.empty()) return false;
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!alpha(s[0])) return false;
    for (char c : s)
        if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

// ---- file names -------------------------------------------------------------------------

namespace {
// The position of the last backslash or colon, npos when there is none.
// (find_last_of looks each character up in the set: several times slower.)
size_t LastSeparator(std::string_view fileName) {
    for (size_t i = fileName.size(); i-- > 0;)
        if (fileName[i] == '\\' || fileName[i] == ':') return i;
    return std::string_view::npos;
}
}  // namespace

std::string_view FilePathPart(std::string_view fileName) {
    size_t i = LastSeparator(fileName);
    return fileName.substr(0, i == std::string_view::npos ? 0 : i + 1);
}

std::string_view FileNamePart(std::string_view fileName) {
    size_t i = LastSeparator(fileName);
    return i == std::string_view::npos ? fileName : fileName.substr(i + 1);
}

std::string ExtractFilePath(const std::string& fileName) { return std::string(FilePathPart(fileName)); }

std::string ExtractFileDir(const std::string& fileName) {
    size_t i = LastSeparator(fileName);
    if (i == std::string::npos) return {};
    // "C:\x" keeps the root's separator, "C:\a\x" drops it.
    if (i > 0 && fileName[i] == '\\' && fileName[i - 1] != '\\' && fileName[i - 1] != ':') return fileName.substr(0, i);
    return fileName.substr(0, i + 1);
}

std::string ExtractFileName(const std::string& fileName) { return std::string(FileNamePart(fileName)); }

std::string ExtractFileExt(const std::string& fileName) {
    size_t i = fileName.find_last_of(".\\:");
    return i != std::string::npos && fileName[i] == '.' ? fileName.substr(i) : std::string();
}

std::string ChangeFileExt(const std::string& fileName, const std::string& extension) {
    size_t i = fileName.find_last_of(".\\:");
    if (i == std::string::npos || fileName[i] != '.') i = fileName.size();
    return fileName.substr(0, i) + extension;
}

namespace {
// Code page 1252 positions 0x80..0x9F; 0 marks the five undefined ones.
const char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void PutUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}
}  // namespace

bool AllAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

std::string AnsiToUtf8(const std::string& s) {
    if (AllAscii(s)) return s;  // the common case, the same in both
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) out += ch;
        else if (c < 0xA0) PutUtf8(out, kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : 0xFFFD);
        else PutUtf8(out, c);
    }
    return out;
}

std::string Utf8ToAnsi(const std::string& s) {
    if (AllAscii(s)) return s;
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp;
        size_t len;
        if (c < 0x80) { cp = c; len = 1; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; len = 4; }
        else { out += '?'; ++i; continue; }
        if (i + len > s.size()) { out += '?'; break; }
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) { ok = false; break; }
            cp = (cp << 6) | (d & 0x3F);
        }
        if (!ok) { out += '?'; ++i; continue; }
        i += len;
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) { out += static_cast<char>(cp); continue; }
        char mapped = '?';
        for (int k = 0; k < 32; ++k)
            if (kCp1252High[k] == cp && cp != 0) mapped = static_cast<char>(0x80 + k);
        out += mapped;
    }
    return out;
}

// ---- date-time ----------------------------------------------------------------------

namespace {
// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

const int64_t kDelphiEpochFromUnix = 25569;  // 1970-01-01 as a date-time

int DaysInMonth(int y, int m) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}
}  // namespace

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool TryEncodeDate(int y, int m, int d, TDateTime& out) {
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
    out = static_cast<double>(DaysFromCivil(y, m, d) + kDelphiEpochFromUnix);
    return true;
}

TDateTime EncodeDate(int y, int m, int d) {
    TDateTime r;
    if (!TryEncodeDate(y, m, d, r)) throw EConvertError("Invalid argument to date encode");
    return r;
}

TDateTime EncodeTime(int h, int mi, int s, int ms) {
    if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0 || ms > 999)
        throw EConvertError("Invalid argument to time encode");
    return (h * 3600000.0 + mi * 60000.0 + s * 1000.0 + ms) / 86400000.0;
}

namespace {
// Splits a date-time into whole days and milliseconds of the day, as the platform
// does: the fraction's magnitude is the time even for dates before 1899-12-30.
void Split(TDateTime d, int64_t& days, int64_t& msOfDay) {
    days = static_cast<int64_t>(std::trunc(d));
    double frac = std::fabs(d - std::trunc(d));
    msOfDay = static_cast<int64_t>(std::llround(frac * 86400000.0));
    if (msOfDay >= 86400000) msOfDay = 86399999;
}
}  // namespace

void DecodeDate(TDateTime d, int& y, int& m, int& day) {
    int64_t days, ms;
    Split(d, days, ms);
    CivilFromDays(days - kDelphiEpochFromUnix, y, m, day);
}

void DecodeTime(TDateTime d, int& h, int& mi, int& s, int& ms) {
    int64_t days, t;
    Split(d, days, t);
    h = static_cast<int>(t / 3600000);
    mi = static_cast<int>(t / 60000 % 60);
    s = static_cast<int>(t / 1000 % 60);
    ms = static_cast<int>(t % 1000);
}

int32_t DateTimeToFileDate(TDateTime d) {
    int y, m, day, h, mi, s, ms;
    DecodeDate(d, y, m, day);
    if (y < 1980 || y > 2107) return 0;
    DecodeTime(d, h, mi, s, ms);
    uint32_t date = static_cast<uint32_t>(((y - 1980) << 9) | (m << 5) | day);
    uint32_t time = static_cast<uint32_t>((h << 11) | (mi << 5) | (s / 2));
    return static_cast<int32_t>((date << 16) | time);
}

bool TryFileDateToDateTime(int32_t stamp, TDateTime& out) {
    uint32_t u = static_cast<uint32_t>(stamp);
    uint32_t date = u >> 16, time = u & 0xFFFF;
    int y = static_cast<int>((date >> 9) + 1980), m = static_cast<int>((date >> 5) & 15),
        d = static_cast<int>(date & 31);
    int h = static_cast<int>(time >> 11), mi = static_cast<int>((time >> 5) & 63),
        s = static_cast<int>((time & 31) * 2);
    TDateTime dd;
    if (!TryEncodeDate(y, m, d, dd) || h > 23 || mi > 59 || s > 59) return false;
    out = dd + EncodeTime(h, mi, s, 0);
    return true;
}

TDateTime FileDateToDateTime(int32_t stamp) {
    TDateTime r;
    if (!TryFileDateToDateTime(stamp, r)) throw EConvertError("Invalid argument to date encode");
    return r;
}

TDateTime UnixToDateTime(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    return static_cast<double>(days + kDelphiEpochFromUnix) + rest / 86400.0;
}

int64_t DateTimeToUnix(TDateTime d) {
    int64_t days, ms;
    Split(d, days, ms);
    return (days - kDelphiEpochFromUnix) * 86400 + ms / 1000;
}

TDateTime Now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return UnixToDateTime(ts.tv_sec) + (ts.tv_nsec / 1000000) / 86400000.0;
}

std::string DateTimeToStr(TDateTime d) {
    int y, m, day, h, mi, s, ms;
    DecodeDate(d, y, m, day);
    DecodeTime(d, h, mi, s, ms);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", y, m, day, h, mi, s);
    return buf;
}

}  // namespace kv
