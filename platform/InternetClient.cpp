#include "platform/InternetClient.h"

#include <curl/curl.h>

#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <type_traits>

namespace kv {

namespace {

// ---- the library ----------------------------------------------------------------
// libcurl is loaded when the client starts, as WININET.DLL is on Windows: a program that
// never goes online does not carry it (nor the dozens of libraries it brings along).

struct TCurlApi {
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_easy_getinfo) easy_getinfo;
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_global_cleanup) global_cleanup;
    decltype(&curl_global_init) global_init;
    decltype(&curl_multi_add_handle) multi_add_handle;
    decltype(&curl_multi_cleanup) multi_cleanup;
    decltype(&curl_multi_info_read) multi_info_read;
    decltype(&curl_multi_init) multi_init;
    decltype(&curl_multi_perform) multi_perform;
    decltype(&curl_multi_poll) multi_poll;
    decltype(&curl_multi_remove_handle) multi_remove_handle;
    decltype(&curl_slist_append) slist_append;
    decltype(&curl_slist_free_all) slist_free_all;
    decltype(&curl_version_info) version_info;
};

// The library's functions, or nullptr when it cannot be loaded.
const TCurlApi* LoadCurl() {
    static const TCurlApi* api = []() -> const TCurlApi* {
        // Never closed: libcurl does not expect to be unloaded.
        void* lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
        if (!lib) return nullptr;
        static TCurlApi a;
        bool ok = true;
        auto Load = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
            ok = ok && fn;
        };
        Load(a.easy_cleanup, "curl_easy_cleanup");
        Load(a.easy_getinfo, "curl_easy_getinfo");
        Load(a.easy_init, "curl_easy_init");
        Load(a.easy_setopt, "curl_easy_setopt");
        Load(a.global_cleanup, "curl_global_cleanup");
        Load(a.global_init, "curl_global_init");
        Load(a.multi_add_handle, "curl_multi_add_handle");
        Load(a.multi_cleanup, "curl_multi_cleanup");
        Load(a.multi_info_read, "curl_multi_info_read");
        Load(a.multi_init, "curl_multi_init");
        Load(a.multi_perform, "curl_multi_perform");
        Load(a.multi_poll, "curl_multi_poll");
        Load(a.multi_remove_handle, "curl_multi_remove_handle");
        Load(a.slist_append, "curl_slist_append");
        Load(a.slist_free_all, "curl_slist_free_all");
        Load(a.version_info, "curl_version_info");
        return ok ? &a : nullptr;
    }();
    return api;
}

// For the holders of sessions and connections, which only a loaded library gives.
const TCurlApi& Curl() { return *LoadCurl(); }

thread_local int32_t gLastError = 0;
thread_local std::string gLastResponse;
thread_local bool gHasResponse = false;

void SetResponse(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    gLastResponse = std::move(text);
    gHasResponse = true;
}

bool Fail(int32_t code) {
    gLastError = code;
    return false;
}

bool Succeed() {
    gLastError = 0;
    return true;
}

// libcurl's errors that have a WinInet counterpart.
int32_t CodeOfCurl(int result) {
    switch (result) {
        case CURLE_OK: return 0;
        case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
        case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST: return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
        case CURLE_LOGIN_DENIED: return ERROR_INTERNET_LOGIN_FAILURE;
        case CURLE_REMOTE_ACCESS_DENIED:
        case CURLE_REMOTE_FILE_NOT_FOUND:
        case CURLE_FTP_COULDNT_RETR_FILE: return ERROR_INTERNET_EXTENDED_ERROR;
        case CURLE_PARTIAL_FILE: return ERROR_INTERNET_CONNECTION_ABORTED;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR: return ERROR_INTERNET_CONNECTION_RESET;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_GOT_NOTHING: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        case CURLE_ABORTED_BY_CALLBACK: return ERROR_INTERNET_OPERATION_CANCELLED;
        default: return kInternetCurlErrorBase + result;
    }
}

