// Windows test programs: Winsock started before any test makes a socket (the program's own
// start-up does this in rk880t-tool).
#include "platform/network.h"

namespace {
const bool g_started = (plat::StartSocketsForProcess(), true);
}  // namespace
