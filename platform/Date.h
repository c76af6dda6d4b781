// Instants measured in seconds from the reference date.
#pragma once

#include <string>

/// An instant as a double count of seconds since the reference date, 2001-01-01 00:00:00 UTC.
///
/// One value is set apart: the distant past (the first instant of year 1), which the OSC layer
/// uses for the immediate time tag.
class Date {
public:
    /// Seconds from the reference date to 0001-01-01 00:00:00 UTC in the Julian calendar.
    static constexpr double kDistantPastInterval = -63114076800.0;

    constexpr explicit Date(double secondsSinceReferenceDate) noexcept
        : seconds_(secondsSinceReferenceDate) {}
    static constexpr Date distantPast() noexcept { return Date(kDistantPastInterval); }
    /// The current instant, from the system's real-time clock.
    static Date now() noexcept;

    constexpr double timeIntervalSinceReferenceDate() const noexcept { return seconds_; }
    constexpr bool isDistantPast() const noexcept { return seconds_ == kDistantPastInterval; }

    /// "2001-01-01 00:00:00 +0000": UTC, whole seconds (rounded down), in the Gregorian
    /// calendar from 1582-10-15 on and the Julian calendar before it.
    std::string description() const;

    friend constexpr bool operator==(Date a, Date b) noexcept { return a.seconds_ == b.seconds_; }

private:
    double seconds_;
};
