// Types shared by the component set.
#pragma once

namespace kv {

// A registry root key by its ordinal (routines_Registry maps it to the platform's key).
enum TRootKeys { hkClassesRoot, hkCurrentConfig, hkCurrentUser, hkDynData, hkLocalMachine, hkUsers };

}  // namespace kv
