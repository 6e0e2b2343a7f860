// The EFS reply parsing of DiagClient (open, fstat, read, write, close) and the two file copies
// built on it, with the modem's replies taken from the input. Input: up to six operations, each a
// selector byte and its arguments followed by the tunnel steps its exchanges use (fuzz_tunnel.h).
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

void RunOperation(DiagClient& diag, Reader& in, int which) {
    switch (which) {
        case 0: {
            const bool forReading = in.Bool();
            const std::string path = in.Text(EFS_PATH_MAX + 8);
            int32_t fd = 77;
            int32_t err = 77;
            const int ok = diag.EfsOpen(path, forReading, fd, &err);
            if (ok) Check(fd == 0 && err == 0, "open: success means descriptor 0 and no error number");
            if (path.size() > EFS_PATH_MAX) Check(!ok && fd == -1 && err == 0, "open: a too long path is refused");
            break;
        }
        case 1: {
            uint32_t fileSize = 77;
            const int ok = diag.EfsFstat(static_cast<int8_t>(in.U8()), fileSize);
            if (!ok) Check(fileSize == 0, "fstat: size 0 on failure");
            break;
        }
        case 2: {
            const uint32_t count = in.U16() % 700;
            Bytes buffer(in.U16() % 700, 0xCC);
            const uint32_t offset = in.U32();
            uint32_t got = 77;
            const int ok = diag.EfsRead(0, count, offset, got, buffer);
            Check(got <= count && got <= buffer.size(), "read: never more than asked for or than fits");
            if (count > buffer.size()) Check(!ok && got == 0, "read: a count beyond the buffer is refused");
            break;
        }
        case 3: {
            const uint32_t offset = in.U32();
            const Bytes piece = in.Take(in.U16() % (EFS_BLOCK_SIZE + 64));
            uint32_t written = 77;
            const int ok = diag.EfsWrite(offset, piece, &written);
            if (piece.size() > EFS_BLOCK_SIZE) Check(!ok && written == 0, "write: a block beyond 512 is refused");
            break;
        }
        case 4:
            diag.EfsClose();
            break;
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
    Check(diag.ReplyPayload().size() <= DIAG_RX_SIZE, "the reply payload lies in the reply buffer");
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
    {  // open for reading
        Bytes s = {0, 1};
        s.insert(s.end(), path.begin(), path.end());
        PutTunnelStep(s, 0x05, openOk);
        seeds.push_back(s);
    }
    {  // open: no such file
        Bytes s = {0, 1};
        s.insert(s.end(), path.begin(), path.end());
        PutTunnelStep(s, 0x05, Fields({0xFFFFFFFFu, 2}));
        seeds.push_back(s);
    }
    {  // fstat
        Bytes s = {1, 0};
        PutTunnelStep(s, 0x05, fstat700);
        seeds.push_back(s);
    }
    {  // read 4 of 4 bytes at 0
        Bytes s = {2, 4, 0, 8, 0, 0, 0, 0, 0};
        PutTunnelStep(s, 0x05, Fields({0, 0, 4, 0}, {1, 2, 3, 4}));
        seeds.push_back(s);
    }
    {  // write 3 bytes at 0
        Bytes s = {3, 0, 0, 0, 0, 3, 0, 9, 8, 7};
        PutTunnelStep(s, 0x05, Fields({0, 0, 3, 0}));
        seeds.push_back(s);
    }
    {  // close
        Bytes s = {4};
        PutTunnelStep(s, 0x05, closeOk);
        seeds.push_back(s);
    }
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
    {  // a DIAG error reply to an open
        Bytes s = {0, 1};
        s.insert(s.end(), path.begin(), path.end());
        PutTunnelStep(s, 0x01, {0x13, 0x4B, 0x13});
        seeds.push_back(s);
    }
    return seeds;
}
