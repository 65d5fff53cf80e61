#include "about_tab.h"

#include <QFile>
#include <QHBoxLayout>
#include <QVBoxLayout>

AboutTab::AboutTab(UrlOpener openUrl, AlertPresenter& alerts, QWidget* parent)
    : QWidget(parent), openUrl_(std::move(openUrl)), alerts_(alerts),
      aboutVersion_(new QLabel(QStringLiteral("Version %1").arg(QLatin1String(TARNWELL_VERSION)), this)),
      aboutText_(new QTextBrowser(this)), aboutCopyrgt_(new QLabel(QStringLiteral("Copyright \u00a9 Vexlo"), this)) {
    setObjectName(QStringLiteral("AboutTab"));
    auto* name = new QLabel(QStringLiteral("Tarnwell"), this);
    QFont big = name->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    name->setFont(big);

    QFile text(QStringLiteral(":/prefpane/aboutText.html"));
    if (text.open(QIODevice::ReadOnly))
        aboutText_->setHtml(QString::fromUtf8(text.readAll()));
    // Selectable text on the tab, not a document to edit; links go to the desktop.
    aboutText_->setFrameShape(QFrame::NoFrame);
    aboutText_->viewport()->setAutoFillBackground(false);
    aboutText_->document()->setDocumentMargin(0);
    aboutText_->setOpenLinks(false);
    connect(aboutText_, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) {
        if (!openUrl_(url))
            ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"), QStringLiteral("The link cannot be opened."),
                      QStringLiteral("No program could be started for %1.").arg(url.toString()));
    });

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(aboutCopyrgt_);
    bottom->addStretch();
    QPushButton* help = HelpButton(this);
    bottom->addWidget(help);
    auto* page = new QVBoxLayout(this);
    page->addWidget(name);
    page->addWidget(aboutVersion_);
    page->addWidget(aboutText_, 1);
    page->addLayout(bottom);
    connect(help, &QPushButton::clicked, this, [this] { emit helpRequested(QStringLiteral("about")); });
}
