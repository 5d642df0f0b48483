#include "objects/cmp_TVersion.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/FileStream.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/PEImage.h"

namespace kv {

namespace {

constexpr uint16_t kLanguageIds[] = {
    0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A, 0x040B, 0x040C,
    0x040D, 0x040E, 0x040F, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418,
    0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421, 0x0804, 0x0807, 0x0809,
    0x080A, 0x080C, 0x0810, 0x0813, 0x0814, 0x0816, 0x081A, 0x0C0C, 0x100C};
static_assert(std::size(kLanguageIds) == lnSwissFrench + 1);

constexpr uint16_t kCodePages[] = {0, 932, 949, 950, 1200, 1250, 1251, 1252, 1253, 1254, 1255, 1256};
static_assert(std::size(kCodePages) == csArabic + 1);

std::string FileOSText(uint32_t os) {
    switch (os) {
        case 0x1: return "Windows 3.0 or later";
        case 0x2: return "16 bit OS/2 Presentation Manager";
        case 0x3: return "32 bit OS/2 Presentation Manager";
        case 0x4: return "32 bit Windows";
        case 0x10000: return "MS-Dos";
        case 0x10001: return "Windows 3.0 or later with MS-Dos";
        case 0x10004: return "32 bit Windows with MS-Dos";
        case 0x20000: return "16 bit OS/2";
        case 0x20002: return "16 bit OS/2 with Presentation Manager";
        case 0x30000: return "32 bit OS/2";
        case 0x30003: return "32 bit OS/2 with Presentation Manager";
        case 0x40000: return "Windows NT";
        case 0x40004: return "Windows NT with 32 bit Windows";
        default: return "Unknown";
    }
}

constexpr uint32_t VFT_DRV = 3, VFT_FONT = 4;

std::string FileTypeText(uint32_t type) {
    switch (type) {
        case 1: return "Application";
        case 2: return "Dynamic-Link Library";
        case VFT_DRV: return "Device Driver";
        case VFT_FONT: return "Font";
        case 5: return "Virtual Device Driver";
        case 7: return "Static-Link Library";
        default: return "Unknown";
    }
}

std::string FileSubTypeText(uint32_t type, uint32_t subType) {
    static const char* const drivers[] = {"Printer", "Keyboard", "Language", "Display", "Mouse",
                                          "Network", "System", "Installable", "Sound", "Communications"};
    static const char* const fonts[] = {"Raster", "Vector", "TrueType"};
    if (type == VFT_DRV) return subType >= 1 && subType <= 10 ? drivers[subType - 1] : "Unknown";
    if (type == VFT_FONT) return subType >= 1 && subType <= 3 ? fonts[subType - 1] : "Unknown";
    return "";
}

std::string VersionText(uint32_t ms, uint32_t ls) {
    return IntToStr(ms >> 16) + "." + IntToStr(ms & 0xFFFF) + "." + IntToStr(ls >> 16) + "." + IntToStr(ls & 0xFFFF);
}

// The I-th (from 1) dot-separated part; empty beyond the last.
std::string Part(const std::string& v, int i) {
    size_t start = 0;
    for (int k = 1; k < i; ++k) {
        size_t dot = v.find('.', start);
        if (dot == std::string::npos) return "";
        start = dot + 1;
    }
    size_t dot = v.find('.', start);
    return v.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
}

// Last-write time of a file opened for shared reading; false when it cannot be opened.
bool SharedFileDate(const std::string& path, TDateTime& date) {
    try {
        TFileStream s(path, fmOpenRead | fmShareDenyNone);
        return TryFileDateToDateTime(FileGetDate(s.Handle()), date);
    } catch (const Exception&) {
        return false;
    }
}

int ByVersion(const std::string& newer, const std::string& onDisk) {
    static const int results[] = {1, 2, 3};
    return results[TVersionResource::CompareVersions(newer, onDisk)];
}

int ByDate(TDateTime source, TDateTime dest) { return source > dest ? 2 : source == dest ? 1 : 3; }

// The decision table shared by both comparisons; SourceDate is asked only in the date modes.
template <class TSourceDate>
int Decide(const std::string& sourceVersion, const std::string& destPath, TOverwriteType mode,
           TSourceDate sourceDate) {
    auto byDate = [&] {
        TDateTime src, dst;
        if (!sourceDate(src) || !SharedFileDate(destPath, dst)) return 0;
        return ByDate(src, dst);
    };
    switch (mode) {
        case owAlways: return 2;
        case owNever: return !Trim(destPath).empty() && FileExists(destPath) ? 3 : 2;
        case owVersion: return ByVersion(sourceVersion, FileVersionOf(destPath));
        case owDate: return byDate();
        case owVersionDate: {
            int r = ByVersion(sourceVersion, FileVersionOf(destPath));
            return r == 1 ? byDate() : r;
        }
    }
    throw Exception("Invalid overwrite mode");
}

const std::pair<const char*, std::string TVersionInfo::*> kInfoFields[] = {
    {"Comment", &TVersionInfo::Comment},
    {"CompanyName", &TVersionInfo::CompanyName},
    {"FileDescription", &TVersionInfo::FileDescription},
    {"FileVersion", &TVersionInfo::FileVersion},
    {"InternalName", &TVersionInfo::InternalName},
    {"LegalCopyright", &TVersionInfo::LegalCopyright},
    {"LegalTradeMarks", &TVersionInfo::LegalTradeMarks},
    {"OriginalFileName", &TVersionInfo::OriginalFileName},
    {"PrivateBuild", &TVersionInfo::PrivateBuild},
    {"ProductName", &TVersionInfo::ProductName},
    {"ProductVersion", &TVersionInfo::ProductVersion},
    {"SpecialBuild", &TVersionInfo::SpecialBuild},
    {"FileOS", &TVersionInfo::FileOS},
    {"FileType", &TVersionInfo::FileType},
    {"FileSubType", &TVersionInfo::FileSubType}};

std::unique_ptr<TVersionResource>& Instance() {
    static std::unique_ptr<TVersionResource> instance;
    return instance;
}

}  // namespace

const TEnumInfo TOverwriteTypeInfo{"TOverwriteType", {"owAlways", "owNever", "owVersion", "owDate", "owVersionDate"}};

const TEnumInfo TLanguageInfo{
    "TLanguage",
    {"lnArabic", "lnBulgarian", "lnCatalan", "lnTraditionalChinese", "lnCzech", "lnDanish", "lnGerman",
     "lnGreek", "lnUSEnglish", "lnCastilianSpanish", "lnFinnish", "lnFrench", "lnHebrew", "lnHungarian",
     "lnIcelandic", "lnItalian", "lnJapanese", "lnKorean", "lnDutch", "lnNorwegianBokmal", "lnPolish",
     "lnBrazilianPortuguese", "lnRhaetoRomanic", "lnRomanian", "lnRussian", "lnCroatoSerbian", "lnSlovak",
     "lnAlbanian", "lnSwedish", "lnThai", "lnTurkish", "lnUrdu", "lnBahasa", "lnSimplifiedChinese",
     "lnSwissGerman", "lnUKEnglish", "lnMexicanSpanish", "lnBelgianFrench", "lnSwissItalian",
     "lnBelgianDutch", "lnNorwegianNynorsk", "lnPortuguese", "lnSerboCroatian", "lnCanadianFrench",
     "lnSwissFrench"}};

const TEnumInfo TCharacterSetInfo{
    "TCharacterSet",
    {"csASCII", "csJapan", "csKorea", "csTaiwan", "csUnicode", "csLatin2", "csCyrillic", "csMultilingual",
     "csGreek", "csTurkish", "csHebrew", "csArabic"}};

KV_REGISTER_CLASS(TVersionInfo, TPersistent) {
    for (const auto& [name, field] : kInfoFields) b.String(name, field, field);
}

void TVersionInfo::Clear() {
    for (const auto& f : kInfoFields) this->*f.second = std::string();
}

void TVersionInfo::Assign(const TPersistent* source) {
    if (auto* src = dynamic_cast<const TVersionInfo*>(source)) {
        for (const auto& f : kInfoFields) this->*f.second = src->*f.second;
        return;
    }
    TPersistent::Assign(source);
}

KV_REGISTER_CLASS(TVersionResource, TComponent) {
    b.String("FileName", &TVersionResource::FileName, &TVersionResource::SetFileName)
        .Enum<TLanguage>("Language", TLanguageInfo, &TVersionResource::Language, &TVersionResource::SetLanguage,
                         lnUSEnglish)
        .Enum<TCharacterSet>("CharacterSet", TCharacterSetInfo, &TVersionResource::CharacterSet,
                             &TVersionResource::SetCharacterSet, csMultilingual)
        .Object<TVersionInfo>("VersionInfo", &TVersionResource::VersionInfo);
}

uint16_t LanguageId(TLanguage language) {
    if (language < lnArabic || language > lnSwissFrench) throw Exception("Invalid language");
    return kLanguageIds[language];
}

uint16_t CodePage(TCharacterSet characterSet) {
    if (characterSet < csASCII || characterSet > csArabic) throw Exception("Invalid character set");
    return kCodePages[characterSet];
}

TVersionResource::TVersionResource(TComponent* Owner)
    : TComponent(Owner), FFileName(ParamStr(0)), FVersionInfo(std::make_unique<TVersionInfo>()) {
    ReadResource();
}

void TVersionResource::SetFileName(const std::string& value) {
    FFileName = value;
    ReadResource();
}

void TVersionResource::SetLanguage(TLanguage value) {
    FLanguage = value;
    ReadResource();
}

void TVersionResource::SetCharacterSet(TCharacterSet value) {
    FCharacterSet = value;
    ReadResource();
}

void TVersionResource::ReadResource() {
    FVersionInfo->Clear();
    uint32_t handle;
    uint32_t size = GetFileVersionInfoSizeA(FFileName, &handle);
    if (size == 0) return;
    std::vector<uint8_t> buffer(size);
    if (!GetFileVersionInfoA(FFileName, handle, size, buffer.data())) return;
    void* value;
    uint32_t len;
    if (!VerQueryValueA(buffer.data(), "\\", &value, &len) || len < sizeof(VS_FIXEDFILEINFO)) return;
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, value, sizeof fixed);
    FVersionInfo->FileVersion = VersionText(fixed.dwFileVersionMS, fixed.dwFileVersionLS);
    FVersionInfo->ProductVersion = VersionText(fixed.dwProductVersionMS, fixed.dwProductVersionLS);
    FVersionInfo->FileOS = FileOSText(fixed.dwFileOS);
    FVersionInfo->FileType = FileTypeText(fixed.dwFileType);
    FVersionInfo->FileSubType = FileSubTypeText(fixed.dwFileType, fixed.dwFileSubtype);

