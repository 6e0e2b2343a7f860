#include <cstdio>

#include "platform/options.h"

int main(int argc, char** argv) {
    const plat::ParseResult parsed = plat::ParseCommandLine(argc, argv);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s\n%s", parsed.error.c_str(), plat::UsageText().c_str());
        return 2;
    }
    return 0;
}
