// Text helpers for folder paths and ";"-separated lists.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Classes.h"

namespace kv {

// Text with a "\" appended, unless it is empty or ends with one already.
void AddBackslash(const std::string& text, std::string& result);
// Text without its last character when that is a "\" (one only).
void RemoveBackslash(const std::string& text, std::string& result);
// The characters of Text equal to Separator, plus one when Text is not empty and does
// not end with ";".
int32_t CountParts(const std::string& text, const std::string& separator);
// The N-th part, from 1; empty when Text has fewer parts.
void GetPart(const std::string& text, int32_t n, const std::string& separator, std::string& part);
// List := parts 1 to CountParts.
void SplitList(const std::string& text, const std::string& separator, TStrings& list);
// The text after the first ":"; without one, Result stays as it was.
void TextAfterColon(const std::string& text, std::string& result);
// "/" becomes "-"; the double quote and * : ; < > ? \ | are dropped.
void MakeFolderName(const std::string& text, std::string& result);

}  // namespace kv
