// The login program beside a library it cannot use (none at all, one without
// InitFlashDisk, one without InitVariable, one without the password exports):
// it says so once and leaves every control but Cancel disabled. This program is
// built once for each case, each copy in a folder of its own beside the
// library of its case.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "Desktop.h"
#include "LoginFrm.h"
#include "QtTestApp.h"

TEST(LoginFrmWithoutAUsableLibrary, SaysSoAndOffersOnlyCancel) {
    QStringList messages;
    sarvik::MessageResponder = [&](QMessageBox *b) {
        messages << b->text();
        b->accept();
    };
    {
        TLoginFrm f;
        EXPECT_FALSE(f.Usable);
        EXPECT_EQ(QStringList{"Initialize error,please repush your FlashDisk."}, messages);
        EXPECT_FALSE(f.mePassword->isEnabled());
        EXPECT_FALSE(f.BtnLogin->isEnabled());
        EXPECT_FALSE(f.BtnChangePassword->isEnabled());
        EXPECT_TRUE(f.BtnCancel->isEnabled());
        f.show();
        f.BtnCancel->click();
        EXPECT_FALSE(f.isVisible());
    }
    sarvik::MessageResponder = nullptr;
}
