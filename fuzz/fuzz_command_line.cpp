// The command-line parser against arbitrary argument vectors: NUL bytes in
// the input separate the arguments.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"korvex"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    std::vector<char*> argv = korvex::fuzz::argvOf(args);

    korvex::fuzz::NullConsole console;
    korvex::Options options;
    korvex::ParseOutcome outcome =
        korvex::parseCommandLine(console, static_cast<int>(args.size()), argv.data(), &options);

    // Every text field stays terminated inside its buffer.
    for (const char* field : {options.interface, options.host, options.port, options.user, options.password})
        if (korvex::fuzz::terminatedWithin(field, korvex::kOptionTextSize) == false) std::abort();
    if (outcome == korvex::ParseOutcome::Run) {
        if (options.firmwareFile == nullptr && options.dumpFile == nullptr) std::abort();
        if (options.preserveFlag > 1) std::abort();
        const std::string iface = options.interface;
        if (!(iface.empty() || iface == "kcs" || iface == "lan" || iface == "usb")) std::abort();
    }
    return 0;
}