const char* const kWinInetNames1[] = {  // 12001 .. 12032
    "ERROR_INTERNET_OUT_OF_HANDLES", "ERROR_INTERNET_TIMEOUT", "ERROR_INTERNET_EXTENDED_ERROR",
    "ERROR_INTERNET_INTERNAL_ERROR", "ERROR_INTERNET_INVALID_URL", "ERROR_INTERNET_UNRECOGNIZED_SCHEME",
    "ERROR_INTERNET_NAME_NOT_RESOLVED", "ERROR_INTERNET_PROTOCOL_NOT_FOUND", "ERROR_INTERNET_INVALID_OPTION",
    "ERROR_INTERNET_BAD_OPTION_LENGTH", "ERROR_INTERNET_OPTION_NOT_SETTABLE", "ERROR_INTERNET_SHUTDOWN",
    "ERROR_INTERNET_INCORRECT_USER_NAME", "ERROR_INTERNET_INCORRECT_PASSWORD", "ERROR_INTERNET_LOGIN_FAILURE",
    "ERROR_INTERNET_INVALID_OPERATION", "ERROR_INTERNET_OPERATION_CANCELLED",
    "ERROR_INTERNET_INCORRECT_HANDLE_TYPE", "ERROR_INTERNET_INCORRECT_HANDLE_STATE",
    "ERROR_INTERNET_NOT_PROXY_REQUEST", "ERROR_INTERNET_REGISTRY_VALUE_NOT_FOUND",
    "ERROR_INTERNET_BAD_REGISTRY_PARAMETER", "ERROR_INTERNET_NO_DIRECT_ACCESS", "ERROR_INTERNET_NO_CONTEXT",
    "ERROR_INTERNET_NO_CALLBACK", "ERROR_INTERNET_REQUEST_PENDING", "ERROR_INTERNET_INCORRECT_FORMAT",
    "ERROR_INTERNET_ITEM_NOT_FOUND", "ERROR_INTERNET_CANNOT_CONNECT", "ERROR_INTERNET_CONNECTION_ABORTED",
    "ERROR_INTERNET_CONNECTION_RESET", "ERROR_INTERNET_FORCE_RETRY"};
const char* const kGopherNames[] = {  // 12130 .. 12138
    "ERROR_GOPHER_PROTOCOL_ERROR", "ERROR_GOPHER_NOT_FILE", "ERROR_GOPHER_DATA_ERROR",
    "ERROR_GOPHER_END_OF_DATA", "ERROR_GOPHER_INVALID_LOCATOR", "ERROR_GOPHER_INCORRECT_LOCATOR_TYPE",
    "ERROR_GOPHER_NOT_GOPHER_PLUS", "ERROR_GOPHER_ATTRIBUTE_NOT_FOUND", "ERROR_GOPHER_UNKNOWN_LOCATOR"};
const char* const kHttpNames[] = {  // 12150 .. 12155
    "ERROR_HTTP_HEADER_NOT_FOUND", "ERROR_HTTP_DOWNLEVEL_SERVER", "ERROR_HTTP_INVALID_SERVER_RESPONSE",
    "ERROR_HTTP_INVALID_HEADER", "ERROR_HTTP_INVALID_QUERY_REQUEST", "ERROR_HTTP_HEADER_ALREADY_EXISTS"};
