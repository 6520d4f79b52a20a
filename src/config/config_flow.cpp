#include "config/config_flow.h"

// Placeholder until the configuration flow lands.
namespace korvex {

void runConfigFlow(const Platform&, Transport&, const char*, const char*) {}

}  // namespace korvex
