#include "smtp_tab.h"

#include "auto_forward.h"
#include "edit_end.h"
#include "help.h"
#include "services.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

SmtpTab::SmtpTab(PrefAccess& prefs, AlertPresenter& alerts, QWidget* parent)
    : QWidget(parent), prefs_(prefs), alerts_(alerts), smtpHost_(new QLineEdit(this)),
      smtpSecure_(new QCheckBox(QStringLiteral("Use TLS from the start (usually port 465)"), this)),
      smtpAuth_(new QComboBox(this)), smtpUserLbl_(new QLabel(QStringLiteral("User name:"), this)),
      smtpUser_(new QLineEdit(this)), smtpPassLbl_(new QLabel(QStringLiteral("Password:"), this)),
      smtpPass_(new QLineEdit(this)),
      smtpVfy_(new QCheckBox(QStringLiteral("Repair headers and long lines that strict servers refuse"), this)),
      smtpFrom_(new QLineEdit(this)) {
    setObjectName(QStringLiteral("SmtpTab"));
    smtpHost_->setPlaceholderText(QStringLiteral("smtp.example.com or smtp.example.com:587"));
    smtpAuth_->addItems({QStringLiteral("None"), QStringLiteral("User name and password")});
    smtpPass_->setEchoMode(QLineEdit::Password);
    smtpFrom_->setPlaceholderText(QStringLiteral("the address of each account"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Outgoing Mail Server (SMTP):"), smtpHost_);
    form->addRow(QString(), smtpSecure_);
    form->addRow(QStringLiteral("Authentication:"), smtpAuth_);
    form->addRow(smtpUserLbl_, smtpUser_);
    form->addRow(smtpPassLbl_, smtpPass_);
    form->addRow(QStringLiteral("Sender address:"), smtpFrom_);
    form->addRow(QString(), smtpVfy_);

    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    QPushButton* help = HelpButton(this);
    bottom->addWidget(help);
    auto* page = new QVBoxLayout(this);
    page->addLayout(form);
    page->addStretch();
    page->addLayout(bottom);

    EditEnd::Watch(smtpHost_, [this] { smtpHostEnded(); });
    connect(smtpSecure_, &QCheckBox::clicked, this, [this] { storeFlag("SMTPSecure", smtpSecure_); });
    connect(smtpAuth_, &QComboBox::activated, this, &SmtpTab::smtpAuthChanged);
    EditEnd::Watch(smtpUser_, [this] { saveSmtpLogin(); });
    EditEnd::Watch(smtpPass_, [this] { saveSmtpLogin(); });
    connect(smtpVfy_, &QCheckBox::clicked, this, [this] { storeFlag("SMTPVfy", smtpVfy_); });
    EditEnd::Watch(smtpFrom_, [this] { smtpFromEnded(); });
    connect(help, &QPushButton::clicked, this, [this] { emit helpRequested(QStringLiteral("smtp")); });
}

void SmtpTab::loadSettings() {
    const auto value = [this](const char* key, const char* fallback) {
        return prefs_.getPrefVal(QLatin1String(key), 0, QLatin1String(fallback));
    };
    smtpHost_->setText(value("SMTPHost", ""));
    smtpSecure_->setChecked(value("SMTPSecure", "0") != QLatin1String("0"));
    smtpAuth_->setCurrentIndex(autofwd::IntValue(value("SMTPAuth", "0")) != 0 ? 1 : 0);
    smtpAuthChanged();
    const QString login = value("SMTPLogin", "");
    if (!login.isEmpty()) {
        const QString decoded = decodeBase64(login);
        smtpUser_->setText(decoded.section(QLatin1Char(':'), 0, 0));
        smtpPass_->setText(decoded.section(QLatin1Char(':'), 1));
    }
    smtpVfy_->setChecked(value("SMTPVfy", "0") != QLatin1String("0"));
    const QString from = value("SMTPFrom", "");
    if (!from.isEmpty())
        smtpFrom_->setText(decodeBase64(from));
}

void SmtpTab::smtpHostEnded() {
    const QString text = smtpHost_->text();
    if (text.trimmed().isEmpty())
        caution(QStringLiteral("Outgoing Mail Server (SMTP) can not be blank."),
                QStringLiteral("In order to send mail, an Outgoing Mail Server (SMTP) needs to be specified."));
    const QString host = text.section(QLatin1Char(':'), 0, 0).trimmed();
    if (services::IsPublicSmtpServer(host.toStdString()))
        caution(QStringLiteral("The SMTP server name you have entered (%1) will not forward mail properly.").arg(host),
                QStringLiteral("Normally, you should use the SMTP server provided by your Internet Service Provider "
                               "(ISP) for outgoing mail."));
    prefs_.setPrefVal(QStringLiteral("SMTPHost"), text, true);
}

void SmtpTab::smtpAuthChanged() {
    setAuthInfo();
    prefs_.setPrefVal(QStringLiteral("SMTPAuth"), QString::number(smtpAuth_->currentIndex()), true);
}

void SmtpTab::setAuthInfo() {
    const bool login = smtpAuth_->currentIndex() == 1;
    for (QWidget* widget : {static_cast<QWidget*>(smtpUser_), static_cast<QWidget*>(smtpUserLbl_),
                            static_cast<QWidget*>(smtpPass_), static_cast<QWidget*>(smtpPassLbl_)})
        widget->setEnabled(login);
}

void SmtpTab::saveSmtpLogin() {
    const QString user = smtpUser_->text();
    const QString password = smtpPass_->text();
    prefs_.setPrefVal(QStringLiteral("SMTPLogin"),
                      user.isEmpty() && password.isEmpty() ? QString()
                                                           : encodeBase64(user + QLatin1Char(':') + password),
                      true);
}

void SmtpTab::smtpFromEnded() {
    const QString from = smtpFrom_->text();
    prefs_.setPrefVal(QStringLiteral("SMTPFrom"), from.isEmpty() ? QString() : encodeBase64(from), true);
}

void SmtpTab::storeFlag(const char* key, const QCheckBox* box) {
    prefs_.setPrefVal(QLatin1String(key), box->isChecked() ? QStringLiteral("1") : QStringLiteral("0"), true);
}

void SmtpTab::caution(const QString& message, const QString& explanation) {
    ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"), message, explanation);
}
