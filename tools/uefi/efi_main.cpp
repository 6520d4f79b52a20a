// Korvex.efi's entry: from the UEFI Shell's wide-character command line to
// one run of the tool. The exit status is 0 on every path whatever the run's
// outcome; the console text is the report.
#include "app/main_flow.h"
#include "platform/uefi/uefi.h"

namespace korvex::uefi {

namespace {

// The program name when there is no shell to say how the image was called,
// e.g. when the boot manager starts it as EFI\BOOT\BOOTX64.EFI.
char kBootProgramName[] = "Korvex.efi";

EFI_SHELL_PARAMETERS_PROTOCOL* shellParameters(EFI_HANDLE image) {
    EFI_GUID guid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
    void* interface = nullptr;
    if (firmware.boot->OpenProtocol(image, &guid, &interface, image, nullptr,
                                    EFI_OPEN_PROTOCOL_GET_PROTOCOL) != EFI_SUCCESS)
        return nullptr;
    return static_cast<EFI_SHELL_PARAMETERS_PROTOCOL*>(interface);
}

EFI_SHELL_PROTOCOL* shell() {
    EFI_GUID guid = EFI_SHELL_PROTOCOL_GUID;
    void* interface = nullptr;
    if (firmware.boot->LocateProtocol(&guid, nullptr, &interface) != EFI_SUCCESS) return nullptr;
    return static_cast<EFI_SHELL_PROTOCOL*>(interface);
}

// The arguments as 8-bit (UTF-8) strings, program name first, in a vector
// ended by a null pointer. A run with some arguments lost would do something
// the user did not ask for, so a conversion that fails runs nothing.
struct Arguments {
    int count = 0;
    char** vector = nullptr;
};

void releaseStrings(Memory& memory, char** vector, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (vector[i] != kBootProgramName) memory.release(vector[i]);
    memory.release(vector);
}

Arguments convertArguments(Memory& memory, const EFI_SHELL_PARAMETERS_PROTOCOL* parameters) {
    Arguments args;
    const size_t count = parameters != nullptr ? parameters->Argc : 0;
    auto** vector = static_cast<char**>(memory.allocate((count + 2) * sizeof(char*)));
    if (vector == nullptr) return args;
    size_t n = 0;
    for (; n < count; ++n) {
        vector[n] = toUtf8(memory, parameters->Argv[n]);
        if (vector[n] == nullptr) {
            releaseStrings(memory, vector, n);
            return args;
        }
    }
    if (count == 0) vector[n++] = kBootProgramName;
    vector[n] = nullptr;
    args.count = static_cast<int>(n);
    args.vector = vector;
    return args;
}

void releaseArguments(Memory& memory, Arguments args) {
    if (args.vector != nullptr) releaseStrings(memory, args.vector, static_cast<size_t>(args.count));
}

}  // namespace

}  // namespace korvex::uefi

// gnu-efi's start-up code applies the image's relocations and calls this
// with the System V calling convention.
extern "C" EFI_STATUS efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* system) {
    using namespace korvex::uefi;
    firmware = Firmware{image, system, system->BootServices};
    // The boot manager's watchdog would reset the machine after 5 minutes,
    // in the middle of a firmware transfer.
    firmware.boot->SetWatchdogTimer(0, 0, 0, nullptr);

    UefiPorts ports;
    UefiTimers timers;
    UefiStall stall;
    UefiConsole console(system);
    UefiFileSystem files(shell());
    UefiMemory memory;
    korvex::NeverStop stops;  // nothing in the shell asks a run to stop
    const korvex::Platform platform{ports, timers, stall, console, files, memory, stops};

    EFI_SHELL_PARAMETERS_PROTOCOL* parameters = shellParameters(image);
    Arguments args = convertArguments(memory, parameters);
    // The shell is told success on every path: the outcome is in the console text.
    if (args.vector != nullptr) static_cast<void>(korvex::korvexMain(platform, args.count, args.vector));
    console.flush();
    releaseArguments(memory, args);
    // Started by the boot manager (EFI\BOOT\BOOTX64.EFI on a stick) there is
    // no command line to act on: after the banner, "not started" sends the
    // boot manager on to its next entry, typically the built-in UEFI Shell,
    // where the tool is meant to be run. Success would stop it in its menu.
    return parameters != nullptr ? EFI_SUCCESS : EFI_NOT_STARTED;
}
