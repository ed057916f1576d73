// The recorder on the simulated machine: what the process-level tests run. A test
// describes the machine in a scenario file named by VELOMAR_SIM_SCENARIO, so that the
// command line stays exactly the product's.
#include <cstdlib>
#include <exception>
#include <memory>

#include "core/events.h"
#include "core/front_end.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_scenario.h"

int main(int argc, char** argv) {
    velomar::protectStandardDescriptors();
    velomar::sim::SimPlatform sim;
    // Never destroyed: its threads drive the machine until the process exits.
    velomar::sim::Scenario* scenario = nullptr;
    if (const char* path = std::getenv("VELOMAR_SIM_SCENARIO"); path != nullptr && *path != '\0') {
        try {
            scenario = velomar::sim::Scenario::load(path, sim).release();
        } catch (const std::exception& error) {
            // A broken scenario is the test's fault; say so on the only channel there is.
            velomar::emit("scenario-error", {{"message", error.what()}});
            return 3;
        }
        scenario->run();
    }
    auto platform = sim.platform();
    return velomar::runFrontEnd(argc, argv, platform);
}
