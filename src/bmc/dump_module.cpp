#include "bmc/dump_module.h"

namespace korvex::bmc {

// Placeholder: no handlers yet, so these requests get 0xC1.
void DumpModule::install(SimBmc&) {}

}  // namespace korvex::bmc
