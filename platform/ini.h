#pragma once
// Private profile (INI) files with the rules of the Windows profile functions:
// section and key names are case-insensitive, a write keeps every other section, key and comment,
// a missing file, section or key reads as the default. Writes go through a temporary file and a
// rename, so a crash halfway leaves the old file.
#include <string>
#include <utility>
#include <vector>

namespace plat {

// GetPrivateProfileStringA: the value with surrounding blanks (and one pair of enclosing quotes)
// removed, or `def` when the file, the section or the key is missing.
std::string IniGetString(const std::string& section, const std::string& key, const std::string& def,
                         const std::string& path);

// GetPrivateProfileIntA: the value read as a number (leading blanks skipped, optional sign,
// decimal digits; anything after the digits ignored; wraps modulo 2^32). A missing or empty
// value, or one that does not begin with a number, gives `def`.
unsigned int IniGetInt(const std::string& section, const std::string& key, int def,
                       const std::string& path);

// Reads a profile number out of a value text as IniGetInt does; `def` when there is none.
unsigned int IniParseInt(const std::string& text, int def);

// WritePrivateProfileStringA: sets `key` in `section` (both created when missing; an existing
// key keeps its place and its spelling). False when the file cannot be read or written, or when
// a name or the value would break the file's line structure (a line break, '=' in a key, ']' in
// a section name, an empty section or key).
bool IniWriteString(const std::string& section, const std::string& key, const std::string& value,
                    const std::string& path);

// Several keys of one section in one write, with the result of as many IniWriteString calls in
// that order, but one atomic replacement of the file.
bool IniWriteStrings(const std::string& section,
                     const std::vector<std::pair<std::string, std::string>>& values,
                     const std::string& path);

}  // namespace plat
