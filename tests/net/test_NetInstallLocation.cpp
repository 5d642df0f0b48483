#include <gtest/gtest.h>

#include "net/TNetInstallLocation.h"
#include "runtime/Streaming.h"
#include "tests/net/TestServers.h"

using namespace kv;
using kvtest::ReadAll;
using kvtest::Servers;

namespace {

using TLog = std::vector<std::string>;

// A location on the local server of one protocol that records its events.
class NetLocation : public ::testing::TestWithParam<TInternetProtocol> {
protected:
    void SetUp() override {
        kvtest::NoProxies();
        DownloadAborted = false;
        owner = std::make_unique<TComponent>(nullptr);
        loc = new TNetInstallLocation(owner.get());
        loc->SetName("NetLoc1");
        loc->SetStallTimeout(10000);  // the stall test shortens it
        info().SetHostname(Server().Host());
        info().SetProtocol(GetParam());
        Servers().ClearLogs();
        loc->OnBeforeLogin = [this](TObject* s) { Note(s, "BeforeLogin"); };
        loc->OnAfterLogin = [this](TObject* s) { Note(s, "AfterLogin"); };
        loc->OnBeforeDownload = [this](TObject* s) { Note(s, "BeforeDownload " + loc->RemoteName()); };
        loc->OnDataReceived = [this](TObject* s, const std::string& name, int32_t n, int32_t total, int32_t size,
                                     const char* buf) {
            Note(s, Format("Data %s %d %d %d", {name, n, total, size}));
            received.append(buf, static_cast<size_t>(n));
        };
        loc->OnAfterDownload = [this](TObject* s, bool aborted) {
            Note(s, std::string("AfterDownload") + (aborted ? " aborted" : ""));
        };
    }
    void TearDown() override {
        owner.reset();
        DownloadAborted = false;
    }
    void Note(TObject* sender, const std::string& what) {
        EXPECT_EQ(sender, loc);
        log.push_back(what);
    }
    bool Ftp() const { return GetParam() == ipFTP; }
    kvtest::TTestServer& Server() { return Ftp() ? Servers().Ftp() : Servers().Http(); }
    TLoginInformation& info() { return *loc->LoginInformation(); }
    // The decoration every ENIL message carries.
    std::string Decoration(const std::string& error, const std::string& response) {
        return ". Error message " + error + ". Server " + Server().Host() + ". Response from server " + response;
    }
    // The expected data events of Bytes of a file of Size bytes read in 8192-byte blocks.
    static TLog DataEvents(const std::string& name, size_t bytes, size_t size = 0) {
        TLog out;
        for (size_t total = 0; total < bytes;) {
            size_t n = std::min<size_t>(8192, bytes - total);
            total += n;
            out.push_back(Format("Data %s %d %d %d", {name, static_cast<int>(n), static_cast<int>(total),
                                                      static_cast<int>(size ? size : bytes)}));
        }
        return out;
    }
    template <class E>
    std::string DownloadFails(const std::string& remote, const std::string& local) {
        try {
            loc->Download(remote, local);
        } catch (const E& e) {
            return e.Message();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "other exception: " << e.what();
            return e.what();
        }
        ADD_FAILURE() << "no exception";
        return "";
    }

    // A message up to the server's response, which may differ with timing.
    static std::string BeforeResponse(const std::string& message) {
        return message.substr(0, message.find(". Response from server "));
    }

