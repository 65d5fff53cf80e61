#include "help.h"

#include <QDir>
#include <QFileInfo>

HelpBook::HelpBook(QString folder, UrlOpener openUrl, AlertPresenter& alerts)
    : folder_(std::move(folder)), openUrl_(std::move(openUrl)), alerts_(alerts) {}

QString HelpBook::Folder(const QString& programFolder) {
    const QString beside = QDir(programFolder).filePath(QStringLiteral("help"));
    if (QFileInfo(beside).isDir())
        return beside;
    return QDir::cleanPath(programFolder + QStringLiteral("/../../share/tarnwell/help"));
}

void HelpBook::open(const QString& anchor) const {
    const QString page = QDir(folder_).filePath(anchor + QStringLiteral(".html"));
    if (!QFileInfo::exists(page)) {
        ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"), QStringLiteral("The help page cannot be found."),
                  QStringLiteral("Tarnwell's help pages are expected in %1.").arg(folder_));
        return;
    }
    QUrl url = QUrl::fromLocalFile(page);
    url.setFragment(anchor);
    if (!openUrl_(url))
        ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"), QStringLiteral("The help page cannot be shown."),
                  QStringLiteral("No web browser could be started for %1.").arg(url.toString()));
}

QPushButton* HelpButton(QWidget* parent) {
    auto* button = new QPushButton(QStringLiteral("?"), parent);
    button->setToolTip(QStringLiteral("Help"));
    button->setFixedSize(26, 26);
    button->setStyleSheet(QStringLiteral("QPushButton { border: 1px solid palette(mid); border-radius: 13px; "
                                         "font-weight: bold; background: palette(button); }"
                                         "QPushButton:pressed { background: palette(midlight); }"));
    return button;
}