const char* const kCurlNames[] = {  // CURLcode 0 .. 99
    "CURLE_OK", "CURLE_UNSUPPORTED_PROTOCOL", "CURLE_FAILED_INIT", "CURLE_URL_MALFORMAT",
    "CURLE_NOT_BUILT_IN", "CURLE_COULDNT_RESOLVE_PROXY", "CURLE_COULDNT_RESOLVE_HOST",
    "CURLE_COULDNT_CONNECT", "CURLE_WEIRD_SERVER_REPLY", "CURLE_REMOTE_ACCESS_DENIED",
    "CURLE_FTP_ACCEPT_FAILED", "CURLE_FTP_WEIRD_PASS_REPLY", "CURLE_FTP_ACCEPT_TIMEOUT",
    "CURLE_FTP_WEIRD_PASV_REPLY", "CURLE_FTP_WEIRD_227_FORMAT", "CURLE_FTP_CANT_GET_HOST", "CURLE_HTTP2",
    "CURLE_FTP_COULDNT_SET_TYPE", "CURLE_PARTIAL_FILE", "CURLE_FTP_COULDNT_RETR_FILE", "CURLE_OBSOLETE20",
    "CURLE_QUOTE_ERROR", "CURLE_HTTP_RETURNED_ERROR", "CURLE_WRITE_ERROR", "CURLE_OBSOLETE24",
    "CURLE_UPLOAD_FAILED", "CURLE_READ_ERROR", "CURLE_OUT_OF_MEMORY", "CURLE_OPERATION_TIMEDOUT",
    "CURLE_OBSOLETE29", "CURLE_FTP_PORT_FAILED", "CURLE_FTP_COULDNT_USE_REST", "CURLE_OBSOLETE32",
    "CURLE_RANGE_ERROR", "CURLE_HTTP_POST_ERROR", "CURLE_SSL_CONNECT_ERROR", "CURLE_BAD_DOWNLOAD_RESUME",
    "CURLE_FILE_COULDNT_READ_FILE", "CURLE_LDAP_CANNOT_BIND", "CURLE_LDAP_SEARCH_FAILED",
    "CURLE_OBSOLETE40", "CURLE_FUNCTION_NOT_FOUND", "CURLE_ABORTED_BY_CALLBACK",
    "CURLE_BAD_FUNCTION_ARGUMENT", "CURLE_OBSOLETE44", "CURLE_INTERFACE_FAILED", "CURLE_OBSOLETE46",
    "CURLE_TOO_MANY_REDIRECTS", "CURLE_UNKNOWN_OPTION", "CURLE_SETOPT_OPTION_SYNTAX", "CURLE_OBSOLETE50",
    "CURLE_OBSOLETE51", "CURLE_GOT_NOTHING", "CURLE_SSL_ENGINE_NOTFOUND", "CURLE_SSL_ENGINE_SETFAILED",
    "CURLE_SEND_ERROR", "CURLE_RECV_ERROR", "CURLE_OBSOLETE57", "CURLE_SSL_CERTPROBLEM", "CURLE_SSL_CIPHER",
    "CURLE_PEER_FAILED_VERIFICATION", "CURLE_BAD_CONTENT_ENCODING", "CURLE_OBSOLETE62",
    "CURLE_FILESIZE_EXCEEDED", "CURLE_USE_SSL_FAILED", "CURLE_SEND_FAIL_REWIND",
    "CURLE_SSL_ENGINE_INITFAILED", "CURLE_LOGIN_DENIED", "CURLE_TFTP_NOTFOUND", "CURLE_TFTP_PERM",
    "CURLE_REMOTE_DISK_FULL", "CURLE_TFTP_ILLEGAL", "CURLE_TFTP_UNKNOWNID", "CURLE_REMOTE_FILE_EXISTS",
    "CURLE_TFTP_NOSUCHUSER", "CURLE_OBSOLETE75", "CURLE_OBSOLETE76", "CURLE_SSL_CACERT_BADFILE",
    "CURLE_REMOTE_FILE_NOT_FOUND", "CURLE_SSH", "CURLE_SSL_SHUTDOWN_FAILED", "CURLE_AGAIN",
    "CURLE_SSL_CRL_BADFILE", "CURLE_SSL_ISSUER_ERROR", "CURLE_FTP_PRET_FAILED", "CURLE_RTSP_CSEQ_ERROR",
    "CURLE_RTSP_SESSION_ERROR", "CURLE_FTP_BAD_FILE_LIST", "CURLE_CHUNK_FAILED",
    "CURLE_NO_CONNECTION_AVAILABLE", "CURLE_SSL_PINNEDPUBKEYNOTMATCH", "CURLE_SSL_INVALIDCERTSTATUS",
    "CURLE_HTTP2_STREAM", "CURLE_RECURSIVE_API_CALL", "CURLE_AUTH_ERROR", "CURLE_HTTP3",
    "CURLE_QUIC_CONNECT_ERROR", "CURLE_PROXY", "CURLE_SSL_CLIENTCERT", "CURLE_UNRECOVERABLE_POLL"};

