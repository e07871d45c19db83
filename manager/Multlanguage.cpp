#include "Multlanguage.h"

#include <QAbstractButton>
#include <QAction>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

#include "platform/IniFile.h"
#include "platform/Locale.h"

namespace {

std::string local8(const QString &path) { return path.toLocal8Bit().toStdString(); }

QString decode(const std::string &bytes, uint32_t codePage) {
    return QString::fromStdString(platform::decodeCodePage(bytes, codePage));
}

// One translatable property of a component: how to set it, or nothing when the
// component offers the name only as a non-text property (geometry and the like),
// which a language file may name but never changes.
using Setter = std::function<void(const QString &)>;
struct Offer {
    bool offered = false;
    Setter set; // empty for a non-text property
};

constexpr std::array<const char *, 3> kTextProperties = {"caption", "hint", "text"};

// Names a widget offers that are not texts: a key naming them is accepted and
// leaves the widget as it is.
bool isNonTextWidgetProperty(const QString &p) {
    static const char *const names[] = {"left",    "top",      "width",   "height", "tag",   "enabled",
                                        "visible", "taborder", "tabstop", "font",   "color", "cursor"};
    for (const char *n : names)
        if (p.compare(QLatin1String(n), Qt::CaseInsensitive) == 0) return true;
    return false;
}

// caption: the visible label (button and label text, group box title, window
// title of a nested form); hint: the tool tip; text: the content of an edit.
Offer offerOf(QObject *c, const QString &property) {
    const QString p = property.toLower();
    if (auto *a = qobject_cast<QAction *>(c)) {
        if (p == "caption") return {true, [a](const QString &v) { a->setText(v); }};
        if (p == "hint") return {true, [a](const QString &v) { a->setToolTip(v); }};
        return {};
    }
    auto *w = qobject_cast<QWidget *>(c);
    if (!w) return {};
    if (p == "hint") return {true, [w](const QString &v) { w->setToolTip(v); }};
    if (p == "caption") {
        if (auto *b = qobject_cast<QAbstractButton *>(w)) return {true, [b](const QString &v) { b->setText(v); }};
        if (auto *l = qobject_cast<QLabel *>(w)) return {true, [l](const QString &v) { l->setText(v); }};
        if (auto *g = qobject_cast<QGroupBox *>(w)) return {true, [g](const QString &v) { g->setTitle(v); }};
        if (w->isWindow()) return {true, [w](const QString &v) { w->setWindowTitle(v); }};
        return {};
    }
    if (p == "text") {
        if (auto *e = qobject_cast<QLineEdit *>(w)) return {true, [e](const QString &v) { e->setText(v); }};
        if (auto *e = qobject_cast<QPlainTextEdit *>(w)) return {true, [e](const QString &v) { e->setPlainText(v); }};
        if (auto *e = qobject_cast<QTextEdit *>(w)) return {true, [e](const QString &v) { e->setPlainText(v); }};
        return {};
    }
    if (isNonTextWidgetProperty(p)) return {true, {}};
    return {};
}

struct Pair {
    QString formPart, componentPart, propertyPart, value;
};

// "Form.Component.Property=value" split at the first "=", then at the first and
// the next ".". A key with one dot has an empty component part.
Pair splitPair(const QString &line) {
    Pair p;
    const int eq = line.indexOf('=');
    const QString key = eq < 0 ? line : line.left(eq);
    p.value = eq < 0 ? QString() : line.mid(eq + 1);
    // The line break marker is replaced in decoded text: in Big5 and GBK "~" is
    // also a trail byte, so a byte-wise replacement would cut characters apart.
    p.value.replace(QStringLiteral("~~"), QStringLiteral("\r\n"));
    const int d1 = key.indexOf('.');
    p.formPart = d1 < 0 ? key : key.left(d1);
    const QString rest = d1 < 0 ? QString() : key.mid(d1 + 1);
    const int d2 = rest.indexOf('.');
    if (d2 < 0) {
        p.propertyPart = rest;
    } else {
        p.componentPart = rest.left(d2);
        p.propertyPart = rest.mid(d2 + 1);
    }
    return p;
}

// The components of a form: every object below it that carries a name, in
// creation order, depth first. Unnamed objects are Qt's own inner parts (the
// line edit of a spin box, layouts), which no language file can mean; the
// "qt_" names are Qt's own as well.
QList<QObject *> componentsOf(QWidget *form) {
    QList<QObject *> out;
    std::function<void(QObject *)> walk = [&](QObject *o) {
        for (QObject *c : o->children()) {
            const QString n = c->objectName();
            if (!n.isEmpty() && !n.startsWith(QLatin1String("qt_"))) out.append(c);
            walk(c);
        }
    };
    walk(form);
    return out;
}

} // namespace

TMultLanguage::TMultLanguage(QObject *owner) : QObject(owner) { setObjectName(QStringLiteral("MultLanguage1")); }

uint32_t TMultLanguage::CodePageOf(const QString &languageFile) {
    bool ok = false;
    const uint lcid = QFileInfo(languageFile).completeBaseName().toUInt(&ok);
    return platform::ansiCodePage(ok ? lcid : platform::userDefaultLcid());
}

void TMultLanguage::LoadLanguage(QWidget *form, const QString &languageFile) {
    if (!form) return;
    const std::string path = local8(languageFile);
    const uint32_t cp = CodePageOf(languageFile);
    const QString formName = form->objectName();
    const std::string section = formName.toStdString();
    const platform::IniFile ini = platform::IniFile::load(path);

    QList<Pair> pairs;
    for (const std::string &line : ini.sectionLines(section)) {
        Pair p = splitPair(decode(line, cp));
        if (!p.value.isEmpty()) pairs.append(p);
    }

    const std::string captionKey = section + ".caption";
    const QString caption = decode(ini.value(section, captionKey, std::string()), cp);
    if (!caption.isEmpty())
        form->setWindowTitle(caption);
    else if (AutoSave)
        platform::writeProfileString(path, section, captionKey, "");

    for (QObject *c : componentsOf(form)) {
        const QString name = c->objectName();
        for (const char *property : kTextProperties) {
            if (!offerOf(c, QLatin1String(property)).offered) continue;
            bool changed = false;
            for (const Pair &p : pairs) {
                if (p.formPart != formName || p.componentPart != name) continue;
                const Offer o = offerOf(c, p.propertyPart);
                if (!o.offered) continue;
                if (o.set) o.set(p.value);
                changed = true;
            }
            if (!changed && AutoSave)
                platform::writeProfileString(path, section, section + "." + name.toStdString() + "." + property, "");
        }
    }
}

QString TMultLanguage::LoadMsgStr(const QString &languageFile, const QString &section, const QString &key,
                                  const QString &defaultText) {
    const std::string path = local8(languageFile);
    if (languageFile.isEmpty() || !QFileInfo(languageFile).isFile()) return defaultText;
    const std::optional<std::string> v = platform::IniFile::load(path).value(section.toStdString(), key.toStdString());
    return v ? decode(*v, CodePageOf(languageFile)) : defaultText;
}
