// The network install location: fetches the remote file list and the archives of
// a network install from an FTP or HTTP server into local files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/InternetClient.h"
#include "runtime/Classes.h"

namespace kv {

enum TInternetProtocol : int32_t { ipFTP, ipHTTP };
extern const TEnumInfo TInternetProtocolInfo;

class TCustomNetInstallLocation;

// ---- login information --------------------------------------------------------------

class TCustomLoginInformation : public TPersistent {
    KV_CLASS(TCustomLoginInformation, TPersistent)
public:
    explicit TCustomLoginInformation(TCustomNetInstallLocation* location = nullptr) : FLocation(location) {}

    bool Anonymous() const { return FAnonymous; }
    void SetAnonymous(bool v) { FAnonymous = v; }
    // The folder on the server; backslashes stand for slashes.
    const std::string& Directory() const { return FDirectory; }
    void SetDirectory(const std::string& v) { FDirectory = v; }
    const std::string& Hostname() const { return FHostname; }
    void SetHostname(const std::string& v) { FHostname = v; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& v) { FPassword = v; }
    TInternetProtocol Protocol() const { return FProtocol; }
    void SetProtocol(TInternetProtocol v) { FProtocol = v; }
    const std::string& Username() const { return FUsername; }
    void SetUsername(const std::string& v) { FUsername = v; }

    TCustomNetInstallLocation* Location() const { return FLocation; }
    void Assign(const TPersistent* source) override;
    TPersistent* GetOwner() const override;

private:
    TCustomNetInstallLocation* FLocation;
    bool FAnonymous = true;
    std::string FDirectory, FHostname, FPassword, FUsername;
    TInternetProtocol FProtocol = ipHTTP;
};

class TLoginInformation : public TCustomLoginInformation {
    KV_CLASS(TLoginInformation, TCustomLoginInformation)
public:
    using TCustomLoginInformation::TCustomLoginInformation;
};

// Whether the login information is usable: anonymous needs a host name, otherwise
// any one of host name, password and user name will do (blanks do not count).
bool IsFilledIn(const TCustomLoginInformation* info);

// The folder text as the server expects it: "/" when blank, else with every
// backslash turned into a slash.
std::string ServerPath(const std::string& folder);

// ---- events ---------------------------------------------------------------------------

using TLoginEvent = TEvent<TObject*>;
using TNotifyWithAbortFlag = TEvent<TObject* /*Sender*/, bool /*Aborted*/>;
// Sender, remote file name, bytes of this block, bytes so far, size the server
// announced (0 when unknown), the block.
using TDataReceivedEvent = TEvent<TObject*, const std::string&, int32_t, int32_t, int32_t, const char*>;

// ---- the location ----------------------------------------------------------------------

class TCustomNetInstallLocation : public TComponent {
    KV_CLASS(TCustomNetInstallLocation, TComponent)
public:
    explicit TCustomNetInstallLocation(TComponent* owner);
    ~TCustomNetInstallLocation() override;

    TLoginInformation* LoginInformation() const { return FLoginInformation.get(); }
    // Copies Value.
    virtual void SetLoginInformation(TLoginInformation* value);

    // Starts the internet client library when it is not running yet.
    virtual void LoadWinInet();
    // Opens the session and the connection as needed (both are kept until the
    // component is freed); for FTP changes to the server folder every time.
    virtual void Connect();
    // Copies the remote file into LocalFile, replacing it.
    virtual void Download(const std::string& remoteName, const std::string& localFile);
    void Disconnect();

    bool WinInetLoaded() const { return FLoaded; }
    bool Connected() const { return FConnection != nullptr; }
    const std::string& RemoteName() const { return FRemoteName; }
    const std::string& LocalFile() const { return FLocalFile; }
    // How long a silent server is waited for, in milliseconds.
    int32_t StallTimeout() const { return FStallTimeout; }
    void SetStallTimeout(int32_t ms);

    TNotifyWithAbortFlag OnAfterDownload;
    TLoginEvent OnAfterLogin;
    TNotifyEvent OnBeforeDownload;
    TLoginEvent OnBeforeLogin;
    TDataReceivedEvent OnDataReceived;
    // Set by an install object for the length of one of its downloads.
    TDataReceivedEvent OnInternalDataReceived;

private:
    void Transfer(TInternetFile& file);
    int32_t QueryFileSize(TInternetFile& file);

    std::unique_ptr<TLoginInformation> FLoginInformation;
    bool FLoaded = false;
    std::unique_ptr<TInternetSession> FSession;
    std::unique_ptr<TInternetConnection> FConnection;
    std::string FRemoteName, FLocalFile;
    int32_t FStallTimeout = kDefaultStallTimeoutMs;
};

class TNetInstallLocation : public TCustomNetInstallLocation {
    KV_CLASS(TNetInstallLocation, TCustomNetInstallLocation)
public:
    using TCustomNetInstallLocation::TCustomNetInstallLocation;
};

// ---- process-wide state -------------------------------------------------------------------

// The location that last connected: its host is named in error messages.
extern TCustomNetInstallLocation* ActiveNetLocation;
// The install component's location, for objects that name none.
extern TCustomNetInstallLocation* DefaultNetLocation;
// Set by the copy-progress Cancel; every download stops after its current block
// while it is set. Nothing clears it.
extern bool DownloadAborted;
// Pumps the message queue once per block so that Cancel buttons are noticed; the
// application installs it.
extern void (*NetProcessMessages)();

// ---- exceptions --------------------------------------------------------------------------

// The family of client failures. The message is decorated with the last error's
// name, the active location's host and the server's last response:
// "<text>. Error message <name>. Server <host>. Response from server <response>".
class ENIL : public Exception {
public:
    explicit ENIL(const std::string& text);
    ENIL(const std::string& fmt, const TVarRecs& args) : ENIL(Format(fmt, args)) {}
    const char* ClassName() const override { return "ENIL"; }
};
KV_EXCEPTION(ENIL_FTP, ENIL);
KV_EXCEPTION(ENIL_HTTP, ENIL);
KV_EXCEPTION(ENIL_OpenSession, ENIL);
KV_EXCEPTION(ENIL_OpenService, ENIL);
KV_EXCEPTION(ENIL_FTPSetDir, ENIL_FTP);
KV_EXCEPTION(ENIL_FTPOpenFile, ENIL_FTP);
KV_EXCEPTION(ENIL_FTPCloseFile, ENIL_FTP);
KV_EXCEPTION(ENIL_HTTPOpenFile, ENIL_HTTP);
KV_EXCEPTION(ENIL_HTTPSendRequest, ENIL_HTTP);
KV_EXCEPTION(ENIL_FailDataQuery, ENIL);
KV_EXCEPTION(ENIL_ReadFile, ENIL);
KV_EXCEPTION(ENIL_FileNotFound, ENIL);
// Plain messages.
KV_EXCEPTION(ENIL_WriteDestFile, Exception);
KV_EXCEPTION(ENIL_FailLoadWININET, Exception);
KV_EXCEPTION(ENIL_FailLoadDLLProc, Exception);

// Raises what a failed start of the client library stands for.
void CheckInternetStartup(TInternetStartup result);

}  // namespace kv