    std::string prefix = "\\StringFileInfo\\" + IntToHex(LanguageId(FLanguage), 4) +
                         IntToHex(CodePage(FCharacterSet), 4) + "\\";
    // The string table's names, in order; FileVersion always stays the fixed one.
    for (const auto& [name, field] : kInfoFields) {
        if (field == &TVersionInfo::FileVersion) continue;
        if (field == &TVersionInfo::FileOS) break;
        if (VerQueryValueA(buffer.data(), prefix + name, &value, &len))
            (*FVersionInfo).*field = static_cast<const char*>(value);
    }
}

int TVersionResource::CompareVersions(const std::string& V1, const std::string& V2) {
    for (int i = 1;; ++i) {
        std::string p1 = Part(V1, i), p2 = Part(V2, i);
        if (p1.empty() || p2.empty()) return p1.empty() && p2.empty() ? 0 : p2.empty() ? 1 : 2;
        int32_t n1, n2;
        int c;
        if (TryStrToInt(p1, n1) && TryStrToInt(p2, n2))
            c = n1 < n2 ? -1 : n1 > n2 ? 1 : 0;
        else
            c = p1.compare(p2);
        if (c > 0) return 1;
        if (c < 0) return 2;
    }
}

int TVersionResource::CompareWithArchived(const std::string& ArchivedVersion, const std::string& DestPath,
                                          TOverwriteType Mode, TDateTime ArchivedDate) {
    return Decide(ArchivedVersion, DestPath, Mode, [&](TDateTime& d) {
        d = ArchivedDate;
        return true;
    });
}

int TVersionResource::IsFileNewerByName(const std::string& SourcePath, const std::string& DestPath,
                                        TOverwriteType Mode) {
    std::string sourceVersion = Mode == owVersion || Mode == owVersionDate ? FileVersionOf(SourcePath) : "";
    return Decide(sourceVersion, DestPath, Mode, [&](TDateTime& d) { return SharedFileDate(SourcePath, d); });
}

TVersionResource& VersionResource() {
    if (!Instance()) Instance() = std::make_unique<TVersionResource>(nullptr);
    return *Instance();
}

std::string FileVersionOf(const std::string& fileName) {
    TVersionResource& r = VersionResource();
    r.SetFileName(fileName);
    return r.VersionInfo()->FileVersion;
}

}  // namespace kv