template <size_t N>
const char* Lookup(const char* const (&names)[N], int32_t code, int32_t first) {
    return code >= first && code < first + static_cast<int32_t>(N) ? names[code - first] : nullptr;
}

// Percent-encodes a path for a URL; "/" separates its segments and stays. ";" goes
// too, lest an FTP name read as a transfer type.
std::string EncodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~!$&'()*+,=:@", c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

bool ValidHost(const std::string& host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr(".-_:[]", c);
    });
}

CURL* Easy(void* p) { return static_cast<CURL*>(p); }
CURLM* Multi(void* p) { return static_cast<CURLM*>(p); }

}  // namespace

int32_t InternetGetLastError() { return gLastError; }
void InternetSetLastError(int32_t code) { gLastError = code; }

std::string InternetErrorName(int32_t code) {
    if (code == ERROR_INVALID_HANDLE) return "ERROR_INVALID_HANDLE";
    if (code == 12036) return "ERROR_INTERNET_HANDLE_EXISTS";
    if (code == 12041) return "ERROR_INTERNET_MIXED_SECURITY";
    if (code == ERROR_FTP_TRANSFER_IN_PROGRESS) return "ERROR_FTP_TRANSFER_IN_PROGRESS";
    if (code == 12111) return "ERROR_FTP_DROPPED";
    for (const char* name : {Lookup(kWinInetNames1, code, 12001), Lookup(kGopherNames, code, 12130),
                             Lookup(kHttpNames, code, 12150), Lookup(kCurlNames, code, kInternetCurlErrorBase)})
        if (name) return name;
    return "Unregistered error code";
}

int32_t InternetErrorForHttpStatus(int status) {
    if (status < 400) return 0;
    if (status == 401 || status == 407) return ERROR_INTERNET_INCORRECT_PASSWORD;
    if (status == 404 || status == 410) return ERROR_INTERNET_ITEM_NOT_FOUND;
    return ERROR_INTERNET_EXTENDED_ERROR;
}

bool InternetGetLastResponseInfo(std::string& text, size_t maxLength) {
    if (!gHasResponse) return false;
    text = gLastResponse.substr(0, maxLength);
    return true;
}

// ---- library start ----------------------------------------------------------------

TInternetStartup InternetStartupResult(bool started, const char* const* protocols) {
    if (!started || !protocols) return TInternetStartup::NoLibrary;
    bool ftp = false, http = false;
    for (; *protocols; ++protocols) {
        ftp = ftp || std::strcmp(*protocols, "ftp") == 0;
        http = http || std::strcmp(*protocols, "http") == 0;
    }
    if (!ftp) return TInternetStartup::NoFtp;
    if (!http) return TInternetStartup::NoHttp;
    return TInternetStartup::Ok;
}

TInternetStartup InternetStartup() {
    bool started = LoadCurl() && Curl().global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    const curl_version_info_data* info = started ? Curl().version_info(CURLVERSION_NOW) : nullptr;
    TInternetStartup result = InternetStartupResult(started, info ? info->protocols : nullptr);
    if (started && result != TInternetStartup::Ok) Curl().global_cleanup();
    return result;
}

void InternetShutdown() {
    if (LoadCurl()) Curl().global_cleanup();
}

// ---- session ----------------------------------------------------------------------

TInternetSession::TInternetSession(std::string agent, void* multi) : FAgent(std::move(agent)), FMulti(multi) {}

std::unique_ptr<TInternetSession> TInternetSession::Open(const std::string& agent) {
    CURLM* multi = LoadCurl() ? Curl().multi_init() : nullptr;
    if (!multi) {
        Fail(ERROR_INTERNET_INTERNAL_ERROR);
        return nullptr;
    }
    Succeed();
    return std::unique_ptr<TInternetSession>(new TInternetSession(agent, multi));
}

TInternetSession::~TInternetSession() { Curl().multi_cleanup(Multi(FMulti)); }

