// The BMC's configuration transfer task.
#pragma once

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class ConfigModule final : public BmcModule {
public:
    void install(SimBmc& bmc) override;
};

}  // namespace korvex::bmc
