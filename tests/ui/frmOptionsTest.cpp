#include "UiTestTools.h"

#include "common/Settings.h"
#include "opcua/crypto/CertificateMaker.h"
#include "ui/frmOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

#include <fstream>

using namespace tavrel;
using test::Find;
using ui::frmOptions;

namespace {

void WriteFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
}

/// A settings file in a fresh folder.
struct SettingsFile
{
    test::TempDir dir;
    std::filesystem::path path = dir / "tavrel.ini";
    common::Settings settings { path, "tavrel" };

    std::string Read(std::string_view key) const { return settings.ReadSetting(key, "<missing>"); }
};

} // namespace

class frmOptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void StartUpChoicesEnableTheirControlsAndCancelWritesNothing()
    {
        SettingsFile file;
        frmOptions dialog(file.settings);
        auto* path = Find<QLineEdit>(dialog, "txtProjectPath");
        auto* autoRun = Find<QCheckBox>(dialog, "ckAutoRun");
        QVERIFY(Find<QRadioButton>(dialog, "opLoadNew")->isChecked());
        QVERIFY(!path->isEnabled());
        QVERIFY(!autoRun->isEnabled());
        Find<QRadioButton>(dialog, "opLoadPath")->click();
        QVERIFY(path->isEnabled());
        QVERIFY(Find<QPushButton>(dialog, "cmdProjectPath")->isEnabled());
        QVERIFY(autoRun->isEnabled());
        path->setText(QStringLiteral("/plant/line.tve"));
        autoRun->setChecked(true);

        Find<QRadioButton>(dialog, "opLoadLast")->click();
        QVERIFY(path->text().isEmpty());
        QVERIFY(!path->isEnabled());
        QVERIFY(autoRun->isChecked());

        Find<QRadioButton>(dialog, "opLoadNew")->click();
        QVERIFY(!autoRun->isChecked());
        QVERIFY(!autoRun->isEnabled());

        Find<QCheckBox>(dialog, "ckConnectOnce")->setChecked(false);
        Find<QLineEdit>(dialog, "txtLinkPort")->setText(QStringLiteral("8000"));
        Find<QPushButton>(dialog, "cmdCancel")->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!std::filesystem::exists(file.path));
    }

    void TheDialogKeepsItsSizeAcrossItsTabs()
    {
        SettingsFile file;
        frmOptions dialog(file.settings);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* tabs = Find<QTabWidget>(dialog, "tabOptions");
        const QSize first = dialog.size();
        for (int tab = tabs->count() - 1; tab >= 0; --tab) {
            tabs->setCurrentIndex(tab);
            QTest::qWait(20);
            QCOMPARE(dialog.size(), first);
        }
    }

    void TheLastProjectChoiceEmptiesTheStoredPath()
    {
        SettingsFile file;
        WriteFile(file.path, "[tavrel]\nStartUpOperation=2\nProjectFilePath=/plant/line.tve\nAutoRun=1\n");
        frmOptions dialog(file.settings);
        QVERIFY(Find<QRadioButton>(dialog, "opLoadLast")->isChecked());
        QVERIFY(Find<QLineEdit>(dialog, "txtProjectPath")->text().isEmpty());
        QVERIFY(Find<QCheckBox>(dialog, "ckAutoRun")->isChecked());
        QVERIFY(Find<QCheckBox>(dialog, "ckAutoRun")->isEnabled());
        Find<QPushButton>(dialog, "cmdOK")->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(file.Read("ProjectFilePath"), std::string());
        QCOMPARE(file.Read("StartUpOperation"), std::string("2"));
    }

    void OkWritesEveryKeyOfTheDialog()
    {
        SettingsFile file;
        WriteFile(file.path, "[tavrel]\nCurrentFilePath=/plant/last.tve\n");
        frmOptions dialog(file.settings);
        Find<QRadioButton>(dialog, "opLoadPath")->click();
        Find<QLineEdit>(dialog, "txtProjectPath")->setText(QStringLiteral("/plant/line.tve"));
        Find<QCheckBox>(dialog, "ckAutoRun")->setChecked(true);
        Find<QCheckBox>(dialog, "ckMinimized")->setChecked(true);
        Find<QCheckBox>(dialog, "ckConnectOnce")->setChecked(false);
        Find<QSpinBox>(dialog, "spnMinPassMs")->setValue(100);
        Find<QPushButton>(dialog, "cmdOK")->click();

        QCOMPARE(file.Read("AutoRun"), std::string("1"));
        QCOMPARE(file.Read("RunAsService"), std::string("0")); // the hidden box, written all the same
        QCOMPARE(file.Read("ProjectFilePath"), std::string("/plant/line.tve"));
        QCOMPARE(file.Read("MinimizedAfterRun"), std::string("1"));
        QCOMPARE(file.Read("ConnectOnce"), std::string("0"));
        QCOMPARE(file.Read("StartUpOperation"), std::string("1"));
        QCOMPARE(file.Read("MinPassMs"), std::string("100"));
        QCOMPARE(file.Read("CurrentFilePath"), std::string("/plant/last.tve"));
        // An unchanged link server address is left to the file as it was.
        QCOMPARE(file.Read("LinkPort"), std::string("<missing>"));
        const common::AppOptions options = common::GetOptions(file.settings);
        QCOMPARE(options, dialog.Options());
    }

    void TheLinkServerMovesOnlyWhenItsAddressChanged()
    {
        SettingsFile file;
        std::vector<std::string> moves;
        const auto mover = [&moves](const std::string& address, std::uint16_t port) -> std::optional<std::string> {
            moves.push_back(address + ":" + std::to_string(port));
            return std::nullopt;
        };
        {
            frmOptions dialog(file.settings, mover);
            Find<QPushButton>(dialog, "cmdOK")->click();
        }
        QVERIFY(moves.empty());
        {
            frmOptions dialog(file.settings, mover);
            Find<QLineEdit>(dialog, "txtLinkAddress")->setText(QStringLiteral("0.0.0.0"));
            Find<QLineEdit>(dialog, "txtLinkPort")->setText(QStringLiteral("8080"));
            Find<QPushButton>(dialog, "cmdOK")->click();
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
        QCOMPARE(moves, (std::vector<std::string> { "0.0.0.0:8080" }));
        QCOMPARE(file.Read("LinkAddress"), std::string("0.0.0.0"));
        QCOMPARE(file.Read("LinkPort"), std::string("8080"));
        // Port 0 (a free port) as the settings allow it: OK takes it without a word, as loaded.
        WriteFile(file.path, "[tavrel]\nLinkPort=0\n");
        {
            test::ModalAnswerer answerer; // a refusal would wait for its message box to be answered
            answerer.PressOnMessageBox(QMessageBox::Ok);
            frmOptions dialog(file.settings, mover);
            Find<QPushButton>(dialog, "cmdOK")->click();
            QCOMPARE(answerer.Messages().size(), 0u);
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
        QCOMPARE(moves.size(), 1u);
        QCOMPARE(file.Read("LinkPort"), std::string("0"));
    }

    void ARefusedLinkServerAddressKeepsTheDialogOpen_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("moverFails");
        QTest::addColumn<QString>("message");
        QTest::newRow("not an address") << "localhost:80"
                                        << "7410" << false
                                        << "The link server address must be an IP address, such as 127.0.0.1.";
        QTest::newRow("port too large") << "127.0.0.1"
                                        << "70000" << false
                                        << "The link server port must be a whole number from 0 to 65535.";
        QTest::newRow("port in use") << "127.0.0.1"
                                     << "7411" << true
                                     << "The link server cannot listen on 127.0.0.1 port 7411: address in use";
    }

    void ARefusedLinkServerAddressKeepsTheDialogOpen()
    {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(bool, moverFails);
        QFETCH(QString, message);
        SettingsFile file;
        const auto mover = [moverFails](const std::string&, std::uint16_t) -> std::optional<std::string> {
            return moverFails ? std::optional<std::string>("address in use") : std::nullopt;
        };
        frmOptions dialog(file.settings, mover);
        Find<QCheckBox>(dialog, "ckConnectOnce")->setChecked(false);
        Find<QLineEdit>(dialog, "txtLinkAddress")->setText(address);
        Find<QLineEdit>(dialog, "txtLinkPort")->setText(port);
        test::ModalAnswerer answerer;
        answerer.PressOnMessageBox(QMessageBox::Ok);
        Find<QPushButton>(dialog, "cmdOK")->click();
        QCOMPARE(answerer.Messages().size(), 1u);
        QCOMPARE(answerer.Messages().front().text, message);
        QCOMPARE(answerer.Messages().front().icon, QMessageBox::Warning);
        QVERIFY(dialog.result() != int(QDialog::Accepted));
        QVERIFY(!std::filesystem::exists(file.path));
    }

    // The Link Server group says whether clients must send an access token, and why a named token file does
    // not serve.
    void TheLinkServerGroupShowsWhetherATokenIsInForce_data()
    {
        QTest::addColumn<QByteArray>("tokenFileLine");
        QTest::addColumn<bool>("othersMayRead");
        QTest::addColumn<QString>("shown");
        QTest::newRow("none") << QByteArray() << false << "none: only this computer can be served";
        QTest::newRow("in force") << QByteArray("LinkTokenFile=token\n") << false
                                  << "in force: every client must send it";
        QTest::newRow("readable by others")
            << QByteArray("LinkTokenFile=token\n") << true << "not usable: the token file";
    }
    void TheLinkServerGroupShowsWhetherATokenIsInForce()
    {
        QFETCH(QByteArray, tokenFileLine);
        QFETCH(bool, othersMayRead);
        QFETCH(QString, shown);
        SettingsFile file;
        const auto folder = file.path.parent_path();
        std::ofstream(folder / "token") << "0123456789abcdef0123\n";
        std::filesystem::permissions(folder / "token",
                                     othersMayRead
                                         ? std::filesystem::perms::owner_read | std::filesystem::perms::others_read
                                         : std::filesystem::perms::owner_read);
        std::ofstream(file.path) << "[tavrel]\n" << tokenFileLine.toStdString();
        frmOptions dialog(file.settings);
        const QString text = Find<QLabel>(dialog, "lblLinkToken")->text();
        QVERIFY2(text.startsWith(shown), qPrintable(text));
        QVERIFY(!text.contains(QStringLiteral("0123456789abcdef")));
    }

    void MqttOptionsAreAppliedAndWrittenOnlyWhenUsable_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<bool>("applierFails");
        QTest::addColumn<QString>("message"); // empty when OK closes the dialog
        QTest::newRow("usable") << "10.0.0.5:1883" << false << "";
        QTest::newRow("turned off") << "" << false << "";
        QTest::newRow("no port") << "10.0.0.5" << false << "HOST:PORT";
        QTest::newRow("bridge refuses") << "10.0.0.5:1883" << true << "cannot set up";
    }
    void MqttOptionsAreAppliedAndWrittenOnlyWhenUsable()
    {
        QFETCH(QString, broker);
        QFETCH(bool, applierFails);
        QFETCH(QString, message);
        SettingsFile file;
        WriteFile(file.path, "[tavrel]\nMqttBroker=127.0.0.1:1883\nMqttClientId=line-7\n");
        std::vector<std::uint16_t> moves;
        frmOptions dialog(file.settings, [&](const std::string&, std::uint16_t port) -> std::optional<std::string> {
            moves.push_back(port);
            return std::nullopt;
        });
        std::vector<common::MqttOptions> applied;
        dialog.SetMqttApplier([&](const common::MqttOptions& options) -> std::optional<std::string> {
            applied.push_back(options);
            const bool fails = applierFails && options.Broker == broker.toStdString();
            return fails ? std::optional<std::string>("cannot set up the MQTT client") : std::nullopt;
        });
        const common::MqttOptions loaded = common::ReadMqttOptions(file.settings);
        Find<QLineEdit>(dialog, "txtLinkPort")->setText(QStringLiteral("7411"));
        QCOMPARE(Find<QLineEdit>(dialog, "txtMqttBroker")->text(), QStringLiteral("127.0.0.1:1883"));
        Find<QLineEdit>(dialog, "txtMqttBroker")->setText(broker);
        Find<QLineEdit>(dialog, "txtMqttPrefix")->setText(QStringLiteral("plant/line7"));
        Find<QComboBox>(dialog, "cbMqttQos")->setCurrentIndex(1);
        test::ModalAnswerer answerer;
        answerer.PressOnMessageBox(QMessageBox::Ok);
        Find<QPushButton>(dialog, "cmdOK")->click();
        if (message.isEmpty()) {
            QCOMPARE(applied.size(), 1u);
            QCOMPARE(applied.front(), common::ReadMqttOptions(file.settings));
            QCOMPARE(file.Read("MqttBroker"), broker.toStdString());
            QCOMPARE(file.Read("MqttTopicPrefix"), std::string("plant/line7"));
            QCOMPARE(file.Read("MqttQos"), std::string("1"));
            QCOMPARE(file.Read("MqttClientId"), std::string("line-7"));
            QCOMPARE(file.Read("LinkPort"), std::string("7411"));
        } else {
            QCOMPARE(answerer.Messages().size(), 1u);
            QVERIFY(answerer.Messages().front().text.contains(message));
            // A bridge that refuses undoes what this OK had done already: the link server and the bridge are
            // back where the settings file has them.
            const std::vector<std::uint16_t> movedThereAndBack { 7411, 7410 };
            QCOMPARE(moves, applierFails ? movedThereAndBack : std::vector<std::uint16_t> {});
            QCOMPARE(applied.size(), applierFails ? 2u : 0u);
            if (applierFails) {
                QCOMPARE(applied.back(), loaded);
            }
            QCOMPARE(file.Read("LinkPort"), std::string("<missing>"));
            QCOMPARE(file.Read("MqttBroker"), std::string("127.0.0.1:1883"));
            QCOMPARE(file.Read("MqttQos"), std::string("<missing>"));
        }
    }

    void TheOpcUaPageShowsOurThumbprintAndTheRefusedClientsWaiting()
    {
        SettingsFile file;
        {
            frmOptions dialog(file.settings);
            QCOMPARE(Find<QLabel>(dialog, "lblOpcUaRejected")->text(), QStringLiteral("none waiting"));
            QVERIFY(!Find<QPushButton>(dialog, "cmdOpenPki")->isEnabled());
        }
        const auto pki = file.dir / "pki";
        auto key = opcua::crypto::PrivateKey::GenerateRsa(2048);
        opcua::crypto::CertificateRequest request;
        request.applicationUri = "urn:test:Tavrel";
        request.notAfterMs = 4102444800000;
        const auto certificate = opcua::crypto::MakeCertificate(request, *key);
        std::filesystem::create_directories(pki / "own" / "certs");
        std::filesystem::create_directories(pki / "rejected" / "certs");
        WriteFile(pki / "own" / "certs" / "tavrel.der",
                  std::string(certificate->Der().begin(), certificate->Der().end()));
        WriteFile(pki / "rejected" / "certs" / "a.der", "x");
        WriteFile(pki / "rejected" / "certs" / "b.der", "y");
        frmOptions dialog(file.settings);
        QCOMPARE(Find<QLabel>(dialog, "lblOpcUaThumbprint")->text(),
                 QString::fromStdString(certificate->ThumbprintHex()));
        QCOMPARE(Find<QLabel>(dialog, "lblOpcUaRejected")->text(), QStringLiteral("2 waiting in rejected/certs"));
        QVERIFY(Find<QPushButton>(dialog, "cmdOpenPki")->isEnabled());
    }
};

QTEST_MAIN(frmOptionsTest)
#include "frmOptionsTest.moc"
