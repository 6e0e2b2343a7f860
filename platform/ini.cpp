#include "platform/ini.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

#include "platform/fs.h"

namespace plat {

namespace {

const char kBom[] = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// The file as lines (without their line breaks), with the line break it uses.
struct IniFile {
    std::string bom;
    std::vector<std::string> lines;
    std::string eol = "\r\n";
};

void Parse(const std::string& text, IniFile& file) {
    size_t pos = 0;
    if (text.compare(0, 3, kBom) == 0) {
        file.bom = kBom;
        pos = 3;
    }
    const size_t firstLf = text.find('\n', pos);
    if (firstLf != std::string::npos) file.eol = (firstLf > pos && text[firstLf - 1] == '\r') ? "\r\n" : "\n";
    while (pos < text.size()) {
        size_t lf = text.find('\n', pos);
        if (lf == std::string::npos) lf = text.size();
        std::string line = text.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        file.lines.push_back(std::move(line));
        pos = lf + 1;
    }
}

// Reads the whole file. Nothing when it is missing or cannot be read.
std::optional<std::string> ReadAll(const std::string& path) {
    std::FILE* f = OpenFile(path, "rb");
    if (!f) return std::nullopt;
    std::string text;
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof(block), f)) > 0) text.append(block, n);
    const bool bad = std::ferror(f) != 0;  // e.g. a folder of that name
    std::fclose(f);
    if (bad) return std::nullopt;
    return text;
}

// The section name of a "[name]" line.
std::optional<std::string> SectionName(const std::string& line) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] != '[') return std::nullopt;
    const size_t close = t.find(']');
    return Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

// The key name of a "key=value" line (comments and other lines have none).
std::optional<std::string> KeyName(const std::string& line) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return std::nullopt;
    const size_t eq = t.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return Trim(t.substr(0, eq));
}

std::optional<size_t> FindSection(const IniFile& file, const std::string& section) {
    for (size_t i = 0; i < file.lines.size(); ++i) {
        const auto name = SectionName(file.lines[i]);
        if (name && SameName(*name, section)) return i;
    }
    return std::nullopt;
}

size_t SectionEnd(const IniFile& file, size_t sectionLine) {
    size_t i = sectionLine + 1;
    while (i < file.lines.size() && !SectionName(file.lines[i])) ++i;
    return i;
}

std::optional<size_t> FindKey(const IniFile& file, size_t sectionLine, const std::string& key) {
    const size_t end = SectionEnd(file, sectionLine);
    for (size_t i = sectionLine + 1; i < end; ++i) {
        const auto name = KeyName(file.lines[i]);
        if (name && SameName(*name, key)) return i;
    }
    return std::nullopt;
}

void SetValue(IniFile& file, const std::string& section, const std::string& key, const std::string& value) {
    const auto s = FindSection(file, section);
    if (!s) {
        file.lines.push_back("[" + section + "]");
        file.lines.push_back(key + "=" + value);
        return;
    }
    if (const auto k = FindKey(file, *s, key)) {
        file.lines[*k] = *KeyName(file.lines[*k]) + "=" + value;
        return;
    }
    // A new key goes after the section's last non-blank line, ahead of any blank lines that
    // separate it from the next section.
    const size_t end = SectionEnd(file, *s);
    size_t at = *s + 1;
    for (size_t i = *s + 1; i < end; ++i)
        if (!Trim(file.lines[i]).empty()) at = i + 1;
    file.lines.insert(file.lines.begin() + static_cast<std::ptrdiff_t>(at), key + "=" + value);
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

bool ValidNames(const std::string& section, const std::string& key, const std::string& value) {
    if (Trim(section).empty() || Trim(key).empty()) return false;
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
    if (section.find(']') != std::string::npos || key.find('=') != std::string::npos) return false;
    return Trim(key)[0] != ';' && Trim(key)[0] != '[';
}

}  // namespace

std::string IniGetString(const std::string& section, const std::string& key, const std::string& def,
                         const std::string& path) {
    const auto text = ReadAll(path);
    if (!text) return def;
    IniFile file;
    Parse(*text, file);
    const auto s = FindSection(file, section);
    if (!s) return def;
    const auto k = FindKey(file, *s, key);
    if (!k) return def;
    const std::string& line = file.lines[*k];
    std::string value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    return value;
}

unsigned int IniParseInt(const std::string& text, int def) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return static_cast<unsigned int>(def);
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    return negative ? 0u - value : value;
}

unsigned int IniGetInt(const std::string& section, const std::string& key, int def,
                       const std::string& path) {
    const std::string value = IniGetString(section, key, "", path);
    if (value.empty()) return static_cast<unsigned int>(def);
    return IniParseInt(value, def);
}

bool IniWriteString(const std::string& section, const std::string& key, const std::string& value,
                    const std::string& path) {
    return IniWriteStrings(section, {{key, value}}, path);
}

bool IniWriteStrings(const std::string& section,
                     const std::vector<std::pair<std::string, std::string>>& values,
                     const std::string& path) {
    for (const auto& [key, value] : values)
        if (!ValidNames(section, key, value)) return false;
    IniFile file;
    if (PathExists(path)) {
        const auto text = ReadAll(path);
        if (!text) return false;  // never replace a file we could not read
        Parse(*text, file);
    }
    const std::string name = Trim(section);
    for (const auto& [key, value] : values) SetValue(file, name, Trim(key), value);
    std::string out = file.bom;
    for (const std::string& line : file.lines) out += line + file.eol;
    const auto* bytes = reinterpret_cast<const unsigned char*>(out.data());
    return WriteFileAtomic(path, std::span<const unsigned char>(bytes, out.size()));
}

}  // namespace plat
