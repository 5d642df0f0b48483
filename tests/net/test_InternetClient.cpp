#include <gtest/gtest.h>

#include "platform/InternetClient.h"
#include "tests/net/TestServers.h"

using namespace kv;
using kvtest::Servers;

namespace {

// Reads the file to its end in blocks of at most 8192 bytes; false on a read error.
bool ReadToEnd(TInternetFile& f, std::string& out) {
    char buf[kInternetBlockSize];
    for (;;) {
        int32_t n = -1;
        if (!f.Read(buf, sizeof buf, n)) return false;
        EXPECT_LE(n, kInternetBlockSize);
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

std::string LastResponse() {
    std::string s;
    return InternetGetLastResponseInfo(s) ? s : "<none>";
}

class InternetClient : public ::testing::Test {
protected:
    void SetUp() override {
        kvtest::NoProxies();
        Servers().ClearLogs();
        ASSERT_EQ(InternetStartup(), TInternetStartup::Ok);
        session = TInternetSession::Open("KelvaneTest");
        ASSERT_TRUE(session);
        session->SetStallTimeout(10000);  // the stall cases shorten it
    }
    void TearDown() override {
        session.reset();
        InternetShutdown();
    }
    std::unique_ptr<TInternetConnection> Http(const std::string* user = nullptr, const std::string* pass = nullptr) {
        return TInternetConnection::Connect(*session, Servers().Http().Host(), INTERNET_SERVICE_HTTP, user, pass);
    }
    std::unique_ptr<TInternetConnection> Ftp(const std::string* user = nullptr, const std::string* pass = nullptr) {
        return TInternetConnection::Connect(*session, Servers().Ftp().Host(), INTERNET_SERVICE_FTP, user, pass);
    }
    // GETs Object and reads it all; returns the status.
    int Get(TInternetConnection& c, const std::string& object, std::string& body, bool& readOk) {
        auto f = c.HttpOpenRequest(object);
        EXPECT_TRUE(f);
        EXPECT_TRUE(f->HttpSendRequest("Accept: */*\r\n\r\n")) << InternetErrorName(InternetGetLastError());
        readOk = ReadToEnd(*f, body);
        return f->HttpStatus();
    }
    std::unique_ptr<TInternetSession> session;
};

}  // namespace

TEST(InternetErrors, Names) {
    struct Case { int32_t code; const char* name; };
    const Case cases[] = {
        {6, "ERROR_INVALID_HANDLE"},
        {12001, "ERROR_INTERNET_OUT_OF_HANDLES"},
        {12002, "ERROR_INTERNET_TIMEOUT"},
        {12015, "ERROR_INTERNET_LOGIN_FAILURE"},
        {12032, "ERROR_INTERNET_FORCE_RETRY"},
        {12033, "Unregistered error code"},
        {12036, "ERROR_INTERNET_HANDLE_EXISTS"},
        {12041, "ERROR_INTERNET_MIXED_SECURITY"},
        {12110, "ERROR_FTP_TRANSFER_IN_PROGRESS"},
        {12111, "ERROR_FTP_DROPPED"},
        {12112, "Unregistered error code"},
        {12130, "ERROR_GOPHER_PROTOCOL_ERROR"},
        {12138, "ERROR_GOPHER_UNKNOWN_LOCATOR"},
        {12139, "Unregistered error code"},
        {12150, "ERROR_HTTP_HEADER_NOT_FOUND"},
        {12155, "ERROR_HTTP_HEADER_ALREADY_EXISTS"},
        {12156, "Unregistered error code"},
        {0, "Unregistered error code"},
        {kInternetCurlErrorBase + 8, "CURLE_WEIRD_SERVER_REPLY"},
        {kInternetCurlErrorBase + 99, "CURLE_UNRECOVERABLE_POLL"},
        {kInternetCurlErrorBase + 100, "Unregistered error code"},
        {-1, "Unregistered error code"},
    };
    for (const auto& c : cases) EXPECT_EQ(InternetErrorName(c.code), c.name) << c.code;
}

TEST(InternetErrors, HttpStatus) {
    EXPECT_EQ(InternetErrorForHttpStatus(200), 0);
    EXPECT_EQ(InternetErrorForHttpStatus(302), 0);
    EXPECT_EQ(InternetErrorForHttpStatus(401), ERROR_INTERNET_INCORRECT_PASSWORD);
    EXPECT_EQ(InternetErrorForHttpStatus(404), ERROR_INTERNET_ITEM_NOT_FOUND);
    EXPECT_EQ(InternetErrorForHttpStatus(500), ERROR_INTERNET_EXTENDED_ERROR);
}

TEST(InternetStartupCheck, NeedsBothProtocols) {
    const char* both[] = {"dict", "ftp", "http", nullptr};
    const char* httpOnly[] = {"http", "https", nullptr};
    const char* ftpOnly[] = {"ftp", nullptr};
    EXPECT_EQ(InternetStartupResult(true, both), TInternetStartup::Ok);
    EXPECT_EQ(InternetStartupResult(true, httpOnly), TInternetStartup::NoFtp);
    EXPECT_EQ(InternetStartupResult(true, ftpOnly), TInternetStartup::NoHttp);
    EXPECT_EQ(InternetStartupResult(false, both), TInternetStartup::NoLibrary);
    EXPECT_EQ(InternetStartupResult(true, nullptr), TInternetStartup::NoLibrary);
}

TEST_F(InternetClient, HttpRequestTextAndReuse) {
    auto c = Http();
    ASSERT_TRUE(c);
    std::string body;
    bool ok = false;
    EXPECT_EQ(Get(*c, "/small.txt", body, ok), 200);
    EXPECT_TRUE(ok);
    EXPECT_EQ(body, Servers().Payload().small);
    EXPECT_EQ(LastResponse(), "HTTP/1.1 200 OK");
    body.clear();
    // No leading slash: still asked for from the root.
    EXPECT_EQ(Get(*c, "sub/deep/inner.txt", body, ok), 200);
    EXPECT_EQ(body, Servers().Payload().nested);

    const std::string log = Servers().Http().Log();
    const std::string host = Servers().Http().Host();
    const std::string first = "CONNECT\nREQUEST GET /small.txt HTTP/1.1\nHEADER Host: " + host +
                              "\nHEADER User-Agent: KelvaneTest\nHEADER Accept: */*\n"
                              "HEADER Cache-Control: no-cache\nHEADER Pragma: no-cache\n";
    EXPECT_EQ(log.substr(0, first.size()), first) << log;
    EXPECT_NE(log.find("REQUEST GET /sub/deep/inner.txt HTTP/1.1"), std::string::npos);
    EXPECT_EQ(Servers().Http().Count("CONNECT"), 1) << "the connection is kept for the second request";
    EXPECT_EQ(log.find("Authorization"), std::string::npos);
}

TEST_F(InternetClient, HttpSizeAndBlocks) {
    auto c = Http();
    for (const char* name : {"/big.bin", "/exact.bin", "/empty.bin", "/nolength.txt"}) {
        SCOPED_TRACE(name);
        auto f = c->HttpOpenRequest(name);
        ASSERT_TRUE(f->HttpSendRequest("Accept: */*\r\n"));
        int64_t size = -1;
        bool known = f->QuerySize(size);
        int32_t error = InternetGetLastError();
        std::string body;
        ASSERT_TRUE(ReadToEnd(*f, body));
        if (std::string(name) == "/nolength.txt") {
            EXPECT_FALSE(known);
            EXPECT_EQ(error, ERROR_HTTP_HEADER_NOT_FOUND);
            EXPECT_EQ(size, 0);
        } else {
            EXPECT_TRUE(known);
            EXPECT_EQ(size, static_cast<int64_t>(body.size()));
        }
        EXPECT_TRUE(f->Close());
    }
}

TEST_F(InternetClient, HttpStatusAnswersAreReadable) {
    auto c = Http();
    std::string body;
    bool ok = false;
    EXPECT_EQ(Get(*c, "/missing.bin", body, ok), 404);
    EXPECT_TRUE(ok);
    EXPECT_EQ(body, "<html><body>404 Not Found</body></html>");
    EXPECT_EQ(LastResponse(), "HTTP/1.1 404 Not Found");
    body.clear();
    EXPECT_EQ(Get(*c, "/status/500", body, ok), 500);
}

TEST_F(InternetClient, HttpCredentials) {
    struct Case { const char* user; const char* pass; int status; };
    const Case cases[] = {{"kv", "secret", 200}, {"kv", "wrong", 401}, {"", "", 401}};
    for (const auto& k : cases) {
        std::string user = k.user, pass = k.pass;
        auto c = Http(&user, &pass);
        std::string body;
        bool ok = false;
        EXPECT_EQ(Get(*c, "/private/secret.txt", body, ok), k.status) << k.user << ":" << k.pass;
    }
}

TEST_F(InternetClient, HttpConnectionRefused) {
    auto c = TInternetConnection::Connect(*session, "127.0.0.1:" + std::to_string(kvtest::ClosedPort()),
                                          INTERNET_SERVICE_HTTP, nullptr, nullptr);
    ASSERT_TRUE(c) << "HTTP connects on the first request";
    auto f = c->HttpOpenRequest("/x");
    EXPECT_FALSE(f->HttpSendRequest(""));
    EXPECT_EQ(InternetGetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
}

TEST_F(InternetClient, BadHostNames) {
    for (const char* host : {"", "a b", "x/y", "u@h"}) {
        EXPECT_FALSE(TInternetConnection::Connect(*session, host, INTERNET_SERVICE_HTTP, nullptr, nullptr)) << host;
        EXPECT_EQ(InternetGetLastError(), ERROR_INTERNET_NAME_NOT_RESOLVED);
    }
    EXPECT_FALSE(TInternetConnection::Connect(*session, "h", static_cast<TInternetService>(2), nullptr, nullptr));
}

TEST_F(InternetClient, FtpLoginFolderAndFiles) {
    auto c = Ftp();
    ASSERT_TRUE(c) << InternetErrorName(InternetGetLastError());
    EXPECT_TRUE(c->FtpSetCurrentDirectory("sub/deep"));
    auto f = c->FtpOpenFile("inner.txt");
    ASSERT_TRUE(f);
    int64_t size = -1;
    EXPECT_TRUE(f->QuerySize(size));
    EXPECT_EQ(size, static_cast<int64_t>(Servers().Payload().nested.size()));
    std::string body;
    EXPECT_TRUE(ReadToEnd(*f, body));
    EXPECT_EQ(body, Servers().Payload().nested);
    EXPECT_FALSE(c->FtpOpenFile("other")) << "one transfer at a time";
    EXPECT_EQ(InternetGetLastError(), ERROR_FTP_TRANSFER_IN_PROGRESS);
    f->Close();

    EXPECT_TRUE(c->FtpSetCurrentDirectory("/"));
    for (const char* name : {"big.bin", "exact.bin", "empty.bin"}) {
        f = c->FtpOpenFile(name);
        ASSERT_TRUE(f) << name;
        body.clear();
        EXPECT_TRUE(ReadToEnd(*f, body));
        EXPECT_TRUE(f->QuerySize(size));
        EXPECT_EQ(size, static_cast<int64_t>(body.size())) << name;
        f->Close();
    }
    EXPECT_EQ(body, "");

    const auto& server = Servers().Ftp();
    EXPECT_EQ(server.Count("CONNECT"), 1);
    EXPECT_EQ(server.Count("COMMAND USER anonymous"), 1);
    EXPECT_EQ(server.Count("COMMAND CWD sub/deep"), 1);
    EXPECT_GE(server.Count("COMMAND CWD /"), 1) << server.Log();
    EXPECT_EQ(server.Count("COMMAND TYPE I"), 1);
    EXPECT_EQ(server.Count("COMMAND RETR big.bin"), 1);
}

TEST_F(InternetClient, FtpRefusals) {
    std::string user = "kv", wrong = "nope", right = "secret";
    EXPECT_FALSE(Ftp(&user, &wrong));
    EXPECT_EQ(InternetGetLastError(), ERROR_INTERNET_LOGIN_FAILURE);
    EXPECT_EQ(LastResponse().substr(0, 4), "530 ");

    auto c = Ftp(&user, &right);
    ASSERT_TRUE(c);
    EXPECT_FALSE(c->FtpSetCurrentDirectory("no/such"));
    EXPECT_EQ(InternetGetLastError(), ERROR_INTERNET_EXTENDED_ERROR);
    EXPECT_EQ(LastResponse().substr(0, 4), "550 ");
    EXPECT_TRUE(c->FtpSetCurrentDirectory("/"));
    EXPECT_FALSE(c->FtpOpenFile("missing.bin"));
    EXPECT_EQ(InternetGetLastError(), ERROR_INTERNET_EXTENDED_ERROR);
    auto f = c->FtpOpenFile("small.txt");
    ASSERT_TRUE(f) << "still usable after a refusal";
    std::string body;
    EXPECT_TRUE(ReadToEnd(*f, body));
    EXPECT_EQ(body, Servers().Payload().small);
    EXPECT_EQ(Servers().Ftp().Count("COMMAND USER kv"), 2);
}

TEST_F(InternetClient, FtpConnectionRefused) {
    EXPECT_FALSE(TInternetConnection::Connect(*session, "127.0.0.1:" + std::to_string(kvtest::ClosedPort()),
                                              INTERNET_SERVICE_FTP, nullptr, nullptr));
    EXPECT_EQ(InternetGetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
}

// A server that goes quiet or hangs up ends the read with an error after what it
// sent; the connection then serves the next file.
TEST_F(InternetClient, StallAndCut) {
    session->SetStallTimeout(1000);
    struct Case { bool ftp; const char* name; size_t sent; int32_t error; };
    const Case cases[] = {
        {false, "stall.bin", 8192, ERROR_INTERNET_TIMEOUT},
        {true, "stall.bin", 8192, ERROR_INTERNET_TIMEOUT},
        {false, "cut.bin", Servers().Payload().cut.size() / 2, ERROR_INTERNET_CONNECTION_ABORTED},
        {true, "cut.bin", Servers().Payload().cut.size() / 2, ERROR_INTERNET_CONNECTION_ABORTED},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.ftp ? "ftp " : "http ") + k.name);
        auto c = k.ftp ? Ftp() : Http();
        ASSERT_TRUE(c);
        std::unique_ptr<TInternetFile> f;
        if (k.ftp) {
            ASSERT_TRUE(c->FtpSetCurrentDirectory("/"));
            f = c->FtpOpenFile(k.name);
        } else {
            f = c->HttpOpenRequest(std::string("/") + k.name);
            ASSERT_TRUE(f->HttpSendRequest(""));
        }
        ASSERT_TRUE(f);
        std::string body;
        EXPECT_FALSE(ReadToEnd(*f, body));
        EXPECT_EQ(InternetGetLastError(), k.error) << InternetErrorName(InternetGetLastError());
        EXPECT_EQ(body.size(), k.sent);
        f->Close();
        if (k.ftp) {
            f = c->FtpOpenFile("small.txt");
        } else {
            f = c->HttpOpenRequest("/small.txt");
            ASSERT_TRUE(f->HttpSendRequest(""));
        }
        ASSERT_TRUE(f) << InternetErrorName(InternetGetLastError());
        body.clear();
        EXPECT_TRUE(ReadToEnd(*f, body));
        EXPECT_EQ(body, Servers().Payload().small);
    }
}

TEST_F(InternetClient, ClosingUnfinishedTransfer) {
    auto c = Http();
    auto f = c->HttpOpenRequest("/big.bin");
    ASSERT_TRUE(f->HttpSendRequest(""));
    char buf[100];
    int32_t n = 0;
    ASSERT_TRUE(f->Read(buf, sizeof buf, n));
    EXPECT_EQ(n, 100);
    EXPECT_TRUE(f->Close());
    EXPECT_FALSE(f->Read(buf, sizeof buf, n));
    EXPECT_EQ(InternetGetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    std::string body;
    bool ok = false;
    EXPECT_EQ(Get(*c, "/small.txt", body, ok), 200);
    // A file handle may outlive its connection without harm.
    f = c->HttpOpenRequest("/small.txt");
    c.reset();
    EXPECT_FALSE(f->HttpSendRequest(""));
}
