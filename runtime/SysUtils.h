// Base exceptions, Delphi-style Format, conversions, date-times and ANSI text helpers.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// One argument of Format: an integer, a float, a string or a pointer.
class TVarRec {
public:
    enum Kind { vInt, vUInt, vFloat, vString, vPointer };
    TVarRec(int v) : FKind(vInt), FInt(v) {}
    TVarRec(long v) : FKind(vInt), FInt(v) {}
    TVarRec(long long v) : FKind(vInt), FInt(v) {}
    TVarRec(unsigned v) : FKind(vUInt), FInt(static_cast<int64_t>(v)) {}
    TVarRec(unsigned long v) : FKind(vUInt), FInt(static_cast<int64_t>(v)) {}
    TVarRec(unsigned long long v) : FKind(vUInt), FInt(static_cast<int64_t>(v)) {}
    TVarRec(double v) : FKind(vFloat), FFloat(v) {}
    TVarRec(const char* v) : FKind(vString), FStr(v ? v : "") {}
    TVarRec(std::string v) : FKind(vString), FStr(std::move(v)) {}
    TVarRec(const void* v) : FKind(vPointer), FInt(static_cast<int64_t>(reinterpret_cast<uintptr_t>(v))) {}
    Kind kind() const { return FKind; }
    int64_t asInt() const { return FInt; }
    double asFloat() const { return FFloat; }
    const std::string& asString() const { return FStr; }

private:
    Kind FKind;
    int64_t FInt = 0;
    double FFloat = 0;
    std::string FStr;
};

using TVarRecs = std::vector<TVarRec>;

// Delphi's Format: %[index:][-][width][.precision]type with d u x s f g e n m p and %%.
// A malformed format or a mismatched argument raises EConvertError
// ("Format '%s' invalid or incompatible with argument").
std::string Format(const std::string& fmt, const TVarRecs& args);

// The root of every exception the system raises.
class Exception : public std::exception {
public:
    explicit Exception(std::string msg) : FMessage(std::move(msg)) {}
    Exception(const std::string& fmt, const TVarRecs& args) : FMessage(Format(fmt, args)) {}
    const std::string& Message() const { return FMessage; }
    void SetMessage(std::string m) { FMessage = std::move(m); }
    const char* what() const noexcept override { return FMessage.c_str(); }
    virtual const char* ClassName() const { return "Exception"; }

protected:
    Exception() = default;
    std::string FMessage;
};

// Declares an exception class with its own ClassName and the parent's constructors.
#define KV_EXCEPTION(Name, Parent)                                                    \
    class Name : public Parent {                                                      \
    public:                                                                           \
        using Parent::Parent;                                                         \
        const char* ClassName() const override { return #Name; }                      \
    }

// The silent abort: skips the rest of the current operation, never shown to the user.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
    using Exception::Exception;
    const char* ClassName() const override { return "EAbort"; }
};
[[noreturn]] void Abort();

KV_EXCEPTION(EConvertError, Exception);
KV_EXCEPTION(EStreamError, Exception);
KV_EXCEPTION(EReadError, EStreamError);
KV_EXCEPTION(EWriteError, EStreamError);
KV_EXCEPTION(EFOpenError, EStreamError);
KV_EXCEPTION(EFCreateError, EStreamError);
KV_EXCEPTION(EListError, Exception);
KV_EXCEPTION(EStringListError, Exception);
KV_EXCEPTION(EComponentError, Exception);
KV_EXCEPTION(EInvalidOperation, Exception);
KV_EXCEPTION(EOutOfMemory, Exception);

// ---- conversions ----------------------------------------------------------------

