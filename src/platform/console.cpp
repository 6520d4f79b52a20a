#include "platform/platform.h"

namespace korvex {

void Console::print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(format, args);
    va_end(args);
}

}  // namespace korvex
