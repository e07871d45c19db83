// Sarvik.exe: the login program the launcher unpacks and starts with the drive
// root of the flash disk it was started from.
#include <QApplication>

#include "LoginFrm.h"
#include "StartParameter.h"

int main(int argc, char **argv) {
    sarvik::StartParameter = sarvik::joinArguments(argc, argv);
    QApplication app(argc, argv);
    TLoginFrm form;
    form.show();
    return app.exec();
}
