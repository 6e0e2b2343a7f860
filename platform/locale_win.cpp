#include <windows.h>

#include "platform/locale.h"

namespace plat {

bool SystemLanguageIsChinese() { return GetSystemDefaultLangID() == 2052; }

}  // namespace plat
