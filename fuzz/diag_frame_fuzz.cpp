// DecodeFrame over arbitrary received bytes, in both modes, and the framing round trip.
#include "fuzz/fuzz_support.h"
#include "modem/diag_frame.h"

namespace {

using rkfuzz::Bytes;
using rkfuzz::Check;

void CheckDecode(std::span<const uint8_t> bytes, bool downloadMode) {
    const DecodedFrame f = DecodeFrame(bytes, downloadMode);
    if (!f.ok) {
        Check(f.payload.empty(), "a failed decode hands back no payload");
        Check(f.error == DIAG_ERR_NO_END_FLAG || f.error == DIAG_ERR_BAD_CRC, "a failed decode names its reason");
        return;
    }
    Check(f.error.empty(), "a good decode has no error");
    Check(f.payload.size() + 3 <= bytes.size(), "the payload is shorter than the frame by FCS and flag");
    // What decoded re-encodes into a frame that decodes to the same payload.
    const Bytes again = EncodeFrame(f.payload, downloadMode);
    const DecodedFrame g = DecodeFrame(again, downloadMode);
    Check(g.ok && g.payload == f.payload, "a decoded payload survives encode and decode");
}

}  // namespace

RK_FUZZ_TARGET(diag_frame) {
    rkfuzz::Init();
    const std::span<const uint8_t> in(data, size);
    CheckDecode(in, false);
    CheckDecode(in, true);

    // The input as a payload: framed either way, it decodes back in both modes (download mode
    // skips the leading flag, a frame without it decodes the same).
    for (const bool leading : {false, true}) {
        const Bytes frame = EncodeFrame(in, leading);
        Check(frame.back() == DIAG_FLAG, "a frame ends with the flag");
        const DecodedFrame d = DecodeFrame(frame, true);
        Check(d.ok && d.payload == Bytes(in.begin(), in.end()), "download-mode decode of an encoded payload");
        if (!leading) {
            const DecodedFrame e = DecodeFrame(frame, false);
            Check(e.ok && e.payload == Bytes(in.begin(), in.end()), "diag-mode decode of an encoded payload");
        }
        size_t flags = 0;
        for (size_t i = 0; i + 1 < frame.size(); ++i) flags += frame[i] == DIAG_FLAG ? 1 : 0;
        Check(flags == (leading ? 1u : 0u), "no unescaped flag inside a frame");
    }
    return 0;
}

RK_FUZZ_SEEDS(diag_frame) {
    std::vector<Bytes> seeds;
    seeds.push_back(EncodeFrame(Bytes{0x29, 0x02, 0x00}, false));
    seeds.push_back(EncodeFrame(Bytes{0x02}, true));
    seeds.push_back(EncodeFrame(Bytes{0x7E, 0x7D, 0x5E, 0x5D}, false));
    seeds.push_back(Bytes{0x7D, 0x7E});
    seeds.push_back(Bytes{0x7E});
    seeds.push_back(Bytes{0x01, 0x7D});
    return seeds;
}
