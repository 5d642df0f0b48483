// A setup program built on the engine, as an author's own program would be: during the
// run its handler leaves work that only a reboot can finish (a file to delete and a
// component of its own to finish), and asks for the reboot.
#include <cstdio>

#include "app/SetupProgram.h"
#include "install/TInstall.h"
#include "platform/FileStream.h"

namespace kv {

// The program's own component: its work after the reboot is a line on the output.
class TResumeProbe : public TInstallObject {
    KV_CLASS(TResumeProbe, TInstallObject)
public:
    using TInstallObject::TInstallObject;
    int32_t RegisteredType() const override { return rtInstallFile; }
    void FinishAfterReboot() override { Say("finished " + Name()); }
    static void Say(const std::string& text) {
        std::printf("probe: %s\n", text.c_str());
        std::fflush(stdout);
    }
};

KV_REGISTER_CLASS(TResumeProbe, TInstallObject) {}

}  // namespace kv

int main() {
    using namespace kv;
    return RunSetupProgram([](TCustomForm* form) {
        Create<TResumeProbe>(form)->SetName("Resume1");
        form->RegisterHandler<TObject*>("ProbeLeaveWork", [](TObject*) {
            TCustomInstall* install = CurrentInstall();
            const std::string leftover = "C:\\TEMP\\LEFTOVER.TXT";
            TFileStream(leftover, fmCreate).WriteString("delete me after the reboot\r\n");
            install->AddUnfinished("Resume1", 0);
            install->AddUnfinished(leftover, 1);
            install->Reboot = true;
            TResumeProbe::Say("record " + InstallRecordKey);
        });
        form->RegisterHandler<TObject*>("ProbeGoodEnd", [](TObject*) { TResumeProbe::Say("good install"); });
    });
}