    kvtest::TTempDir tmp;
    std::unique_ptr<TComponent> owner;
    TNetInstallLocation* loc = nullptr;
    TLog log;
    std::string received;
};

const TLog kLogin = {"BeforeLogin", "AfterLogin"};
int gPumps = 0;

TLog Concat(std::initializer_list<TLog> parts) {
    TLog out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Protocols, NetLocation, ::testing::Values(ipFTP, ipHTTP),
                         [](const auto& p) { return std::string(p.param == ipFTP ? "FTP" : "HTTP"); });

TEST_P(NetLocation, DownloadsWithTheirBlockSequences) {
    const auto& payload = Servers().Payload();
    struct Case { const char* name; const std::string& data; };
    const Case cases[] = {{"small.txt", payload.small}, {"exact.bin", payload.exact}, {"big.bin", payload.big}};
    NetProcessMessages = [] { ++gPumps; };
    TLog internal;
    loc->OnInternalDataReceived = [&](TObject*, const std::string&, int32_t n, int32_t, int32_t, const char*) {
        internal.push_back(log.back() + " then internal " + std::to_string(n));
    };
    TLog want = kLogin;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        received.clear();
        gPumps = 0;
        internal.clear();
        std::string local = tmp / c.name;
        kvtest::WriteAll(local, "old content that is replaced");
        loc->Download(c.name, local);
        EXPECT_EQ(ReadAll(local), c.data);
        EXPECT_EQ(received, c.data);
        TLog data = DataEvents(c.name, c.data.size());
        want = Concat({want, {std::string("BeforeDownload ") + c.name}, data, {"AfterDownload"}});
        EXPECT_EQ(log, want);
        EXPECT_EQ(gPumps, static_cast<int>(data.size())) << "one pump a block";
        ASSERT_EQ(internal.size(), data.size());
        EXPECT_EQ(internal[0], data[0] + " then internal " + std::to_string(std::min<size_t>(8192, c.data.size())));
        EXPECT_EQ(loc->LocalFile(), local);
    }
    NetProcessMessages = nullptr;
    // One connection and one login for all three.
    EXPECT_EQ(Server().Count("CONNECT"), 1);
    if (Ftp()) {
        EXPECT_EQ(Server().Count("COMMAND USER anonymous"), 1);
    }
}

TEST_P(NetLocation, EmptyFileIsNotFound) {
    std::string local = tmp / "empty.bin";
    EXPECT_EQ(DownloadFails<ENIL_FileNotFound>("empty.bin", local),
              "Could not find the file empty.bin on the server" +
                  Decoration("Unregistered error code", Ftp() ? "226 Transfer complete." : "HTTP/1.1 200 OK"));
    EXPECT_EQ(log, Concat({kLogin, {"BeforeDownload empty.bin"}}));
    EXPECT_TRUE(kvtest::fs::exists(local));
}

TEST_P(NetLocation, MissingFile) {
    if (Ftp()) {
        EXPECT_EQ(DownloadFails<ENIL_FTPOpenFile>("missing.bin", tmp / "m"),
                  "Cannot open file missing.bin on server" +
                      Decoration("ERROR_INTERNET_EXTENDED_ERROR", "550 /missing.bin is not retrievable."));
    } else {
        EXPECT_EQ(DownloadFails<ENIL_FileNotFound>("missing.bin", tmp / "m"),
                  "Could not find the file missing.bin on the server" +
                      Decoration("ERROR_INTERNET_ITEM_NOT_FOUND", "HTTP/1.1 404 Not Found"));
    }
    EXPECT_EQ(log, Concat({kLogin, {"BeforeDownload missing.bin"}}));
    // The location stays usable.
    loc->Download("small.txt", tmp / "s");
    EXPECT_EQ(ReadAll(tmp / "s"), Servers().Payload().small);
}

// An HTTP answer opening with "404" is a missing file, even when it is the real one;
// over FTP the same file arrives.
TEST_P(NetLocation, The404Rule) {
    std::string local = tmp / "order404.txt";
    if (Ftp()) {
        loc->Download("order404.txt", local);
        EXPECT_EQ(ReadAll(local), Servers().Payload().starts404);
    } else {
        EXPECT_EQ(DownloadFails<ENIL_FileNotFound>("order404.txt", local),
                  "Could not find the file order404.txt on the server" +
                      Decoration("Unregistered error code", "HTTP/1.1 200 OK"));
        EXPECT_EQ(log, Concat({kLogin, {"BeforeDownload order404.txt"}}));
    }
}

// HTTP's own answers.
class NetLocationHttp : public NetLocation {};
INSTANTIATE_TEST_SUITE_P(Protocols, NetLocationHttp, ::testing::Values(ipHTTP),
                         [](const auto&) { return std::string("HTTP"); });

// An error page is a failure, never the file's content.
TEST_P(NetLocationHttp, OtherErrorAnswersFail) {
    info().SetDirectory("status");
    EXPECT_EQ(DownloadFails<ENIL_HTTPOpenFile>("500", tmp / "x"),
              "Cannot open file 500 on server" +
                  Decoration("ERROR_INTERNET_EXTENDED_ERROR", "HTTP/1.1 500 Internal Server Error"));
    EXPECT_FALSE(kvtest::fs::exists(tmp / "x"));
}

