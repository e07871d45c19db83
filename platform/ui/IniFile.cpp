#include "platform/IniFile.h"

#include "file_io.h"

namespace platform {
namespace {

std::string trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool sameName(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::vector<std::string> splitLines(const std::string &text) {
    std::vector<std::string> lines;
    // Split at LF only; a CR before it stays with the line (trimmed later).
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string readFile(const std::string &path, bool *ok) {
    // Not through streams: they would bring the C++ runtime's locale machinery
    // into the statically linked Windows login program.
    std::string text;
    *ok = fileio::readWholeFile(path, &text);
    return text;
}

std::string unquote(std::string v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v;
}

} // namespace

IniFile IniFile::parse(const std::string &text) {
    IniFile f;
    f.exists_ = true;
    Section *current = nullptr;
    for (const std::string &raw : splitLines(text)) {
        std::string line = trim(raw);
        if (line.empty()) continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            std::string name = trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            f.sections_.push_back({name, {}});
            current = &f.sections_.back();
            continue;
        }
        if (current) current->lines.push_back(line);
    }
    return f;
}

IniFile IniFile::load(const std::string &path) {
    bool ok = false;
    std::string text = readFile(path, &ok);
    if (!ok) return IniFile();
    return parse(text);
}

const IniFile::Section *IniFile::find(const std::string &section) const {
    std::string want = trim(section);
    for (const Section &s : sections_)
        if (sameName(s.name, want)) return &s;
    return nullptr;
}

std::optional<std::string> IniFile::value(const std::string &section, const std::string &key) const {
    const Section *s = find(section);
    if (!s) return std::nullopt;
    std::string want = trim(key);
    for (const std::string &line : s->lines) {
        if (line[0] == ';') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (sameName(trim(line.substr(0, eq)), want)) {
            std::string v = unquote(trim(line.substr(eq + 1)));
            if (v.size() > kProfileValueMax) v.resize(kProfileValueMax);
            return v;
        }
    }
    return std::nullopt;
}

std::vector<std::string> IniFile::sectionLines(const std::string &section) const {
    std::vector<std::string> out;
    const Section *s = find(section);
    if (!s) return out;
    for (const std::string &line : s->lines)
        if (line[0] != ';' && line.find('=') != std::string::npos) out.push_back(line);
    return out;
}

#ifndef _WIN32
// Windows answers this with its own profile reader (ui/win/Profile.cpp).
std::string getProfileString(const std::string &path, const std::string &section, const std::string &key,
                             const std::string &fallback) {
    return IniFile::load(path).value(section, key, fallback);
}
#endif

bool writeProfileString(const std::string &path, const std::string &section, const std::string &key,
                        const std::string &value) {
    bool ok = false;
    std::vector<std::string> lines = splitLines(readFile(path, &ok));
    // The file keeps its line ends; CR LF when it used them, or when new.
    bool crlf = !ok || (!lines.empty() && !lines.front().empty() && lines.front().back() == '\r');
    for (auto &l : lines)
        if (!l.empty() && l.back() == '\r') l.pop_back();
    const std::string pair = key + "=" + value;
    long sectionAt = -1, end = long(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string t = trim(lines[i]);
        if (!t.empty() && t[0] == '[') {
            if (sectionAt >= 0) {
                end = long(i);
                break;
            }
            size_t close = t.find(']');
            if (sameName(trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1)), trim(section)))
                sectionAt = long(i);
        }
    }
    if (sectionAt < 0) {
        if (!lines.empty() && !trim(lines.back()).empty()) lines.push_back("");
        lines.push_back("[" + section + "]");
        lines.push_back(pair);
    } else {
        bool replaced = false;
        for (long i = sectionAt + 1; i < end; ++i) {
            std::string t = trim(lines[size_t(i)]);
            size_t eq = t.find('=');
            if (!t.empty() && t[0] != ';' && eq != std::string::npos && sameName(trim(t.substr(0, eq)), trim(key))) {
                lines[size_t(i)] = pair;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            // After the section's last non-empty line.
            long at = end;
            while (at > sectionAt + 1 && trim(lines[size_t(at - 1)]).empty()) --at;
            lines.insert(lines.begin() + at, pair);
        }
    }
    std::string text;
    for (const auto &l : lines) text += l + (crlf ? "\r\n" : "\n");
    // Replaced whole, so an interrupted write never leaves half a file.
    return fileio::writeFileAtomic(path, text);
}

} // namespace platform
