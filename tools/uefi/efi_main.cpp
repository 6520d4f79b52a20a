// Korvex.efi's entry: one run of the tool, started either by the UEFI Shell
// (its wide-character arguments, files through the shell, exit status 0 on
// every path, the console text as the report) or by the boot manager from a
// boot entry whose load options hold the command line (files beside the
// image, the console text also in a log file, the outcome in a result file).
#include "app/main_flow.h"
#include "platform/uefi/uefi.h"
#include "uefi/boot_command_line.h"
#include "uefi/run_result.h"

namespace korvex::uefi {

namespace {

// argv[0] when nothing names the program; the core takes char*.
char kProgramName[] = "Korvex.efi";
static_assert(sizeof(kProgramName) == sizeof(kDefaultProgramName));

char* defaultProgramName() { return kProgramName; }

EFI_SHELL_PARAMETERS_PROTOCOL* shellParameters(EFI_HANDLE image) {
    EFI_GUID guid = EFI_SHELL_PARAMETERS_PROTOCOL_GUID;
    void* interface = nullptr;
    if (firmware.boot->OpenProtocol(image, &guid, &interface, image, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL) !=
        EFI_SUCCESS)
        return nullptr;
    return static_cast<EFI_SHELL_PARAMETERS_PROTOCOL*>(interface);
}

EFI_SHELL_PROTOCOL* shell() {
    EFI_GUID guid = EFI_SHELL_PROTOCOL_GUID;
    void* interface = nullptr;
    if (firmware.boot->LocateProtocol(&guid, nullptr, &interface) != EFI_SUCCESS) return nullptr;
    return static_cast<EFI_SHELL_PROTOCOL*>(interface);
}

EFI_LOADED_IMAGE* loadedImage(EFI_HANDLE image) {
    EFI_GUID guid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
    void* interface = nullptr;
    if (firmware.boot->HandleProtocol(image, &guid, &interface) != EFI_SUCCESS) return nullptr;
    return static_cast<EFI_LOADED_IMAGE*>(interface);
}

// The arguments as 8-bit (UTF-8) strings, program name first, in a vector
// ended by a null pointer. A run with some arguments lost would do something
// the user did not ask for, so a conversion that fails runs nothing.
class Arguments {
public:
    explicit Arguments(Memory& memory) : memory_(memory) {}
    ~Arguments() {
        for (int i = 0; i < count_; ++i)
            if (vector_[i] != defaultProgramName()) memory_.release(vector_[i]);
        memory_.release(vector_);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;

    bool reserve(size_t count) {
        vector_ = static_cast<char**>(memory_.allocate((count + 1) * sizeof(char*)));
        if (vector_ != nullptr) vector_[0] = nullptr;
        return vector_ != nullptr;
    }
    // Takes the UTF-8 form of a zero-terminated UCS-2 word, or the default
    // program name when word is nullptr.
    bool add(const CHAR16* word) {
        char* text = word != nullptr ? toUtf8(memory_, word) : defaultProgramName();
        if (text == nullptr) return false;
        vector_[count_++] = text;
        vector_[count_] = nullptr;
        return true;
    }
    bool ok() const { return vector_ != nullptr; }
    int count() const { return count_; }
    char** vector() const { return vector_; }

private:
    Memory& memory_;
    char** vector_ = nullptr;
    int count_ = 0;
};

bool shellArguments(const EFI_SHELL_PARAMETERS_PROTOCOL& parameters, Arguments* args) {
    if (!args->reserve(parameters.Argc + 1)) return false;
    for (size_t n = 0; n < parameters.Argc; ++n)
        if (!args->add(parameters.Argv[n])) return false;
    return parameters.Argc > 0 || args->add(nullptr);
}

// The load options' command line, split; start.isCommandLine is false when
// they hold none.
struct BootCommandLine {
    BootStart start;
    bool ok = false;  // false: memory ran out
};

BootCommandLine bootArguments(Memory& memory, const EFI_LOADED_IMAGE* loaded, Arguments* args) {
    BootCommandLine result;
    const auto* bytes = loaded != nullptr ? static_cast<const uint8_t*>(loaded->LoadOptions) : nullptr;
    const size_t length = loaded != nullptr ? commandLineUnits(bytes, loaded->LoadOptionsSize) : 0;
    if (length == 0) {
        result.ok = true;
        return result;
    }
    auto* line = static_cast<char16_t*>(memory.allocate((length + 1) * sizeof(char16_t)));
    auto* words = static_cast<char16_t*>(memory.allocate((length + 1) * sizeof(char16_t)));
    if (line != nullptr && words != nullptr) {
        for (size_t i = 0; i < length; ++i) line[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        const size_t count = splitCommandLine(line, length, words);
        result.start = classifyCommandLine(words, count);
        result.ok =
            !result.start.isCommandLine ||
            (args->reserve(count + 1) && forEachArgument(words, count, result.start, [args](const char16_t* word) {
                 return args->add(reinterpret_cast<const CHAR16*>(word));
             }));
    }
    memory.release(line);
    memory.release(words);
    return result;
}

// Staged like a dump, so that a reader never takes a file cut short for a
// verdict.
bool writeResult(UefiVolumeFileSystem& files, JobOutcome outcome) {
    char text[kResultTextSize];
    const size_t length = formatResult(outcome, text);
    StagedFile* file = files.createStaged(kResultFileName);
    if (file == nullptr) return false;
    if (file->write(text, length) != length) {
        file->discard();
        return false;
    }
    return file->keep();
}

struct Machine {
    UefiPorts ports;
    UefiTimers timers;
    UefiStall stall;
    UefiMemory memory;
    NeverStop stops;  // nothing in the firmware asks a run to stop
};

EFI_STATUS runInShell(EFI_SYSTEM_TABLE* system, const EFI_SHELL_PARAMETERS_PROTOCOL& parameters) {
    Machine machine;
    UefiConsole console(system);
    UefiFileSystem files(shell());
    const Platform platform{machine.ports, machine.timers, machine.stall, console,
                            files,         machine.memory, machine.stops};
    Arguments args(machine.memory);
    // The shell is told success on every path: the outcome is in the console text.
    if (shellArguments(parameters, &args)) static_cast<void>(korvexMain(platform, args.count(), args.vector()));
    console.flush();
    return EFI_SUCCESS;
}

// The boot manager goes on to the next entry of BootOrder after anything but
// success; success would stop it in its menu, out of reach of an unattended
// machine. So every run it starts ends with this status, and the outcome is
// in the result file.
constexpr EFI_STATUS kBackToBootManager = EFI_NOT_STARTED;

EFI_STATUS runFromBootManager(EFI_HANDLE image, EFI_SYSTEM_TABLE* system) {
    Machine machine;
    UefiConsole console(system);
    Arguments args(machine.memory);
    const BootCommandLine line = bootArguments(machine.memory, loadedImage(image), &args);
    if (!line.ok) return kBackToBootManager;
    if (!line.start.isCommandLine) {
        // Started as EFI\BOOT\BOOTX64.EFI from a stick, or from an entry that
        // another tool wrote: no command line to act on, and no file is
        // touched. The banner says what the program is.
        UefiFileSystem none(nullptr);
        const Platform platform{machine.ports, machine.timers, machine.stall, console,
                                none,          machine.memory, machine.stops};
        char* vector[] = {defaultProgramName(), nullptr};
        static_cast<void>(korvexMain(platform, 1, vector));
        console.flush();
        return kBackToBootManager;
    }

    UefiVolumeFileSystem files(openImageFolder(image));
    // A result left by an earlier run must never pass for this one's.
    File* log = files.remove(kResultFileName) ? files.open(kLogFileName, "wb") : nullptr;
    if (log == nullptr) {
        console.print("Korvex.efi: cannot write %s and %s in the folder it was started from; nothing was run\n",
                      kLogFileName, kResultFileName);
        return kBackToBootManager;
    }
    console.copyTo(log);
    const Platform platform{machine.ports, machine.timers, machine.stall, console,
                            files,         machine.memory, machine.stops};
    const JobResult result = korvexMain(platform, args.count(), args.vector());
    console.flush();
    console.copyTo(nullptr);
    log->close();
    if (!writeResult(files, result.outcome))
        console.print("Korvex.efi: cannot write %s; the outcome is in %s only\n", kResultFileName, kLogFileName);
    if (line.start.reset) {
        // ResetSystem does not return: the folder is closed first, so that
        // the volume has everything written.
        files.close();
        system->RuntimeServices->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
    }
    return kBackToBootManager;
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
    const EFI_SHELL_PARAMETERS_PROTOCOL* parameters = shellParameters(image);
    return parameters != nullptr ? runInShell(system, *parameters) : runFromBootManager(image, system);
}
