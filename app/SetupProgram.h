// The setup program's start: the application, the main form streamed from the
// definition bound to the program, the message loop, and the exit code.
#pragma once

#include <functional>
#include <string>

#include "forms/Forms.h"
#include "runtime/Streaming.h"

namespace kv {

// Runs the setup program with the definition bound to the running executable.
// RegisterHandlers gets the main form before the definition is streamed into it: a
// program built on the engine registers the handlers its definition names there.
// Returns the exit code (0, 1602, 1603, 3010 or 1641).
int RunSetupProgram(const std::function<void(TCustomForm*)>& registerHandlers = {});

// The same with the definition given as text.
int RunSetupDefinition(const std::string& text, const std::function<void(TCustomForm*)>& registerHandlers = {});

// The product name a definition gives its install component ("My product" when it
// stores none), read from the text without creating anything.
std::string DefinitionProductName(const TObjectText& tree);

// Reads Text into a new form of its root class without running it: in design mode,
// with every handler name accepted. Raises for every fault (class, property, value,
// reference) with its position; the caller owns the result.
TCustomForm* CheckDefinition(const std::string& text, const std::string& fileName);

}  // namespace kv
