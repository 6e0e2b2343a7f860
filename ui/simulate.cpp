#include "ui/simulate.h"

#include <cstdio>

#include "sim/gateway_sim.h"

std::shared_ptr<void> StartSimulatorIfAsked(plat::Options& options) {
    if (!options.bSimulate) return nullptr;
    auto sim = std::make_shared<GatewaySim>(GatewaySimConfig{});
    if (!sim->Start()) {
        std::fprintf(stderr, "the simulated gateway could not start: %s\n", sim->LastError().c_str());
        return nullptr;
    }
    plat::Endpoints& ep = options.endpoints;
    ep.gateway = "127.0.0.1";
    ep.bGatewayOverridden = true;
    ep.webPort = sim->WebPort();
    ep.settingPort = sim->SettingPort();
    ep.linkPort = 0;
    ep.announceHost = "127.0.0.1";
    ep.announcePort = sim->AnnouncePort();
    ep.announceAddress = "127.0.0.1";
    return sim;
}
