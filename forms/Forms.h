// The application object, the screen and forms, as a model independent of any
// window system. A backend (forms/script, later a real toolkit) gives them life:
// it runs the message loop and the modal loops and shows message boxes.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/Classes.h"

namespace kv {

class TApplication;
class TCustomForm;

enum TWindowState : uint8_t { wsNormal, wsMinimized, wsMaximized };
extern const TEnumInfo WindowStateInfo;

using TModalResult = int32_t;
constexpr TModalResult mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4, mrIgnore = 5, mrYes = 6,
                       mrNo = 7;

using TCursor = int16_t;
constexpr TCursor crDefault = 0, crArrow = -2, crHourGlass = -11;

// Message box styles and answers, as Windows numbers them.
enum : uint32_t {
    MB_OK = 0x00, MB_OKCANCEL = 0x01, MB_ABORTRETRYIGNORE = 0x02, MB_YESNOCANCEL = 0x03, MB_YESNO = 0x04,
    MB_RETRYCANCEL = 0x05, MB_ICONHAND = 0x10, MB_ICONSTOP = 0x10, MB_ICONERROR = 0x10, MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30, MB_ICONWARNING = 0x30, MB_ICONASTERISK = 0x40, MB_ICONINFORMATION = 0x40,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

// The answers a message box of the given style offers, in button order ("OK", ...),
// and the identifier of each.
std::vector<std::pair<std::string, int>> MessageBoxButtons(uint32_t flags);

KV_EXCEPTION(EScriptError, Exception);

// ---- controls and forms -------------------------------------------------------------------

class TControl : public TComponent {
    KV_CLASS(TControl, TComponent)
public:
    using TComponent::TComponent;

    int32_t Left() const { return FLeft; }
    int32_t Top() const { return FTop; }
    int32_t Width() const { return FWidth; }
    int32_t Height() const { return FHeight; }
    void SetLeft(int32_t v) { SetBounds(v, FTop, FWidth, FHeight); }
    void SetTop(int32_t v) { SetBounds(FLeft, v, FWidth, FHeight); }
    void SetWidth(int32_t v) { SetBounds(FLeft, FTop, v, FHeight); }
    void SetHeight(int32_t v) { SetBounds(FLeft, FTop, FWidth, v); }
    virtual void SetBounds(int32_t left, int32_t top, int32_t width, int32_t height);
    bool Visible() const { return FVisible; }
    virtual void SetVisible(bool value);
    const std::string& Caption() const { return FCaption; }
    virtual void SetCaption(const std::string& value) { FCaption = value; }
    TCursor Cursor() const { return FCursor; }
    void SetCursor(TCursor value) { FCursor = value; }

private:
    int32_t FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
    bool FVisible = false;
    std::string FCaption;
    TCursor FCursor = crDefault;
};

class TCustomForm : public TControl {
    KV_CLASS(TCustomForm, TControl)
public:
    explicit TCustomForm(TComponent* owner);
    ~TCustomForm() override;

    TNotifyEvent OnActivate;

    TWindowState WindowState() const { return FWindowState; }
    void SetWindowState(TWindowState value);
    TModalResult ModalResult() const { return FModalResult; }
    void SetModalResult(TModalResult value) { FModalResult = value; }
    bool Modal() const { return FModal; }

    void SetVisible(bool value) override;
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    // The main form ends the application; a modal form ends with mrCancel; others hide.
    void Close();
    void Repaint();
    // Shows the form and runs a modal loop until ModalResult is set.
    virtual TModalResult ShowModal();
    // The form becomes the active window: raises OnActivate.
    virtual void Activate();

    // A person's action on the form named in words, as scripts and tests give it
    // ("OK", "Cancel", "Close", ...). False when the form offers no such action.
    virtual bool Perform(const std::string& action);
    // What a person who just goes along does on this form.
    virtual std::string DefaultAction() const { return "OK"; }

    void Loaded() override;

private:
    TWindowState FWindowState = wsNormal;
    TModalResult FModalResult = mrNone;
    bool FModal = false;
};

class TForm : public TCustomForm {
    KV_CLASS(TForm, TCustomForm)
public:
    using TCustomForm::TCustomForm;
};

// A non-visual container of components.
class TDataModule : public TComponent {
    KV_CLASS(TDataModule, TComponent)
public:
    using TComponent::TComponent;
};

// ---- backends ----------------------------------------------------------------------------

enum TFormChange { fcShown, fcHidden, fcWindowState, fcRepaint };

class TFormsBackend {
public:
    virtual ~TFormsBackend() = default;
    // Runs the application's message loop until it is terminated.
    virtual void RunLoop(TApplication& app) = 0;
    // Runs a modal loop for Form until its ModalResult is set.
    virtual void RunModal(TApplication& app, TCustomForm& form) = 0;
    virtual int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) = 0;
    virtual void FormChanged(TCustomForm&, TFormChange) {}
    // The program ends with ExitCode.
    virtual void ProgramEnded(int) {}
};

// ---- the screen and the application ----------------------------------------------------

class TScreen : public TComponent {
    KV_CLASS(TScreen, TComponent)
public:
    using TComponent::TComponent;
    TCursor Cursor() const { return FCursor; }
    void SetCursor(TCursor value) { FCursor = value; }
    // The size of the machine's screen in pixels.
    int32_t Width() const;
    int32_t Height() const;

private:
    TCursor FCursor = crDefault;
};

using TExceptionEvent = TEvent<TObject*, const Exception&>;

class TApplication : public TComponent {
    KV_CLASS(TApplication, TComponent)
public:
    explicit TApplication(TComponent* owner);
    ~TApplication() override;

    std::string Title;
    bool ShowMainForm = true;
    int ExitCode = 0;  // the status the program ends with
    TExceptionEvent OnException;

    TCustomForm* MainForm() const { return FMainForm; }
    // Creates a form of Cls owned by the application and runs Init on it (which may
    // stream its definition in); the first form created becomes the main form. A
    // failure frees the form.
    TCustomForm* CreateForm(const TClass* cls, const std::function<void(TCustomForm*)>& init = {});
    // The running program's file as a Windows path; a host (or a test) may name
    // another with SetExeName.
    std::string ExeName() const;
    void SetExeName(const std::string& winPath) { FExeName = winPath; }

    // Shows the main form and runs the message loop until Terminate.
    void Run();
    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    // Queues work for the message loop, as posting a message does.
    void PostMessage(std::function<void()> message);
    // Handles one queued message; false when there was none.
    bool HandleMessage();
    // Handles every queued message.
    void ProcessMessages();
    // Runs Fn as a message handler: an exception that escapes goes to HandleException.
    void Dispatch(TObject* sender, const std::function<void()>& fn);
    // OnException when assigned, else ShowException; the silent abort is ignored.
    void HandleException(TObject* sender, const Exception& e);
    void ShowException(const Exception& e);
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags = MB_OK);

    TFormsBackend& Backend() { return *FBackend; }
    void SetBackend(std::unique_ptr<TFormsBackend> backend);

    void Notification(TComponent* component, TOperation operation) override;

private:
    TCustomForm* FMainForm = nullptr;
    bool FTerminated = false;
    std::deque<std::function<void()>> FMessages;
    std::unique_ptr<TFormsBackend> FBackend;
    std::string FExeName;
};

// The process's application object and screen.
extern TApplication* Application;
extern TScreen* Screen;
// Frees both (with every form the application owns) and makes fresh ones.
void RecreateApplication();

}  // namespace kv
