// The generic setup engine: run with the definition bound to it (kelvane bind).
#include "app/SetupProgram.h"

int main() { return kv::RunSetupProgram(); }
