#include "platform/qt/PortValidator.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>

TEST(PortValidator, ReadsExactlyTheSigned32BitDecimalIntegers) {
    const struct {
        const char16_t* text;
        std::optional<std::int32_t> port;
    } cases[] = {
        {u"5001", 5001},
        {u"0", 0},
        {u"-1", -1},
        {u"007", 7},
        {u"2147483647", INT_MAX},
        {u"-2147483648", INT_MIN},
        {u"2147483648", std::nullopt},
        {u"-2147483649", std::nullopt},
        {u"", std::nullopt},
        {u"-", std::nullopt},
        {u"+5", std::nullopt},
        {u" 5", std::nullopt},
        {u"12a", std::nullopt},
        {u"1e3", std::nullopt},
        {u"5.0", std::nullopt},
        {u"\u0663", std::nullopt}, // a digit, but not an ASCII one
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortValidator::portFromText(QString::fromUtf16(c.text)), c.port)
            << QString::fromUtf16(c.text).toStdString();
}

TEST(PortValidator, RefusesNonIntegersAndLetsANumberBeTyped) {
    const struct {
        const char* text;
        QValidator::State state;
    } cases[] = {
        {"5001", QValidator::Acceptable}, {"-70000", QValidator::Acceptable},
        {"", QValidator::Intermediate},   {"-", QValidator::Intermediate},
        {"5000 ", QValidator::Invalid},   {"abc", QValidator::Invalid},
        {"50 01", QValidator::Invalid},   {"2147483648", QValidator::Invalid},
        {"5001x", QValidator::Invalid},
    };
    PortValidator validator;
    for (const auto& c : cases) {
        QString text = QString::fromLatin1(c.text);
        int position = 0;
        EXPECT_EQ(validator.validate(text, position), c.state) << c.text;
    }
}

TEST(PortValidator, NotesThePortReallyUsedWhenTheLow16BitsDiffer) {
    const struct {
        std::int32_t value;
        const char* note;
    } cases[] = {
        {80, ""},
        {0, ""},
        {65535, ""},
        {65616, "65616 is port 80"},
        {65536, "65536 is port 0"},
        {-1, "-1 is port 65535"},
        {INT_MIN, "-2147483648 is port 0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortValidator::noteForPort(c.value), QString::fromLatin1(c.note)) << c.value;
}
