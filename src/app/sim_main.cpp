// The recorder on the simulated machine: what the process-level tests run.
#include "core/front_end.h"
#include "platform/sim/sim_platform.h"

int main(int argc, char** argv) {
    velomar::protectStandardDescriptors();
    velomar::sim::SimPlatform sim;
    auto platform = sim.platform();
    return velomar::runFrontEnd(argc, argv, platform);
}
