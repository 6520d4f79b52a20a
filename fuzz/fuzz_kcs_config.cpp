// kcs.cfg with arbitrary content: the reader must end, stay inside its token
// buffer, close the file and give port numbers of 16 bits.
#include "fuzz_support.h"
#include "transport/kcs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korvex::test::MemFs files;
    files.files["kcs.cfg"].assign(reinterpret_cast<const char*>(data), size);
    korvex::KcsPortSet ports;
    korvex::readKcsPortSet(files, &ports);
    for (int64_t port : {ports.command, ports.status, ports.data})
        if (port < 0 || port > 0xFFFF) std::abort();
    if (ports.command != ports.status || files.openNow != 0) std::abort();
    return 0;
}
