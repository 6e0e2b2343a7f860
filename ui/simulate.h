#pragma once
// --simulate: the built-in gateway simulator on 127.0.0.1 with free ports, and every endpoint
// pointed at it, before the view starts.
#include <memory>

#include "app/options.h"

// Starts the simulator when --simulate is given and points `options.endpoints` at it. The result
// owns the running simulator (it stops when released); null when nothing was started.
std::shared_ptr<void> StartSimulatorIfAsked(plat::Options& options);
