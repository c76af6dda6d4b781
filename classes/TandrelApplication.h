// One run of the relay application, in steps that a windowed shell can reuse.
#pragma once

#include <memory>
#include <string>

class TandrelController;
class UserDefaults;

/// Owns the one relay controller for one run of the application. The steps, in order:
/// construction makes the controller; the shell binds its observers to controller() (a window
/// binds its fields here); start() runs the controller's start-up; the shell drives the main
/// run loop; finish() tears the controller down (the destructor does it too). Only the
/// application owns the controller, so finishing ends it whatever listeners or queued
/// deliveries remain.
class TandrelApplication {
public:
    /// A controller keeping its settings in `defaults`, which must outlive the application.
    explicit TandrelApplication(UserDefaults& defaults);
    TandrelApplication(const TandrelApplication&) = delete;
    TandrelApplication& operator=(const TandrelApplication&) = delete;
    ~TandrelApplication();

    TandrelController& controller() const noexcept { return *controller_; }

    /// The controller's start-up: restores the settings and opens the three endpoints.
    void start();
    /// Stops every listener and releases every sender. Safe to call more than once.
    void finish();

    /// A few plain lines for a terminal: what each endpoint listens on and where it sends.
    std::string endpointReport() const;

private:
    std::shared_ptr<TandrelController> controller_;
};
