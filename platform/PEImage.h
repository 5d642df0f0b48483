// Version resources of 32- and 64-bit PE images, answered the way the system's
// version API answers them. A malformed image reads as one without a version
// resource.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Streams.h"

namespace kv {

struct VS_FIXEDFILEINFO {
    uint32_t dwSignature;  // 0xFEEF04BD
    uint32_t dwStrucVersion;
    uint32_t dwFileVersionMS;
    uint32_t dwFileVersionLS;
    uint32_t dwProductVersionMS;
    uint32_t dwProductVersionLS;
    uint32_t dwFileFlagsMask;
    uint32_t dwFileFlags;
    uint32_t dwFileOS;
    uint32_t dwFileType;
    uint32_t dwFileSubtype;
    uint32_t dwFileDateMS;
    uint32_t dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

constexpr uint32_t VS_FFI_SIGNATURE = 0xFEEF04BD;

// The raw VS_VERSIONINFO block of the image's RT_VERSION resource (name 1 when
// present, else the first; its first language). False for a file that is not a
// PE image, has no version resource or is malformed.
bool ReadVersionResource(TStream& image, std::string& block);

// The version API over a file. The block handed out holds the resource followed
// by room for the ANSI copies of the strings VerQueryValueA returns.
uint32_t GetFileVersionInfoSizeA(const std::string& fileName, uint32_t* handle);
bool GetFileVersionInfoA(const std::string& fileName, uint32_t handle, uint32_t len, void* data);
// SubBlock "\" gives the VS_FIXEDFILEINFO, "\VarFileInfo\Translation" the
// language and code-page pairs, "\StringFileInfo\llllcccc\Name" an ANSI string
// (Len counts its terminating zero). Keys compare without regard to case.
bool VerQueryValueA(void* block, const std::string& subBlock, void** buffer, uint32_t* len);

}  // namespace kv
