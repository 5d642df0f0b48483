// The well-known folders of the target machine as the registry names them, each with a
// fixed fallback, and the expansion of the path meta variables (%p, %a, %i, ...).
#pragma once

#include <string>

#include "runtime/Classes.h"

namespace kv {

// Each gives a folder, less one trailing backslash; a missing or unreadable registry
// value gives the fallback instead, never an error.
void GetStartMenuFolder(std::string& path);     // else <Windows>\Startmen
void GetProgramsFolder(std::string& path);      // else <Start menu>\Programs
void GetDesktopFolder(std::string& path);       // else <Windows>\Desktop
void GetStartupFolder(std::string& path);       // else <Windows>\Startup
void GetProgramFilesFolder(std::string& path);  // else <current drive>\Program Files
void GetCommonFilesFolder(std::string& path);   // else <current drive>\Program Files\Common Files

// The drive part of a full path: "C:" for a drive, "\\server\share" for a network path;
// empty for anything else.
std::string ExtractFileDrive(const std::string& path);

// Replaces every "%" and letter of Text by its folder: a (Component's destination),
// b (Programs), c (destination of Component's Container), d (Desktop), f (common files),
// i (the install driver's destination), m (Start menu), p (program files), s (system),
// w (Windows), in either case; "%%" is one "%". Any other character after "%" vanishes
// with it, as does a final "%". Component is an install component, or nullptr.
void ExpandMetaVariables(const std::string& text, TComponent* component, std::string& result);

}  // namespace kv
