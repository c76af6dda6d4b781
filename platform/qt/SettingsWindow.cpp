#include "platform/qt/SettingsWindow.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

#include <algorithm>

#include "classes/TandrelApplication.h"
#include "platform/qt/FieldBinding.h"
#include "platform/qt/PortValidator.h"
#include "ui_SettingsWindow.h"

SettingsWindow::SettingsWindow(UserDefaults& defaults, QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::SettingsWindow>()),
      application_(std::make_unique<TandrelApplication>(defaults)) {
    ui_->setupUi(this);
    alignLabelColumns();
    using C = TandrelController;
    const Ui::SettingsWindow& ui = *ui_;
    bindPort(C::kOrvaneSendPort, *ui.orvaneSendPort, *ui.orvaneSendPortNote, &C::orvaneSendPort,
             &C::setOrvaneSendPort);
    bindPort(C::kOrvaneListenPort, *ui.orvaneListenPort, *ui.orvaneListenPortNote,
             &C::orvaneListenPort, &C::setOrvaneListenPort);
    bindHost(C::kDevice1Host, *ui.device1Host, &C::device1Host, &C::setDevice1Host);
    bindPort(C::kDevice1SendPort, *ui.device1SendPort, *ui.device1SendPortNote, &C::device1SendPort,
             &C::setDevice1SendPort);
    bindPort(C::kDevice1ListenPort, *ui.device1ListenPort, *ui.device1ListenPortNote,
             &C::device1ListenPort, &C::setDevice1ListenPort);
    bindHost(C::kDevice2Host, *ui.device2Host, &C::device2Host, &C::setDevice2Host);
    bindPort(C::kDevice2SendPort, *ui.device2SendPort, *ui.device2SendPortNote, &C::device2SendPort,
             &C::setDevice2SendPort);
    bindPort(C::kDevice2ListenPort, *ui.device2ListenPort, *ui.device2ListenPortNote,
             &C::device2ListenPort, &C::setDevice2ListenPort);

    observer_ = controller().addObserver([this](std::string_view property) {
        if (const auto found = bindings_.find(property); found != bindings_.end())
            found->second->refresh();
    });
}

SettingsWindow::~SettingsWindow() {
    // The fields are destroyed with the window's widgets, after this body, and a field that
    // has the focus still sends focus events while it goes: nothing may reach them then, nor
    // reach the relay through them.
    controller().removeObserver(observer_);
    bindings_.clear();
}

void SettingsWindow::alignLabelColumns() {
    // Each group lays out its own form; one label width for all lines the fields up.
    const QFormLayout* forms[] = {ui_->orvaneForm, ui_->device1Form, ui_->device2Form};
    int width = 0;
    for (const QFormLayout* form : forms)
        for (int row = 0; row < form->rowCount(); ++row)
            if (const QLayoutItem* label = form->itemAt(row, QFormLayout::LabelRole))
                width = std::max(width, label->widget()->sizeHint().width());
    for (const QFormLayout* form : forms)
        for (int row = 0; row < form->rowCount(); ++row)
            if (const QLayoutItem* label = form->itemAt(row, QFormLayout::LabelRole))
                label->widget()->setMinimumWidth(width);
}

TandrelController& SettingsWindow::controller() const noexcept {
    return application_->controller();
}

void SettingsWindow::bindPort(std::string_view property, QLineEdit& field, QLabel& note,
                              PortGetter get, PortSetter set) {
    field.setValidator(new PortValidator(&field));
    connect(&field, &QLineEdit::textChanged, &note, [&note](const QString& text) {
        const auto port = PortValidator::portFromText(text);
        note.setText(port ? PortValidator::noteForPort(*port) : QString());
    });
    TandrelController& relay = controller();
    bindings_.emplace(property,
                      std::make_unique<FieldBinding>(
                          field, [&relay, get] { return QString::number((relay.*get)()); },
                          [&relay, set](const QString& text) {
                              // The validator lets only such text through.
                              if (const auto port = PortValidator::portFromText(text))
                                  (relay.*set)(*port);
                          }));
}

void SettingsWindow::bindHost(std::string_view property, QLineEdit& field, HostGetter get,
                              HostSetter set) {
    TandrelController& relay = controller();
    bindings_.emplace(
        property, std::make_unique<FieldBinding>(
                      field,
                      [&relay, get] {
                          const auto& host = (relay.*get)();
                          return host ? QString::fromStdString(*host) : QString();
                      },
                      [&relay, set](const QString& text) { (relay.*set)(text.toStdString()); }));
}
