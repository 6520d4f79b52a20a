// korvex-stage: stages a run of Korvex.efi for the next boot and reports it
// after the reboot (see stage.h and docs/linux.md).
#include <cstdio>
#include <string>
#include <vector>

#include "korvex-stage/stage.h"

int main(int argc, char** argv) {
    korvex::stage::Settings settings;
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int status = korvex::stage::run(settings, args, stdout, stderr);
    std::fflush(stdout);
    return status;
}