// ---- connection -------------------------------------------------------------------

TInternetConnection::TInternetConnection(TInternetSession& session, std::string host, TInternetService service)
    : FSession(session), FHost(std::move(host)), FService(service), FEasy(Curl().easy_init()) {}

TInternetConnection::~TInternetConnection() {
    if (FFile) FFile->FConnection = nullptr;
    Detach();
    Curl().easy_cleanup(Easy(FEasy));
    Curl().slist_free_all(static_cast<curl_slist*>(FHeaders));
}

std::unique_ptr<TInternetConnection> TInternetConnection::Connect(TInternetSession& session,
                                                                  const std::string& host,
                                                                  TInternetService service,
                                                                  const std::string* user,
                                                                  const std::string* password) {
    if (service != INTERNET_SERVICE_FTP && service != INTERNET_SERVICE_HTTP) {
        Fail(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
        return nullptr;
    }
    if (!ValidHost(host)) {
        Fail(ERROR_INTERNET_NAME_NOT_RESOLVED);
        return nullptr;
    }
    std::unique_ptr<TInternetConnection> c(new TInternetConnection(session, host, service));
    CURL* e = Easy(c->FEasy);
    if (!e) {
        Fail(ERROR_INTERNET_INTERNAL_ERROR);
        return nullptr;
    }
    bool ftp = service == INTERNET_SERVICE_FTP;
    Curl().easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    Curl().easy_setopt(e, CURLOPT_PROTOCOLS_STR, ftp ? "ftp" : "http");
    Curl().easy_setopt(e, CURLOPT_HEADERFUNCTION, &TInternetConnection::OnHeader);
    Curl().easy_setopt(e, CURLOPT_HEADERDATA, c.get());
    Curl().easy_setopt(e, CURLOPT_WRITEFUNCTION, &TInternetConnection::OnBody);
    Curl().easy_setopt(e, CURLOPT_WRITEDATA, c.get());
    Curl().easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(session.StallTimeout()));
    Curl().easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
    if (user && !user->empty()) {
        c->FUser = *user;
        c->FPassword = password ? *password : std::string();
        Curl().easy_setopt(e, CURLOPT_USERNAME, c->FUser.c_str());
        Curl().easy_setopt(e, CURLOPT_PASSWORD, c->FPassword.c_str());
    }
    if (ftp) {
        // One CWD to the whole folder, then the bare file name, as a folder change
        // followed by an open does.
        Curl().easy_setopt(e, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
        // Log in now: a refused login belongs to the connection, not to a download.
        c->Prepare(c->Url(""), true);
        c->Pump([] { return false; });
        if (!c->Finish()) return nullptr;
    } else {
        Curl().easy_setopt(e, CURLOPT_USERAGENT, session.Agent().c_str());
        Curl().easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        Curl().easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
        Curl().easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http");
        if (!c->FUser.empty()) Curl().easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    }
    Succeed();
    return c;
}

std::string TInternetConnection::Url(const std::string& path) const {
    std::string encoded = EncodePath(path);
    if (FService == INTERNET_SERVICE_FTP) {
        // FTP paths are relative to the login folder; a leading "/" must survive as
        // the root rather than vanish as the separator after the host.
        if (!path.empty() && path[0] == '/') encoded = "%2F" + encoded.substr(1);
        return "ftp://" + FHost + "/" + encoded;
    }
    // An HTTP path always starts at the root.
    if (encoded.empty() || encoded[0] != '/') encoded = "/" + encoded;
    return "http://" + FHost + encoded;
}

void TInternetConnection::Prepare(const std::string& url, bool noBody) {
    Detach();
    CURL* e = Easy(FEasy);
    Curl().easy_setopt(e, CURLOPT_URL, url.c_str());
    Curl().easy_setopt(e, CURLOPT_NOBODY, noBody ? 1L : 0L);
    if (!noBody && FService == INTERNET_SERVICE_HTTP) Curl().easy_setopt(e, CURLOPT_HTTPGET, 1L);
    Curl().easy_setopt(e, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(FHeaders));
    FDone = false;
    FResult = CURLE_OK;
    FBuffer.clear();
    FBufferPos = 0;
    FReply.clear();
    FStarted = FHeadersDone = FRedirect = false;
    if (Curl().multi_add_handle(Multi(FSession.FMulti), e) == CURLM_OK) {
        FAttached = true;
    } else {
        FDone = true;
        FResult = CURLE_FAILED_INIT;
    }
}

template <class Pred>
void TInternetConnection::Pump(Pred ready) {
    using Clock = std::chrono::steady_clock;
    CURLM* multi = Multi(FSession.FMulti);
    auto quietSince = Clock::now();
    uint64_t seen = FActivity;
    const auto stall = std::chrono::milliseconds(FSession.StallTimeout());
    while (!FDone && !ready()) {
        int running = 0;
        if (Curl().multi_perform(multi, &running) != CURLM_OK) {
            FDone = true;
            FResult = CURLE_UNRECOVERABLE_POLL;
            break;
        }
        int left = 0;
        while (CURLMsg* m = Curl().multi_info_read(multi, &left)) {
            if (m->msg == CURLMSG_DONE && m->easy_handle == FEasy) {
                FDone = true;
                FResult = m->data.result;
            }
        }
        if (FDone || ready()) break;
        auto now = Clock::now();
        if (FActivity != seen) {
            seen = FActivity;
            quietSince = now;
        } else if (now - quietSince >= stall) {
            FDone = true;
            FResult = CURLE_OPERATION_TIMEDOUT;
            break;
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(stall - (now - quietSince)).count();
        Curl().multi_poll(multi, nullptr, 0, static_cast<int>(std::clamp<long long>(wait, 1, 200)), nullptr);
    }
    if (FDone) Detach();
}

bool TInternetConnection::Finish() {
    if (FDone && FResult != CURLE_OK) return Fail(CodeOfCurl(FResult));
    return Succeed();
}

void TInternetConnection::Detach() {
    if (!FAttached) return;
    Curl().multi_remove_handle(Multi(FSession.FMulti), Easy(FEasy));
    FAttached = false;
}

size_t TInternetConnection::OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* c = static_cast<TInternetConnection*>(self);
    size_t n = size * count;
    c->FActivity += n + 1;
    std::string line(data, n);
    if (c->FService == INTERNET_SERVICE_FTP) {
        // A reply may span lines; "NNN " opens its last one.
        c->FReply += line;
        bool last = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                    std::isdigit(static_cast<unsigned char>(line[1])) &&
                    std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ';
        if (last) {
            if (line.compare(0, 3, "125") == 0 || line.compare(0, 3, "150") == 0) c->FStarted = true;
            SetResponse(c->FReply);
            c->FReply.clear();
        }
        return n;
    }
    if (line.compare(0, 5, "HTTP/") == 0) {
        SetResponse(line);
        c->FRedirect = false;
    } else if (line.size() > 9 && strncasecmp(line.c_str(), "Location:", 9) == 0) {
        c->FRedirect = true;
    } else if (line == "\r\n" || line == "\n") {
        long status = 0;
        Curl().easy_getinfo(Easy(c->FEasy), CURLINFO_RESPONSE_CODE, &status);
        // An interim answer or a redirect that will be followed is not the final one.
        if (status >= 200 && !(c->FRedirect && status >= 300 && status < 400)) c->FHeadersDone = true;
    }
    return n;
}

size_t TInternetConnection::OnBody(char* data, size_t size, size_t count, void* self) {
    auto* c = static_cast<TInternetConnection*>(self);
    size_t n = size * count;
    c->FActivity += n;
    if (c->FBufferPos == c->FBuffer.size()) {
        c->FBuffer.clear();
        c->FBufferPos = 0;
    }
    c->FBuffer.append(data, n);
    return n;
}

bool TInternetConnection::FtpSetCurrentDirectory(const std::string& path) {
    if (FService != INTERNET_SERVICE_FTP) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (FFile) return Fail(ERROR_FTP_TRANSFER_IN_PROGRESS);
    // A request without a body on the folder itself makes the change and nothing else.
    std::string dir = path;
    if (dir.empty() || dir.back() != '/') dir += '/';
    Prepare(Url(dir), true);
    Pump([] { return false; });
    if (!Finish()) return false;
    FDirectory = path;
    return true;
}

std::unique_ptr<TInternetFile> TInternetConnection::FtpOpenFile(const std::string& name) {
    if (FService != INTERNET_SERVICE_FTP) {
        Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return nullptr;
    }
    if (FFile) {
        Fail(ERROR_FTP_TRANSFER_IN_PROGRESS);
        return nullptr;
    }
    std::string dir = FDirectory;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    Prepare(Url(dir + name), false);
    auto started = [this] { return FStarted || FBufferPos < FBuffer.size(); };
    Pump(started);
    // Once the server has accepted, a later failure belongs to the reads.
    if (!started() && !Finish()) return nullptr;
    std::unique_ptr<TInternetFile> f(new TInternetFile(*this));
    FFile = f.get();
    f->FSent = true;
    Succeed();
    return f;
}

std::unique_ptr<TInternetFile> TInternetConnection::HttpOpenRequest(const std::string& objectName) {
    if (FService != INTERNET_SERVICE_HTTP || FFile) {
        Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return nullptr;
    }
    std::unique_ptr<TInternetFile> f(new TInternetFile(*this));
    f->FUrl = Url(objectName);
    FFile = f.get();
    Succeed();
    return f;
}

// ---- file -------------------------------------------------------------------------

TInternetFile::~TInternetFile() { Close(); }

bool TInternetFile::HttpSendRequest(const std::string& headers) {
    TInternetConnection* c = FConnection;
    if (!c || c->FService != INTERNET_SERVICE_HTTP || FSent) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    Curl().slist_free_all(static_cast<curl_slist*>(c->FHeaders));
    curl_slist* list = nullptr;
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string::npos) end = headers.size();
        std::string line = headers.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) list = Curl().slist_append(list, line.c_str());
        start = end + 1;
    }
    // Straight from the server: no cache on the way may answer.
    list = Curl().slist_append(list, "Cache-Control: no-cache");
    list = Curl().slist_append(list, "Pragma: no-cache");
    c->FHeaders = list;
    c->Prepare(FUrl, false);
    FSent = true;
    c->Pump([c] { return c->FHeadersDone; });
    return c->FHeadersDone ? Succeed() : c->Finish();
}

