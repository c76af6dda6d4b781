// The relay's one window: its eight settings, each in a field bound to the controller.
#pragma once

#include <QMainWindow>

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "classes/TandrelController.h"

class FieldBinding;
class QLabel;
class QLineEdit;
class TandrelApplication;
class UserDefaults;
namespace Ui {
class SettingsWindow;
}

/// The settings window, laid out by resources/SettingsWindow.ui. Making it makes the relay
/// (a TandrelApplication and its one controller, keeping its settings in the given store) and
/// binds each field to the controller property of the same name: an edit is handed to the
/// property's setter on Enter or when the changed field loses focus, and every change made
/// through a setter, those of start-up included, is shown in its field. The controller knows
/// nothing of the window; the window only observes it.
///
/// The relay is not started: the application run starts it once the fields are bound.
class SettingsWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit SettingsWindow(UserDefaults& defaults, QWidget* parent = nullptr);
    ~SettingsWindow() override;

    TandrelApplication& application() const noexcept { return *application_; }
    TandrelController& controller() const noexcept;

private:
    using PortGetter = std::int32_t (TandrelController::*)() const noexcept;
    using PortSetter = void (TandrelController::*)(std::int32_t);
    using HostGetter = const std::optional<std::string>& (TandrelController::*)() const noexcept;
    using HostSetter = void (TandrelController::*)(std::optional<std::string>);

    void alignLabelColumns();
    void bindPort(std::string_view property, QLineEdit& field, QLabel& note, PortGetter get,
                  PortSetter set);
    void bindHost(std::string_view property, QLineEdit& field, HostGetter get, HostSetter set);

    std::unique_ptr<Ui::SettingsWindow> ui_;
    std::unique_ptr<TandrelApplication> application_;
    TandrelController::ObserverId observer_ = 0;
    std::map<std::string, std::unique_ptr<FieldBinding>, std::less<>> bindings_;
};
