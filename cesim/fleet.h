// cesim fleet: the update run against every survey folder of a fleet, each device's state in
// memory, and a report of what it would do on each.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "res_file.h"

namespace cesim {

// Runs `cesim fleet` with the arguments after "fleet"; returns the exit status. `resources` are
// those of the update built for this machine.
int FleetMain(std::span<const std::string> arguments, std::vector<res::ResourceEntry> resources);

}  // namespace cesim
