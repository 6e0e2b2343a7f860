#pragma once
// Deliberate faults the simulated modem can put into an encoded DIAG reply frame.
#include <cstdint>
#include <vector>

namespace sim {

// Changes the last FCS byte of a frame made by EncodeFrame (it ends with the 0x7E flag) so that the
// frame fails the CRC check while its escaping stays valid.
void CorruptFcs(std::vector<uint8_t>& frame);

}  // namespace sim
