#include "forms/script/ScriptBackend.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kv {

namespace {

const char* IconName(uint32_t flags) {
    switch (flags & 0xF0) {
    case MB_ICONERROR: return " (error)";
    case MB_ICONQUESTION: return " (question)";
    case MB_ICONWARNING: return " (warning)";
    case MB_ICONINFORMATION: return " (information)";
    default: return "";
    }
}

std::string FormTitle(const TCustomForm& form) {
    return form.Name() + (form.Caption().empty() ? std::string() : " \"" + form.Caption() + "\"");
}

// Stops a form whose actions never end its modal loop.
constexpr int kMaxActionsWithoutEnd = 1000;

}  // namespace

TScriptBackend::~TScriptBackend() {
    if (FOwnsOut && FOut) std::fclose(FOut);
}

void TScriptBackend::SetScript(const std::string& text) {
    FAnswers.clear();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        FAnswers.push_back(line);
    }
}

void TScriptBackend::LoadScript(const std::string& hostPath) {
    std::ifstream in(hostPath, std::ios::binary);
    if (!in) throw EScriptError("Cannot read the script " + hostPath);
    std::stringstream text;
    text << in.rdbuf();
    SetScript(Utf8ToAnsi(text.str()));
}

void TScriptBackend::OpenTranscript(const std::string& hostPath) {
    std::FILE* f = std::fopen(hostPath.c_str(), "w");
    if (!f) throw EScriptError("Cannot write the transcript " + hostPath);
    if (FOwnsOut && FOut) std::fclose(FOut);
    FOut = f;
    FOwnsOut = true;
}

void TScriptBackend::Write(const std::string& line) {
    FTranscript += line + "\n";
    if (FOut) {
        std::string text = AnsiToUtf8(line) + "\n";
        std::fwrite(text.data(), 1, text.size(), FOut);
        std::fflush(FOut);
    }
}

bool TScriptBackend::NextAnswer(std::string& answer) {
    if (FAnswers.empty()) return false;
    answer = FAnswers.front();
    FAnswers.pop_front();
    return true;
}

void TScriptBackend::RunLoop(TApplication& app) {
    // The main form becomes the active window as the loop starts.
    if (TCustomForm* main = app.MainForm(); main && main->Visible()) app.Dispatch(main, [main] { main->Activate(); });
    // Like the quit message, the terminate request is seen once the queue is empty.
    for (;;) {
        if (app.HandleMessage()) continue;
        if (app.Terminated()) break;
        // Nothing is left to do: the person closes the main window.
        if (TCustomForm* main = app.MainForm()) {
            Write("[form] " + FormTitle(*main) + " closed by the user");
            main->Close();
        } else {
            app.Terminate();
        }
    }
}

void TScriptBackend::RunModal(TApplication& app, TCustomForm& form) {
    int idle = 0;
    while (form.ModalResult() == mrNone) {
        if (app.Terminated()) {
            form.SetModalResult(mrCancel);
            break;
        }
        if (app.HandleMessage()) continue;
        if (++idle > kMaxActionsWithoutEnd)
            throw EScriptError("The form " + form.Name() + " does not end with the actions given to it");
        std::string action;
        if (!NextAnswer(action)) action = form.DefaultAction();
        Write("    -> " + action);
        if (!form.Perform(action))
            throw EScriptError("The form " + form.Name() + " offers no action \"" + action + "\"");
    }
}

int TScriptBackend::MessageBox(const std::string& text, const std::string& caption, uint32_t flags) {
    Write("[message] " + caption + IconName(flags));
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Write("    " + line);
    }
    auto buttons = MessageBoxButtons(flags);
    std::string names;
    for (const auto& b : buttons) names += (names.empty() ? "" : " ") + ("[" + b.first + "]");
    std::string answer;
    if (!NextAnswer(answer)) answer = buttons.front().first;
    for (const auto& b : buttons) {
        if (SameText(b.first, answer)) {
            Write("    " + names + " -> " + b.first);
            return b.second;
        }
    }
    Write("    " + names + " -> " + answer + "?");
    throw EScriptError("The script answers \"" + answer + "\" to a message box that offers " + names);
}

void TScriptBackend::FormChanged(TCustomForm& form, TFormChange change) {
    switch (change) {
    case fcShown:
        Write(Format("[form] %s shown at %d,%d %dx%d%s",
                     {FormTitle(form), form.Left(), form.Top(), form.Width(), form.Height(),
                      form.WindowState() == wsMaximized ? std::string(", maximized") : std::string()}));
        break;
    case fcHidden: Write("[form] " + FormTitle(form) + " hidden"); break;
    case fcWindowState: {
        const char* state[] = {"restored", "minimized", "maximized"};
        Write("[form] " + FormTitle(form) + " " + state[form.WindowState()]);
        break;
    }
    case fcRepaint: break;
    }
}

void UseScriptBackendFromEnvironment() {
    auto backend = std::make_unique<TScriptBackend>(stdout);
    if (const char* script = std::getenv("KELVANE_SCRIPT"); script && *script) backend->LoadScript(script);
    if (const char* transcript = std::getenv("KELVANE_TRANSCRIPT"); transcript && *transcript)
        backend->OpenTranscript(transcript);
    Application->SetBackend(std::move(backend));
}

}  // namespace kv