TEST_P(NetLocation, Credentials) {
    info().SetAnonymous(false);
    info().SetUsername("kv");
    info().SetPassword("wrong");
    info().SetDirectory("private");
    if (Ftp()) {
        EXPECT_EQ(DownloadFails<ENIL_OpenService>("secret.txt", tmp / "s"),
                  "Cannot connect to host " + Server().Host() +
                      Decoration("ERROR_INTERNET_LOGIN_FAILURE", "530 Authentication failed."));
        EXPECT_EQ(log, TLog{"BeforeLogin"});
    } else {
        EXPECT_EQ(DownloadFails<ENIL_HTTPOpenFile>("secret.txt", tmp / "s"),
                  "Cannot open file secret.txt on server" +
                      Decoration("ERROR_INTERNET_INCORRECT_PASSWORD", "HTTP/1.1 401 Unauthorized"));
        EXPECT_EQ(log, Concat({kLogin, {"BeforeDownload secret.txt"}}));
    }
    // The right password on a fresh location.
    auto* good = new TNetInstallLocation(owner.get());
    info().SetPassword("secret");
    good->SetLoginInformation(&info());
    good->Download("secret.txt", tmp / "s");
    EXPECT_EQ(ReadAll(tmp / "s"), Servers().Payload().small);
    if (Ftp()) {
        EXPECT_EQ(Server().Count("COMMAND USER kv"), 2);
    } else {
        EXPECT_NE(Server().Log().find("HEADER Authorization: Basic a3Y6c2VjcmV0"), std::string::npos);
    }
}

TEST_P(NetLocation, AnonymousSendsNoCredentials) {
    loc->Download("small.txt", tmp / "s");
    const std::string serverLog = Server().Log();
    if (Ftp()) {
        EXPECT_EQ(Server().Count("COMMAND USER anonymous"), 1);
    } else {
        EXPECT_EQ(serverLog.find("Authorization"), std::string::npos);
        EXPECT_NE(serverLog.find("HEADER User-Agent: Kelvane Setup\nHEADER Accept: */*\n"
                                 "HEADER Cache-Control: no-cache\nHEADER Pragma: no-cache\n"),
                  std::string::npos)
            << serverLog;
    }
}

TEST_P(NetLocation, ServerClosesInTheMiddle) {
    std::string local = tmp / "cut.bin";
    const std::string& cut = Servers().Payload().cut;
    EXPECT_EQ(BeforeResponse(DownloadFails<ENIL_ReadFile>("cut.bin", local)),
              "Could not read from file cut.bin on the server. Error message ERROR_INTERNET_CONNECTION_ABORTED. Server " +
                  Server().Host());
    EXPECT_EQ(ReadAll(local), cut.substr(0, cut.size() / 2)) << "the partial file stays";
    EXPECT_EQ(log, Concat({kLogin, {"BeforeDownload cut.bin"}, DataEvents("cut.bin", cut.size() / 2, cut.size())}));
}

TEST_P(NetLocation, ServerStalls) {
    loc->SetStallTimeout(1000);
    std::string local = tmp / "stall.bin";
    const std::string& stall = Servers().Payload().stall;
    EXPECT_EQ(BeforeResponse(DownloadFails<ENIL_ReadFile>("stall.bin", local)),
              "Could not read from file stall.bin on the server. Error message ERROR_INTERNET_TIMEOUT. Server " +
                  Server().Host());
    EXPECT_EQ(ReadAll(local), stall.substr(0, 8192));
    EXPECT_EQ(log, Concat({kLogin, {"BeforeDownload stall.bin"}, DataEvents("stall.bin", 8192, stall.size())}));
}

TEST_P(NetLocation, AbortFromAProgressEvent) {
    const std::string& big = Servers().Payload().big;
    loc->OnDataReceived = [this](TObject*, const std::string&, int32_t, int32_t total, int32_t, const char*) {
        log.push_back("Data " + std::to_string(total));
        if (total == 3 * 8192) DownloadAborted = true;
    };
    std::string local = tmp / "big.bin";
    loc->Download("big.bin", local);
    EXPECT_EQ(ReadAll(local), big.substr(0, 2 * 8192)) << "the aborted block is not written";
    EXPECT_EQ(log, Concat({kLogin, {"BeforeDownload big.bin", "Data 8192", "Data 16384", "Data 24576",
                                    "AfterDownload aborted"}}));
    // The flag stays: the next download stops after its first block, without a new login.
    log.clear();
    loc->Download("exact.bin", tmp / "exact.bin");
    EXPECT_EQ(ReadAll(tmp / "exact.bin"), "");
    EXPECT_EQ(log, (TLog{"BeforeDownload exact.bin", "Data 8192", "AfterDownload aborted"}));
}

