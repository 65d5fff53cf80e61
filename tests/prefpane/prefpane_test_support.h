// Helpers of the preferences window's tests: an alert presenter that records what the
// window would show, whole-file reads and writes, and typing into the account form.
#pragma once

#include "alerts.h"
#include "prefs.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QList>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTest>

// Records every alert and answers from a script (1, the first button, when it runs out).
class RecordingAlerts : public AlertPresenter {
public:
    int Present(const Alert& alert) override {
        shown << alert;
        return answers.isEmpty() ? 1 : answers.takeFirst();
    }
    // The headline of each alert, in order.
    QStringList Messages() const {
        QStringList messages;
        for (const Alert& alert : shown)
            messages << alert.message;
        return messages;
    }
    QList<Alert> shown;
    QList<int> answers;
};

inline QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void WriteBytes(const QString& path, const QByteArray& data) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

// Every setting in the file as "key=value", a list as "key=(item|item)", sorted by key.
inline QStringList Dump(const QString& path) {
    prefs::Domain domain(path.toStdString());
    if (!domain.AppSynchronize())
        return {QStringLiteral("unreadable")};
    QStringList lines;
    for (const std::string& key : domain.Keys()) {
        const prefs::Value value = *domain.CopyAppValue(key);
        QString shown;
        if (const auto* text = std::get_if<std::string>(&value)) {
            shown = QString::fromStdString(*text);
        } else {
            QStringList items;
            for (const std::string& item : std::get<std::vector<std::string>>(value))
                items << QString::fromStdString(item);
            shown = QLatin1Char('(') + items.join(QLatin1Char('|')) + QLatin1Char(')');
        }
        lines << QString::fromStdString(key) + QLatin1Char('=') + shown;
    }
    return lines;
}

// Types into the account form: address, password, type, server, login name, forwarding
// text; fields after the last value given are emptied.
inline void FillForm(QWidget& form, const QStringList& values) {
    const char* const names[] = {"acctAddr", "acctPass", "acctType", "acctPop", "acctUser", "acctFwd"};
    for (qsizetype i = 0; i < qsizetype(std::size(names)); ++i) {
        const QString name = QLatin1String(names[i]);
        if (auto* line = form.findChild<QLineEdit*>(name))
            line->setText(values.value(i));
        else if (auto* type = form.findChild<QComboBox*>(name))
            type->setCurrentText(values.value(i));
        else
            form.findChild<QPlainTextEdit*>(name)->setPlainText(values.value(i));
    }
}
