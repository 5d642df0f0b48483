// Installation records: while it runs, a setup program keeps a registry key of itself,
// found again by its file's date and size (not its path, so a moved program still finds
// it). The key holds the work only a reboot can finish, the language of the run and the
// downloaded archives; RunOnce starts the program again with -r to finish that work.
#include <algorithm>
#include <cmath>

#include "install/TInstall.h"
#include "paths/TPathSpecifier.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "routines/routines_Registry.h"
#include "routines/routines_Strings.h"

namespace kv {

namespace {

const char* const kRecordsKey = "\\SOFTWARE\\Kelvane\\Install";
const char* const kKelvaneKey = "\\Software\\Kelvane";
const char* const kUnfinishedKey = "\\Unfinished";
// Two file dates closer than this (in days) are the same date.
constexpr TDateTime kSameDate = 1e-7;

[[noreturn]] void UnfinishedBusinessError() {
    throw IEInstall("The TInstall could not either write or read unfinished business from the registry");
}

// The size and the local last-write time of a file, read through a shared handle.
bool FileIdentity(const std::string& path, int64_t& size, TDateTime& date) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME written{}, local{};
    size = FileSeek64(file, 0, FILE_END);
    const bool ok = size >= 0 && GetFileTime(file, nullptr, nullptr, &written) && FileTimeToLocalFileTime(&written, &local);
    CloseHandle(file);
    if (ok) date = FileTimeToDateTime(local);
    return ok;
}

TRegistry& MachineKeys(TRegistry& reg) {
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    return reg;
}

// Folder of Path without a trailing backslash.
std::string FolderOf(const std::string& path) {
    std::string folder;
    RemoveBackslash(ExtractFilePath(path), folder);
    return folder;
}

// Deletes Key when it has no sub keys left; false when it cannot be opened.
bool RemoveIfEmpty(const char* key) {
    TRegistry reg;
    if (!MachineKeys(reg).OpenKey(key, false)) return false;
    const bool empty = !reg.HasSubKeys();
    reg.CloseKey();
    if (empty) reg.DeleteKey(key);
    return true;
}

}  // namespace

void TCustomInstall::FindInstallRecord(bool create, std::string& key) {
    key.clear();
    // A definition checked in the designer is no run of a setup program.
    if (InState(csDesigning)) return;
    const std::string program = Application->ExeName();
    int64_t size = 0;
    TDateTime date = 0;
    if (!FileIdentity(program, size, date)) return;
    // Looked up before a run starts (at loading, after a reboot) the record gets the
    // time of the lookup.
    const TDateTime lastRun = RunStartTime != 0 ? RunStartTime : Now();
    std::vector<std::string> names;
    try {
        // A lookup alone leaves no empty keys behind.
        TRegistry records;
        if (!MachineKeys(records).OpenKey(kRecordsKey, create)) return;
        names = records.GetKeyNames();
    } catch (const Exception&) {
        return;
    }
    for (const std::string& name : names) {
        const std::string path = std::string(kRecordsKey) + "\\" + name;
        TRegistry record;
        try {
            if (!MachineKeys(record).OpenKey(path, false)) continue;
            record.ReadString("Path");
            const TDateTime created = record.ReadDateTime("CreationDate");
            const int32_t recordedSize = record.ReadInteger("Size");
            if (!(std::fabs(date - created) < kSameDate) || recordedSize != static_cast<int32_t>(size)) continue;
        } catch (const Exception&) {
            continue;
        }
        try {
            record.WriteDateTime("LastRunDate", lastRun);
            record.WriteString("Path", program);
        } catch (const Exception&) {
            return;
        }
        key = path;
        return;
    }
    if (!create) return;
    int32_t n = 0;
    auto taken = [&](const std::string& name) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& s) { return SameText(s, name); });
    };
    while (taken(Format("Install%d", {n}))) ++n;
    const std::string path = std::string(kRecordsKey) + "\\" + Format("Install%d", {n});
    TRegistry record;
    try {
        if (!MachineKeys(record).OpenKey(path, true)) return;
        record.WriteString("Path", program);
        record.WriteDateTime("LastRunDate", lastRun);
        record.WriteDateTime("CreationDate", date);
        record.WriteInteger("Size", static_cast<int32_t>(size));
        if (HasSwitch(swSelfExtract)) {
            std::string selfExtract;
            AddBackslash(SourceDir(), selfExtract);
            record.WriteString("SelfExtract", selfExtract + SwitchValue(swSelfExtract));
        }
        if (RegFlushKey(record.CurrentKey()) != ERROR_SUCCESS) return;
    } catch (const Exception&) {
        return;
    }
    key = path;
}

