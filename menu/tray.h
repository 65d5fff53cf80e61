// The status item in the panel's tray and its menu. It shows the menu's state and turns
// clicks into the menu's actions; it holds no state of its own beyond what is on screen.
#pragma once

#include "tarnwell_menu.h"
#include "tray_host.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class TarnwellTray : public QObject {
    Q_OBJECT
public:
    // Whether Control is held; nothing where the platform cannot tell (Wayland).
    using ControlProbe = std::function<std::optional<bool>()>;

    // programFolder holds "Tarnwell Preferences"; trayAvailable: Qt found a tray host at
    // start-up (QSystemTrayIcon::isSystemTrayAvailable()).
    TarnwellTray(TarnwellMenu& menu, QString programFolder, bool trayAvailable,
                 ControlProbe controlHeld = &ControlHeld, QObject* parent = nullptr);
    ~TarnwellTray() override;

    static std::optional<bool> ControlHeld();

    // Shows or removes the item. Without a tray host the menu goes on without an icon.
    void setShowMenuOption(bool show);
    // Each time the menu opens: the Control-key extras come and go with the key.
    void menuNeedsUpdate();

    QSystemTrayIcon* systemBar() const { return systemBar_.get(); }
    QMenu* menuPtr() const { return menuPtr_.get(); }
    int animateCtr() const { return animateCtr_; }

    // The menu items the actions are reached by, for the screenshots and tests.
    QAction* getItem() const { return getItem_; }
    QAction* showItem() const { return showItem_; }
    QAction* traceItem() const { return traceItem_; }

    void showLog();
    void controlPanel();

signals:
    // A tray host appeared after start-up while no agent runs: only a new process shows
    // the item.
    void restartWanted();

private:
    void setupMenuBar();
    void removeMenuBar();
    void statusChanged();
    void runStarted();
    void runEnded();
    void animateIcon();
    void animationTimer();
    void hostAppeared();
    void restartIfNeeded();

    TarnwellMenu& menu_;
    QString programFolder_;
    ControlProbe controlHeld_;
    std::unique_ptr<QMenu> menuPtr_;
    std::unique_ptr<QSystemTrayIcon> systemBar_;
    QAction* statusItem_ = nullptr;
    QAction* getItem_ = nullptr;
    QAction* showItem_ = nullptr;
    QAction* traceItem_ = nullptr;
    int menuBaseCt_ = 0;
    int animateCtr_ = 0;
    QTimer animation_;
    bool wanted_ = false;
    // Qt found no tray when the menu started; it will not look again.
    bool noTrayAtStart_ = false;
    bool hostSeen_ = false;
    std::unique_ptr<notify::TrayHostWatcher> hostWatcher_;
};
