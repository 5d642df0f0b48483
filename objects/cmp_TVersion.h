// The version-resource reader and the file comparisons built on it.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Classes.h"

namespace kv {

enum TOverwriteType { owAlways, owNever, owVersion, owDate, owVersionDate };
extern const TEnumInfo TOverwriteTypeInfo;

enum TLanguage {
    lnArabic, lnBulgarian, lnCatalan, lnTraditionalChinese, lnCzech, lnDanish, lnGerman, lnGreek,
    lnUSEnglish, lnCastilianSpanish, lnFinnish, lnFrench, lnHebrew, lnHungarian, lnIcelandic,
    lnItalian, lnJapanese, lnKorean, lnDutch, lnNorwegianBokmal, lnPolish, lnBrazilianPortuguese,
    lnRhaetoRomanic, lnRomanian, lnRussian, lnCroatoSerbian, lnSlovak, lnAlbanian, lnSwedish,
    lnThai, lnTurkish, lnUrdu, lnBahasa, lnSimplifiedChinese, lnSwissGerman, lnUKEnglish,
    lnMexicanSpanish, lnBelgianFrench, lnSwissItalian, lnBelgianDutch, lnNorwegianNynorsk,
    lnPortuguese, lnSerboCroatian, lnCanadianFrench, lnSwissFrench
};

enum TCharacterSet {
    csASCII, csJapan, csKorea, csTaiwan, csUnicode, csLatin2, csCyrillic, csMultilingual, csGreek,
    csTurkish, csHebrew, csArabic
};

extern const TEnumInfo TLanguageInfo;
extern const TEnumInfo TCharacterSetInfo;

// The Windows language identifier and code page; a value outside the tables
// raises a plain exception.
uint16_t LanguageId(TLanguage language);
uint16_t CodePage(TCharacterSet characterSet);

class TVersionInfo : public TPersistent {
    KV_CLASS(TVersionInfo, TPersistent)
public:
    std::string Comment, CompanyName, FileDescription, FileVersion, InternalName, LegalCopyright,
        LegalTradeMarks, OriginalFileName, PrivateBuild, ProductName, ProductVersion, SpecialBuild,
        FileOS, FileType, FileSubType;

    void Clear();
    void Assign(const TPersistent* source) override;
};

class TVersionResource : public TComponent {
    KV_CLASS(TVersionResource, TComponent)
public:
    // Reads the program's own executable.
    explicit TVersionResource(TComponent* Owner);

    const std::string& FileName() const { return FFileName; }
    TLanguage Language() const { return FLanguage; }
    TCharacterSet CharacterSet() const { return FCharacterSet; }
    // Each setter stores the value and reads the resource again.
    void SetFileName(const std::string& value);
    void SetLanguage(TLanguage value);
    void SetCharacterSet(TCharacterSet value);
    TVersionInfo* VersionInfo() const { return FVersionInfo.get(); }

    // 0 equal, 1 V1 greater, 2 V2 greater.
    static int CompareVersions(const std::string& V1, const std::string& V2);
    // 0 cannot compare, 1 same, 2 the archived file is newer (or the mode says
    // replace), 3 the file on disk is newer (or the mode says keep).
    static int CompareWithArchived(const std::string& ArchivedVersion, const std::string& DestPath,
                                   TOverwriteType Mode, TDateTime ArchivedDate);
    static int IsFileNewerByName(const std::string& SourcePath, const std::string& DestPath,
                                 TOverwriteType Mode);

private:
    void ReadResource();

    std::string FFileName;
    TLanguage FLanguage = lnUSEnglish;
    TCharacterSet FCharacterSet = csMultilingual;
    std::unique_ptr<TVersionInfo> FVersionInfo;
};

// The process-wide reader, created on first use.
TVersionResource& VersionResource();
// The FileVersion string of a file (empty without a version resource), read
// through the process-wide reader.
std::string FileVersionOf(const std::string& fileName);

}  // namespace kv