std::string IntToStr(int64_t v);
std::string IntToHex(int64_t v, int digits);
// As the platform converts: optional blanks before, optional sign, decimal or $hex
// (0x too), no inner or trailing blanks, within 32 bits. Raises EConvertError
// "'%s' is not a valid integer value".
int32_t StrToInt(const std::string& s);
int64_t StrToInt64(const std::string& s);
int32_t StrToIntDef(const std::string& s, int32_t def);
bool TryStrToInt(const std::string& s, int32_t& out);
bool TryStrToInt64(const std::string& s, int64_t& out);
std::string FloatToStr(double v);  // shortest text that reads back to the same double
double StrToFloat(const std::string& s);
bool TryStrToFloat(const std::string& s, double& out);

// Rounds halves to the even neighbour, as the platform's Round does.
int64_t Round(double v);
int64_t Trunc(double v);

// ---- ANSI text (code page bytes; case folding of the 1252 letters) ----------------

char AnsiUpperChar(char c);
char AnsiLowerChar(char c);
std::string AnsiUpperCase(const std::string& s);
void AnsiUpperInPlace(std::string& s);
std::string AnsiLowerCase(const std::string& s);
std::string UpperCase(const std::string& s);  // ASCII letters only
std::string LowerCase(const std::string& s);
int AnsiCompareText(const std::string& a, const std::string& b);  // <0, 0, >0
int AnsiCompareStr(const std::string& a, const std::string& b);
bool SameText(const std::string& a, const std::string& b);
int CompareText(const std::string& a, const std::string& b);  // ASCII case folding
std::string Trim(const std::string& s);
// Trim(S) would leave nothing (every character a blank or a control one).
bool IsBlank(const std::string& s);
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);
std::string QuotedStr(const std::string& s);
// 1-based position of sub in s, 0 when absent (as Pos).
int Pos(const std::string& sub, const std::string& s);
bool IsValidIdent(const std::string& s);

// File names as Windows writes them: "\" separates folders, ":" ends a drive.
// ExtractFilePath keeps the last separator, ExtractFileDir drops it unless it is the
// root's ("C:\"); ExtractFileExt includes the dot; ChangeFileExt replaces or appends.
std::string ExtractFilePath(const std::string& fileName);
// ExtractFilePath and ExtractFileName as views into FileName, without copies.
std::string_view FilePathPart(std::string_view fileName);
std::string_view FileNamePart(std::string_view fileName);
std::string ExtractFileDir(const std::string& fileName);
std::string ExtractFileName(const std::string& fileName);
std::string ExtractFileExt(const std::string& fileName);
std::string ChangeFileExt(const std::string& fileName, const std::string& extension);

// Whether S is plain ASCII, which code page 1252 and UTF-8 spell alike.
bool AllAscii(std::string_view s);
// Converts code page 1252 bytes to UTF-8 and back (host edges only). Bytes that
// 1252 leaves undefined map to U+FFFD going out and '?' coming back.
std::string AnsiToUtf8(const std::string& s);
std::string Utf8ToAnsi(const std::string& s);

// ---- date-time: days since 1899-12-30, time of day as the fraction ----------------

using TDateTime = double;

TDateTime EncodeDate(int year, int month, int day);  // raises EConvertError when invalid
TDateTime EncodeTime(int hour, int min, int sec, int msec);
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
void DecodeDate(TDateTime d, int& year, int& month, int& day);
void DecodeTime(TDateTime d, int& hour, int& min, int& sec, int& msec);
bool IsLeapYear(int year);

// DOS timestamps: date in the high word, time (2-second units) in the low word.
// DateTimeToFileDate rounds down to the 2-second grid; years before 1980 or after
// 2107 give 0. FileDateToDateTime raises EConvertError for an invalid stamp.
int32_t DateTimeToFileDate(TDateTime d);
TDateTime FileDateToDateTime(int32_t stamp);
bool TryFileDateToDateTime(int32_t stamp, TDateTime& out);

// Host (Unix) time, local to the machine: the emulated machine keeps UTC as local time.
TDateTime UnixToDateTime(int64_t seconds);
int64_t DateTimeToUnix(TDateTime d);
TDateTime Now();
std::string DateTimeToStr(TDateTime d);  // yyyy-mm-dd hh:nn:ss

}  // namespace kv