TEST_P(NetLocation, DirectoryWithABackslash) {
    info().SetDirectory("sub\\deep");
    loc->Download("inner.txt", tmp / "inner.txt");
    EXPECT_EQ(ReadAll(tmp / "inner.txt"), Servers().Payload().nested);
    // Again on the same connection, from the root this time.
    info().SetDirectory("");
    loc->Download("small.txt", tmp / "small.txt");
    EXPECT_EQ(ReadAll(tmp / "small.txt"), Servers().Payload().small);
    EXPECT_EQ(log, Concat({kLogin, {"BeforeDownload inner.txt"}, DataEvents("inner.txt", 18), {"AfterDownload"},
                           {"BeforeDownload small.txt"}, DataEvents("small.txt", 24), {"AfterDownload"}}));
    if (Ftp()) {
        EXPECT_EQ(Server().Count("COMMAND CWD sub/deep"), 1);
        EXPECT_GE(Server().Count("COMMAND CWD /"), 1);
    } else {
        EXPECT_EQ(Server().Count("REQUEST GET /sub/deep/inner.txt HTTP/1.1"), 1);
        EXPECT_EQ(Server().Count("REQUEST GET /small.txt HTTP/1.1"), 1);
    }
    EXPECT_EQ(Server().Count("CONNECT"), 1);
}

TEST_P(NetLocation, MissingDirectory) {
    info().SetDirectory("no\\such");
    if (Ftp()) {
        EXPECT_EQ(DownloadFails<ENIL_FTPSetDir>("small.txt", tmp / "s"),
                  "Cannot set directory on server to no/such" +
                      Decoration("ERROR_INTERNET_EXTENDED_ERROR", "550 No such file or directory."));
        EXPECT_EQ(log, kLogin);
    } else {
        EXPECT_THROW(loc->Download("small.txt", tmp / "s"), ENIL_FileNotFound);
    }
}

TEST_P(NetLocation, NoServer) {
    info().SetHostname("127.0.0.1:" + std::to_string(kvtest::ClosedPort()));
    const std::string decoration = ". Error message ERROR_INTERNET_CANNOT_CONNECT. Server " + info().Hostname();
    if (Ftp()) {
        EXPECT_EQ(BeforeResponse(DownloadFails<ENIL_OpenService>("small.txt", tmp / "s")),
                  "Cannot connect to host " + info().Hostname() + decoration);
    } else {
        EXPECT_EQ(BeforeResponse(DownloadFails<ENIL_HTTPSendRequest>("small.txt", tmp / "s")),
                  "Cannot send request for file small.txt to the server" + decoration);
    }
}

TEST_P(NetLocation, LocalFileCannotBeWritten) {
    EXPECT_EQ(DownloadFails<ENIL_WriteDestFile>("exact.bin", "/dev/full"),
              "NetLoc1 could not write to the local dest file /dev/full");
    EXPECT_THROW(loc->Download("small.txt", tmp / "no/such/dir"), EFCreateError);
}

TEST_P(NetLocation, ActiveLocationNamesTheServer) {
    EXPECT_EQ(ActiveNetLocation, nullptr);
    loc->Download("small.txt", tmp / "s");
    EXPECT_EQ(ActiveNetLocation, loc);
    DefaultNetLocation = loc;
    delete loc;
    EXPECT_EQ(ActiveNetLocation, nullptr);
    EXPECT_EQ(DefaultNetLocation, nullptr);
}

// ---- without a server ---------------------------------------------------------------------

TEST(LoginInformation, DefaultsAndPublishedProperties) {
    TNetInstallLocation loc(nullptr);
    const TLoginInformation& info = *loc.LoginInformation();
    EXPECT_TRUE(info.Anonymous());
    EXPECT_EQ(info.Protocol(), ipHTTP);
    EXPECT_EQ(info.Hostname() + info.Directory() + info.Username() + info.Password(), "");
    EXPECT_EQ(info.Location(), &loc);
    EXPECT_EQ(info.GetOwner(), &loc);
    EXPECT_FALSE(loc.WinInetLoaded());
    EXPECT_FALSE(loc.Connected());
    EXPECT_EQ(loc.StallTimeout(), 60000);

    std::string names;
    for (const TPropInfo* p : TLoginInformation::StaticClass()->AllProps()) names += p->Name + " ";
    EXPECT_EQ(names, "Anonymous Directory Hostname Password Protocol Username ");
    const TPropInfo* protocol = TLoginInformation::StaticClass()->FindProp("Protocol");
    EXPECT_EQ(protocol->Enum->NameOf(protocol->DefaultOrd), "ipHTTP");
    EXPECT_EQ(TLoginInformation::StaticClass()->FindProp("Anonymous")->DefaultOrd, 1);
    names.clear();
    for (const TPropInfo* p : TNetInstallLocation::StaticClass()->AllProps()) names += p->Name + " ";
    EXPECT_EQ(names, "Tag LoginInformation OnAfterDownload OnAfterLogin OnBeforeDownload OnBeforeLogin OnDataReceived ");
    EXPECT_EQ(GetClass("TNetInstallLocation"), TNetInstallLocation::StaticClass());
}

