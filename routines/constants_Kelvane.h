// The numbers the install object tree speaks in: registered types of the install
// classes, notification codes sent down to the dialog managers (NotifyHelpers) and
// information codes reported up to the containers (DoInformationEventControl).
#pragma once

#include <cstdint>

namespace kv {

// Registered types: the order of helpers in a container, and 9000 marks the helpers
// that receive notification codes.
constexpr int32_t rtFileContainer = 1000;   // file groups, the install driver
constexpr int32_t rtInstallFile = 2000;     // install files, the uninstaller
constexpr int32_t rtShellLinkGroup = 7000;
constexpr int32_t rtShellLink = 8000;
constexpr int32_t rtInstallRegistry = 8500;
constexpr int32_t rtDialog = 9000;          // dialog components and dialog managers

// Notification codes (negative). PO is none unless stated.
constexpr int32_t ncIncluded = -999;             // Process found Include True
constexpr int32_t ncFileStatus = -998;           // progress; PO TFileStatusParameter
constexpr int32_t ncReplacing = -997;            // PO the install file
constexpr int32_t ncOperationDone = -996;        // compress, install or copy has ended
constexpr int32_t ncBeforeGoodInstall = -995;
constexpr int32_t ncBeforeBadInstall = -994;
constexpr int32_t ncNewDisk = -993;              // PO list (file, TDiskParameter)
constexpr int32_t ncInstallHelpers = -992;       // a container starts installing its helpers
constexpr int32_t ncLinkGroupInstall = -991;
constexpr int32_t ncBeforeProcess = -990;
constexpr int32_t ncAfterProcess = -989;
constexpr int32_t ncDownloadStatus = -988;       // PO TDownloadStatusParameter
constexpr int32_t ncReboot = -987;               // dmReboot managers show their pages
// Sent by the driver at the start of a run, in this order: -986, -976, -975, -982,
// -981, -977. Nothing acts on them; they are kept for further helper components.
constexpr int32_t ncRunStart986 = -986;
constexpr int32_t ncRunStart982 = -982;
constexpr int32_t ncRunStart981 = -981;
constexpr int32_t ncRunStart977 = -977;
constexpr int32_t ncRunStart976 = -976;
constexpr int32_t ncRunStart975 = -975;
constexpr int32_t ncBeforeReadArchiveInfo = -984;
constexpr int32_t ncAfterReadArchiveInfo = -983;
constexpr int32_t ncShowBeforeInstall = -980;    // dmBeforeInstall managers show their pages
constexpr int32_t ncShowGoodInstall = -979;      // dmAfterGoodInstall
constexpr int32_t ncShowBadInstall = -978;       // dmAfterBadInstall
constexpr int32_t ncStatusMessage = -974;        // PO TMessageParameter
constexpr int32_t ncClearStatusMessage = -973;

// Information codes (positive), passed up from files and containers.
constexpr int32_t icFileInstalled = 1001;        // PO the file
constexpr int32_t icFileInstalling = 1002;
constexpr int32_t icFileReplacing = 1003;
constexpr int32_t icFileCompressing = 1004;
constexpr int32_t icFileCompressed = 1005;
constexpr int32_t icFileCopying = 1006;
constexpr int32_t icFileCopied = 1007;
constexpr int32_t icInstallProgress = 1008;      // PO list (file, TFileStatusParameter)
constexpr int32_t icCompressProgress = 1009;
constexpr int32_t icCopyProgress = 1010;
constexpr int32_t icNewDisk = 1011;              // PO list (file, TDiskParameter)
constexpr int32_t icContainerStart = 1012;       // PO the container
constexpr int32_t icContainerDone = 1013;
constexpr int32_t icDownloadProgress = 1014;     // PO TDownloadStatusParameter
constexpr int32_t icFileSkippedByAbort = 1015;   // PO the file
constexpr int32_t icFileNotReplaced = 1016;      // PO the file

}  // namespace kv
