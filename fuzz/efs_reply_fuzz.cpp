// The EFS2 reply parsers (open, fstat, read, write, close), fed the input directly, and the two
// file copies of DiagClient built on them, with the modem's replies taken from the input. Input:
// up to six operations, each a selector byte and its arguments: a parser takes a u16 length and
// that many bytes, a copy the tunnel steps its exchanges use (fuzz_tunnel.h).
#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_tunnel.h"
#include "modem/diag_client.h"

namespace {

using namespace rkfuzz;
namespace fs = std::filesystem;

constexpr int kOperations = 7;
constexpr int kMaxOperations = 6;

size_t EntriesIn(const std::string& folder) {
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
}

// Whether `reply` carries the header of the EFS2 sub-command `sub` and at least `size` bytes.
bool Answers(std::span<const uint8_t> reply, uint16_t sub, size_t size) {
    return reply.size() >= size && reply[0] == DIAG_SUBSYS_CMD_F && reply[1] == DIAG_SUBSYS_FS &&
           plat::GetLe16(reply, 2) == sub;
}

void RunOperation(DiagClient& diag, Reader& in, int which) {
    if (which <= 4) {
        const uint32_t count = in.U16() % 700;
        const uint32_t offset = in.U32();
        const Bytes reply = in.Take(in.U16() % 800);
        switch (which) {
            case 0:
                if (ParseEfsOpenReply(reply)) Check(Answers(reply, EFS2_DIAG_OPEN, 12), "open: an answer with its fields");
                break;
            case 1:
                if (ParseEfsFstatReply(reply)) Check(Answers(reply, EFS2_DIAG_FSTAT, 32), "fstat: an answer with its fields");
                break;
            case 2:
                if (const auto r = ParseEfsReadReply(reply, count, offset)) {
                    Check(Answers(reply, EFS2_DIAG_READ, 20), "read: an answer with its fields");
                    Check(r->bytesRead <= count && r->data.size() == r->bytesRead, "read: never more than asked for");
                    Check(r->offset == offset, "read: the offset asked for");
                    Check(std::equal(r->data.begin(), r->data.end(), reply.begin() + 20), "read: the data are the reply's");
                }
                break;
            case 3:
                if (ParseEfsWriteReply(reply)) Check(Answers(reply, EFS2_DIAG_WRITE, 20), "write: an answer with its fields");
                break;
            case 4:
                if (ParseEfsCloseReply(reply)) Check(Answers(reply, EFS2_DIAG_CLOSE, 8), "close: an answer with its fields");
                break;
            default:
                break;
        }
        return;
    }
    switch (which) {
        case 5: {
            const std::string efsPath = in.Text(EFS_PATH_MAX + 8);
            const std::string pcPath = TempFolder() + "/efs_copy";
            const EfsCopyResult r = diag.CopyEfsFileToPc(pcPath, efsPath);
            std::error_code ec;
            const bool exists = fs::exists(pcPath, ec);
            Check(exists == (r == EfsCopyResult::Done), "copy to PC: the PC file exists exactly after Done");
            Check(EntriesIn(TempFolder()) == (exists ? 1u : 0u), "copy to PC: no temporary file is left");
            ClearTempFolder();
            break;
        }
        case 6: {
            const std::string efsPath = in.Text(EFS_PATH_MAX + 8);
            const Bytes content = in.Take(in.U16() % 2100);
            const std::string pcPath = TempFolder() + "/efs_source";
            {
                std::ofstream out(pcPath, std::ios::binary | std::ios::trunc);
                out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
            }
            diag.CopyPcFileToEfs(pcPath, efsPath);
            ClearTempFolder();
            break;
        }
        default:
            break;
    }
    Check(diag.Mode() == DiagClient::ModeDiag || diag.Mode() == DiagClient::ModePrepared,
          "an EFS operation leaves the client in DIAG or prepared mode");
}

// Tunnel steps of well-formed replies: the request's header echoed, then the fields.
Bytes Fields(std::initializer_list<uint32_t> values, const Bytes& tail = {}) {
    Bytes b;
    for (uint32_t v : values) plat::AppendLe32(b, v);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

}  // namespace

RK_FUZZ_TARGET(efs_reply) {
    InputScope scope;
    Reader in(data, size);
    FuzzTunnel tunnel(in, scope);
    DiagClient diag(tunnel);
    for (int i = 0; i < kMaxOperations && !in.Empty() && !scope.Stop().Requested(); ++i)
        RunOperation(diag, in, in.U8() % kOperations);
    ClearTempFolder();
    return 0;
}

RK_FUZZ_SEEDS(efs_reply) {
    std::vector<Bytes> seeds;
    const Bytes path = {'/', 'n', 'v', '/', 'a', 0};
    const Bytes openOk = Fields({0, 0});
    const Bytes fstat700 = Fields({0, 0100644, 700, 1, 0, 0, 0});
    const Bytes closeOk = Fields({0});
    // A parser's input: selector, count (u16), offset (u32), then the reply with its u16 length.
    auto parse = [&](uint8_t which, uint16_t sub, const Bytes& fields, uint16_t count = 0, uint32_t offset = 0) {
        Bytes reply = {DIAG_SUBSYS_CMD_F, DIAG_SUBSYS_FS};
        plat::AppendLe16(reply, sub);
        reply.insert(reply.end(), fields.begin(), fields.end());
        Bytes s{which};
        plat::AppendLe16(s, count);
        plat::AppendLe32(s, offset);
        plat::AppendLe16(s, static_cast<uint16_t>(reply.size()));
        s.insert(s.end(), reply.begin(), reply.end());
        seeds.push_back(s);
    };
    parse(0, EFS2_DIAG_OPEN, openOk);
    parse(0, EFS2_DIAG_OPEN, Fields({0xFFFFFFFFu, 2}));  // no such file
    parse(1, EFS2_DIAG_FSTAT, fstat700);
    parse(2, EFS2_DIAG_READ, Fields({0, 0, 4, 0}, {1, 2, 3, 4}), 4, 0);
    parse(2, EFS2_DIAG_READ, Fields({0, 512, 9, 0}, {1, 2, 3, 4}), 512, 512);  // claims more than it carries
    parse(3, EFS2_DIAG_WRITE, Fields({0, 0, 3, 0}));
    parse(4, EFS2_DIAG_CLOSE, closeOk);
    {  // a whole copy of a 700-byte file: open, fstat, read 512, read 188, close
        Bytes s = {5};
        s.insert(s.end(), path.begin(), path.end());
        PutTunnelStep(s, 0x05, openOk);
        PutTunnelStep(s, 0x05, fstat700);
        PutTunnelStep(s, 0x05, Fields({0, 0, 512, 0}, Bytes(512, 0x11)));
        PutTunnelStep(s, 0x05, Fields({0, 512, 188, 0}, Bytes(188, 0x22)));
        PutTunnelStep(s, 0x05, closeOk);
        seeds.push_back(s);
    }
    {  // a copy of an empty file
        Bytes s = {5};
        s.insert(s.end(), path.begin(), path.end());
        PutTunnelStep(s, 0x05, openOk);
        PutTunnelStep(s, 0x05, Fields({0, 0100644, 0, 1, 0, 0, 0}));
        PutTunnelStep(s, 0x05, closeOk);
        seeds.push_back(s);
    }
    {  // a PC file of 600 bytes into the EFS: open, write 512, write 88, close
        Bytes s = {6};
        s.insert(s.end(), path.begin(), path.end());
        plat::AppendLe16(s, 600);
        s.insert(s.end(), 600, 0x33);
        PutTunnelStep(s, 0x05, openOk);
        PutTunnelStep(s, 0x05, Fields({0, 0, 512, 0}));
        PutTunnelStep(s, 0x05, Fields({0, 512, 88, 0}));
        PutTunnelStep(s, 0x05, closeOk);
        seeds.push_back(s);
    }
    {  // a DIAG error reply to the open of a copy
        Bytes s = {5};
        s.insert(s.end(), path.begin(), path.end());
        PutTunnelStep(s, 0x01, {0x13, 0x4B, 0x13});
        seeds.push_back(s);
    }
    return seeds;
}
