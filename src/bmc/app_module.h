// The standard App requests every BMC answers: Get Device ID and Cold Reset.
#pragma once

#include "bmc/sim_bmc.h"

namespace korvex::bmc {

class AppModule final : public BmcModule {
public:
    void install(SimBmc& bmc) override;
};

}  // namespace korvex::bmc
