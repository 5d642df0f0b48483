#include "app/TForm1.h"

namespace kv {

KV_REGISTER_CLASS(TForm1, TForm) {}

}  // namespace kv
