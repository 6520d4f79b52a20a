// The BMC's side of the flash dump.
#pragma once

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class DumpModule final : public BmcModule {
public:
    void install(SimBmc& bmc) override;
};

}  // namespace korvex::bmc