TEST(LoginInformation, AssignCopiesTheSixProperties) {
    TNetInstallLocation a(nullptr), b(nullptr);
    TLoginInformation& src = *a.LoginInformation();
    src.SetAnonymous(false);
    src.SetDirectory("d\\e");
    src.SetHostname("h");
    src.SetPassword("p");
    src.SetProtocol(ipFTP);
    src.SetUsername("u");
    b.SetLoginInformation(&src);
    const TLoginInformation& dst = *b.LoginInformation();
    EXPECT_NE(&dst, &src);
    EXPECT_EQ(dst.Location(), &b);
    EXPECT_FALSE(dst.Anonymous());
    EXPECT_EQ(dst.Directory() + dst.Hostname() + dst.Password() + dst.Username(), "d\\ehpu");
    EXPECT_EQ(dst.Protocol(), ipFTP);
    TStringList other;
    EXPECT_THROW(b.LoginInformation()->Assign(&other), EConvertError);
}

TEST(LoginInformation, IsFilledIn) {
    struct Case { bool anonymous; const char* host; const char* user; const char* pass; bool filled; };
    const Case cases[] = {
        {true, "host", "", "", true},   {true, "  ", "u", "p", false}, {true, "", "", "", false},
        {false, "", "u", "", true},     {false, "", "", "p", true},   {false, "h", "", "", true},
        {false, " ", " ", "\t", false}, {false, "", "", "", false},
    };
    TNetInstallLocation loc(nullptr);
    TLoginInformation& info = *loc.LoginInformation();
    for (const auto& c : cases) {
        info.SetAnonymous(c.anonymous);
        info.SetHostname(c.host);
        info.SetUsername(c.user);
        info.SetPassword(c.pass);
        EXPECT_EQ(IsFilledIn(&info), c.filled) << c.anonymous << " '" << c.host << "' '" << c.user << "' '" << c.pass << "'";
    }
    EXPECT_FALSE(IsFilledIn(nullptr));
}

TEST(NetLocationUnit, ServerPath) {
    struct Case { const char* folder; const char* path; };
    const Case cases[] = {{"", "/"}, {"  ", "/"}, {"a", "a"}, {"a\\b", "a/b"}, {"\\a\\", "/a/"}, {"a/b", "a/b"},
                          {" a ", " a "}};
    for (const auto& c : cases) EXPECT_EQ(ServerPath(c.folder), c.path) << c.folder;
}

TEST(NetLocationUnit, LibraryStartFailures) {
    EXPECT_NO_THROW(CheckInternetStartup(TInternetStartup::Ok));
    struct Case { TInternetStartup result; const char* message; };
    const Case cases[] = {
        {TInternetStartup::NoLibrary,
         "Failed to load the Wininet.dll. If this is a hybrid installation, you might want to include the WININET.DLL "
         "file in the PresetupFiles property of the TInstall component"},
        {TInternetStartup::NoFtp, "Failed to load the procedure FtpSetCurrentDirectory from WININET.DLL"},
        {TInternetStartup::NoHttp, "Failed to load the procedure HttpOpenRequest from WININET.DLL"},
    };
    for (const auto& c : cases) {
        try {
            CheckInternetStartup(c.result);
            ADD_FAILURE() << c.message;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_EQ(dynamic_cast<const ENIL*>(&e), nullptr) << "plain message";
        }
    }
    EXPECT_THROW(CheckInternetStartup(TInternetStartup::NoFtp), ENIL_FailLoadDLLProc);
    EXPECT_THROW(CheckInternetStartup(TInternetStartup::NoLibrary), ENIL_FailLoadWININET);
}

