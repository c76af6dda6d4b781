#include "platform/qt/SettingsWindow.h"

#include <QDialog>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "OscBytes.h"
#include "QtPrinters.h"
#include "RelayPeers.h"
#include "TemporaryFolder.h"
#include "UdpPeer.h"
#include "classes/TandrelApplication.h"
#include "classes/TandrelController.h"
#include "common/osc/KXOSCAddress.h"
#include "common/osc/KXOSCMessage.h"
#include "common/osc/KXOSCSender.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "platform/qt/RunLoopAdapter.h"

namespace {

constexpr int kWaitLimitMs = 10000;

// The window on a store of its own, with the main run loop served by Qt as in the application.
class SettingsWindowTest : public ::testing::Test, protected RelayPeers {
protected:
    std::filesystem::path storePath() const { return folder_.path() / "tandrel.conf"; }

    /// Stores settings that aim the relay at the peers and listen on free ports.
    void seedRoutableSettings() {
        UserDefaults store(storePath());
        storeRoutableSettings(store);
    }

    /// Loads the window, starts the relay and shows the window, as the application run does.
    void start() {
        defaults_ = std::make_unique<UserDefaults>(storePath());
        window_ = std::make_unique<SettingsWindow>(*defaults_);
        window_->application().start();
        window_->show();
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }

    TandrelController& controller() const { return window_->controller(); }
    QLineEdit& field(const char* property) const {
        return *window_->findChild<QLineEdit*>(QString::fromLatin1(property));
    }
    QString note(const char* property) const {
        return window_->findChild<QLabel*>(QString::fromLatin1(property) + QStringLiteral("Note"))
            ->text();
    }

    /// Types `text` over the field's content and presses Enter, as a user would.
    void enter(const char* property, const QString& text) const {
        QLineEdit& edit = field(property);
        edit.setFocus();
        edit.selectAll();
        QTest::keyClicks(&edit, text);
        QTest::keyClick(&edit, Qt::Key_Return);
    }

    /// Whether `peer` receives `bytes` before the time limit, Qt serving the relay meanwhile.
    static bool receives(UdpPeer& peer, const Bytes& bytes) {
        std::optional<Bytes> received;
        const auto arrived = [&] {
            received = peer.receive(std::chrono::milliseconds(0));
            return received.has_value();
        };
        return QTest::qWaitFor(arrived, kWaitLimitMs) && received == bytes;
    }

    TemporaryFolder folder_;
    RunLoopAdapter runLoop_{RunLoop::main()};
    std::unique_ptr<UserDefaults> defaults_;
    std::unique_ptr<SettingsWindow> window_;
};

TEST_F(SettingsWindowTest, AFirstStartShowsTheDefaults) {
    start();
    const struct {
        const char* property;
        const char* text;
    } fields[] = {
        {"orvaneSendPort", "5000"},  {"orvaneListenPort", "5001"},  {"device1Host", "localhost"},
        {"device1SendPort", "5011"}, {"device1ListenPort", "5010"}, {"device2Host", "localhost"},
        {"device2SendPort", "5021"}, {"device2ListenPort", "5020"},
    };
    for (const auto& f : fields)
        EXPECT_EQ(field(f.property).text(), QString::fromLatin1(f.text)) << f.property;
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("Tandrel"));
}

TEST_F(SettingsWindowTest, AStartOnASeededStoreShowsTheStoredValuesAndThePortsReallyUsed) {
    {
        UserDefaults store(storePath());
        store.setInteger(-1, "orvaneSendPort");
        store.setInteger(orvaneListen_, "orvaneListenPort");
        store.setValue("", "device1Host");
        store.setInteger(65616, "device1SendPort");
        store.setInteger(device1Listen_, "device1ListenPort");
        store.setValue("mixer.local", "device2Host");
        store.setInteger(INT_MIN, "device2SendPort");
        store.setInteger(device2Listen_, "device2ListenPort");
    }
    start();
    EXPECT_EQ(field("orvaneSendPort").text(), QStringLiteral("-1"));
    EXPECT_EQ(note("orvaneSendPort"), QStringLiteral("-1 is port 65535"));
    EXPECT_EQ(field("orvaneListenPort").text(), QString::number(orvaneListen_));
    EXPECT_EQ(note("orvaneListenPort"), QString());
    EXPECT_EQ(field("device1Host").text(), QString());
    EXPECT_EQ(field("device1SendPort").text(), QStringLiteral("65616"));
    EXPECT_EQ(note("device1SendPort"), QStringLiteral("65616 is port 80"));
    EXPECT_EQ(field("device2Host").text(), QStringLiteral("mixer.local"));
    EXPECT_EQ(field("device2SendPort").text(), QStringLiteral("-2147483648"));
    EXPECT_EQ(note("device2SendPort"), QStringLiteral("-2147483648 is port 0"));
    EXPECT_EQ(field("device2ListenPort").text(), QString::number(device2Listen_));
}

