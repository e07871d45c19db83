// TMultLanguage: the texts of a form and the message texts from the language
// file of the user's locale (an INI file named after the locale identifier,
// e.g. "1033.ini", beside the program).
//
// Keys of a form's section have the shape Form.Component.Property; the form and
// component parts match the objectNames exactly, the property part ignores
// case. The properties a component offers are "caption", "hint" and "text";
// see Multlanguage.cpp for how they map onto the Qt widgets.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

class QWidget;

class TMultLanguage : public QObject {
    Q_OBJECT
public:
    explicit TMultLanguage(QObject *owner = nullptr);

    // When true, LoadLanguage writes an empty placeholder key for every text it
    // did not find, so a translator gets a complete list to fill in.
    bool AutoSave = false;

    // Applies the form's section (named after form->objectName()) to the form
    // and to every named component below it. A missing file changes nothing.
    void LoadLanguage(QWidget *form, const QString &languageFile);

    // The text of key in section, or defaultText when the file or the key is
    // missing. Safe to call from any thread: it keeps nothing between calls.
    static QString LoadMsgStr(const QString &languageFile, const QString &section, const QString &key,
                              const QString &defaultText);

    // The ANSI code page the texts of a language file are written in: that of
    // the locale identifier the file is named after ("1028.ini" -> 950), or of
    // the user's locale when the name is not a number.
    static uint32_t CodePageOf(const QString &languageFile);
};
