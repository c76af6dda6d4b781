// Accepts what a port field may hold: the decimal text of a signed 32-bit integer.
#pragma once

#include <QValidator>

#include <cstdint>
#include <optional>

/// Validates a port field. The relay accepts any signed 32-bit integer as a port, negative ones
/// included, and the transport uses its low 16 bits; so the field takes exactly that range and
/// nothing that is not a whole decimal number.
class PortValidator : public QValidator {
    Q_OBJECT

public:
    explicit PortValidator(QObject* parent = nullptr);

    /// The integer that `text` spells: an optional '-' then ASCII digits, within the signed
    /// 32-bit range; nothing for any other text.
    static std::optional<std::int32_t> portFromText(const QString& text);
    /// What a user should be told about the port `value`: which port is really used when its
    /// low 16 bits differ from it ("65616 is port 80"), otherwise nothing (empty text).
    static QString noteForPort(std::int32_t value);

    State validate(QString& input, int& position) const override;
};
