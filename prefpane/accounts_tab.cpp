#include "accounts_tab.h"

#include "help.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QMimeData>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {

constexpr std::pair<const char*, QString AcctEntry::*> kFields[] = {
    {"acctAddr", &AcctEntry::acctAddr},     {"acctPass", &AcctEntry::acctPass},   {"acctPop", &AcctEntry::acctPop},
    {"acctFwd", &AcctEntry::acctFwd},       {"acctUser", &AcctEntry::acctUser},   {"acctLeave", &AcctEntry::acctLeave},
    {"acctSecure", &AcctEntry::acctSecure}, {"acctEnable", &AcctEntry::acctEnable}, {"acctType", &AcctEntry::acctType}};

constexpr std::pair<const char*, const char*> kTitles[] = {
    {"acctAddr", "E-Mail Address"}, {"acctType", "Type"}, {"acctPop", "Mail Server"}, {"acctFwd", "Forward To"}};

bool is(const QString& identifier, const char* name) {
    return identifier.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

// The drag handle drawn in every row: three short bars.
QIcon listArrow() {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    for (const int y : {4, 7, 10})
        painter.fillRect(3, y, 10, 2, QGuiApplication::palette().color(QPalette::Mid));
    return QIcon(pixmap);
}

QByteArray encodeRows(const QList<int>& rows) {
    QStringList numbers;
    for (const int row : rows)
        numbers << QString::number(row);
    return numbers.join(QLatin1Char(',')).toLatin1();
}

QList<int> decodeRows(const QByteArray& data) {
    QList<int> rows;
    for (const QByteArray& number : data.split(','))
        rows << number.toInt();
    return rows;
}

} // namespace

AccountsModel::AccountsModel(QStringList columns, QObject* parent)
    : QAbstractTableModel(parent), columns_(std::move(columns)), listArrow_(listArrow()) {}

void AccountsModel::setAcctArray(QList<AcctEntry> entries) {
    beginResetModel();
    acctArray_ = std::move(entries);
    endResetModel();
}

void AccountsModel::append(const AcctEntry& entry) {
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    acctArray_ << entry;
    endInsertRows();
}

void AccountsModel::replace(int row, const AcctEntry& entry) {
    acctArray_[row] = entry;
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void AccountsModel::remove(int row) {
    beginRemoveRows(QModelIndex(), row, row);
    acctArray_.removeAt(row);
    endRemoveRows();
}

QVariant AccountsModel::objectValue(const QString& identifier, int row) const {
    if (row < 0 || row >= rowCount())
        return QString();
    for (const auto& [name, field] : kFields)
        if (is(identifier, name))
            return acctArray_[row].*field;
    if (is(identifier, "tableArrow"))
        return QVariant::fromValue(listArrow_);
    return QStringLiteral("not found");
}

int AccountsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(acctArray_.size());
}

int AccountsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant AccountsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const QString& identifier = columns_[index.column()];
    const bool arrow = is(identifier, "tableArrow");
    switch (role) {
    case Qt::DisplayRole:
        return arrow ? QVariant() : objectValue(identifier, index.row());
    case Qt::DecorationRole:
        return arrow ? objectValue(identifier, index.row()) : QVariant();
    case Qt::ForegroundRole:
        if (is(identifier, "acctAddr") || is(identifier, "acctFwd"))
            return QGuiApplication::palette().color(
                StrBool(acctArray_[index.row()].acctEnable) ? QPalette::Active : QPalette::Disabled, QPalette::Text);
        return {};
    default:
        return {};
    }
}

QVariant AccountsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columnCount())
        return {};
    for (const auto& [name, title] : kTitles)
        if (is(columns_[section], name))
            return QString::fromLatin1(title);
    return QString();
}

Qt::ItemFlags AccountsModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList AccountsModel::mimeTypes() const {
    return {QString::fromLatin1(kMimeType)};
}

QMimeData* AccountsModel::mimeData(const QModelIndexList& indexes) const {
    if (rowCount() <= 1)
        return nullptr;
    QList<int> rows;
    for (const QModelIndex& index : indexes)
        if (!rows.contains(index.row()))
            rows << index.row();
    std::sort(rows.begin(), rows.end());
    moveRow_ = rows.size() == 1 ? rows.first() : -1;
    auto* data = new QMimeData;
    data->setData(QString::fromLatin1(kMimeType), encodeRows(rows));
    return data;
}

int AccountsModel::dropTarget(const QMimeData* data, int row, const QModelIndex& parent) const {
    if (!data || parent.isValid() || moveRow_ < 0 || moveRow_ >= rowCount())
        return -1;
    if (decodeRows(data->data(QString::fromLatin1(kMimeType))) != QList<int>{moveRow_})
        return -1;
    const int target = row < 0 ? rowCount() : row;
    // Just above or just below itself, the row would stay where it is.
    if (target == moveRow_ || target == moveRow_ + 1)
        return -1;
    return target;
}

bool AccountsModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int row, int, const QModelIndex& parent) const {
    return dropTarget(data, row, parent) >= 0;
}

bool AccountsModel::dropMimeData(const QMimeData* data, Qt::DropAction, int row, int, const QModelIndex& parent) {
    const int target = dropTarget(data, row, parent);
    if (target < 0)
        return false;
    const int from = std::exchange(moveRow_, -1);
    beginMoveRows(QModelIndex(), from, from, QModelIndex(), target);
    acctArray_.move(from, target > from ? target - 1 : target);
    endMoveRows();
    emit reordered();
    return true;
}

