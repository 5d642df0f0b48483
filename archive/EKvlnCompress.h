// The archive engine's exception family; messages stay English.
#pragma once

#include "routines/exceptions_Kelvane.h"

namespace kv {

KV_EXCEPTION(EKvlnCompress, EKelvaneAbnormal);
KV_EXCEPTION(EkcDiskFull, EKvlnCompress);
KV_EXCEPTION(EkcAborted, EKvlnCompress);

}  // namespace kv
