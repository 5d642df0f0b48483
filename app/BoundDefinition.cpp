#include "app/BoundDefinition.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kv {

namespace {

std::string ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EBoundDefinition("Cannot read " + path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

uint64_t GetU64(const std::string& s, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
    return v;
}

void PutU64(std::string& s, uint64_t v) {
    for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Where the definition of Image starts and how long it is; false without a trailer.
bool FindDefinition(const std::string& image, uint64_t& start, uint64_t& length) {
    if (image.size() < kBoundTrailerSize) return false;
    const size_t t = image.size() - kBoundTrailerSize;
    if (image.compare(t + 16, 8, kBoundSignature) != 0) return false;
    start = GetU64(image, t);
    length = GetU64(image, t + 8);
    if (length > kMaxDefinitionSize || start > t || t - start != length)
        throw EBoundDefinition("The install definition bound to this program is damaged");
    return true;
}

}  // namespace

std::string ReadBoundDefinition(const std::string& hostProgram) {
    const std::string image = ReadHostFile(hostProgram);
    uint64_t start = 0, length = 0;
    if (!FindDefinition(image, start, length))
        throw EBoundDefinition("This program carries no install definition. A setup program is made with: kelvane "
                               "bind DEFINITION -o PROGRAM");
    return image.substr(start, length);
}

std::string ReadEngine(const std::string& hostProgram) {
    std::string image = ReadHostFile(hostProgram);
    uint64_t start = 0, length = 0;
    if (FindDefinition(image, start, length)) image.resize(start);
    return image;
}

void BindDefinition(const std::string& hostEngine, const std::string& text, const std::string& hostOutput) {
    if (text.size() > kMaxDefinitionSize) throw EBoundDefinition("The install definition is too large");
    std::string image = ReadEngine(hostEngine);
    const uint64_t start = image.size();
    image += text;
    PutU64(image, start);
    PutU64(image, text.size());
    image += kBoundSignature;
    std::remove(hostOutput.c_str());  // a running program keeps its old file
    std::ofstream out(hostOutput, std::ios::binary | std::ios::trunc);
    out.write(image.data(), static_cast<std::streamsize>(image.size()));
    if (!out.flush()) throw EBoundDefinition("Cannot write " + hostOutput);
    out.close();
    chmod(hostOutput.c_str(), 0755);
}

}  // namespace kv
