#pragma once

#include <QString>

// Shows a notification through the desktop's freedesktop notification service, without
// waiting for it; nothing happens where no session bus or no such service runs.
void notifyDesktop(const QString &summary, const QString &body);
