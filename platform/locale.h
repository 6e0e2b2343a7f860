#pragma once
// The system's default language.
namespace plat {
// Chinese (PRC): GetSystemDefaultLangID() is 2052 on Windows; elsewhere the first of LC_ALL,
// LC_MESSAGES and LANG that is set (non-empty) begins with "zh_CN".
bool SystemLanguageIsChinese();
}  // namespace plat
