// The setup program's main form: the window behind the wizard. The install definition
// is its streamed contents.
#pragma once

#include "forms/Forms.h"

namespace kv {

class TForm1 : public TForm {
    KV_CLASS(TForm1, TForm)
public:
    using TForm::TForm;
};

}  // namespace kv
