// INI files read by the rules of the original platform's profile functions:
// sections and keys without regard to (ASCII) case, blanks around keys and
// values trimmed, one pair of enclosing quotes removed from a value, the first
// matching section and key win, values cut to 2047 characters. Lines may end in
// CR LF or LF; bytes are passed through unchanged (code-page texts stay bytes).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

constexpr size_t kProfileValueMax = 2047;

class IniFile {
public:
    // An empty file when path cannot be read.
    static IniFile load(const std::string &path);
    static IniFile parse(const std::string &text);

    bool exists() const { return exists_; }

    // The value of key in section, or nullopt when either is missing.
    std::optional<std::string> value(const std::string &section, const std::string &key) const;
    std::string value(const std::string &section, const std::string &key, const std::string &fallback) const {
        return value(section, key).value_or(fallback);
    }

    // The lines of a section as the profile reader gives them, in file order:
    // "key=value" with the blanks around the line removed; comment lines and
    // lines without '=' are left out.
    std::vector<std::string> sectionLines(const std::string &section) const;

private:
    struct Section {
        std::string name;
        std::vector<std::string> lines; // raw lines of the section, trimmed
    };
    const Section *find(const std::string &section) const;
    std::vector<Section> sections_;
    bool exists_ = false;
};

// The profile reader's answer: the value, or fallback when the file, the
// section or the key is missing.
std::string getProfileString(const std::string &path, const std::string &section, const std::string &key,
                             const std::string &fallback);

// Sets key in section (created at the end when missing), rewriting the file
// whole; false when it cannot be written.
bool writeProfileString(const std::string &path, const std::string &section, const std::string &key,
                        const std::string &value);

} // namespace platform
