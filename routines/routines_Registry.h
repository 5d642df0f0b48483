// Registry access by root-key ordinal with the component set's error conventions.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Registry.h"
#include "routines/exceptions_Kelvane.h"
#include "routines/types_Kelvane.h"

namespace kv {

HKEY RootKeyToHKEY(TRootKeys root);
// The ordinal of one of the six root keys; Default for any other key.
TRootKeys HKEYToRootKey(HKEY key, TRootKeys def);

// Opens Key (creating it) and writes; EIRCannotWriteValue
// "Cannot install into registry. Key: %s Ident: %s Value %s" when either fails.
void WriteRegString(TRootKeys root, const std::string& key, const std::string& name, const std::string& value);
// The same for an integer; the failure's message is the key path alone.
void WriteRegInteger(TRootKeys root, const std::string& key, const std::string& name, int32_t value);
// Default unless the key exists, opens without creating and has the value; a failed read
// gives Default too. Never raises for absent data.
void ReadRegString(TRootKeys root, const std::string& key, const std::string& name, std::string& value,
                   const std::string& def);
int32_t ReadRegInteger(TRootKeys root, const std::string& key, const std::string& name, int32_t def);
// Deletes Key with all below it, deepest first; every error is swallowed.
void DeleteRegKeyTree(TRootKeys root, const std::string& key);
// Writes Data under HKEY_LOCAL_MACHINE's RunOnce key as Name, or with Unique as the
// first of Name, Name1, Name2, … that is free; flushed. False when it cannot.
bool RegisterRunOnceValue(const std::string& name, const std::string& data, bool unique);

}  // namespace kv
