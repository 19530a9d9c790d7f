#pragma once

// The program's texts are looked up in one translation context, the window's, whichever
// front end shows them.

#include <QCoreApplication>
#include <QString>

inline QString translated(const char *text)
{
    return QCoreApplication::translate("MainWindow", text);
}
