#include "acct_form.h"

#include "forwarding_editor.h"
#include "help.h"
#include "pref_access.h"
#include "services.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// The form grows by what its forwarding editor grows when it becomes a box.
constexpr int kGrowth = uTextView::kAccountHeight - uTextView::kOneLineHeight;

QString fromView(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

bool hasServer(const QString& type) {
    return type == QLatin1String("POP") || type == QLatin1String("IMAP");
}

} // namespace

QStringList AcctForm::acctTypes() {
    QStringList titles{QString()};
    for (std::string_view type : services::kTypes)
        titles << fromView(type);
    return titles;
}

AcctForm::AcctForm(AlertPresenter& alerts, QWidget* parent)
    : QDialog(parent), alerts_(alerts), fields_(new QFormLayout), acctAddr_(new QLineEdit),
      acctPass_(new QLineEdit), acctType_(new QComboBox), acctPop_(new QLineEdit),
      acctSecure_(new QCheckBox(QStringLiteral("Connect with TLS"))), acctUser_(new QLineEdit),
      acctFwd_(new uTextView(uTextView::kAccountHeight)),
      acctLeave_(new QCheckBox(QStringLiteral("Leave forwarded messages on the server"))),
      acctEnable_(new QCheckBox(QStringLiteral("Forward the mail of this account"))) {
    setWindowTitle(QStringLiteral("Account"));
    setWindowModality(Qt::WindowModal);
    acctAddr_->setObjectName(QStringLiteral("acctAddr"));
    acctPass_->setObjectName(QStringLiteral("acctPass"));
    acctPass_->setEchoMode(QLineEdit::Password);
    acctType_->setObjectName(QStringLiteral("acctType"));
    acctType_->addItems(acctTypes());
    acctPop_->setObjectName(QStringLiteral("acctPop"));
    acctPop_->setPlaceholderText(QStringLiteral("host or host:port"));
    acctSecure_->setObjectName(QStringLiteral("acctSecure"));
    acctUser_->setObjectName(QStringLiteral("acctUser"));
    acctUser_->setPlaceholderText(QStringLiteral("the address up to its \"@\""));
    acctFwd_->setObjectName(QStringLiteral("acctFwd"));
    acctLeave_->setObjectName(QStringLiteral("acctLeave"));
    acctEnable_->setObjectName(QStringLiteral("acctEnable"));
    // Two lines of their own: a wrapped label would make the form's height depend on its width.
    auto* acctFwdExp = new QLabel(QStringLiteral("One address, or several separated by commas;\n"
                                                 "\"(default)\" forwards to the default forwarding address."));
    acctFwdExp->setForegroundRole(QPalette::PlaceholderText);

    fields_->addRow(QStringLiteral("E-Mail Address:"), acctAddr_);
    fields_->addRow(QStringLiteral("Password:"), acctPass_);
    fields_->addRow(QStringLiteral("Account Type:"), acctType_);
    fields_->addRow(QStringLiteral("Mail Server:"), acctPop_);
    fields_->addRow(QString(), acctSecure_);
    fields_->addRow(QStringLiteral("User Name:"), acctUser_);
    fields_->addRow(QStringLiteral("Forward To:"), acctFwd_);
    fields_->addRow(QString(), acctFwdExp);
    fields_->addRow(QString(), acctLeave_);
    fields_->addRow(QString(), acctEnable_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setObjectName(QStringLiteral("acctOK"));
    // Return in the one-line forwarding editor presses it.
    ok->setDefault(true);
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("acctCancel"));
    QPushButton* help = HelpButton(this);
    // Return must reach OK even after the help button had the focus.
    help->setAutoDefault(false);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(help);
    bottom->addWidget(buttons, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields_);
    layout->addStretch();
    layout->addLayout(bottom);
    setMinimumWidth(460);

    connect(buttons, &QDialogButtonBox::accepted, this, &AcctForm::acctOk);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(help, &QPushButton::clicked, this, [this] { emit helpRequested(QStringLiteral("accountpane")); });
    connect(acctType_, &QComboBox::currentIndexChanged, this, &AcctForm::acctType);
    connect(acctAddr_, &QLineEdit::editingFinished, this, &AcctForm::acctAddr);
    connect(acctFwd_, &uTextView::modeChanged, this,
            [this](bool multiLine) { resizeKeepingTop(height() + (multiLine ? kGrowth : -kGrowth)); });
}

void AcctForm::showAcctForm(const AcctEntry* entry) {
    AcctEntry shown;
    if (entry) {
        shown = *entry;
    } else {
        shown.acctFwd = QStringLiteral("(default)");
        shown.acctEnable = QStringLiteral("1");
    }
    acctAddr_->setText(shown.acctAddr);
    acctPass_->setText(shown.acctPass);
    // A type the agent does not know it runs as POP.
    const std::string_view known = services::KnownType(shown.acctType.toStdString());
    const QString type = shown.acctType.isEmpty() ? QString() : known.empty() ? QStringLiteral("POP") : fromView(known);
    acctType_->setCurrentIndex(acctType_->findText(type, Qt::MatchFixedString));
    acctPop_->setText(shown.acctPop);
    acctSecure_->setChecked(StrBool(shown.acctSecure));
    acctUser_->setText(shown.acctUser);
    acctFwd_->setPlainText(shown.acctFwd);
    acctLeave_->setChecked(StrBool(shown.acctLeave));
    acctEnable_->setChecked(StrBool(shown.acctEnable));
    // Once more after the boxes are filled: a Gmail account shows "Leave" off, as it is saved.
    acctType();
    open();
    acctAddr_->setFocus();
    acctAddr_->selectAll();
}

