#include "acct_entry.h"

#include "account_record.h"
#include "services.h"

AcctEntry AcctEntry::FromRecord(const QString& record) {
    const account::Record r = account::Decode(record.toStdString());
    AcctEntry e;
    e.acctAddr = QString::fromStdString(r.address);
    e.acctPass = QString::fromStdString(r.password);
    e.acctPop = QString::fromStdString(r.server);
    e.acctFwd = QString::fromStdString(r.forward);
    e.acctUser = QString::fromStdString(r.login);
    e.acctLeave = QString::fromStdString(r.leave);
    e.acctSecure = QString::fromStdString(r.secure);
    e.acctEnable = QString::fromStdString(r.enable);
    e.acctType = QString::fromStdString(r.type);
    if (e.acctUser.isEmpty())
        e.acctUser = e.acctAddr.section(QLatin1Char('@'), 0, 0);
    if (!e.acctAddr.isEmpty()) {
        if (e.acctEnable.isEmpty())
            e.acctEnable = QStringLiteral("1");
        if (e.acctType.isEmpty()) {
            const std::string_view type = services::TypeOfServer(r.server);
            e.acctType = QString::fromLatin1(type.data(), static_cast<qsizetype>(type.size()));
        }
    }
    return e;
}

QString AcctEntry::ToRecord() const {
    const account::Record r{acctAddr.toStdString(), acctPass.toStdString(),   acctPop.toStdString(),
                            acctFwd.toStdString(),  acctUser.toStdString(),   acctLeave.toStdString(),
                            acctSecure.toStdString(), acctEnable.toStdString(), acctType.toStdString()};
    return QString::fromStdString(account::Encode(r));
}
