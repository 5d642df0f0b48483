#include "routines/exceptions_Kelvane.h"

namespace kv {

namespace {
TTranslateTextHook gTranslateHook = nullptr;
}

void SetTranslateTextHook(TTranslateTextHook hook) { gTranslateHook = hook; }

std::string TranslateText(const std::string& text) { return gTranslateHook ? gTranslateHook(text) : text; }

IException::IException(const std::string& msg) : ECustomKelvaneAbnormal(TranslateText(msg)) {}

IException::IException(const std::string& fmt, const TVarRecs& args)
    : ECustomKelvaneAbnormal(Format(TranslateText(fmt), args)) {}

}  // namespace kv
