#include <cstdlib>
#include <string>

#include "platform/locale.h"

namespace plat {

bool SystemLanguageIsChinese() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return std::string(value).rfind("zh_CN", 0) == 0;
    }
    return false;
}

}  // namespace plat
