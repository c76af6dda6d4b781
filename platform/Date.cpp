#include "platform/Date.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

/// Seconds from 1970-01-01 to the reference date.
constexpr double kUnixToReference = 978307200.0;

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

/// Division rounding toward negative infinity.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - (a % b < 0 ? 1 : 0);
}

/// Days since 1970-01-01 to a Gregorian civil date (Hinnant's civil_from_days).
CivilDate gregorianFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = floorDiv(days, 146097);
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

/// Days since 1970-01-01 to a Julian civil date (Richards' algorithm from the Julian day).
CivilDate julianFromDays(std::int64_t days) {
    const std::int64_t c = days + 2440588 + 32082;
    const std::int64_t d = floorDiv(4 * c + 3, 1461);
    const auto e = static_cast<unsigned>(c - floorDiv(1461 * d, 4));
    const unsigned m = (5 * e + 2) / 153;
    return {d - 4800 + m / 10, m + 3 - 12 * (m / 10), e - (153 * m + 2) / 5 + 1};
}

/// 1582-10-15, the first day of the Gregorian calendar, in days since 1970-01-01. Earlier
/// instants are shown in the Julian calendar, as civil dates are, so that the distant past
/// reads as the first day of year 1.
constexpr std::int64_t kGregorianReform = -141427;

} // namespace

Date Date::now() noexcept {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return Date(std::chrono::duration<double>(sinceEpoch).count() - kUnixToReference);
}

std::string Date::description() const {
    // Beyond about 2.9e11 years the civil arithmetic would overflow; such instants only arise
    // from dates made by hand, and are shown as their raw count.
    constexpr double kLimit = 9.0e18;
    // Rounding down before the offset is added keeps instants just before a whole second
    // from rounding up to it.
    const double unixSeconds = std::floor(seconds_) + kUnixToReference;
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
    const CivilDate date = days < kGregorianReform ? julianFromDays(days) : gregorianFromDays(days);
    char text[80];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld +0000",
                  static_cast<long long>(date.year), date.month, date.day,
                  static_cast<long long>(secondOfDay / 3600),
                  static_cast<long long>(secondOfDay / 60 % 60),
                  static_cast<long long>(secondOfDay % 60));
    return text;
}
