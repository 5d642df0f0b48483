#include "net/TNetInstallLocation.h"

#include <algorithm>
#include <limits>

namespace kv {

const TEnumInfo TInternetProtocolInfo{"TInternetProtocol", {"ipFTP", "ipHTTP"}};

TCustomNetInstallLocation* ActiveNetLocation = nullptr;
TCustomNetInstallLocation* DefaultNetLocation = nullptr;
bool DownloadAborted = false;
void (*NetProcessMessages)() = nullptr;

namespace {
// The program's name in HTTP requests.
const char* const kAgent = "Kelvane Setup";

int32_t ClampToInteger(int64_t v) {
    return static_cast<int32_t>(std::min<int64_t>(v, std::numeric_limits<int32_t>::max()));
}
}  // namespace

// ---- exceptions --------------------------------------------------------------------------

ENIL::ENIL(const std::string& text) {
    std::string response;
    if (!InternetGetLastResponseInfo(response)) response = "No server response";
    std::string host = ActiveNetLocation ? ActiveNetLocation->LoginInformation()->Hostname() : "";
    FMessage = Format("%s. Error message %s. Server %s. Response from server %s",
                      {text, InternetErrorName(InternetGetLastError()), host, response});
}

void CheckInternetStartup(TInternetStartup result) {
    switch (result) {
        case TInternetStartup::Ok: return;
        case TInternetStartup::NoLibrary:
            throw ENIL_FailLoadWININET(
                "Failed to load the Wininet.dll. If this is a hybrid installation, you might want to include the "
                "WININET.DLL file in the PresetupFiles property of the TInstall component");
        // The library's missing protocol stands for the first of its entry points.
        case TInternetStartup::NoFtp:
            throw ENIL_FailLoadDLLProc("Failed to load the procedure %s from WININET.DLL", {"FtpSetCurrentDirectory"});
        case TInternetStartup::NoHttp:
            throw ENIL_FailLoadDLLProc("Failed to load the procedure %s from WININET.DLL", {"HttpOpenRequest"});
    }
}

// ---- login information --------------------------------------------------------------

KV_REGISTER_CLASS(TCustomLoginInformation, TPersistent) {
    using T = TCustomLoginInformation;
    b.Boolean("Anonymous", &T::Anonymous, &T::SetAnonymous, true)
        .String("Directory", &T::Directory, &T::SetDirectory)
        .String("Hostname", &T::Hostname, &T::SetHostname)
        .String("Password", &T::Password, &T::SetPassword)
        .Enum<TInternetProtocol>("Protocol", TInternetProtocolInfo, &T::Protocol, &T::SetProtocol, ipHTTP)
        .String("Username", &T::Username, &T::SetUsername);
}
KV_REGISTER_CLASS(TLoginInformation, TCustomLoginInformation) {}

void TCustomLoginInformation::Assign(const TPersistent* source) {
    auto* other = source && source->Is<TCustomLoginInformation>() ? static_cast<const TCustomLoginInformation*>(source)
                                                                   : nullptr;
    if (!other) return inherited::Assign(source);
    FAnonymous = other->FAnonymous;
    FDirectory = other->FDirectory;
    FHostname = other->FHostname;
    FPassword = other->FPassword;
    FProtocol = other->FProtocol;
    FUsername = other->FUsername;
}

TPersistent* TCustomLoginInformation::GetOwner() const { return FLocation; }

bool IsFilledIn(const TCustomLoginInformation* info) {
    if (!info) return false;
    auto given = [](const std::string& s) { return !Trim(s).empty(); };
    if (info->Anonymous()) return given(info->Hostname());
    return given(info->Hostname()) || given(info->Password()) || given(info->Username());
}

std::string ServerPath(const std::string& folder) {
    if (Trim(folder).empty()) return "/";
    std::string path = folder;
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// ---- the location ----------------------------------------------------------------------

KV_REGISTER_CLASS(TCustomNetInstallLocation, TComponent) {}
KV_REGISTER_CLASS(TNetInstallLocation, TCustomNetInstallLocation) {
    using T = TNetInstallLocation;
    b.Object<TLoginInformation>("LoginInformation", &T::LoginInformation)
        .Event<TNotifyWithAbortFlag>("OnAfterDownload", &T::OnAfterDownload)
        .Event<TLoginEvent>("OnAfterLogin", &T::OnAfterLogin)
        .Event<TNotifyEvent>("OnBeforeDownload", &T::OnBeforeDownload)
        .Event<TLoginEvent>("OnBeforeLogin", &T::OnBeforeLogin)
        .Event<TDataReceivedEvent>("OnDataReceived", &T::OnDataReceived);
}

TCustomNetInstallLocation::TCustomNetInstallLocation(TComponent* owner)
    : TComponent(owner), FLoginInformation(std::make_unique<TLoginInformation>(this)) {}

TCustomNetInstallLocation::~TCustomNetInstallLocation() {
    if (ActiveNetLocation == this) ActiveNetLocation = nullptr;
    if (DefaultNetLocation == this) DefaultNetLocation = nullptr;
    Disconnect();
    if (FLoaded) InternetShutdown();
}

void TCustomNetInstallLocation::SetLoginInformation(TLoginInformation* value) { FLoginInformation->Assign(value); }

void TCustomNetInstallLocation::SetStallTimeout(int32_t ms) {
    FStallTimeout = ms;
    if (FSession) FSession->SetStallTimeout(ms);
}

void TCustomNetInstallLocation::LoadWinInet() {
    if (FLoaded) return;  // one start, one shutdown
    CheckInternetStartup(InternetStartup());
    FLoaded = true;
}

void TCustomNetInstallLocation::Disconnect() {
    FConnection.reset();
    FSession.reset();
}

void TCustomNetInstallLocation::Connect() {
    ActiveNetLocation = this;
    if (!FLoaded) LoadWinInet();
    if (!FSession) {
        FSession = TInternetSession::Open(kAgent);
        if (!FSession) throw ENIL_OpenSession("Cannot open internet connection");
        FSession->SetStallTimeout(FStallTimeout);
    }
    const TLoginInformation& info = *FLoginInformation;
    if (!FConnection) {
        OnBeforeLogin(this);
        const std::string empty;
        const std::string* user = info.Anonymous() ? nullptr : &info.Username();
        const std::string* password = info.Anonymous() ? nullptr : &info.Password();
        if (info.Protocol() == ipFTP) {
            FConnection = TInternetConnection::Connect(*FSession, info.Hostname(), INTERNET_SERVICE_FTP, user, password);
        } else if (info.Protocol() == ipHTTP) {
            FConnection = TInternetConnection::Connect(*FSession, info.Hostname(), INTERNET_SERVICE_HTTP,
                                                       user ? user : &empty, password ? password : &empty);
        }
        if (!FConnection) throw ENIL_OpenService("Cannot connect to host %s", {info.Hostname()});
        OnAfterLogin(this);
    }
    if (info.Protocol() == ipFTP) {
        std::string path = ServerPath(info.Directory());
        if (!FConnection->FtpSetCurrentDirectory(path)) throw ENIL_FTPSetDir("Cannot set directory on server to %s", {path});
    }
}

void TCustomNetInstallLocation::Download(const std::string& remoteName, const std::string& localFile) {
    Connect();
    FRemoteName = remoteName;
    FLocalFile = localFile;
    OnBeforeDownload(this);
    const TLoginInformation& info = *FLoginInformation;
    std::unique_ptr<TInternetFile> file;
    if (info.Protocol() == ipFTP) {
        file = FConnection->FtpOpenFile(remoteName);
        if (!file) throw ENIL_FTPOpenFile("Cannot open file %s on server", {remoteName});
    } else if (info.Protocol() == ipHTTP) {
        std::string dir = info.Directory();
        if (!dir.empty() && dir.back() != '\\') dir += '\\';
        file = FConnection->HttpOpenRequest(ServerPath(dir) + remoteName);
        if (!file) throw ENIL_HTTPOpenFile("Cannot open file %s on server", {remoteName});
        if (!file->HttpSendRequest("Accept: */*\r\n\r\n"))
            throw ENIL_HTTPSendRequest("Cannot send request for file %s to the server", {remoteName});
        // An error answer is a failure, not the file's content.
        int status = file->HttpStatus();
        if (int32_t code = InternetErrorForHttpStatus(status)) {
            InternetSetLastError(code);
            if (code == ERROR_INTERNET_ITEM_NOT_FOUND)
                throw ENIL_FileNotFound("Could not find the file %s on the server", {remoteName});
            throw ENIL_HTTPOpenFile("Cannot open file %s on server", {remoteName});
        }
    }
    if (file) {
        try {
            Transfer(*file);
        } catch (...) {
            file->Close();
            throw;
        }
        if (!file->Close()) throw ENIL_FTPCloseFile("Cannot close the file %s on the server", {remoteName});
    }
    OnAfterDownload(this, DownloadAborted);
}

int32_t TCustomNetInstallLocation::QueryFileSize(TInternetFile& file) {
    int64_t size = 0;
    if (!file.QuerySize(size)) {
        if (InternetGetLastError() != ERROR_HTTP_HEADER_NOT_FOUND)
            throw ENIL_FailDataQuery("Could not query file %s on server", {FRemoteName});
        size = 0;
    }
    return ClampToInteger(size);
}

void TCustomNetInstallLocation::Transfer(TInternetFile& file) {
    const int32_t size = QueryFileSize(file);
    auto local = OpenFileStream(FLocalFile, true);
    char block[kInternetBlockSize];
    int32_t n = 0;
    auto read = [&] {
        if (!file.Read(block, sizeof block, n)) throw ENIL_ReadFile("Could not read from file %s on the server", {FRemoteName});
    };
    read();
    if (FLoginInformation->Protocol() == ipHTTP) {
        // A server's "not found" page, recognised by its opening text.
        std::string head(block, static_cast<size_t>(std::min<int32_t>(n, 30)));
        head = head.substr(0, head.find('\0'));
        if (head.find("404") != std::string::npos)
            throw ENIL_FileNotFound("Could not find the file %s on the server", {FRemoteName});
    }
    int64_t total = 0;
    while (n > 0) {
        total += n;
        OnDataReceived(this, FRemoteName, n, ClampToInteger(total), size, block);
        OnInternalDataReceived(this, FRemoteName, n, ClampToInteger(total), size, block);
        if (NetProcessMessages) NetProcessMessages();
        if (DownloadAborted) return;
        if (local->Write(block, n) < n)
            throw ENIL_WriteDestFile("%s could not write to the local dest file %s", {Name(), FLocalFile});
        read();
    }
    local.reset();
    if (total == 0) throw ENIL_FileNotFound("Could not find the file %s on the server", {FRemoteName});
}

}  // namespace kv
