#include "tray.h"

#include "menu_icons.h"
#include "run_alerts.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QUrl>

namespace {

constexpr int kAnimationMs = 1000;
constexpr int kLastFrame = 5;

void Alert(const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Tarnwell"), text, QMessageBox::Ok);
    box.exec();
}

// The log item is marked in the colour of a run with problems. Tray menus are drawn by
// the panel, which takes an item's icon but not its text colour.
QIcon ColourMark(const QColor& color) {
    QPixmap mark(16, 16);
    mark.fill(Qt::transparent);
    QPainter painter(&mark);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(3, 3, 10, 10));
    return QIcon(mark);
}

} // namespace

TarnwellTray::TarnwellTray(TarnwellMenu& menu, QString programFolder, bool trayAvailable, ControlProbe controlHeld,
                           QObject* parent)
    : QObject(parent), menu_(menu), programFolder_(std::move(programFolder)), controlHeld_(std::move(controlHeld)),
      noTrayAtStart_(!trayAvailable) {
    animation_.setInterval(kAnimationMs);
    connect(&animation_, &QTimer::timeout, this, &TarnwellTray::animationTimer);
    connect(&menu_, &TarnwellMenu::showMenuChanged, this, &TarnwellTray::setShowMenuOption);
    connect(&menu_, &TarnwellMenu::statusChanged, this, &TarnwellTray::statusChanged);
    connect(&menu_, &TarnwellMenu::runStarted, this, &TarnwellTray::runStarted);
    connect(&menu_, &TarnwellMenu::runEnded, this, &TarnwellTray::runEnded);
    if (noTrayAtStart_) {
        hostWatcher_ = std::make_unique<notify::TrayHostWatcher>();
        connect(hostWatcher_.get(), &notify::TrayHostWatcher::hostAvailable, this, &TarnwellTray::hostAppeared);
    }
}

TarnwellTray::~TarnwellTray() = default;

std::optional<bool> TarnwellTray::ControlHeld() {
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return std::nullopt;
    return QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier);
}

void TarnwellTray::setShowMenuOption(bool show) {
    wanted_ = show;
    if (show && !systemBar_) {
        if (noTrayAtStart_)
            qWarning("Tarnwell Menu: the desktop shows no tray; the menu runs without its icon.");
        else
            setupMenuBar();
    } else if (!show && systemBar_) {
        removeMenuBar();
    }
    restartIfNeeded();
}

void TarnwellTray::setupMenuBar() {
    menuPtr_ = std::make_unique<QMenu>(QStringLiteral("Tarnwell"));
    statusItem_ = menuPtr_->addAction(menu_.status().StatusTitle());
    statusItem_->setEnabled(false);
    menuPtr_->addSeparator();
    getItem_ = menuPtr_->addAction(QStringLiteral("Get Mail"), &menu_, &TarnwellMenu::doGetMail);
    showItem_ = menuPtr_->addAction(QStringLiteral("Show Tarnwell Log"), this, &TarnwellTray::showLog);
    menuPtr_->addSeparator();
    menuPtr_->addAction(QStringLiteral("Open Tarnwell Preferences"), this, &TarnwellTray::controlPanel);
    traceItem_ = nullptr;
    menuBaseCt_ = static_cast<int>(menuPtr_->actions().size());
    connect(menuPtr_.get(), &QMenu::aboutToShow, this, &TarnwellTray::menuNeedsUpdate);

    systemBar_ = std::make_unique<QSystemTrayIcon>();
    systemBar_->setToolTip(QStringLiteral("Tarnwell"));
    systemBar_->setContextMenu(menuPtr_.get());
    // Shown in the middle of a run, the item must offer "Stop", not a second run.
    if (menu_.agentBusy()) {
        runStarted();
    } else {
        animateCtr_ = 0;
        animateIcon();
    }
    systemBar_->show();
}

void TarnwellTray::removeMenuBar() {
    animation_.stop();
    animateCtr_ = 0;
    systemBar_.reset();
    menuPtr_.reset();
    statusItem_ = getItem_ = showItem_ = traceItem_ = nullptr;
}

void TarnwellTray::menuNeedsUpdate() {
    if (!menuPtr_)
        return;
    // Where the key cannot be read, the extras are always offered.
    const bool control = controlHeld_().value_or(true);
    const QList<QAction*> actions = menuPtr_->actions();
    if (control && actions.size() <= menuBaseCt_) {
        menuPtr_->addSeparator();
        traceItem_ = menuPtr_->addAction(QStringLiteral("Trace Log"), &menu_, &TarnwellMenu::traceLog);
        traceItem_->setCheckable(true);
        menuPtr_->addAction(QStringLiteral("Quit Menu"), &menu_, &TarnwellMenu::applicationWillTerminate);
    } else if (!control) {
        for (qsizetype i = actions.size() - 1; i >= menuBaseCt_; --i) {
            menuPtr_->removeAction(actions[i]);
            delete actions[i];
        }
        traceItem_ = nullptr;
    }
    if (traceItem_)
        traceItem_->setChecked(menu_.debugReq());
}

void TarnwellTray::statusChanged() {
    if (statusItem_)
        statusItem_->setText(menu_.status().StatusTitle());
}

void TarnwellTray::runStarted() {
    if (!systemBar_)
        return;
    getItem_->setText(QStringLiteral("Stop"));
    showItem_->setIcon(QIcon());
    animateCtr_ = 1;
    animation_.start();
    animateIcon();
}

void TarnwellTray::runEnded() {
    if (systemBar_) {
        getItem_->setText(QStringLiteral("Get Mail"));
        animation_.stop();
        animateCtr_ = 0;
        animateIcon();
    }
    restartIfNeeded();
}

void TarnwellTray::animateIcon() {
    const QColor& color = menu_.status().menuColor();
    systemBar_->setIcon(menuicons::animateIcon(animateCtr_, color));
    if (animateCtr_ == 0 && color != QColor(Qt::black))
        showItem_->setIcon(ColourMark(color));
}

void TarnwellTray::animationTimer() {
    if (animateCtr_ > 0 && systemBar_) {
        animateCtr_ = animateCtr_ >= kLastFrame ? 1 : animateCtr_ + 1;
        animateIcon();
    } else {
        animateCtr_ = 0;
        animation_.stop();
    }
}

void TarnwellTray::showLog() {
    const QString path = AgentLogPath();
    // A log that does not exist yet would only make the viewer fail where nobody sees it.
    if (!QFileInfo::exists(path) || !QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        Alert(QStringLiteral("The Console application could not be opened to view the log file. "
                             "The file is located at %1.")
                  .arg(path));
}

void TarnwellTray::controlPanel() {
    const QString program = programFolder_ + QStringLiteral("/Tarnwell Preferences");
    if (!QProcess::startDetached(program, {}))
        Alert(QStringLiteral("Tarnwell Preferences could not be started. It is expected at %1.").arg(program));
}

void TarnwellTray::hostAppeared() {
    hostSeen_ = true;
    restartIfNeeded();
}

void TarnwellTray::restartIfNeeded() {
    // A fresh start while powering off or quitting would forget that and launch runs again;
    // one between "Get Mail" and its launch would drop the requested run.
    if (noTrayAtStart_ && hostSeen_ && wanted_ && !menu_.agentBusy() && !menu_.getMailPending() &&
        !menu_.endApp())
        emit restartWanted();
}
