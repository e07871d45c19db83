#include "DialogTemplate.h"

namespace sarvik {
namespace {

void append(std::vector<uint16_t> &v, DWORD d) {
    v.push_back(uint16_t(d & 0xFFFF));
    v.push_back(uint16_t(d >> 16));
}

void appendText(std::vector<uint16_t> &v, const std::wstring &s) {
    for (wchar_t c : s) v.push_back(uint16_t(c));
    v.push_back(0);
}

} // namespace

DialogTemplate::DialogTemplate(const std::wstring &caption, short width, short height) {
    // DLGTEMPLATE: style, extended style, item count (patched in get()), x, y, cx, cy.
    append(words_, DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    append(words_, 0);
    word(0);
    word(0);
    word(0);
    word(uint16_t(width));
    word(uint16_t(height));
    word(0); // no menu
    word(0); // the system's dialog class
    text(caption);
    word(8); // DS_SETFONT: point size and face
    text(L"MS Shell Dlg");
}

void DialogTemplate::text(const std::wstring &s) { appendText(words_, s); }

void DialogTemplate::add(Kind kind, int id, const std::wstring &caption, DWORD style, short x, short y, short cx,
                         short cy) {
    // Every DLGITEMTEMPLATE starts on a DWORD boundary of the whole template.
    while ((words_.size() + items_.size()) % 2) items_.push_back(0);
    append(items_, style | WS_CHILD | WS_VISIBLE);
    append(items_, 0);
    items_.push_back(uint16_t(x));
    items_.push_back(uint16_t(y));
    items_.push_back(uint16_t(cx));
    items_.push_back(uint16_t(cy));
    items_.push_back(uint16_t(id));
    items_.push_back(0xFFFF); // a predefined class by atom
    items_.push_back(uint16_t(kind));
    appendText(items_, caption);
    items_.push_back(0); // no creation data
    ++count_;
}

const DLGTEMPLATE *DialogTemplate::get() {
    built_ = words_;
    built_[4] = count_; // cdit follows the two DWORD styles
    built_.insert(built_.end(), items_.begin(), items_.end());
    return reinterpret_cast<const DLGTEMPLATE *>(built_.data());
}

} // namespace sarvik
