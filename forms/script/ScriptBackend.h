// The script backend: no windows. Each question a person would answer (a message box,
// a modal form) takes the next answer of a script, or the default answer when the
// script has none left; what a person would see is written to a transcript.
#pragma once

#include <cstdio>
#include <deque>
#include <string>

#include "forms/Forms.h"

namespace kv {

class TScriptBackend : public TFormsBackend {
public:
    TScriptBackend() = default;
    // Transcript lines also go to Out (host text), flushed line by line.
    explicit TScriptBackend(std::FILE* out) : FOut(out) {}
    ~TScriptBackend() override;

    // Answers, one a line; blank lines and lines starting with "#" are skipped.
    void SetScript(const std::string& text);
    void AddAnswer(const std::string& answer) { FAnswers.push_back(answer); }
    // Reads the script from a host file; EScriptError when it cannot be read.
    void LoadScript(const std::string& hostPath);
    // Writes the transcript to a host file as well (created anew).
    void OpenTranscript(const std::string& hostPath);
    const std::string& Transcript() const { return FTranscript; }
    void Write(const std::string& line);

    void RunLoop(TApplication& app) override;
    void RunModal(TApplication& app, TCustomForm& form) override;
    int MessageBox(const std::string& text, const std::string& caption, uint32_t flags) override;
    void FormChanged(TCustomForm& form, TFormChange change) override;
    void ProgramEnded(int exitCode) override { Write("[exit] " + std::to_string(exitCode)); }

private:
    bool NextAnswer(std::string& answer);
    std::deque<std::string> FAnswers;
    std::string FTranscript;
    std::FILE* FOut = nullptr;
    bool FOwnsOut = false;
};

// Sets up the application's backend for a program: the script backend, with the
// script named by KELVANE_SCRIPT and the transcript written to the file named by
// KELVANE_TRANSCRIPT or else to standard output.
void UseScriptBackendFromEnvironment();

}  // namespace kv