TEST(NetLocationUnit, DecoratedMessagesAndFamily) {
    TNetInstallLocation loc(nullptr);
    loc.LoginInformation()->SetHostname("files.example");
    ActiveNetLocation = &loc;
    InternetSetLastError(ERROR_INTERNET_TIMEOUT);
    ENIL_FTPSetDir e("Cannot set directory on server to %s", {"/x"});
    std::string response;
    if (!InternetGetLastResponseInfo(response)) response = "No server response";
    EXPECT_EQ(e.Message(), "Cannot set directory on server to /x. Error message ERROR_INTERNET_TIMEOUT. Server "
                           "files.example. Response from server " + response);
    EXPECT_STREQ(e.ClassName(), "ENIL_FTPSetDir");
    EXPECT_NE(dynamic_cast<const ENIL_FTP*>(&e), nullptr);
    ActiveNetLocation = nullptr;
    InternetSetLastError(0);
    std::string open = ENIL_OpenSession("Cannot open internet connection").Message();
    EXPECT_EQ(open.substr(0, open.find(". Response from server ")),
              "Cannot open internet connection. Error message Unregistered error code. Server ");
    ENIL_HTTPSendRequest send("x");
    EXPECT_NE(dynamic_cast<const ENIL_HTTP*>(&send), nullptr);
}

TEST(NetLocationUnit, UnknownProtocolCannotConnect) {
    TNetInstallLocation loc(nullptr);
    loc.LoginInformation()->SetHostname("127.0.0.1");
    loc.LoginInformation()->SetProtocol(static_cast<TInternetProtocol>(7));
    int logins = 0;
    loc.OnBeforeLogin = [&](TObject*) { ++logins; };
    EXPECT_THROW(loc.Download("x", "/nonexistent/x"), ENIL_OpenService);
    EXPECT_EQ(logins, 1);
    EXPECT_TRUE(loc.WinInetLoaded());
}

TEST(NetLocationUnit, ReadAndWrittenInADefinition) {
    const std::string text =
        "object Form1: TComponent\n"
        "  object NetLoc1: TNetInstallLocation\n"
        "    LoginInformation.Anonymous = False\n"
        "    LoginInformation.Directory = 'pub\\setup'\n"
        "    LoginInformation.Hostname = 'ftp.example.com'\n"
        "    LoginInformation.Protocol = ipFTP\n"
        "    LoginInformation.Username = 'kv'\n"
        "    OnAfterDownload = Form1AfterDownload\n"
        "    OnDataReceived = Form1DataReceived\n"
        "  end\n"
        "end\n";
    TComponent handlers(nullptr);
    bool afterAborted = false;
    handlers.RegisterHandler<TObject*, bool>("Form1AfterDownload", [&](TObject*, bool aborted) { afterAborted = aborted; });
    handlers.RegisterHandler<TObject*, const std::string&, int32_t, int32_t, int32_t, const char*>(
        "Form1DataReceived", [](TObject*, const std::string&, int32_t, int32_t, int32_t, const char*) {});
    TReadOptions options;
    options.HandlerSource = &handlers;
    std::unique_ptr<TComponent> root(ReadComponentText(text, options));
    auto* loc = dynamic_cast<TNetInstallLocation*>(root->FindComponent("NetLoc1"));
    ASSERT_NE(loc, nullptr);
    const TLoginInformation& info = *loc->LoginInformation();
    EXPECT_FALSE(info.Anonymous());
    EXPECT_EQ(info.Directory(), "pub\\setup");
    EXPECT_EQ(info.Hostname(), "ftp.example.com");
    EXPECT_EQ(info.Protocol(), ipFTP);
    EXPECT_EQ(info.Username(), "kv");
    loc->OnAfterDownload(loc, true);
    EXPECT_TRUE(afterAborted);
    EXPECT_EQ(WriteComponentText(root.get()), text);
}

// Whatever a server answers ends in an error of the family or a file, never a crash
// or a hang.
TEST_P(NetLocationHttp, OddAnswers) {
    info().SetDirectory("raw");
    for (const char* name : {"huge-length", "negative-length", "text-length", "no-status", "http09", "bad-chunks",
                             "endless-header", "redirect-loop", "nothing"}) {
        EXPECT_THROW(loc->Download(name, tmp / "odd"), ENIL) << name;
    }
    info().SetDirectory("garbage");
    for (int seed = 0; seed < 25; ++seed) {
        try {
            loc->Download(std::to_string(seed), tmp / "odd");
        } catch (const ENIL&) {
        }
    }
    EXPECT_EQ(std::count(log.begin(), log.end(), "BeforeLogin"), 1);
}
