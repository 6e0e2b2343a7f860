// The INI reader (IniGetString, IniGetInt, IniParseInt) over a file written from the input, and
// a write into that file read back. Input: u8 section length, section, u8 key length, key, u8 value
// length, value, then the file's bytes.
#include <cctype>
#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_support.h"
#include "platform/ini.h"

namespace {

using namespace rkfuzz;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// What a value written as `v` reads back as: blanks around it and one pair of quotes removed.
std::string ReadBackOf(const std::string& v) {
    std::string t = Trim(v);
    if (t.size() >= 2 && (t[0] == '"' || t[0] == '\'') && t.back() == t[0]) t = t.substr(1, t.size() - 2);
    return t;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

RK_FUZZ_TARGET(ini) {
    InputScope scope;
    Reader in(data, size);
    const std::string section = in.TakeString(in.U8() % 64);
    const std::string key = in.TakeString(in.U8() % 64);
    const std::string value = in.TakeString(in.U8() % 64);
    const Bytes file = in.Rest();
    const std::string path = TempFolder() + "/counts.ini";
    WriteFile(path, file);

    const std::string s = plat::IniGetString(section, key, "<none>", path);
    const unsigned int n = plat::IniGetInt(section, key, -7, path);
    if (s == "<none>" || s.empty()) Check(n == static_cast<unsigned int>(-7), "a missing or empty value reads as the default");
    else Check(n == plat::IniParseInt(s, -7), "the number is the value's number");
    plat::IniParseInt(value, 3);

    // A write keeps the file readable and reads back as written; the other keys keep their values.
    const std::string other = plat::IniGetString("CountsInfo", "Total", "<none>", path);
    const bool written = plat::IniWriteString(section, key, value, path);
    if (written) {
        // The names are written without the blanks around them.
        Check(plat::IniGetString(Trim(section), Trim(key), "<none>", path) == ReadBackOf(value),
              "a written value reads back");
        const bool sameKey = SameName(Trim(section), "CountsInfo") && SameName(Trim(key), "Total");
        if (!sameKey)
            Check(plat::IniGetString("CountsInfo", "Total", "<none>", path) == other, "a write leaves other keys alone");
    }
    ClearTempFolder();
    return 0;
}

RK_FUZZ_SEEDS(ini) {
    std::vector<Bytes> seeds;
    auto seed = [&](const std::string& section, const std::string& key, const std::string& value,
                    const std::string& file) {
        Bytes s;
        s.push_back(static_cast<uint8_t>(section.size()));
        PutText(s, section);
        s.push_back(static_cast<uint8_t>(key.size()));
        PutText(s, key);
        s.push_back(static_cast<uint8_t>(value.size()));
        PutText(s, value);
        PutText(s, file);
        seeds.push_back(s);
    };
    seed("CountsInfo", "Total", "12", "[CountsInfo]\r\nTotal=5\r\nPass=4\r\nFail=1\r\n");
    seed("countsinfo", "PASS", " \"7\" ", "\xEF\xBB\xBF[CountsInfo]\nTotal = -3x\n; comment\n[Other]\nTotal=9\n");
    seed("CountsInfo", "Fail", "4294967297", "[CountsInfo\r\nFail=  4294967297  \r\n\r\n[Next]\r\n");
    seed("A", "k", "v", "k=v\n[A]\n=x\n[a]\nk='q'\n");
    seed("", "k", "v", "");
    return seeds;
}
