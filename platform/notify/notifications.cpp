#include "notifications.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>

namespace notify {

Notifications::Notifications(QString listenName, QString listenObject, QObject* parent)
    : QObject(parent), listenName_(std::move(listenName)), listenObject_(std::move(listenObject)) {
    qDBusRegisterMetaType<UserInfo>();
    QDBusConnection bus = QDBusConnection::sessionBus();
    connected_ = bus.isConnected() &&
                 bus.connect(QString(), kObjectPath, kInterface, kSignal, this,
                             SLOT(onSignal(QString, QString, QMap<QString, QString>)));
}

bool Notifications::Post(const QString& name, const QString& object, const UserInfo& userInfo) {
    QDBusMessage message = QDBusMessage::createSignal(kObjectPath, kInterface, kSignal);
    message << name << object << QVariant::fromValue(userInfo);
    return QDBusConnection::sessionBus().send(message);
}

Notifications::Claim Notifications::ClaimName(const QString& busName) {
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    if (!bus)
        return Claim::NoBus;
    QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus->registerService(busName, QDBusConnectionInterface::DontQueueService,
                             QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid())
        return Claim::NoBus;
    return reply.value() == QDBusConnectionInterface::ServiceRegistered ? Claim::Owned : Claim::Taken;
}

void Notifications::onSignal(const QString& name, const QString& object,
                             const QMap<QString, QString>& userInfo) {
    if (name == listenName_ && object == listenObject_)
        emit received(userInfo);
}

} // namespace notify
