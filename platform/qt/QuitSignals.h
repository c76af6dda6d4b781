// Turns SIGINT and SIGTERM into a clean quit of the Qt event loop.
#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

/// While it exists, SIGINT and SIGTERM make the application's event loop return, so that the
/// normal teardown runs (listeners stopped, ports freed) and the process exits with status 0.
/// The handler only writes one byte to a socket pair; the quit itself happens on the main
/// thread when Qt sees the byte. At most one may exist at a time.
class QuitSignals : public QObject {
    Q_OBJECT

public:
    explicit QuitSignals(QObject* parent = nullptr);
    QuitSignals(const QuitSignals&) = delete;
    QuitSignals& operator=(const QuitSignals&) = delete;
    /// Restores the handlers that were in place before.
    ~QuitSignals() override;

private:
    static void handle(int signal);

    int readEnd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTerminate_ {};
};
