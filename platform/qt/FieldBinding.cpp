#include "platform/qt/FieldBinding.h"

#include <QEvent>
#include <QLineEdit>

FieldBinding::FieldBinding(QLineEdit& field, Read read, Write write, QObject* parent)
    : QObject(parent), field_(field), read_(std::move(read)), write_(std::move(write)) {
    connect(&field_, &QLineEdit::returnPressed, this, &FieldBinding::apply);
    // Return also ends editing; applying clears the modified flag, so that is not applied twice.
    connect(&field_, &QLineEdit::editingFinished, this, [this] {
        if (field_.isModified())
            apply();
    });
    field_.installEventFilter(this);
}

void FieldBinding::refresh() {
    field_.setText(read_());
}

void FieldBinding::apply() {
    field_.setModified(false);
    write_(field_.text());
}

bool FieldBinding::eventFilter(QObject* watched, QEvent* event) {
    // Runs before the field's own focus-out handling, which applies acceptable text only;
    // text its validator cannot accept would otherwise linger while another value is in force.
    if (watched == &field_ && event->type() == QEvent::FocusOut && !field_.hasAcceptableInput())
        refresh();
    return QObject::eventFilter(watched, event);
}
