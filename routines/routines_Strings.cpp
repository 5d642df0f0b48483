#include "routines/routines_Strings.h"

#include <algorithm>
#include <cstring>

namespace kv {

void AddBackslash(const std::string& text, std::string& result) {
    result = text.empty() || text.back() == '\\' ? text : text + "\\";
}

void RemoveBackslash(const std::string& text, std::string& result) {
    result = !text.empty() && text.back() == '\\' ? text.substr(0, text.size() - 1) : text;
}

int32_t CountParts(const std::string& text, const std::string& separator) {
    auto count = separator.size() == 1 ? std::count(text.begin(), text.end(), separator[0]) : 0;
    return static_cast<int32_t>(count) + (!text.empty() && text.back() != ';' ? 1 : 0);
}

void GetPart(const std::string& text, int32_t n, const std::string& separator, std::string& part) {
    std::string s = text;
    for (int32_t i = 1; i < n; ++i) {
        int p = Pos(separator, s);
        if (p == 0) {
            part.clear();
            return;
        }
        s.erase(0, static_cast<size_t>(p - 1) + separator.size());
    }
    int p = Pos(separator, s);
    part = p ? s.substr(0, static_cast<size_t>(p - 1)) : s;
}

void SplitList(const std::string& text, const std::string& separator, TStrings& list) {
    list.Clear();
    int32_t parts = CountParts(text, separator);
    std::string part;
    for (int32_t i = 1; i <= parts; ++i) {
        GetPart(text, i, separator, part);
        list.Add(part);
    }
}

void TextAfterColon(const std::string& text, std::string& result) {
    size_t colon = text.find(':');
    if (colon != std::string::npos) result = text.substr(colon + 1);
}

void MakeFolderName(const std::string& text, std::string& result) {
    std::string out;
    for (char c : text) {
        if (c == '/') out += '-';
        else if (c == '\0' || !strchr("\"*:;<>?\\|", c)) out += c;
    }
    result = out;
}

}  // namespace kv