void AcctForm::acctType() {
    const QString type = acctType_->currentText();
    for (QWidget* field : {static_cast<QWidget*>(acctPop_), static_cast<QWidget*>(acctSecure_),
                           static_cast<QWidget*>(acctUser_)})
        fields_->setRowVisible(field, hasServer(type));
    const bool gmail = type == QLatin1String("Gmail");
    if (gmail)
        acctLeave_->setChecked(false);
    acctLeave_->setEnabled(!gmail);
    fitHeight();
}

void AcctForm::acctAddr() {
    if (acctType_->currentIndex() != 0)
        return;
    const QString domain = acctAddr_->text().section(QLatin1Char('@'), 1).trimmed();
    if (!domain.isEmpty())
        setTypeFromDomain(domain);
}

void AcctForm::setTypeFromDomain(const QString& domain) {
    const QString type = fromView(services::TypeOfDomain(domain.toStdString()));
    acctType_->setCurrentIndex(acctType_->findText(type, Qt::MatchFixedString));
}

void AcctForm::acctOk() {
    AcctEntry entry;
    entry.acctAddr = acctAddr_->text().trimmed();
    entry.acctPass = acctPass_->text().trimmed();
    entry.acctType = acctType_->currentText();
    const std::string_view preset = services::PresetServer(entry.acctType.toStdString());
    entry.acctPop = preset.empty() ? acctPop_->text().trimmed() : fromView(preset);
    entry.acctUser = acctUser_->text().trimmed();
    entry.acctFwd = acctFwd_->storedText().trimmed();
    if (entry.acctFwd.isEmpty())
        entry.acctFwd = QStringLiteral("(default)");
    const auto flag = [](const QCheckBox* box) { return box->isChecked() ? QStringLiteral("1") : QStringLiteral("0"); };
    entry.acctLeave = flag(acctLeave_);
    entry.acctSecure = flag(acctSecure_);
    entry.acctEnable = flag(acctEnable_);
    if (!validate(entry))
        return;
    result_ = entry;
    accept();
}

bool AcctForm::validate(AcctEntry& entry) {
    const auto refuse = [this](const QString& message, const QString& explanation = QString()) {
        ShowAlert(alerts_, QStringLiteral("Caution"), QStringLiteral("-1"), message, explanation);
        return false;
    };
    if (entry.acctAddr.isEmpty())
        return refuse(QStringLiteral("The E-Mail Address can not be blank."));
    if (!entry.acctAddr.contains(QLatin1Char('@')))
        return refuse(QStringLiteral("The E-Mail Address is invalid."),
                      QStringLiteral("The E-Mail Address should be in the form \"me@example.com\"."));
    if (entry.acctPass.isEmpty())
        return refuse(QStringLiteral("The Password can not be blank."));
    if (entry.acctType.isEmpty())
        return refuse(QStringLiteral("The Account Type can not be blank."));
    if (entry.acctUser.isEmpty())
        entry.acctUser = entry.acctAddr.section(QLatin1Char('@'), 0, 0).trimmed();
    if (entry.acctPop.isEmpty())
        return refuse(QStringLiteral("The Mail Server can not be blank for POP or IMAP accounts."));

    // What the agent would skip or misread, it must never be given.
    const std::pair<const char*, const QString&> named[] = {{"E-Mail Address", entry.acctAddr},
                                                            {"Password", entry.acctPass},
                                                            {"Mail Server", entry.acctPop},
                                                            {"User Name", entry.acctUser},
                                                            {"Forwarding Address", entry.acctFwd}};
    for (const auto& [name, text] : named) {
        const QString why = agentCannotRead(text);
        if (!why.isEmpty())
            return refuse(QStringLiteral("The %1 contains characters Tarnwell cannot use.").arg(QLatin1String(name)),
                          why + QStringLiteral(" Tarnwell Agent reads settings as ASCII text without tabs or line "
                                               "breaks and would skip this account."));
    }
    // Address and password are stored as one text separated by the first ":".
    for (const auto& [name, text] : {named[0], named[1]})
        if (text.contains(QLatin1Char(':')))
            return refuse(QStringLiteral("The %1 can not contain a colon (\":\").").arg(QLatin1String(name)),
                          QStringLiteral("Tarnwell keeps the address and the password as one text separated by a "
                                         "colon; the agent would cut the %1 at this one.")
                              .arg(QString::fromLatin1(name).toLower()));
    const qsizetype stored = entry.ToRecord().size();
    if (stored > kMaxPrefValue)
        return refuse(QStringLiteral("The account's settings are too long."),
                      QStringLiteral("Stored, they take %1 characters, and Tarnwell Agent reads at most %2. Shorten "
                                     "the password, the user name or the forwarding address.")
                          .arg(stored)
                          .arg(kMaxPrefValue));
    return true;
}

void AcctForm::resizeKeepingTop(int height) {
    QRect frame = geometry();
    // The layout takes in the new sizes first, so the form may become smaller.
    layout()->activate();
    frame.setHeight(height);
    setGeometry(frame);
}

void AcctForm::fitHeight() {
    layout()->activate();
    resizeKeepingTop(minimumSizeHint().height());
}
