// An in-memory dialog template (DLGTEMPLATE and its items) for the login
// program's two dialogs, so that they need no resource compiler. Positions and
// sizes are dialog units of the template's font.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace sarvik {

class DialogTemplate {
public:
    enum class Kind : uint16_t { Button = 0x0080, Edit = 0x0081, Static = 0x0082 };

    DialogTemplate(const std::wstring &caption, short width, short height);
    void add(Kind kind, int id, const std::wstring &text, DWORD style, short x, short y, short cx, short cy);
    // The template, valid while this object lives.
    const DLGTEMPLATE *get();

private:
    void word(uint16_t w) { words_.push_back(w); }
    void text(const std::wstring &s);
    std::vector<uint16_t> words_;
    std::vector<uint16_t> items_;
    uint16_t count_ = 0;
    std::vector<uint16_t> built_;
};

} // namespace sarvik