TEST_F(SettingsWindowTest, EnteringAListenPortMovesTheListenerAndStoresThePort) {
    seedRoutableSettings();
    start();
    const std::uint16_t oldPort = orvaneListen_;
    const std::uint16_t newPort = spareListen_;
    enter("orvaneListenPort", QString::number(newPort));

    EXPECT_EQ(controller().orvaneListenPort(), newPort);
    EXPECT_EQ(UserDefaults(storePath()).integerForKey("orvaneListenPort"), newPort);
    EXPECT_TRUE(UdpPeer::portIsFree(oldPort));
    const Bytes cue = OscBytes::intMessage("/cue/go", 7);
    orvane_.sendTo(newPort, cue);
    EXPECT_TRUE(receives(device1_, cue));
    EXPECT_TRUE(receives(device2_, cue));
}

TEST_F(SettingsWindowTest, EditingAHostRebuildsThatDevicesSenderOnly) {
    seedRoutableSettings();
    UserDefaults(storePath()).setValue("", "device1Host");
    start();
    ASSERT_EQ(controller().device1Sender(), nullptr);
    const auto device2Sender = controller().device2Sender();

    // Leaving the field applies it as Enter does.
    QLineEdit& host = field("device1Host");
    host.setFocus();
    QTest::keyClicks(&host, QStringLiteral("127.0.0.1"));
    field("device1SendPort").setFocus();

    EXPECT_EQ(controller().device1Host(), std::optional<std::string>("127.0.0.1"));
    EXPECT_EQ(UserDefaults(storePath()).stringForKey("device1Host"),
              std::optional<std::string>("127.0.0.1"));
    EXPECT_NE(controller().device1Sender(), nullptr);
    EXPECT_EQ(controller().device2Sender(), device2Sender);
    const Bytes fader = OscBytes::intMessage("/fader/1", 64);
    orvane_.sendTo(orvaneListen_, fader);
    EXPECT_TRUE(receives(device1_, fader));
}

TEST_F(SettingsWindowTest, ASetterCalledFromCodeUpdatesItsField) {
    seedRoutableSettings();
    start();
    controller().setDevice2SendPort(6021);
    controller().setDevice1Host(std::nullopt);
    controller().setOrvaneSendPort(65616);
    EXPECT_EQ(field("device2SendPort").text(), QStringLiteral("6021"));
    EXPECT_EQ(field("device1Host").text(), QString());
    EXPECT_EQ(field("orvaneSendPort").text(), QStringLiteral("65616"));
    EXPECT_EQ(note("orvaneSendPort"), QStringLiteral("65616 is port 80"));
}

TEST_F(SettingsWindowTest, ANegativePortIsAcceptedAndStoredUnchanged) {
    seedRoutableSettings();
    start();
    enter("device2SendPort", QStringLiteral("-5000"));
    EXPECT_EQ(controller().device2SendPort(), -5000);
    EXPECT_EQ(UserDefaults(storePath()).integerForKey("device2SendPort"), -5000);
    EXPECT_EQ(field("device2SendPort").text(), QStringLiteral("-5000"));
    EXPECT_EQ(note("device2SendPort"), QStringLiteral("-5000 is port 60536"));
}

TEST_F(SettingsWindowTest, PortFieldsTakeOnlyIntegersAndHostFieldsAnyText) {
    seedRoutableSettings();
    start();
    const std::uint16_t port = spareListen_;
    enter("device1ListenPort", QString::number(port).insert(1, QStringLiteral("x. ")));
    EXPECT_EQ(controller().device1ListenPort(), port);
    EXPECT_EQ(field("device1ListenPort").text(), QString::number(port));

    QLineEdit& host = field("device2Host");
    host.setFocus();
    host.selectAll();
    host.insert(QStringLiteral("Stage left \u00e4"));
    QTest::keyClick(&host, Qt::Key_Return);
    EXPECT_EQ(controller().device2Host(), std::optional<std::string>("Stage left \u00e4"));
}

