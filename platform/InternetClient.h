// The machine's internet client: FTP and HTTP downloads over libcurl, shaped like the
// Windows internet functions the system was written against (a session, a connection
// to one host, a file handle read block by block, a thread's last error code and the
// server's last response text). Every call is synchronous and single-threaded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/WinTypes.h"  // ERROR_INVALID_HANDLE

namespace kv {

// ---- error codes ------------------------------------------------------------------
// A failed call returns false (or an empty handle) and leaves its reason in the last
// error: the WinInet code where libcurl's error has an equivalent, otherwise
// kInternetCurlErrorBase plus libcurl's own code. A call that succeeds sets it to 0,
// except Close, which leaves it.

constexpr int32_t ERROR_INTERNET_TIMEOUT = 12002;
constexpr int32_t ERROR_INTERNET_EXTENDED_ERROR = 12003;
constexpr int32_t ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr int32_t ERROR_INTERNET_INVALID_URL = 12005;
constexpr int32_t ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
constexpr int32_t ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr int32_t ERROR_INTERNET_INCORRECT_PASSWORD = 12014;
constexpr int32_t ERROR_INTERNET_LOGIN_FAILURE = 12015;
constexpr int32_t ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr int32_t ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr int32_t ERROR_INTERNET_ITEM_NOT_FOUND = 12028;
constexpr int32_t ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr int32_t ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr int32_t ERROR_INTERNET_CONNECTION_RESET = 12031;
constexpr int32_t ERROR_FTP_TRANSFER_IN_PROGRESS = 12110;
constexpr int32_t ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr int32_t ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr int32_t kInternetCurlErrorBase = 0x20000000;

int32_t InternetGetLastError();
void InternetSetLastError(int32_t code);
// The symbolic name of a code: "ERROR_INVALID_HANDLE", the WinInet header's names,
// libcurl's "CURLE_…" names; anything else is "Unregistered error code".
std::string InternetErrorName(int32_t code);
// The code a finished HTTP answer with this status stands for (0 below 400).
int32_t InternetErrorForHttpStatus(int status);

// The text of the server's last reply on this thread (an FTP reply, or an HTTP status
// line), at most MaxLength characters. False when no server has answered yet.
bool InternetGetLastResponseInfo(std::string& text, size_t maxLength = 2999);

// ---- library start ----------------------------------------------------------------

enum class TInternetStartup { Ok, NoLibrary, NoFtp, NoHttp };
// Starts the library (counted; pair each Ok with InternetShutdown) and checks that
// it speaks FTP and HTTP.
TInternetStartup InternetStartup();
void InternetShutdown();
// The check itself, on what the library reports: whether it started, and its
// protocol names (a null-terminated list).
TInternetStartup InternetStartupResult(bool started, const char* const* protocols);

// ---- session, connection, file ------------------------------------------------------

enum TInternetService { INTERNET_SERVICE_FTP = 1, INTERNET_SERVICE_HTTP = 3 };

constexpr int32_t kInternetBlockSize = 8192;
constexpr int32_t kDefaultStallTimeoutMs = 60000;

class TInternetConnection;
class TInternetFile;

class TInternetSession {
public:
    // Agent names the program in HTTP requests. Null with the last error set when
    // the library cannot give a transfer engine.
    static std::unique_ptr<TInternetSession> Open(const std::string& agent);
    ~TInternetSession();
    TInternetSession(const TInternetSession&) = delete;
    TInternetSession& operator=(const TInternetSession&) = delete;

