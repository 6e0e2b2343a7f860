#pragma once
// A line's device objects, created with the document: the line's channel to the gateway, the
// modem client that tunnels DIAG through it, and the AT port that uses the same channel.
#include "cpelink/line_channel.h"
#include "modem/at_port.h"
#include "modem/diag_client.h"

struct LineDevice {
    CLineChannel channel;
    DiagClient diag{channel};
    AtPort at{channel};
};
