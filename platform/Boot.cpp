#include "platform/Files.h"

namespace kv {

BOOL DelayMoveUntilReboot(const char*, const char*, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return false;
}

}  // namespace kv