void TCustomInstall::RemoveInstallRecord() {
    const std::string key = InstallRecordKey;
    if (key.empty()) return;
    try {
        TRegistry record;
        if (!MachineKeys(record).OpenKey(key, false)) return;
        // The archives downloaded for the components go with the record.
        for (const std::string& name : record.GetKeyNames()) {
            try {
                TRegistry sub;
                if (!MachineKeys(sub).OpenKey(key + "\\" + name, false) || !sub.ValueExists("LocalFile")) continue;
                const std::string local = sub.ReadString("LocalFile");
                if (!Trim(local).empty()) DeleteFileA(local.c_str());
            } catch (const Exception&) {
            }
        }
    } catch (const Exception&) {
        return;
    }
    DeleteRegKeyTree(hkLocalMachine, key);
    InstallRecordKey.clear();
    // The parent keys go with the last record.
    try {
        if (RemoveIfEmpty(kRecordsKey)) RemoveIfEmpty(kKelvaneKey);
    } catch (const Exception&) {
    }
}

void TCustomInstall::ClearUnfinished() {
    if (InstallRecordKey.empty()) UnfinishedBusinessError();
    DeleteRegKeyTree(hkLocalMachine, InstallRecordKey + kUnfinishedKey);
}

void TCustomInstall::AddUnfinished(const std::string& name, int32_t code) {
    if (InstallRecordKey.empty()) UnfinishedBusinessError();
    ++FUnfinishedCount;
    WriteRegString(hkLocalMachine, InstallRecordKey + kUnfinishedKey, name, IntToStr(code));
}

void TCustomInstall::ReadUnfinishedList(TStrings& list) {
    list.Clear();
    if (InstallRecordKey.empty()) UnfinishedBusinessError();
    TRegistry unfinished(KEY_READ);
    try {
        if (!MachineKeys(unfinished).OpenKey(InstallRecordKey + kUnfinishedKey, false)) return;
        for (const std::string& name : unfinished.GetValueNames()) {
            std::string code;
            // A value that is no text has no code: the resume reports it as invalid.
            try {
                code = unfinished.ReadString(name);
            } catch (const ERegistryException&) {
            }
            list.Add(name + ";" + code);
        }
    } catch (const ERegistryException&) {
        list.Clear();
    }
}

void TCustomInstall::RegisterRunOnce() {
    const std::string program = Application->ExeName();
    std::string command = "\"" + program + "\" -r";
    if (HasSwitch(swSelfExtract)) {
        const std::string archive = MainArchivePath(*this);
        command += " \"-e" + ExtractFileName(archive) + "\" \"-s" + FolderOf(archive) + "\"";
    } else {
        std::string installProgram = program;
        // The loading program started this copy; its second argument names the program
        // in the source folder.
        if (FUseLoadingProgram) {
            AddBackslash(SourceDir(), installProgram);
            installProgram += ParamStr(2);
        }
        command += " \"-s" + FolderOf(installProgram) + "\"";
    }
    if (HasSwitch(swCleanup)) command += " -c";
    bool registered = false;
    try {
        registered = RegisterRunOnceValue("KelvaneUnfinished", command, true);
    } catch (const Exception&) {
    }
    if (!registered) throw IEInstall("Cannot register the install to be run on reboot in the RunOnce key in the registry");
}

void TCustomInstall::StoreLanguage(int32_t language) {
    // Never into the root of the registry: no record, no language.
    if (InstallRecordKey.empty()) throw EIRCannotWriteValue(InstallRecordKey);
    WriteRegInteger(hkLocalMachine, InstallRecordKey, "Language", language);
}

int32_t TCustomInstall::StoredLanguage(int32_t def) const {
    if (InstallRecordKey.empty()) return def;
    return ReadRegInteger(hkLocalMachine, InstallRecordKey, "Language", def);
}

void TCustomInstall::FinishAfterReboot() {
    FRunning = true;
    std::string key;
    FindInstallRecord(false, key);
    InstallRecordKey = key;
    // A translator takes its language from StoredLanguage here.
    TStringList unfinished;
    ReadUnfinishedList(unfinished);
    ClearUnfinished();
    for (int i = 0; i < unfinished.Count(); ++i) {
        const std::string line = unfinished[i];
        const size_t first = line.find(';');
        const std::string name = line.substr(0, first);
        std::string codeText = first == std::string::npos ? std::string() : line.substr(first + 1);
        codeText = codeText.substr(0, codeText.find(';'));
        int32_t code = 0;
        if (!TryStrToInt(codeText, code))
            throw IEInstall("There is an invalid entry for the unfinished install list %s", {line});
        if (code == 1) {
            DeleteFileA(name.c_str());
        } else if (code == 0) {
            // By index: a component may change the tree while it finishes.
            auto& containers = InstallContainerList();
            for (int c = 0; c < containers.Count(); ++c) {
                TInstallContainer* container = containers[c];
                // Not the driver itself: this is its own finishing.
                if (container != this && SameText(container->Name(), name)) container->FinishAfterReboot();
            }
        }
    }
    EndGood();
}

}  // namespace kv
