// Binds one text field of the settings window to one property of the relay.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QLineEdit;

/// Keeps a line edit and a property in step. An edit is handed to the property when the user
/// presses Enter (always, so Enter on an unchanged field applies it again) or leaves a field
/// they changed; `refresh` shows the value in force, and is what the owner calls whenever the
/// property changes. Text the field's validator cannot accept is dropped when the user leaves
/// the field, which then shows the value in force again.
class FieldBinding : public QObject {
    Q_OBJECT

public:
    using Read = std::function<QString()>;
    using Write = std::function<void(const QString&)>;

    /// Binds `field` (which must outlive the binding) through `read` and `write`.
    FieldBinding(QLineEdit& field, Read read, Write write, QObject* parent = nullptr);

    /// Shows the property's value in the field.
    void refresh();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void apply();

    QLineEdit& field_;
    const Read read_;
    const Write write_;
};