    // A server that sends nothing for this long ends the call waiting for it with
    // ERROR_INTERNET_TIMEOUT.
    void SetStallTimeout(int32_t ms) { FStallTimeoutMs = ms; }
    int32_t StallTimeout() const { return FStallTimeoutMs; }
    const std::string& Agent() const { return FAgent; }

private:
    friend class TInternetConnection;
    TInternetSession(std::string agent, void* multi);
    std::string FAgent;
    void* FMulti;  // CURLM*
    int32_t FStallTimeoutMs = kDefaultStallTimeoutMs;
};

class TInternetConnection {
public:
    // Host may carry ":port"; otherwise the service's default port is used. A null
    // user name (FTP) logs in anonymously; an empty one (HTTP) sends no credentials.
    // FTP logs in at once, so a refused login fails here; HTTP connects on the first
    // request. The connection stays open and is reused by every later request.
    static std::unique_ptr<TInternetConnection> Connect(TInternetSession& session, const std::string& host,
                                                        TInternetService service, const std::string* user,
                                                        const std::string* password);
    ~TInternetConnection();
    TInternetConnection(const TInternetConnection&) = delete;
    TInternetConnection& operator=(const TInternetConnection&) = delete;

    // FTP: changes to Path on the server (absolute when it starts with "/", else
    // relative to the login folder). Fails when the server refuses.
    bool FtpSetCurrentDirectory(const std::string& path);
    // FTP: starts a binary retrieval of Name in the current folder.
    std::unique_ptr<TInternetFile> FtpOpenFile(const std::string& name);
    // HTTP: prepares a GET of ObjectName (a path on the server), sent by HttpSendRequest.
    std::unique_ptr<TInternetFile> HttpOpenRequest(const std::string& objectName);

private:
    friend class TInternetFile;
    TInternetConnection(TInternetSession& session, std::string host, TInternetService service);
    void Prepare(const std::string& url, bool noBody);
    // Runs the transfer until Ready() holds or it ends; a stall ends it with a timeout.
    template <class Pred> void Pump(Pred ready);
    bool Finish();  // ends a transfer that has nothing to read; false on its error
    void Detach();  // takes the transfer off the engine, unfinished or not
    std::string Url(const std::string& path) const;

    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);

    TInternetSession& FSession;
    std::string FHost;
    TInternetService FService;
    void* FEasy;  // CURL*
    void* FHeaders = nullptr;  // curl_slist*
    std::string FUser, FPassword;
    std::string FDirectory;
    TInternetFile* FFile = nullptr;  // the open file handle, at most one

    // The running transfer.
    bool FAttached = false, FDone = false;
    int FResult = 0;  // CURLcode
    uint64_t FActivity = 0;  // bytes of replies and data seen
    std::string FBuffer;  // data received and not yet read
    size_t FBufferPos = 0;
    std::string FReply;  // FTP reply lines gathered until the final one
    bool FStarted = false;  // FTP: the server accepted the retrieval
    bool FHeadersDone = false;  // HTTP: the final answer's header arrived
    bool FRedirect = false;  // HTTP: the answer being read names a new location
};

class TInternetFile {
public:
    ~TInternetFile();
    TInternetFile(const TInternetFile&) = delete;
    TInternetFile& operator=(const TInternetFile&) = delete;

    // HTTP: sends the request with the extra header lines (CR LF separated, blank
    // lines ignored) and waits for the answer's header. The request is always
    // fetched from the server, never from a cache.
    bool HttpSendRequest(const std::string& headers);
    // HTTP: the answer's status (0 before it arrived).
    int HttpStatus() const;
    // The size the server announced (FTP SIZE, HTTP Content-Length); false with
    // ERROR_HTTP_HEADER_NOT_FOUND when it announced none.
    bool QuerySize(int64_t& size);
    // Reads Count bytes, fewer only at the end of the data or before an error (which
    // the next call reports); Read = 0 with true is the end of the file.
    bool Read(void* buffer, int32_t count, int32_t& read);
    // Ends the transfer, unfinished or not. The connection stays usable.
    bool Close();

private:
    friend class TInternetConnection;
    explicit TInternetFile(TInternetConnection& connection) : FConnection(&connection) {}
    TInternetConnection* FConnection;  // null once closed
    std::string FUrl;  // HTTP: what HttpSendRequest asks for
    bool FSent = false;
};

}  // namespace kv
