// The language file applied to Win32 dialogs: the form's section sets the
// window caption and the captions and texts of named controls, and message texts
// are looked up by key. Values are bytes in the ANSI code page of the language
// the file is named after ("1042.ini": 949) and are shown as UTF-16, whatever
// the system's own code page is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace sarvik {

// One named component of a form: its control (or the form itself) and the
// properties it offers among "caption", "hint" and "text". Win32 controls have
// no hints; a control that offers one takes it and shows nothing.
struct Component {
    std::string name;
    HWND window = nullptr;
    bool caption = false, hint = false, text = false;
};

// "Form.Component.Property=value" as the apply step reads it.
struct LanguagePair {
    std::string formPart, componentPart, propertyPart;
    std::wstring value; // decoded, "~~" replaced by CR LF
};

// Splits one section line (code-page bytes) into its parts.
LanguagePair splitLanguageLine(const std::string &line, uint32_t codePage);

// The code page of a language file: that of the locale identifier it is named
// after, or of the user's locale for any other name.
uint32_t codePageOfLanguageFile(const std::string &path);

// Applies section formName of the file to the form window and its components.
// A missing file changes nothing.
void loadLanguage(HWND form, const std::string &formName, const std::vector<Component> &components,
                  const std::string &languageFile);

// The text of key in section, decoded, or defaultText when the file or the key
// is missing. No "~~" replacement.
std::wstring loadMsgStr(const std::string &languageFile, const std::string &section, const std::string &key,
                        const std::wstring &defaultText);

std::wstring widen(const std::string &utf8);

} // namespace sarvik
