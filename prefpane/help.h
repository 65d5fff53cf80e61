// The help pages: local HTML files installed with the program, one a topic, each opened
// at its anchor in the desktop's browser.
#pragma once

#include "alerts.h"

#include <QPushButton>
#include <QString>
#include <QUrl>

#include <functional>

// Opens a URL outside the window (the desktop's browser or file viewer); false when
// nothing could be started.
using UrlOpener = std::function<bool(const QUrl&)>;

class HelpBook {
public:
    HelpBook(QString folder, UrlOpener openUrl, AlertPresenter& alerts);

    // The pages beside the program in the build tree ("<programFolder>/help"), else
    // where they are installed ("<prefix>/share/tarnwell/help" for a program in
    // "<prefix>/lib/tarnwell").
    static QString Folder(const QString& programFolder);

    // Opens anchor's page ("status", "accounts", "accountpane", "smtp", "about",
    // "setup") at that anchor; a page that is missing or cannot be shown is named in an
    // alert.
    void open(const QString& anchor) const;

private:
    QString folder_;
    UrlOpener openUrl_;
    AlertPresenter& alerts_;
};

// The round "?" button of a tab that opens its help page.
QPushButton* HelpButton(QWidget* parent);
