#include "platform/qt/RunLoopAdapter.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QWidget>

#include <chrono>

#include "platform/WakeUpDescriptor.h"

RunLoopAdapter::RunLoopAdapter(RunLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), wakeUp_(std::make_shared<const WakeUpDescriptor>()),
      wakeUpNotifier_(new QSocketNotifier(wakeUp_->descriptor(), QSocketNotifier::Read, this)) {
    connect(wakeUpNotifier_, &QSocketNotifier::activated, this, &RunLoopAdapter::serve);
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &RunLoopAdapter::fireTimers);
    // Mouse buttons and popups decide the mode.
    QCoreApplication::instance()->installEventFilter(this);
    loop_.setWakeUpHandler([wakeUp = wakeUp_] { wakeUp->signal(); });
    // Calls may have been posted before the adapter existed, with their wake-up gone to
    // nobody.
    wakeUp_->signal();
}

RunLoopAdapter::~RunLoopAdapter() {
    loop_.setWakeUpHandler({});
}

void RunLoopAdapter::serve() {
    // Drained first: a post that comes after it wakes Qt again, one before it is served now.
    wakeUp_->drain();
    loop_.performPostedCalls();
    // A wake-up also means that timers were made or added: the deadline may be nearer.
    armTimer();
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
        wakeUp_->signal();
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
    // Most wake-ups bring posted calls only and leave the deadline where it was; restarting
    // Qt's timer for them would cost a timer re-registration per batch of deliveries.
    if (deadline == armedDeadline_ && (timer_.isActive() || !deadline))
        return;
    armedDeadline_ = deadline;
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
