// One QApplication on Qt's offscreen platform for the whole suite, so that it runs without a
// display.
#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace {

class OffscreenApplication : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        application_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { application_.reset(); }

private:
    int argc_ = 1;
    char name_[17] = "tandrel_tests_qt";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] const auto* const registered =
    ::testing::AddGlobalTestEnvironment(new OffscreenApplication);

} // namespace