// A modal dialog runs a nested event loop of its own: deliveries must still be served.
TEST_F(SettingsWindowTest, RelaysWhileAModalDialogIsOpen) {
    seedRoutableSettings();
    start();
    QDialog dialog(window_.get());
    dialog.setModal(true);
    QUdpSocket device;
    // A loopback peer needs no proxy; looking for one starts a thread inside Qt.
    device.setProxy(QNetworkProxy::NoProxy);
    ASSERT_TRUE(device.bind(QHostAddress::LocalHost, 0));
    controller().setDevice2SendPort(device.localPort());
    QObject::connect(&device, &QUdpSocket::readyRead, &dialog, &QDialog::accept);
    QTimer::singleShot(kWaitLimitMs, &dialog, &QDialog::reject);
    const Bytes cue = OscBytes::stringMessage("/cue/go", "12.5");
    QTimer::singleShot(0, &dialog, [&] { orvane_.sendTo(orvaneListen_, cue); });

    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    const QByteArray received = device.receiveDatagram().data();
    EXPECT_EQ(Bytes(received.begin(), received.end()), cue);
}

TEST_F(SettingsWindowTest, RelaysWhileAControlIsHeld) {
    seedRoutableSettings();
    start();
    QLineEdit& held = field("device1Host");
    QTest::mousePress(&held, Qt::LeftButton);
    ASSERT_NE(QGuiApplication::mouseButtons(), Qt::NoButton);
    const Bytes reply = OscBytes::intMessage("/reply", 1);
    device1_.sendTo(device1Listen_, reply);
    EXPECT_TRUE(receives(orvane_, reply));
    QTest::mouseRelease(&held, Qt::LeftButton);
}

TEST_F(SettingsWindowTest, TheSendersFlushTimersRunInsideAModalDialogAndWhileAControlIsHeld) {
    seedRoutableSettings();
    start();
    QUdpSocket device;
    // A loopback peer needs no proxy; looking for one starts a thread inside Qt.
    device.setProxy(QNetworkProxy::NoProxy);
    ASSERT_TRUE(device.bind(QHostAddress::LocalHost, 0));
    controller().setDevice1SendPort(device.localPort());
    const auto collect = [this] {
        auto message =
            KXOSCMessage::messageWithKXOSCAddress(KXOSCAddress::addressWithString("/collected"));
        controller().device1Sender()->addOSCMessage(message);
    };
    const auto isBundle = [](const QByteArray& datagram) {
        return datagram.startsWith("#bundle");
    };

    QDialog dialog(window_.get());
    dialog.setModal(true);
    QObject::connect(&device, &QUdpSocket::readyRead, &dialog, &QDialog::accept);
    QTimer::singleShot(kWaitLimitMs, &dialog, &QDialog::reject);
    QTimer::singleShot(0, &dialog, collect);
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(isBundle(device.receiveDatagram().data()));

    QLineEdit& held = field("device2Host");
    QTest::mousePress(&held, Qt::LeftButton);
    collect();
    EXPECT_TRUE(QTest::qWaitFor([&] { return device.hasPendingDatagrams(); }, kWaitLimitMs));
    EXPECT_TRUE(isBundle(device.receiveDatagram().data()));
    QTest::mouseRelease(&held, Qt::LeftButton);
}

// Quitting (a signal, say) destroys the window while a field may have the focus and an
// unapplied edit: the edit is dropped and nothing reaches the relay as the fields go.
TEST_F(SettingsWindowTest, DestroyingTheWindowDuringAnEditLeavesTheSettingsAsTheyWere) {
    for (const char* typed : {"-", "7"}) {
        SCOPED_TRACE(typed);
        seedRoutableSettings();
        start();
        QLineEdit& edit = field("orvaneSendPort");
        edit.setFocus();
        edit.selectAll();
        QTest::keyClicks(&edit, QString::fromLatin1(typed));
        window_.reset();
        EXPECT_EQ(UserDefaults(storePath()).integerForKey("orvaneSendPort"), orvane_.port());
    }
}

} // namespace
