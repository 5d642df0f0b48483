// A setup program built on the engine, as an author's own program would be: its
// handlers report what the driver saw of the command line.
#include <cstdio>

#include "app/SetupProgram.h"
#include "install/TInstall.h"

int main() {
    using namespace kv;
    return RunSetupProgram([](TCustomForm* form) {
        form->RegisterHandler<TObject*>("ProbeInitialized", [](TObject*) {
            TCustomInstall* install = CurrentInstall();
            std::string switches;
            for (int s = 0; s < kSwitchCount; ++s)
                if (install->HasSwitch(TInstallSwitch(s))) switches += std::string(" -") + "bfdersc"[s];
            std::printf("probe: source folder %s\nprobe: switches%s\n", install->SourceDir().c_str(), switches.c_str());
            std::fflush(stdout);
        });
    });
}
