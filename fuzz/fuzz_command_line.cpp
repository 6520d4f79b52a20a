// The command-line parser against arbitrary argument vectors: NUL bytes in
// the input separate the arguments. Every text field stays terminated inside
// its buffer, and a run that goes on has a file, a preserve flag and an
// interface it knows.
#include "app/options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"korvex", ""};
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<char*> argv = korvex::fuzz::argvOf(args);
    korvex::fuzz::NullConsole console;
    korvex::Options o;
    const bool run =
        korvex::parseCommandLine(console, static_cast<int>(args.size()), argv.data(), &o) == korvex::ParseOutcome::Run;
    for (const char* field : {o.interface, o.host, o.port, o.user, o.password})
        if (!korvex::fuzz::terminatedWithin(field, korvex::kOptionTextSize)) std::abort();
    const std::string iface = o.interface;
    if (run && ((o.firmwareFile == nullptr && o.dumpFile == nullptr) || o.preserveFlag > 1 ||
                !(iface.empty() || iface == "kcs" || iface == "lan" || iface == "usb")))
        std::abort();
    return 0;
}
