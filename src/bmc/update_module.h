// The BMC's side of the firmware update.
#pragma once

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class UpdateModule final : public BmcModule {
public:
    void install(SimBmc& bmc) override;
};

}  // namespace korvex::bmc
