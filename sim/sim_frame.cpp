#include "sim/sim_frame.h"

#include "modem/diag_frame.h"

namespace sim {

void CorruptFcs(std::vector<uint8_t>& frame) {
    // frame = ... [FCS high byte, possibly escaped as 0x7D x] 0x7E
    if (frame.size() < 2) return;
    const size_t last = frame.size() - 2;
    uint8_t& b = frame[last];
    if (last > 0 && frame[last - 1] == DIAG_ESCAPE) {
        b ^= 0x01;  // 0x5E / 0x5D -> 0x5F / 0x5C: still an escaped byte, now a different one
        return;
    }
    uint8_t changed = static_cast<uint8_t>(b ^ 0x01);
    if (changed == DIAG_FLAG || changed == DIAG_ESCAPE) changed = static_cast<uint8_t>(b ^ 0x10);
    b = changed;
}

}  // namespace sim
