#include "status_tab.h"

#include "auto_forward.h"
#include "edit_end.h"
#include "forwarding_editor.h"
#include "status_reader.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {

const QString kNone = QStringLiteral("None");

bool is(const QString& value, const char* name) {
    return value.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

} // namespace

StatusTab::StatusTab(PrefAccess& prefs, AlertPresenter& alerts, Request request, UrlOpener openUrl, QWidget* parent)
    : QWidget(parent), prefs_(prefs), alerts_(alerts), request_(std::move(request)), openUrl_(std::move(openUrl)),
      currAccount_(new QLabel(kNone, this)), appStatus_(new QLabel(QStringLiteral("Getting status"), this)),
      getMail_(new QPushButton(QStringLiteral("Get Mail"), this)), statSummary_(new QTextEdit(this)),
      autoFwd_(new QCheckBox(QStringLiteral("Forward mail automatically every"), this)),
      autoTime_(new QLineEdit(this)), autoTimeLbl_(new QLabel(QStringLiteral("minutes"), this)),
      showMenu_(new QCheckBox(QStringLiteral("Show Tarnwell in the panel"), this)),
      showLog_(new QPushButton(QStringLiteral("Show Log"), this)) {
    setObjectName(QStringLiteral("StatusTab"));
    currAccount_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    appStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    appStatus_->setWordWrap(true);
    getMail_->setMinimumWidth(100);
    // The summary reads as text on the tab: selectable, not editable, no background.
    statSummary_->setReadOnly(true);
    statSummary_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    statSummary_->setFrameShape(QFrame::NoFrame);
    statSummary_->viewport()->setAutoFillBackground(false);
    statSummary_->document()->setDocumentMargin(0);
    statSummary_->setPlaceholderText(QStringLiteral("--"));
    autoTime_->setFixedWidth(64);
    autoTime_->setAlignment(Qt::AlignRight);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Account:"), this), 0, 0, Qt::AlignRight);
    grid->addWidget(currAccount_, 0, 1);
    grid->addWidget(getMail_, 0, 2, 2, 1, Qt::AlignTop);
    grid->addWidget(new QLabel(QStringLiteral("Status:"), this), 1, 0, Qt::AlignRight | Qt::AlignTop);
    grid->addWidget(appStatus_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Last run:"), this), 2, 0, Qt::AlignRight | Qt::AlignTop);
    grid->addWidget(statSummary_, 2, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(2, 1);

    auto* interval = new QHBoxLayout;
    interval->addWidget(autoFwd_);
    interval->addWidget(autoTime_);
    interval->addWidget(autoTimeLbl_);
    interval->addStretch();

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(showLog_);
    bottom->addStretch();
    QPushButton* help = HelpButton(this);
    bottom->addWidget(help);

    auto* page = new QVBoxLayout(this);
    page->addLayout(grid, 1);
    page->addLayout(interval);
    page->addWidget(showMenu_);
    page->addLayout(bottom);

    connect(getMail_, &QPushButton::clicked, this, [this] { request_(QStringLiteral("getMail")); });
    connect(autoFwd_, &QCheckBox::clicked, this, &StatusTab::autoFwdChanged);
    EditEnd::Watch(autoTime_, [this] { autoTimeEnded(); });
    connect(showMenu_, &QCheckBox::clicked, this, &StatusTab::showMenuChanged);
    connect(showLog_, &QPushButton::clicked, this, &StatusTab::openLog);
    connect(help, &QPushButton::clicked, this, [this] { emit helpRequested(QStringLiteral("status")); });
}

void StatusTab::loadShowMenu() {
    showMenu_->setChecked(prefs_.getPrefVal(QStringLiteral("showMenu"), 0, QStringLiteral("1")) != QLatin1String("0"));
}

void StatusTab::loadAutoFwd() {
    autoFwd_->setChecked(prefs_.getPrefVal(QStringLiteral("autoFwd"), 0, QStringLiteral("0")) != QLatin1String("0"));
    setAutoTime();
    autoTime_->setText(prefs_.getPrefVal(QStringLiteral("autoTime"), 0, QStringLiteral("15")));
}

void StatusTab::notificationCallbackMenu(const notify::UserInfo& userInfo) {
    const QString kind = userInfo.value(notify::kMsgControlKey);
    if (is(kind, "init")) {
        request_(QStringLiteral("getStatus"));
    } else if (is(kind, "status")) {
        const QString account = userInfo.value(notify::kStatAcctKey);
        currAccount_->setText(account);
        appStatus_->setText(userInfo.value(notify::kStatMsgKey));
        const QString title = is(account, "None") ? QStringLiteral("Get Mail") : QStringLiteral("Stop");
        if (getMail_->text() != title)
            getMail_->setText(title);
    } else if (is(kind, "summary")) {
        showSummary(userInfo.value(notify::kStatSummaryKey));
    }
}

void StatusTab::showSummary(const QString& summary) {
    statSummary_->setPlainText(summary);
    QTextDocument& text = *statSummary_->document();
    highlightErrorLine(text, QStringLiteral("retry"), StatusReader::Orange());
    highlightErrorLine(text, QStringLiteral("error"), StatusReader::DarkRed());
}

void StatusTab::autoFwdChanged() {
    setAutoTime();
    prefs_.setPrefVal(QStringLiteral("autoFwd"), autoFwd_->isChecked() ? QStringLiteral("1") : QStringLiteral("0"), true);
    request_(QStringLiteral("autoFwd"));
}

void StatusTab::setAutoTime() {
    autoTime_->setEnabled(autoFwd_->isChecked());
    autoTimeLbl_->setEnabled(autoFwd_->isChecked());
}

void StatusTab::autoTimeEnded() {
    const int minutes = autofwd::IntValue(autoTime_->text());
    const char* bound = nullptr;
    int replacement = 0;
    if (minutes > autofwd::kMaxMinutes) {
        bound = "maximum";
        replacement = autofwd::kMaxMinutes;
    } else if (minutes < autofwd::kMinMinutes) {
        bound = "minimum";
        replacement = autofwd::kMinMinutes;
    }
    if (bound) {
        ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"),
                  QStringLiteral("The Time Interval value is invalid.  Supported values are %1-%2.")
                      .arg(autofwd::kMinMinutes)
                      .arg(autofwd::kMaxMinutes),
                  QStringLiteral("The Time Interval will be set to the %1 value.").arg(QLatin1String(bound)));
        autoTime_->setText(QString::number(replacement));
    }
    prefs_.setPrefVal(QStringLiteral("autoTime"), autoTime_->text(), true);
    request_(QStringLiteral("autoFwd"));
}

void StatusTab::showMenuChanged() {
    prefs_.setPrefVal(QStringLiteral("showMenu"), showMenu_->isChecked() ? QStringLiteral("1") : QStringLiteral("0"),
                      true);
    request_(QStringLiteral("showMenu"));
}

void StatusTab::openLog() {
    const QString path = QDir::homePath() + QStringLiteral("/Library/Logs/Tarnwell.log");
    // A log that does not exist yet would only make the viewer fail where nobody sees it.
    if (!QFileInfo::exists(path) || !openUrl_(QUrl::fromLocalFile(path)))
        ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"),
                  QStringLiteral("The Console application could not be opened to view the log file. "
                                 "The file is located at %1.")
                      .arg(path));
}