Qt::DropActions AccountsModel::supportedDragActions() const {
    return Qt::CopyAction;
}

Qt::DropActions AccountsModel::supportedDropActions() const {
    return Qt::CopyAction;
}

AccountsTab::AccountsTab(PrefAccess& prefs, AlertPresenter& alerts, QWidget* parent)
    : QWidget(parent), prefs_(prefs),
      model_(new AccountsModel({QStringLiteral("tableArrow"), QStringLiteral("acctAddr"), QStringLiteral("acctType"),
                                QStringLiteral("acctPop"), QStringLiteral("acctFwd")},
                               this)),
      acctList_(new QTableView), acctAdd_(new QPushButton(QStringLiteral("Add…"))),
      acctEdit_(new QPushButton(QStringLiteral("Edit…"))), acctDel_(new QPushButton(QStringLiteral("Delete"))),
      form_(new AcctForm(alerts, this)) {
    acctList_->setObjectName(QStringLiteral("acctList"));
    acctAdd_->setObjectName(QStringLiteral("acctAdd"));
    acctEdit_->setObjectName(QStringLiteral("acctEdit"));
    acctDel_->setObjectName(QStringLiteral("acctDel"));
    acctList_->setModel(model_);
    acctList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    // One row at a time: a drag of several would move a row the drop does not name.
    acctList_->setSelectionMode(QAbstractItemView::SingleSelection);
    acctList_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    acctList_->setDragDropMode(QAbstractItemView::DragDrop);
    acctList_->setDefaultDropAction(Qt::CopyAction);
    acctList_->setDragDropOverwriteMode(false);
    acctList_->setDropIndicatorShown(true);
    acctList_->setShowGrid(false);
    acctList_->setAlternatingRowColors(true);
    acctList_->setWordWrap(false);
    acctList_->verticalHeader()->hide();
    QHeaderView* header = acctList_->horizontalHeader();
    header->setHighlightSections(false);
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    header->resizeSection(0, 24);
    header->resizeSection(1, 210);
    header->resizeSection(2, 70);
    header->resizeSection(3, 150);
    header->setStretchLastSection(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(acctAdd_);
    buttons->addWidget(acctEdit_);
    buttons->addWidget(acctDel_);
    buttons->addStretch();
    QPushButton* help = HelpButton(this);
    buttons->addWidget(help);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(acctList_);
    layout->addLayout(buttons);

    connect(acctAdd_, &QPushButton::clicked, this, &AccountsTab::acctAdd);
    connect(acctEdit_, &QPushButton::clicked, this, &AccountsTab::acctChange);
    connect(acctDel_, &QPushButton::clicked, this, &AccountsTab::acctDel);
    connect(help, &QPushButton::clicked, this, [this] { emit helpRequested(QStringLiteral("accounts")); });
    connect(form_, &AcctForm::helpRequested, this, &AccountsTab::helpRequested);
    connect(acctList_, &QTableView::doubleClicked, this, &AccountsTab::acctList_doubleAction);
    connect(acctList_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &AccountsTab::setEditButtons);
    connect(model_, &AccountsModel::reordered, this, &AccountsTab::saveAccounts);
    connect(form_, &QDialog::accepted, this, &AccountsTab::acctOk);
    setEditButtons();
}

void AccountsTab::loadAccounts() {
    const QString key = QStringLiteral("Account");
    QList<AcctEntry> entries;
    for (int i = 0; i < kMaxAccounts; ++i) {
        const QString record = prefs_.getPrefVal(key, i, QString());
        if (record.isEmpty())
            break;
        entries << AcctEntry::FromRecord(record);
        // A plain string is the only record, as the agent reads it; only a string
        // answers a negative index, which a list never does.
        if (!prefs_.getPrefVal(key, -1, QString()).isEmpty())
            break;
    }
    model_->setAcctArray(std::move(entries));
    setEditButtons();
}

void AccountsTab::saveAccounts() {
    QStringList records;
    for (const AcctEntry& entry : model_->acctArray())
        records << entry.ToRecord();
    prefs_.setPrefVal(QStringLiteral("Account"), records, true);
}

void AccountsTab::acctAdd() {
    if (model_->rowCount() >= kMaxAccounts)
        return;
    editAcct_ = false;
    form_->showAcctForm(nullptr);
}

void AccountsTab::acctChange() {
    editRow_ = selectedRow();
    if (editRow_ < 0)
        return;
    editAcct_ = true;
    form_->showAcctForm(&model_->acctArray()[editRow_]);
}

void AccountsTab::acctDel() {
    const int row = selectedRow();
    if (row < 0)
        return;
    model_->remove(row);
    setEditButtons();
    saveAccounts();
}

void AccountsTab::setEditButtons() {
    acctAdd_->setEnabled(model_->rowCount() < kMaxAccounts);
    const bool selected = selectedRow() >= 0;
    acctEdit_->setEnabled(selected);
    acctDel_->setEnabled(selected);
}

int AccountsTab::selectedRow() const {
    const QModelIndexList rows = acctList_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void AccountsTab::acctList_doubleAction() {
    if (selectedRow() >= 0)
        acctChange();
}

void AccountsTab::acctOk() {
    if (editAcct_) {
        model_->replace(editRow_, form_->result());
    } else {
        model_->append(form_->result());
        const QModelIndex added = model_->index(model_->rowCount() - 1, 0);
        acctList_->selectRow(added.row());
        acctList_->scrollTo(added);
    }
    setEditButtons();
    saveAccounts();
}
