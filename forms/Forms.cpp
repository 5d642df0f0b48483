#include "forms/Forms.h"

#include "forms/script/ScriptBackend.h"
#include "platform/Processes.h"
#include "platform/System.h"

namespace kv {

const TEnumInfo WindowStateInfo{"TWindowState", {"wsNormal", "wsMinimized", "wsMaximized"}};

std::vector<std::pair<std::string, int>> MessageBoxButtons(uint32_t flags) {
    switch (flags & 0x0F) {
    case MB_OKCANCEL: return {{"OK", IDOK}, {"Cancel", IDCANCEL}};
    case MB_ABORTRETRYIGNORE: return {{"Abort", IDABORT}, {"Retry", IDRETRY}, {"Ignore", IDIGNORE}};
    case MB_YESNOCANCEL: return {{"Yes", IDYES}, {"No", IDNO}, {"Cancel", IDCANCEL}};
    case MB_YESNO: return {{"Yes", IDYES}, {"No", IDNO}};
    case MB_RETRYCANCEL: return {{"Retry", IDRETRY}, {"Cancel", IDCANCEL}};
    default: return {{"OK", IDOK}};
    }
}

// ---- TControl ------------------------------------------------------------------------------

KV_REGISTER_CLASS(TControl, TComponent) {}

void TControl::SetBounds(int32_t left, int32_t top, int32_t width, int32_t height) {
    FLeft = left;
    FTop = top;
    FWidth = width;
    FHeight = height;
}

void TControl::SetVisible(bool value) { FVisible = value; }

// ---- TCustomForm ------------------------------------------------------------------------------

KV_REGISTER_CLASS(TCustomForm, TControl) {}

TCustomForm::TCustomForm(TComponent* owner) : TControl(owner) {}

TCustomForm::~TCustomForm() = default;

void TCustomForm::SetVisible(bool value) {
    if (value == Visible()) return;
    TControl::SetVisible(value);
    if (!InState(csLoading)) Application->Backend().FormChanged(*this, value ? fcShown : fcHidden);
}

void TCustomForm::SetWindowState(TWindowState value) {
    if (value == FWindowState) return;
    FWindowState = value;
    if (!InState(csLoading) && Visible()) Application->Backend().FormChanged(*this, fcWindowState);
}

void TCustomForm::Close() {
    if (FModal) FModalResult = mrCancel;
    else if (Application->MainForm() == this) Application->Terminate();
    else Hide();
}

void TCustomForm::Repaint() {
    if (Visible()) Application->Backend().FormChanged(*this, fcRepaint);
}

TModalResult TCustomForm::ShowModal() {
    if (Visible() || FModal) throw EInvalidOperation("Cannot make a visible window modal");
    FModal = true;
    FModalResult = mrNone;
    try {
        Show();
        Activate();
        Application->Backend().RunModal(*Application, *this);
    } catch (...) {
        FModal = false;
        Hide();
        throw;
    }
    FModal = false;
    Hide();
    return FModalResult;
}

void TCustomForm::Activate() { OnActivate(this); }

bool TCustomForm::Perform(const std::string& action) {
    static const std::pair<const char*, TModalResult> kResults[] = {
        {"OK", mrOk},       {"Cancel", mrCancel}, {"Abort", mrAbort}, {"Retry", mrRetry},
        {"Ignore", mrIgnore}, {"Yes", mrYes},     {"No", mrNo},
    };
    if (SameText(action, "Close")) {
        Close();
        return true;
    }
    for (const auto& [name, result] : kResults) {
        if (SameText(action, name)) {
            FModalResult = result;
            return true;
        }
    }
    return false;
}

void TCustomForm::Loaded() {
    inherited::Loaded();
    if (Visible()) Application->Backend().FormChanged(*this, fcShown);
}

KV_REGISTER_CLASS(TForm, TCustomForm) {
    b.String("Caption", &TForm::Caption, &TForm::SetCaption);
    b.Integer("Left", &TForm::Left, &TForm::SetLeft);
    b.Integer("Top", &TForm::Top, &TForm::SetTop);
    b.Integer("Width", &TForm::Width, &TForm::SetWidth);
    b.Integer("Height", &TForm::Height, &TForm::SetHeight);
    b.Boolean("Visible", &TForm::Visible, &TForm::SetVisible, false);
    b.Enum<TWindowState>("WindowState", WindowStateInfo, &TForm::WindowState, &TForm::SetWindowState, wsNormal);
    b.Event("OnActivate", &TForm::OnActivate);
}

KV_REGISTER_CLASS(TDataModule, TComponent) {}

// ---- TScreen ------------------------------------------------------------------------------------

KV_REGISTER_CLASS(TScreen, TComponent) {}

int32_t TScreen::Width() const { return GetSystemMetrics(SM_CXSCREEN); }

int32_t TScreen::Height() const { return GetSystemMetrics(SM_CYSCREEN); }

// ---- TApplication ----------------------------------------------------------------------------------

KV_REGISTER_CLASS(TApplication, TComponent) {}

TApplication::TApplication(TComponent* owner) : TComponent(owner), FBackend(std::make_unique<TScriptBackend>()) {}

TApplication::~TApplication() {
    // The forms go first: while they are destroyed the backend still answers them.
    DestroyComponents();
}

void TApplication::SetBackend(std::unique_ptr<TFormsBackend> backend) { FBackend = std::move(backend); }

TCustomForm* TApplication::CreateForm(const TClass* cls, const std::function<void(TCustomForm*)>& init) {
    if (!cls || !cls->InheritsFrom(TCustomForm::StaticClass()))
        throw EInvalidOperation(Format("%s is not a form class", {cls ? cls->Name : std::string("nil")}));
    auto* form = static_cast<TCustomForm*>(cls->Create(this));
    try {
        if (init) init(form);
    } catch (...) {
        delete form;
        throw;
    }
    if (!FMainForm) FMainForm = form;
    return form;
}

void TApplication::Notification(TComponent* component, TOperation operation) {
    inherited::Notification(component, operation);
    if (operation == opRemove && component == FMainForm) FMainForm = nullptr;
}

std::string TApplication::ExeName() const { return FExeName.empty() ? ParamStr(0) : FExeName; }


void TApplication::Run() {
    if (FMainForm && ShowMainForm) FMainForm->Show();
    FBackend->RunLoop(*this);
}

void TApplication::PostMessage(std::function<void()> message) { FMessages.push_back(std::move(message)); }

bool TApplication::HandleMessage() {
    if (FMessages.empty()) return false;
    std::function<void()> message = std::move(FMessages.front());
    FMessages.pop_front();
    Dispatch(this, message);
    return true;
}

void TApplication::ProcessMessages() {
    while (HandleMessage()) {
    }
}

void TApplication::Dispatch(TObject* sender, const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        HandleException(sender, e);
    } catch (const std::exception& e) {
        HandleException(sender, Exception(e.what()));
    }
}

void TApplication::HandleException(TObject* sender, const Exception& e) {
    if (dynamic_cast<const EAbort*>(&e)) return;
    if (OnException) OnException(sender, e);
    else ShowException(e);
}

void TApplication::ShowException(const Exception& e) { MessageBox(e.Message(), Title, MB_OK | MB_ICONSTOP); }

int TApplication::MessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
    return FBackend->MessageBox(text, caption, flags);
}

TApplication* Application = new TApplication(nullptr);
TScreen* Screen = new TScreen(nullptr);

void RecreateApplication() {
    delete Application;
    delete Screen;
    Application = new TApplication(nullptr);
    Screen = new TScreen(nullptr);
}

}  // namespace kv
