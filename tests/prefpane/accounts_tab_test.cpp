// The Accounts tab: loading the stored list, the table's cells, reordering by dragging
// one row, the 20-account limit, and deleting; every change saved at once, and records
// the window did not change (a password with ":" included) saved back byte for byte.
#include "accounts_tab.h"
#include "prefpane_test_support.h"

#include <QIcon>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>

#include <memory>

namespace {

// A record as an older tool wrote it: login "user", forwarding "(default)".
QString Rec(const QString& addr, const QString& pass, const QString& server = "pop.example.com",
            const QString& enable = "1", const QString& type = "POP") {
    const auto b64 = [](const QString& text) { return QString::fromLatin1(text.toUtf8().toBase64()); };
    return b64(addr + ':' + pass) + '\t' + server + "\t(default)\t\t" + b64("user") + "\t0\t0\t" + enable + '\t' +
           type + '\t';
}

} // namespace

class AccountsTabTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void loading_data();
    void loading();
    void cellsAndGreyedRows();
    void drag_data();
    void drag();
    void limitSelectionAndDelete();

private:
    void Store(const QStringList& records, bool asString = false);
    QStringList Saved() const;

    std::unique_ptr<QTemporaryDir> dir_;
    RecordingAlerts alerts_;
    std::unique_ptr<PrefAccess> prefs_;
    std::unique_ptr<AccountsTab> tab_;
};

void AccountsTabTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    tab_.reset();
    prefs_ = std::make_unique<PrefAccess>(dir_->filePath("p.plist").toStdString(), alerts_);
    tab_ = std::make_unique<AccountsTab>(*prefs_, alerts_);
}

void AccountsTabTest::Store(const QStringList& records, bool asString) {
    if (asString)
        prefs_->setPrefVal("Account", records.first(), true);
    else
        prefs_->setPrefVal("Account", records, true);
    tab_->loadAccounts();
}

// "Account" as it is on disk.
QStringList AccountsTabTest::Saved() const {
    RecordingAlerts alerts;
    PrefAccess stored(dir_->filePath("p.plist").toStdString(), alerts);
    stored.synchronize();
    QStringList saved;
    for (int i = 0; !stored.getPrefVal("Account", i, {}).isEmpty(); ++i)
        saved << stored.getPrefVal("Account", i, {});
    return saved;
}

void AccountsTabTest::loading_data() {
    QTest::addColumn<QStringList>("records");
    QTest::addColumn<bool>("asString");
    QTest::addColumn<QStringList>("loaded"); // address, password, enabled, type
    QTest::newRow("empty enabled") << QStringList{Rec("a@example.com", "pw", "pop.example.com", "")} << false
                                   << QStringList{"a@example.com pw 1 POP"};
    QTest::newRow("empty type, MSN domain in capitals") << QStringList{Rec("a@msn.com", "pw", "MSN.COM", "0", "")}
                                                        << false << QStringList{"a@msn.com pw 0 MSN"};
    QTest::newRow("ends at the first empty record")
        << QStringList{Rec("a@example.com", "pw"), "", Rec("c@example.com", "pw")} << false
        << QStringList{"a@example.com pw 1 POP"};
    QTest::newRow("password keeps its colons") << QStringList{Rec("a@example.com", "p:w:")} << false
                                               << QStringList{"a@example.com p:w: 1 POP"};
    // The agent reads a plain string as the only record, not as twenty.
    QTest::newRow("a plain string") << QStringList{Rec("a@example.com", "pw")} << true
                                    << QStringList{"a@example.com pw 1 POP"};
}

void AccountsTabTest::loading() {
    QFETCH(QStringList, records);
    QFETCH(bool, asString);
    Store(records, asString);
    QStringList loaded;
    for (const AcctEntry& e : tab_->model().acctArray())
        loaded << QStringList({e.acctAddr, e.acctPass, e.acctEnable, e.acctType}).join(' ');
    QTEST(loaded, "loaded");
}

// Cells by column name in any case; the address and forwarding cells of a disabled
// account greyed, and only those.
void AccountsTabTest::cellsAndGreyedRows() {
    Store({Rec("on@example.com", "pw"), Rec("off@example.com", "pw", "imap.example.com", "0", "IMAP")});
    const AccountsModel& model = tab_->model();
    QCOMPARE(model.objectValue("ACCTPOP", 1).toString(), QStringLiteral("imap.example.com"));
    QVERIFY(!model.objectValue("tableArrow", 0).value<QIcon>().isNull());
    QCOMPARE(model.objectValue("acctColour", 0).toString(), QStringLiteral("not found"));
    QCOMPARE(model.objectValue("acctAddr", 2).toString(), QString());
    const QColor grey = QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text);
    QStringList greyed;
    for (int row = 0; row < 2; ++row)
        for (int column = 0; column < model.columnCount(); ++column)
            if (model.data(model.index(row, column), Qt::ForegroundRole).value<QColor>() == grey)
                greyed << model.data(model.index(row, column)).toString();
    QCOMPARE(greyed, QStringList({"off@example.com", "(default)"}));
}