int TInternetFile::HttpStatus() const {
    long status = 0;
    if (FConnection && FConnection->FService == INTERNET_SERVICE_HTTP)
        Curl().easy_getinfo(Easy(FConnection->FEasy), CURLINFO_RESPONSE_CODE, &status);
    return static_cast<int>(status);
}

bool TInternetFile::QuerySize(int64_t& size) {
    size = 0;
    if (!FConnection || !FSent) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    curl_off_t length = -1;
    Curl().easy_getinfo(Easy(FConnection->FEasy), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (length < 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    size = length;
    return Succeed();
}

bool TInternetFile::Read(void* buffer, int32_t count, int32_t& read) {
    read = 0;
    TInternetConnection* c = FConnection;
    if (!c || !FSent || count < 0) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    // As a synchronous read: the whole count unless the transfer ends first.
    c->Pump([c, count] { return c->FBuffer.size() - c->FBufferPos >= static_cast<size_t>(count); });
    size_t n = std::min(static_cast<size_t>(count), c->FBuffer.size() - c->FBufferPos);
    if (n == 0) return c->Finish();  // the end, or why there is no more
    std::memcpy(buffer, c->FBuffer.data() + c->FBufferPos, n);
    c->FBufferPos += n;
    read = static_cast<int32_t>(n);
    return Succeed();
}

bool TInternetFile::Close() {
    // Leaves the last error alone: closing after a failure must not hide it.
    if (FConnection) {
        FConnection->Detach();
        FConnection->FFile = nullptr;
        FConnection = nullptr;
    }
    return true;
}

}  // namespace kv
