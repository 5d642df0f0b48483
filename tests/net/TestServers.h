// Local HTTP and FTP servers for the network tests (tests/net/servers.py), a payload
// folder they serve, and a scratch folder for downloads.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace kvtest {

namespace fs = std::filesystem;

inline std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteAll(const fs::path& p, const std::string& data) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

// Deterministic bytes of any length (never starting with a "404").
inline std::string Bytes(size_t n, uint32_t seed = 1) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    if (n) s[0] = 'K';
    return s;
}

class TTempDir {
public:
    TTempDir() {
        std::string tmpl = (fs::temp_directory_path() / "kvnet-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        FPath = tmpl;
    }
    ~TTempDir() {
        std::error_code ec;
        fs::remove_all(FPath, ec);
    }
    const fs::path& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }

private:
    fs::path FPath;
};

// One server process; stopped (and waited for) by the destructor, and ending by
// itself when this process goes away, since its stdin is our pipe.
class TTestServer {
public:
    TTestServer(const std::string& kind, const fs::path& root, const fs::path& scratch)
        : FLog(scratch / (kind + ".log")) {
        fs::path err = scratch / (kind + ".err");
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
        std::string script = std::string(KELVANE_SOURCE_DIR) + "/tests/net/servers.py";
        FPid = fork();
        if (FPid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (e >= 0) dup2(e, 2);
            for (int fd = 3; fd < 256; ++fd) close(fd);
            execl("/usr/bin/python3", "python3", script.c_str(), kind.c_str(), root.c_str(), FLog.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        FStdin = in[1];
        fcntl(FStdin, F_SETFD, FD_CLOEXEC);
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        while (line.find('\n') == std::string::npos && poll(&p, 1, 15000) > 0) {
            char buf[64];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        FPort = std::atoi(line.c_str());
        if (FPort <= 0) {
            Stop();
            throw std::runtime_error(kind + " test server did not start: " + ReadAll(err));
        }
    }
    ~TTestServer() { Stop(); }
    TTestServer(const TTestServer&) = delete;
    TTestServer& operator=(const TTestServer&) = delete;

    std::string Host() const { return "127.0.0.1:" + std::to_string(FPort); }
    int Port() const { return FPort; }
    // What the server saw: lines "CONNECT", "REQUEST …", "HEADER …", "COMMAND …".
    std::string Log() const { return ReadAll(FLog); }
    void ClearLog() { fs::resize_file(FLog, 0); }
    int Count(const std::string& line) const {
        std::istringstream s(Log());
        int n = 0;
        for (std::string l; std::getline(s, l);) n += l == line;
        return n;
    }

private:
    void Stop() {
        if (FStdin >= 0) close(FStdin);
        FStdin = -1;
        if (FPid <= 0) return;
        kill(FPid, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
                FPid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
        FPid = -1;
    }

    fs::path FLog;
    pid_t FPid = -1;
    int FStdin = -1;
    int FPort = 0;
};

// The files both servers serve.
struct TPayload {
    std::string small = "Hello from the server.\r\n";
    std::string exact = Bytes(8192, 2);
    std::string big = Bytes(3 * 1024 * 1024 + 123, 3);
    std::string cut = Bytes(256 * 1024, 4);
    std::string stall = Bytes(64 * 1024, 5);
    std::string nested = "inside two folders";
    std::string starts404 = "Order 4040 shipped\r\n";

    void WriteTo(const fs::path& root) const {
        WriteAll(root / "small.txt", small);
        WriteAll(root / "empty.bin", "");
        WriteAll(root / "exact.bin", exact);
        WriteAll(root / "big.bin", big);
        WriteAll(root / "cut.bin", cut);
        WriteAll(root / "stall.bin", stall);
        WriteAll(root / "nolength.txt", small);
        WriteAll(root / "order404.txt", starts404);
        WriteAll(root / "sub" / "deep" / "inner.txt", nested);
        WriteAll(root / "private" / "secret.txt", small);
    }
};

// A payload folder with an HTTP and an FTP server on it, started on first use.
class TServers {
public:
    TServers() { FPayload.WriteTo(FRoot.Path()); }
    const TPayload& Payload() const { return FPayload; }
    TTestServer& Http() {
        if (!FHttp) FHttp = std::make_unique<TTestServer>("http", FRoot.Path(), FScratch.Path());
        return *FHttp;
    }
    // Each test reads only what the servers saw during it.
    void ClearLogs() {
        if (FHttp) FHttp->ClearLog();
        if (FFtp) FFtp->ClearLog();
    }
    TTestServer& Ftp() {
        if (!FFtp) FFtp = std::make_unique<TTestServer>("ftp", FRoot.Path(), FScratch.Path());
        return *FFtp;
    }

private:
    TTempDir FRoot, FScratch;
    TPayload FPayload;
    std::unique_ptr<TTestServer> FHttp, FFtp;
};

// One set of servers for the whole test program.
inline TServers& Servers() {
    static TServers servers;
    return servers;
}

// A port on 127.0.0.1 where nothing listens.
inline int ClosedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// Keeps the host's proxy settings away from the local servers.
inline void NoProxies() {
    for (const char* v : {"http_proxy", "HTTP_PROXY", "ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"})
        unsetenv(v);
}

}  // namespace kvtest
