// The end of editing of a text field, once per edit: Return, or the focus moving to
// another control (a tab switch or closing the window moves it too). The focus leaving
// with the window (another window activated) or for a popup ends nothing: the edit goes
// on when the user comes back. Text set by the program is not an edit.
#pragma once

#include <QLineEdit>
#include <QObject>

#include <functional>

class EditEnd : public QObject {
    Q_OBJECT
public:
    // Calls ended after each edit of field; lives as long as the field.
    static void Watch(QLineEdit* field, std::function<void()> ended);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    EditEnd(QLineEdit* field, std::function<void()> ended);
    void finish();

    std::function<void()> ended_;
    bool edited_ = false;
};
