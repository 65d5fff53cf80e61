// The About tab: the version, what Tarnwell does, where to find more and whom to write to.
#pragma once

#include "alerts.h"
#include "help.h"

#include <QLabel>
#include <QTextBrowser>
#include <QWidget>

class AboutTab : public QWidget {
    Q_OBJECT
public:
    // Links of the about text are opened with openUrl; one that cannot be is named in an
    // alert.
    AboutTab(UrlOpener openUrl, AlertPresenter& alerts, QWidget* parent = nullptr);

    QLabel* aboutVersion() const { return aboutVersion_; }
    QTextBrowser* aboutText() const { return aboutText_; }
    QLabel* aboutCopyrgt() const { return aboutCopyrgt_; }

signals:
    void helpRequested(const QString& anchor);

private:
    UrlOpener openUrl_;
    AlertPresenter& alerts_;
    QLabel* aboutVersion_;
    QTextBrowser* aboutText_;
    QLabel* aboutCopyrgt_;
};
