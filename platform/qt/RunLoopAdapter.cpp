#include "platform/qt/RunLoopAdapter.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QWidget>

#include <chrono>
#include <mutex>

namespace {

const QEvent::Type kWakeUpEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

} // namespace

struct RunLoopAdapter::WakeUpTarget {
    std::mutex mutex;
    RunLoopAdapter* adapter;
};

RunLoopAdapter::RunLoopAdapter(RunLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), wakeUpTarget_(std::make_shared<WakeUpTarget>()) {
    wakeUpTarget_->adapter = this;
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &RunLoopAdapter::fireTimers);
    // Mouse buttons and popups decide the mode.
    QCoreApplication::instance()->installEventFilter(this);
    loop_.setWakeUpHandler([target = wakeUpTarget_] {
        // Any thread. postEvent is thread-safe; the lock keeps the adapter from ending while
        // an event is being posted to it.
        const std::lock_guard lock(target->mutex);
        if (target->adapter != nullptr)
            QCoreApplication::postEvent(target->adapter, new QEvent(kWakeUpEvent));
    });
    // Calls may have been posted before the adapter existed, with their wake-up gone to
    // nobody.
    QCoreApplication::postEvent(this, new QEvent(kWakeUpEvent));
}

RunLoopAdapter::~RunLoopAdapter() {
    loop_.setWakeUpHandler({});
    const std::lock_guard lock(wakeUpTarget_->mutex);
    wakeUpTarget_->adapter = nullptr;
}

bool RunLoopAdapter::event(QEvent* event) {
    if (event->type() != kWakeUpEvent)
        return QObject::event(event);
    loop_.performPostedCalls();
    // A wake-up also means that timers were made or added: the deadline may be nearer.
    armTimer();
    return true;
}

bool RunLoopAdapter::eventFilter(QObject* watched, QEvent* event) {
    bool modeMayChange = false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
        modeMayChange = true;
        break;
    case QEvent::Show:
    case QEvent::Hide:
        modeMayChange =
            watched->isWidgetType() && static_cast<QWidget*>(watched)->windowType() == Qt::Popup;
        break;
    default:
        break;
    }
    // Looked at again once Qt has handled the event: a popup, for one, is only registered
    // or unregistered around its show and hide events.
    if (modeMayChange)
        QCoreApplication::postEvent(this, new QEvent(kWakeUpEvent));
    return QObject::eventFilter(watched, event);
}

RunLoop::Mode RunLoopAdapter::currentMode() {
    const bool tracking = QGuiApplication::mouseButtons() != Qt::NoButton ||
                          QApplication::activePopupWidget() != nullptr;
    return tracking ? RunLoop::Mode::EventTracking : RunLoop::Mode::Default;
}

void RunLoopAdapter::fireTimers() {
    loop_.fireDueTimers(currentMode());
    armTimer();
}

void RunLoopAdapter::armTimer() {
    const auto deadline = loop_.nextTimerDeadline(currentMode());
    if (!deadline) {
        timer_.stop();
        return;
    }
    // Rounded up to whole milliseconds, QTimer's unit: a timer that fired early would find
    // nothing due and be re-armed for the same deadline again and again.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline - RunLoop::Clock::now());
    timer_.start(std::max(left, std::chrono::milliseconds::zero()));
}
