#include <gtest/gtest.h>

#include "forms/script/ScriptBackend.h"
#include "platform/Processes.h"
#include "tests/platform/TempMachine.h"

using namespace kv;

namespace {

class Forms : public ::testing::Test {
protected:
    kv::test::TempMachine M;
    void SetUp() override {
        RecreateApplication();
        auto b = std::make_unique<TScriptBackend>();
        Backend = b.get();
        Application->SetBackend(std::move(b));
        Application->Title = "Tool Installation";
    }
    void TearDown() override { RecreateApplication(); }
    TCustomForm* NewForm(const std::string& name) {
        auto* f = Application->CreateForm(TForm::StaticClass());
        f->SetName(name);
        return f;
    }
    TScriptBackend* Backend = nullptr;
};

}  // namespace

TEST_F(Forms, MessageBoxesTakeTheScriptOrTheFirstButton) {
    struct Case { uint32_t flags; const char* answer; int result; const char* buttons; };
    const Case cases[] = {
        {MB_OK, nullptr, IDOK, "[OK] -> OK"},
        {MB_OKCANCEL, nullptr, IDOK, "[OK] [Cancel] -> OK"},
        {MB_OKCANCEL, "cancel", IDCANCEL, "[OK] [Cancel] -> Cancel"},
        {MB_YESNOCANCEL | MB_ICONQUESTION, "No", IDNO, "[Yes] [No] [Cancel] -> No"},
        {MB_ABORTRETRYIGNORE, "Ignore", IDIGNORE, "[Abort] [Retry] [Ignore] -> Ignore"},
        {MB_RETRYCANCEL, nullptr, IDRETRY, "[Retry] [Cancel] -> Retry"},
    };
    for (const auto& c : cases) {
        SetUp();
        if (c.answer) Backend->AddAnswer(c.answer);
        EXPECT_EQ(Application->MessageBox("Line 1\r\nLine 2", "Caption", c.flags), c.result);
        std::string icon = (c.flags & 0xF0) == MB_ICONQUESTION ? " (question)" : "";
        EXPECT_EQ(Backend->Transcript(),
                  "[message] Caption" + icon + "\n    Line 1\n    Line 2\n    " + c.buttons + "\n");
    }
    Backend->AddAnswer("Yes");
    EXPECT_THROW(Application->MessageBox("Go on?", "Caption", MB_OKCANCEL), EScriptError);
}

TEST_F(Forms, TheLoopActivatesTheMainFormAndEndsOnTerminate) {
    auto* main = NewForm("Form1");
    NewForm("Other");
    EXPECT_EQ(Application->MainForm(), main);
    std::vector<std::string> seen;
    main->OnActivate = [&](TObject* sender) {
        seen.push_back("activate " + static_cast<TComponent*>(sender)->Name());
        Application->PostMessage([&] { seen.push_back("message"); });
        Application->Terminate();  // takes effect when the loop is back in control
        seen.push_back("after terminate");
    };
    main->SetBounds(-1088, -750, 544, 375);
    Application->Run();
    EXPECT_EQ(seen, (std::vector<std::string>{"activate Form1", "after terminate", "message"}));
    EXPECT_EQ(Backend->Transcript(), "[form] Form1 shown at -1088,-750 544x375\n");
}

TEST_F(Forms, AnIdleLoopEndsAsThePersonClosesTheMainForm) {
    auto* main = NewForm("Form1");
    main->SetCaption("Setup");
    Application->PostMessage([&] { main->SetWindowState(wsMaximized); });
    Application->Run();
    EXPECT_EQ(Backend->Transcript(),
              "[form] Form1 \"Setup\" shown at 0,0 0x0\n"
              "[form] Form1 \"Setup\" maximized\n"
              "[form] Form1 \"Setup\" closed by the user\n");
    EXPECT_TRUE(Application->Terminated());
}

TEST_F(Forms, ExceptionsOfHandlersGoToTheApplication) {
    auto* main = NewForm("Form1");
    main->OnActivate = [](TObject*) { throw EConvertError("bad value"); };
    Application->Run();  // shown the standard way: a message box with the title
    EXPECT_NE(Backend->Transcript().find("[message] Tool Installation (error)\n    bad value\n    [OK] -> OK\n"),
              std::string::npos)
        << Backend->Transcript();
    SetUp();
    std::vector<std::string> handled;
    Application->OnException = [&](TObject*, const Exception& e) { handled.push_back(e.ClassName()); };
    Application->Dispatch(nullptr, [] { throw EConvertError("x"); });
    Application->Dispatch(nullptr, [] { Abort(); });  // the silent abort is not reported
    Application->Dispatch(nullptr, [] { throw std::runtime_error("host"); });
    EXPECT_EQ(handled, (std::vector<std::string>{"EConvertError", "Exception"}));
    EXPECT_EQ(Backend->Transcript(), "");
}

TEST_F(Forms, ModalFormsTakeActionsUntilTheyEnd) {
    NewForm("Form1");
    auto* dlg = NewForm("Dialog");
    int activations = 0;
    dlg->OnActivate = [&](TObject*) { ++activations; };
    EXPECT_EQ(dlg->ShowModal(), mrOk);  // the default action
    Backend->AddAnswer("Cancel");
    EXPECT_EQ(dlg->ShowModal(), mrCancel);
    Backend->AddAnswer("Close");
    EXPECT_EQ(dlg->ShowModal(), mrCancel);
    EXPECT_EQ(activations, 3);
    EXPECT_FALSE(dlg->Visible());
    Backend->AddAnswer("Next");
    EXPECT_THROW(dlg->ShowModal(), EScriptError);
    EXPECT_FALSE(dlg->Modal());
    Application->Terminate();  // a terminated application ends modal loops
    EXPECT_EQ(dlg->ShowModal(), mrCancel);
    dlg->Show();
    EXPECT_THROW(dlg->ShowModal(), EInvalidOperation);
}

TEST_F(Forms, CreateFormFreesAFormWhoseSetUpFails) {
    EXPECT_THROW(Application->CreateForm(TForm::StaticClass(), [](TCustomForm*) { throw EReadError("broken"); }),
                 EReadError);
    EXPECT_EQ(Application->ComponentCount(), 0);
    EXPECT_EQ(Application->MainForm(), nullptr);
    EXPECT_THROW(Application->CreateForm(TDataModule::StaticClass()), EInvalidOperation);
    auto* f = NewForm("Form1");
    delete f;
    EXPECT_EQ(Application->MainForm(), nullptr);
}

TEST_F(Forms, ProgramAndScreen) {
    EXPECT_EQ(Application->ExeName(), ParamStr(0));
    Application->SetExeName("C:\\TEMP\\SETUP.EXE");
    EXPECT_EQ(Application->ExeName(), "C:\\TEMP\\SETUP.EXE");
    EXPECT_EQ(Screen->Width(), Machine().ScreenWidth());
    EXPECT_EQ(Screen->Height(), Machine().ScreenHeight());
}

TEST_F(Forms, ScriptsSkipBlankLinesAndComments) {
    Backend->SetScript("# answers\n\n  No  \r\nYes\n");
    EXPECT_EQ(Application->MessageBox("?", "C", MB_YESNO), IDNO);
    EXPECT_EQ(Application->MessageBox("?", "C", MB_YESNO), IDYES);
    EXPECT_EQ(Application->MessageBox("?", "C", MB_YESNO), IDYES);  // the script is used up
}
