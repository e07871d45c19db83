// TLoginFrm: asks the owner for the secure area's password, logs the device
// in and opens the login volume's drive in the file manager. CCloseWindow asks
// the windows showing that drive to close before the login changes its medium.
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class TMultLanguage;
class TMainFrm;

// The enumerated top-level windows of one CloseByTitle: one table for the
// whole program, so CloseByTitle is not reentrant.
struct TWindowTitleTable {
    static constexpr int kMaxEntries = 256;
    static constexpr int kTitleBytes = 256; // 255 bytes of title and a NUL
    struct Entry {
        uint32_t handle;
        char title[kTitleBytes];
    };
    int count = 0;
    Entry entries[kMaxEntries];
};
extern TWindowTitleTable WindowTitleTable;

class CCloseWindow {
public:
    virtual ~CCloseWindow() = default;
    // Posts a close request to every top-level window whose title contains
    // text (a plain, case-sensitive substring); does not wait for them.
    void CloseByTitle(const char *text);
};

class TLoginFrm : public QDialog {
    Q_OBJECT
public:
    explicit TLoginFrm(QWidget *parent = nullptr);
    ~TLoginFrm() override;

    QFrame *Bevel1;
    QLabel *ImageLogo;
    QLabel *lbPassword;
    QLineEdit *mePassword;
    QPushButton *btnOk;
    QPushButton *btnCancel;
    TMultLanguage *MultLanguage1;

    // Wrong passwords still allowed in this showing.
    int TriesLeft = 3;

    void FormCreate();
    void btnOkClick();
    void btnCancelClick();
    int ShowMsgStr(const QString &key, const QString &defaultText);

    // BtnLoginClick's dialog: 1 when the secure area was opened, else 2.
    static int Execute(TMainFrm *main);

protected:
    void reject() override;
};

// The shell's "explore" of a drive ("E:"): its mount directory opened with
// xdg-open. False when the drive has no mount directory (a volume the system
// has not mounted), so the caller can tell the user; a failure to start the
// file manager itself is not reported. mountOut receives the directory.
bool ExploreDrive(const std::string &drive, std::string *mountOut = nullptr);
