#include "edit_end.h"

#include <QFocusEvent>

void EditEnd::Watch(QLineEdit* field, std::function<void()> ended) {
    new EditEnd(field, std::move(ended));
}

EditEnd::EditEnd(QLineEdit* field, std::function<void()> ended) : QObject(field), ended_(std::move(ended)) {
    field->installEventFilter(this);
    connect(field, &QLineEdit::textEdited, this, [this] { edited_ = true; });
    connect(field, &QLineEdit::returnPressed, this, &EditEnd::finish);
}

bool EditEnd::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            finish();
    }
    return QObject::eventFilter(watched, event);
}

void EditEnd::finish() {
    // Cleared first: the action's alert moves the focus again.
    if (!edited_)
        return;
    edited_ = false;
    ended_();
}
