#include "platform/qt/PortValidator.h"

#include <charconv>
#include <string>

PortValidator::PortValidator(QObject* parent) : QValidator(parent) {}

std::optional<std::int32_t> PortValidator::portFromText(const QString& text) {
    // from_chars alone would take a leading '-' but also stop quietly at the first non-digit;
    // requiring every character to be consumed keeps "12ab" and "" out.
    const std::string bytes = text.toStdString();
    const bool negative = !bytes.empty() && bytes.front() == '-';
    const std::size_t firstDigit = negative ? 1 : 0;
    if (bytes.size() == firstDigit)
        return std::nullopt;
    for (std::size_t i = firstDigit; i < bytes.size(); ++i)
        if (bytes[i] < '0' || bytes[i] > '9')
            return std::nullopt;
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value);
    if (error != std::errc() || end != bytes.data() + bytes.size())
        return std::nullopt;
    return value;
}

QString PortValidator::noteForPort(std::int32_t value) {
    const auto port = static_cast<std::uint16_t>(value);
    if (port == value)
        return {};
    return tr("%1 is port %2").arg(value).arg(port);
}

QValidator::State PortValidator::validate(QString& input, int& /*position*/) const {
    if (input.isEmpty() || input == QLatin1String("-"))
        return Intermediate;
    return portFromText(input) ? Acceptable : Invalid;
}
