#include "globals.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // The names select the per-user settings store; they must be set before the
    // application object exists.
    QApplication::setApplicationName(QSETTINGS_APP_NAME_g);
    QApplication::setOrganizationName(APP_COMPANY_g);
    QApplication::setOrganizationDomain(APP_DOMAIN_g);

    QApplication app(argc, argv);
    // Lets the desktop match the window with its menu entry and icon.
    QGuiApplication::setDesktopFileName(CONVERTER_APP_ID);
    MainWindow window(nullptr);
    window.show();
    return app.exec();
}
