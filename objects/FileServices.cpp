#include "objects/FileServices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace kv::fsv {

namespace {

// Host paths take '/' for the Windows separator.
std::string Host(const std::string& path) {
    std::string p = AnsiToUtf8(path);
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

class THostFileStream : public TStream {
public:
    THostFileStream(const std::string& path, uint16_t mode) {
        int flags;
        if (mode == fmCreate)
            flags = O_RDWR | O_CREAT | O_TRUNC;
        else if ((mode & 3) == fmOpenWrite)
            flags = O_WRONLY;
        else if ((mode & 3) == fmOpenReadWrite)
            flags = O_RDWR;
        else
            flags = O_RDONLY;
        FFd = ::open(Host(path).c_str(), flags | O_CLOEXEC, 0644);
        if (FFd < 0) {
            if (mode == fmCreate) throw EFCreateError(Format("Cannot create file \"%s\"", {path}));
            throw EFOpenError(Format("Cannot open file \"%s\"", {path}));
        }
        struct stat st;
        if (::fstat(FFd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ::close(FFd);
            throw EFOpenError(Format("Cannot open file \"%s\"", {path}));
        }
    }
    ~THostFileStream() override { ::close(FFd); }
    int64_t Read(void* buffer, int64_t count) override {
        if (count <= 0) return 0;
        ssize_t n = ::read(FFd, buffer, static_cast<size_t>(count));
        return n < 0 ? 0 : n;
    }
    int64_t Write(const void* buffer, int64_t count) override {
        if (count <= 0) return 0;
        ssize_t n = ::write(FFd, buffer, static_cast<size_t>(count));
        return n < 0 ? 0 : n;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
        off_t r = ::lseek(FFd, offset, whence);
        return r < 0 ? -1 : r;
    }
    void SetSize(int64_t size) override {
        if (::ftruncate(FFd, size) != 0) throw EStreamError("Stream size cannot be changed");
    }

private:
    int FFd = -1;
};

}  // namespace

std::unique_ptr<TStream> OpenFile(const std::string& path, uint16_t mode) {
    return std::make_unique<THostFileStream>(path, mode);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(Host(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool GetFileDate(const std::string& path, int32_t& stamp) {
    struct stat st;
    if (::stat(Host(path).c_str(), &st) != 0) return false;
    stamp = DateTimeToFileDate(UnixToDateTime(st.st_mtime));
    return true;
}

bool SetFileDate(const std::string& path, int32_t stamp) {
    TDateTime d;
    if (!TryFileDateToDateTime(stamp, d)) return false;
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(DateTimeToUnix(d));
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, Host(path).c_str(), times, 0) == 0;
}

bool ForceDirectories(const std::string& dir) {
    if (dir.empty()) return true;
    std::error_code ec;
    std::filesystem::create_directories(Host(dir), ec);
    return std::filesystem::is_directory(Host(dir), ec);
}

bool DeleteFile(const std::string& path) { return ::unlink(Host(path).c_str()) == 0; }

std::string GetTempFile(const std::string& prefix) {
    std::string dir = std::filesystem::temp_directory_path().string();
    for (unsigned n = static_cast<unsigned>(::getpid()) & 0xFFFF;; n = (n + 1) & 0xFFFF) {
        std::string name = dir + "/" + prefix + IntToHex(n, 4) + ".tmp";
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) return "";
    }
}

std::string ProgramFileName() {
    std::error_code ec;
    return Utf8ToAnsi(std::filesystem::read_symlink("/proc/self/exe", ec).string());
}

namespace {
bool IsDelim(char c) { return c == '\\' || c == '/' || c == ':'; }
size_t LastDelim(const std::string& path) {
    for (size_t i = path.size(); i > 0; --i)
        if (IsDelim(path[i - 1])) return i;
    return 0;
}
}  // namespace

std::string ExtractFilePath(const std::string& path) { return path.substr(0, LastDelim(path)); }

std::string ExtractFileName(const std::string& path) { return path.substr(LastDelim(path)); }

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
    size_t start = LastDelim(path);
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < start) return path + ext;
    return path.substr(0, dot) + ext;
}

std::string IncludeTrailingBackslash(const std::string& path) {
    if (path.empty() || path.back() == '\\' || path.back() == '/') return path;
    return path + "\\";
}

std::string ExcludeTrailingBackslash(const std::string& path) {
    if (!path.empty() && (path.back() == '\\' || path.back() == '/')) return path.substr(0, path.size() - 1);
    return path;
}

}  // namespace kv::fsv
