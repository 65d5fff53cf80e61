#include "alerts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>

int SheetAlerts::Present(const Alert& alert) {
    // On the form that is open over the window (the account form), so the form waits
    // for the answer; else on the window.
    QWidget* modal = QApplication::activeModalWidget();
    QMessageBox box(modal ? modal : window_.data());
    box.setWindowTitle(QStringLiteral("Tarnwell"));
    box.setIcon(QMessageBox::Warning);
    box.setText(alert.message);
    box.setInformativeText(alert.informative);
    // Roles only place the buttons; the answer is the position of the one clicked.
    constexpr QMessageBox::ButtonRole roles[] = {QMessageBox::AcceptRole, QMessageBox::RejectRole,
                                                 QMessageBox::DestructiveRole};
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < alert.buttons.size() && i < 3; ++i) {
        QPushButton* button = box.addButton(alert.buttons[i], roles[i]);
        if (i == 0)
            box.setDefaultButton(button);
        buttons << button;
    }
    box.setWindowModality(box.parentWidget() ? Qt::WindowModal : Qt::ApplicationModal);
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
    box.open();
    loop.exec();
    return static_cast<int>(buttons.indexOf(box.clickedButton()) + 1);
}

int ShowAlert(AlertPresenter& presenter, const QString& kind, const QString& options, const QString& alertErr,
              const QString& alertExpl) {
    const QString standIns[] = {QStringLiteral("OK"), QStringLiteral("Cancel"), QStringLiteral("Don't Save")};
    const QStringList given = options.split(QLatin1Char(','));
    QStringList buttons;
    for (qsizetype i = 0; i < given.size() && i < 3; ++i) {
        const QString title = given[i].trimmed();
        if (title == QLatin1String("-1") || (i == 0 && title.isEmpty()))
            buttons << standIns[i];
        else if (!title.isEmpty())
            buttons << title;
    }
    return presenter.Present({kind, alertErr, alertExpl, buttons});
}
