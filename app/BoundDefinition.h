// A setup program is the generic engine with one install definition appended behind
// it. A trailer of 24 bytes at the very end names where the definition lies:
//   offset 0, 8 bytes: position of the definition's first byte (little-endian)
//   offset 8, 8 bytes: length of the definition in bytes
//   offset 16, 8 bytes: the signature "KVLNDEF1"
// The definition is the text form of the main form, as the author wrote it.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/SysUtils.h"

namespace kv {

KV_EXCEPTION(EBoundDefinition, Exception);

constexpr size_t kBoundTrailerSize = 24;
constexpr const char* kBoundSignature = "KVLNDEF1";
// Definitions larger than this are refused as damaged.
constexpr uint64_t kMaxDefinitionSize = 64u << 20;

// The definition appended to the host file Program. EBoundDefinition when it carries
// none ("... carries no install definition ...") or a damaged one.
std::string ReadBoundDefinition(const std::string& hostProgram);
// The bytes of Program without any definition appended to it.
std::string ReadEngine(const std::string& hostProgram);
// Writes Engine (host file, a definition it carries is dropped) followed by Text and
// the trailer to Output, executable.
void BindDefinition(const std::string& hostEngine, const std::string& text, const std::string& hostOutput);

}  // namespace kv
