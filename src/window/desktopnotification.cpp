#include "desktopnotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QVariantMap>

void notifyDesktop(const QString &summary, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage notify = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                         "/org/freedesktop/Notifications",
                                                         "org.freedesktop.Notifications", "Notify");
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
    notify << QGuiApplication::applicationDisplayName() << 0u << QGuiApplication::desktopFileName()
           << summary << body << QStringList() << QVariantMap() << -1;
    // Sent without waiting for a reply: a missing service answers with an error nobody reads.
    bus.call(notify, QDBus::NoBlock);
}