void AccountsTabTest::drag_data() {
    QTest::addColumn<QList<int>>("dragged");
    QTest::addColumn<int>("row");       // the insertion mark, before this row; -1 below the rows
    QTest::addColumn<bool>("ontoRow");  // dropped onto the third row instead
    QTest::addColumn<QString>("order"); // afterwards; "refused": nothing changes or is saved
    QTest::newRow("first below the third") << QList<int>{0} << 3 << false << "2 3 1";
    QTest::newRow("first below all rows") << QList<int>{0} << -1 << false << "2 3 1";
    QTest::newRow("third above the first") << QList<int>{2} << 0 << false << "3 1 2";
    QTest::newRow("second above the first") << QList<int>{1} << 0 << false << "2 1 3";
    QTest::newRow("own place") << QList<int>{1} << 1 << false << "refused";
    QTest::newRow("just below itself") << QList<int>{1} << 2 << false << "refused";
    QTest::newRow("onto a row") << QList<int>{0} << -1 << true << "refused";
    QTest::newRow("several rows") << QList<int>{0, 1} << 3 << false << "refused";
}

void AccountsTabTest::drag() {
    // The second password holds ":"; it is saved back as it was.
    const QStringList records = {Rec("1@example.com", "pw"), Rec("2@example.com", "p:w"), Rec("3@example.com", "pw")};
    Store(records);
    const QByteArray before = ReadBytes(dir_->filePath("p.plist"));
    AccountsModel& model = tab_->model();
    QFETCH(QList<int>, dragged);
    QFETCH(int, row);
    QFETCH(bool, ontoRow);
    QFETCH(QString, order);
    QModelIndexList indexes;
    for (const int r : dragged)
        indexes << model.index(r, 0) << model.index(r, 1);
    const std::unique_ptr<QMimeData> data(model.mimeData(indexes));
    QVERIFY(data);
    const QModelIndex parent = ontoRow ? model.index(2, 0) : QModelIndex();
    const bool refused = order == QLatin1String("refused");
    QCOMPARE(model.canDropMimeData(data.get(), Qt::CopyAction, row, 0, parent), !refused);
    QCOMPARE(model.dropMimeData(data.get(), Qt::CopyAction, row, 0, parent), !refused);
    if (refused) {
        QCOMPARE(ReadBytes(dir_->filePath("p.plist")), before);
        return;
    }
    QStringList expected;
    for (const QString& n : order.split(' '))
        expected << records[n.toInt() - 1];
    QCOMPARE(Saved(), expected);
}

// Twenty accounts: no Add; one row selected at a time, even with Control held; Delete
// removes it at once and saves the others unchanged, and Add is back.
void AccountsTabTest::limitSelectionAndDelete() {
    QStringList records;
    for (int i = 1; i <= 20; ++i)
        records << Rec(QStringLiteral("a%1@example.com").arg(i), i == 7 ? "pass:word" : "pw");
    Store(records);
    auto* add = tab_->findChild<QPushButton*>("acctAdd");
    auto* del = tab_->findChild<QPushButton*>("acctDel");
    auto* list = tab_->findChild<QTableView*>("acctList");
    QVERIFY(!add->isEnabled());
    QVERIFY(!del->isEnabled());
    tab_->acctDel();
    QCOMPARE(tab_->model().rowCount(), 20);

    tab_->show();
    QVERIFY(QTest::qWaitForWindowExposed(tab_.get()));
    const auto click = [list](int row, Qt::KeyboardModifiers keys) {
        list->scrollTo(list->model()->index(row, 1));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, keys, list->visualRect(list->model()->index(row, 1)).center());
    };
    click(3, Qt::NoModifier);
    click(5, Qt::ControlModifier);
    QCOMPARE(list->selectionModel()->selectedRows().size(), 1);
    QVERIFY(del->isEnabled());
    const int selected = list->selectionModel()->selectedRows().first().row();
    QTest::mouseClick(del, Qt::LeftButton);
    QCOMPARE(tab_->model().rowCount(), 19);
    QVERIFY(add->isEnabled());
    records.removeAt(selected);
    QCOMPARE(Saved(), records);
    QCOMPARE(alerts_.Messages(), QStringList());
}

QTEST_MAIN(AccountsTabTest)
#include "accounts_tab_test.moc"
