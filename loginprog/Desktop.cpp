#include "Desktop.h"

#include <unistd.h>

#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <sstream>

#include "platform/Drives.h"
#include "platform/Shell.h"
#include "platform/Windows.h"

namespace sarvik {

namespace {

// The shell's "explore" has no program name of its own here: the desktop's
// opener is looked up on PATH as a shell would.
std::string findOnPath(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

bool openWithXdgOpen(const std::string &directory) {
    const std::string opener = findOnPath("xdg-open");
    return !opener.empty() && platform::shellOpen(opener, directory);
}

} // namespace

std::function<bool(const std::string &)> OpenFolder = openWithXdgOpen;
std::function<void(QMessageBox *)> MessageResponder;

int closeWindowsShowing(const std::string &text) {
    if (text.empty()) return 0;
    return platform::closeWindowsWhoseTitleContains(text);
}

ExploreResult exploreDrive(const std::string &driveText, std::string *folder) {
    if (folder) folder->clear();
    if (driveText.empty()) return ExploreResult::NoFolder;
    const char letter = static_cast<char>(driveText[0] & ~0x20); // drive letters are upper case
    std::string mount;
    for (const platform::DriveEntry &d : platform::driveTable())
        if (d.letter == letter) mount = d.mount;
    if (mount.empty()) return ExploreResult::NoFolder;
    if (folder) *folder = mount;
    return OpenFolder && OpenFolder(mount) ? ExploreResult::Opened : ExploreResult::NoOpener;
}

void showMessage(QWidget *owner, const QString &text) {
    QMessageBox box(QMessageBox::Information, owner ? owner->windowTitle() : QString(), text, QMessageBox::Ok, owner);
    if (MessageResponder) {
        auto responder = MessageResponder;
        QTimer::singleShot(0, &box, [&box, responder] { responder(&box); });
    }
    box.exec();
}

} // namespace sarvik
