// The notification protocol between the menu, the preferences window and outside
// scripts, carried as D-Bus signals on the session bus. Every program emits on one
// object path and listens for one interface, so a message reaches every program that
// runs in the session, the sender included (it ignores what it does not expect).
#pragma once

#include <QMap>
#include <QObject>
#include <QString>

namespace notify {

using UserInfo = QMap<QString, QString>;

inline constexpr char kObjectPath[] = "/com/vexlo/Tarnwell";
inline constexpr char kInterface[] = "com.vexlo.Tarnwell.DistributedNotifications";
inline constexpr char kSignal[] = "Notification";

// Requests of the preferences window to the menu, key "control".
inline constexpr char kControlName[] = "Tarnwell Control Notification";
inline constexpr char kControlObject[] = "com.vexlo.twell.control";
inline constexpr char kControlKey[] = "control";

// Messages of the menu, key "msgControl".
inline constexpr char kMenuName[] = "Tarnwell Menu Notification";
inline constexpr char kMenuObject[] = "com.vexlo.twell.menu";
inline constexpr char kMsgControlKey[] = "msgControl";
inline constexpr char kStatAcctKey[] = "statAcct";
inline constexpr char kStatMsgKey[] = "statMsg";
inline constexpr char kStatSummaryKey[] = "statSummary";

// The bus name whose owner is the session's one menu.
inline constexpr char kMenuBusName[] = "com.vexlo.Tarnwell.Menu";

class Notifications : public QObject {
    Q_OBJECT
public:
    // Listens for notifications named `listenName` with the object `listenObject`;
    // the others are not reported. Without a session bus, posts go nowhere and
    // Connected() is false.
    Notifications(QString listenName, QString listenObject, QObject* parent = nullptr);

    bool Connected() const { return connected_; }
    // Emits one notification; false when the bus refused it.
    bool Post(const QString& name, const QString& object, const UserInfo& userInfo);
    enum class Claim { Owned, Taken, NoBus };
    // Takes a well-known name on the session bus unless another connection owns it
    // (no queueing, no replacement).
    static Claim ClaimName(const QString& busName);

signals:
    void received(const notify::UserInfo& userInfo);

private slots:
    // Spelled out: the bus matches the slot's argument types by their registered names.
    void onSignal(const QString& name, const QString& object, const QMap<QString, QString>& userInfo);

private:
    QString listenName_;
    QString listenObject_;
    bool connected_ = false;
};

} // namespace notify
