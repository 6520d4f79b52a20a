#include "bmc/update_module.h"

namespace korvex::bmc {

// Placeholder: no handlers yet, so these requests get 0xC1.
void UpdateModule::install(SimBmc&) {}

}  // namespace korvex::bmc
