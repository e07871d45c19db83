// Building and reading small texts (settings files, drive maps, logs) without
// iostreams. The Windows modules link the C++ runtime statically, and any
// stream brings in the runtime's whole locale machinery (some 800 KB a module),
// which the launcher would then carry three times onto a 1.2 MB login volume.
// Numbers are written in plain decimal, as a stream in the classic locale does.
#pragma once

#include <charconv>
#include <string>
#include <string_view>
#include <type_traits>

namespace textio {

class Builder {
public:
    Builder &operator<<(std::string_view s) {
        text_.append(s);
        return *this;
    }
    Builder &operator<<(const char *s) { return *this << std::string_view(s); }
    Builder &operator<<(const std::string &s) { return *this << std::string_view(s); }
    Builder &operator<<(char c) {
        text_.push_back(c);
        return *this;
    }
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, char>, int> = 0>
    Builder &operator<<(T value) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, value);
        text_.append(buf, r.ptr);
        return *this;
    }
    const std::string &str() const { return text_; }

private:
    std::string text_;
};

// Lines of a text, without their LF or CR LF; a last line without a line end
// counts, an empty text has none.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool next(std::string &line) {
        if (pos_ >= text_.size()) return false;
        size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        size_t stop = end;
        if (stop > pos_ && text_[stop - 1] == '\r') --stop;
        line.assign(text_.substr(pos_, stop - pos_));
        pos_ = end + 1;
        return true;
    }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

} // namespace textio
