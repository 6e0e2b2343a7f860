#pragma once
// Scripted AT exchanges over the fake tunnel: an expected command with its answer (or none), and
// the answers the modem gives.
#include <string>

#include "tests/modem/fake_tunnel.h"

inline Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Step At(const std::string& expect, const std::string& answer) {
    Step s = ReplyRaw(B(answer));
    s.expect = B(expect);
    return s;
}
inline Step AtSilent(const std::string& expect) {
    Step s = Silent();
    s.expect = B(expect);
    return s;
}

inline const std::string kKdiag6 = "\r\n+KDIAG: 6\r\n\r\nOK\r\n";
inline const std::string kKdiag1 = "\r\n+KDIAG: 1\r\n\r\nOK\r\n";
inline const std::string kOk = "\r\nOK\r\n";
inline const std::string kError = "\r\nERROR\r\n";
