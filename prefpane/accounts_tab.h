// The Accounts tab: the configured accounts in a table, in the order the agent runs them,
// with Add, Edit (or a double click) and Delete, and reordering by dragging one row at a
// time. Every change rewrites the whole "Account" setting at once.
#pragma once

#include "acct_entry.h"
#include "acct_form.h"
#include "alerts.h"
#include "pref_access.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>
#include <QStringList>
#include <QWidget>

class QPushButton;
class QTableView;

// The account list and the table's cells. Columns are named by the entry's field names
// ("acctAddr", ...) and "tableArrow", the drag handle.
class AccountsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // What a dragged row travels as.
    static constexpr const char* kMimeType = "application/x-acctInfoPasteboardtype";

    explicit AccountsModel(QStringList columns, QObject* parent = nullptr);

    const QList<AcctEntry>& acctArray() const { return acctArray_; }
    void setAcctArray(QList<AcctEntry> entries);
    void append(const AcctEntry& entry);
    void replace(int row, const AcctEntry& entry);
    void remove(int row);

    // A cell by column identifier (any case): the entry's field of that name, the drag
    // handle's image for "tableArrow", "not found" for any other; "" beyond the list.
    QVariant objectValue(const QString& identifier, int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    // Address and forwarding cells of a disabled account are drawn in the disabled colour.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // Rows are dragged; drops land between rows only, never onto one.
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    // Refused (null) while the list has at most one entry. The row is remembered only
    // when exactly one is dragged; a drag of several is refused at the drop.
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                         const QModelIndex& parent) const override;
    // Moves the dragged entry to where the insertion mark was (row; -1 on the empty space
    // below the rows is the end) and announces reordered().
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;
    // A copy as far as the view knows: it must not remove the dragged row itself.
    Qt::DropActions supportedDragActions() const override;
    Qt::DropActions supportedDropActions() const override;

signals:
    void reordered();

private:
    // The row a drop would land before, or -1 when it is refused: onto a row, without a
    // row dragged from this list, or where the dragged row already is.
    int dropTarget(const QMimeData* data, int row, const QModelIndex& parent) const;

    QStringList columns_;
    QIcon listArrow_;
    QList<AcctEntry> acctArray_;
    mutable int moveRow_ = -1;
};

class AccountsTab : public QWidget {
    Q_OBJECT
public:
    AccountsTab(PrefAccess& prefs, AlertPresenter& alerts, QWidget* parent = nullptr);

    // Reads "Account" elements 0 to 19 up to the first empty one.
    void loadAccounts();
    // Writes one record per entry, in list order, to "Account", synchronised at once.
    void saveAccounts();

    AccountsModel& model() { return *model_; }
    AcctForm& form() { return *form_; }

    void acctAdd();
    void acctChange();
    void acctDel();
    // Add while there are fewer than 20 accounts; Edit and Delete while a row is selected.
    void setEditButtons();

signals:
    // A help page: "accounts" for the list, "accountpane" for the form.
    void helpRequested(const QString& anchor);

private:
    int selectedRow() const;
    void acctList_doubleAction();
    // OK in the form: the edited entry replaced, or the new one appended and selected.
    void acctOk();

    PrefAccess& prefs_;
    AccountsModel* model_;
    QTableView* acctList_;
    QPushButton* acctAdd_;
    QPushButton* acctEdit_;
    QPushButton* acctDel_;
    AcctForm* form_;
    bool editAcct_ = false;
    int editRow_ = -1;
};
