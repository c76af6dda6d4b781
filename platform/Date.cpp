#include "platform/Date.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

/// Seconds from 1970-01-01 to the reference date.
constexpr double kUnixToReference = 978307200.0;

/// Days since 1970-01-01 to a proleptic Gregorian civil date (Hinnant's days_from_civil inverse).
void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

Date Date::now() noexcept {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return Date(std::chrono::duration<double>(sinceEpoch).count() - kUnixToReference);
}

std::string Date::description() const {
    // Beyond about 2.9e11 years the civil arithmetic would overflow; such instants only arise
    // from dates made by hand, and are shown as their raw count.
    constexpr double kLimit = 9.0e18;
    const double unixSeconds = std::floor(seconds_ + kUnixToReference);
    if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > kLimit) {
        char raw[64];
        std::snprintf(raw, sizeof raw, "%g seconds since 2001-01-01 00:00:00 +0000", seconds_);
        return raw;
    }
    const auto total = static_cast<std::int64_t>(unixSeconds);
    std::int64_t days = total / 86400;
    std::int64_t secondOfDay = total % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilFromDays(days, year, month, day);
    char text[80];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld +0000",
                  static_cast<long long>(year), month, day,
                  static_cast<long long>(secondOfDay / 3600),
                  static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60));
    return text;
}
