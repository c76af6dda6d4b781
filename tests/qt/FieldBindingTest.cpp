#include "platform/qt/FieldBinding.h"

#include "platform/qt/PortValidator.h"

#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include "QtPrinters.h"

#include <gtest/gtest.h>

namespace {

// A field bound to a plain string property, next to a second field to move the focus to.
class FieldBindingTest : public ::testing::Test {
protected:
    FieldBindingTest()
        : binding_(
              *field_, [this] { return value_; },
              [this](const QString& text) {
                  value_ = text;
                  writes_.append(text);
                  binding_.refresh();
              }) {
        auto* layout = new QVBoxLayout(&window_);
        layout->addWidget(field_);
        layout->addWidget(other_);
        binding_.refresh();
        window_.show();
        window_.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window_));
        field_->setFocus();
    }

    void leaveField() {
        other_->setFocus();
        EXPECT_TRUE(other_->hasFocus());
    }

    QWidget window_;
    QLineEdit* field_ = new QLineEdit(&window_);
    QLineEdit* other_ = new QLineEdit(&window_);
    QString value_ = QStringLiteral("5001");
    QStringList writes_;
    FieldBinding binding_;
};

TEST_F(FieldBindingTest, EnterAppliesTheTextOnceAndAgainWhenPressedAgain) {
    field_->clear();
    QTest::keyClicks(field_, QStringLiteral("6001"));
    QTest::keyClick(field_, Qt::Key_Return);
    leaveField();
    EXPECT_EQ(writes_, QStringList{QStringLiteral("6001")});

    field_->setFocus();
    QTest::keyClick(field_, Qt::Key_Return);
    EXPECT_EQ(writes_, (QStringList{QStringLiteral("6001"), QStringLiteral("6001")}));
}

TEST_F(FieldBindingTest, LeavingAppliesAChangedFieldOnlyAndShowsTheValueInForce) {
    leaveField();
    EXPECT_TRUE(writes_.isEmpty());

    field_->setFocus();
    QTest::keyClicks(field_, QStringLiteral("9"));
    leaveField();
    EXPECT_EQ(writes_, QStringList{QStringLiteral("50019")});

    value_ = QStringLiteral("7000");
    binding_.refresh();
    EXPECT_EQ(field_->text(), QStringLiteral("7000"));
}

TEST_F(FieldBindingTest, UnacceptableTextIsDroppedOnLeaving) {
    PortValidator validator;
    field_->setValidator(&validator);
    field_->clear();
    QTest::keyClicks(field_, QStringLiteral("-x"));
    EXPECT_EQ(field_->text(), QStringLiteral("-"));
    QTest::keyClick(field_, Qt::Key_Return);
    leaveField();
    EXPECT_TRUE(writes_.isEmpty());
    EXPECT_EQ(field_->text(), QStringLiteral("5001"));
}

} // namespace
