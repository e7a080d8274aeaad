#include "mqtt/MqttBridge.h"

#include "app/Program.h"

#include "common/OperandCatalogue.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <mosquitto.h>

#include <mutex>

using namespace tavrel;
namespace op = common::operand;
namespace dir = common::direction;

namespace {

/// Debian's mosquitto on a free loopback port with a configuration of its own; stopped when destroyed.
class Broker
{
public:
    explicit Broker(const std::filesystem::path& folder,
                    const QString& extra = QStringLiteral("allow_anonymous true\n"))
    {
        for (int attempt = 0; attempt < 5 && !m_ready; ++attempt) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            m_port = probe.serverPort();
            probe.close();
            const QString config = QString::fromStdString((folder / "mosquitto.conf").string());
            QFile file(config);
            file.open(QIODevice::WriteOnly);
            file.write(QStringLiteral("listener %1 127.0.0.1\npersistence false\n").arg(m_port).toUtf8()
                       + extra.toUtf8());
            file.close();
            m_process.setProcessChannelMode(QProcess::MergedChannels);
            m_process.start(QStringLiteral("/usr/sbin/mosquitto"), { QStringLiteral("-c"), config });
            for (int i = 0; i < 100 && m_process.state() != QProcess::NotRunning; ++i) {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, m_port);
                if (socket.waitForConnected(100)) {
                    m_ready = true;
                    break;
                }
                QTest::qWait(50);
            }
            if (!m_ready) {
                m_process.kill();
                m_process.waitForFinished();
            }
        }
    }
    ~Broker()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    bool Ready() const { return m_ready; }
    quint16 Port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
    bool m_ready = false;
};

/// A plain MQTT client beside the bridge: subscribes and publishes, keeps every message it receives.
class Peer
{
public:
    struct Received
    {
        std::string topic;
        std::string payload;
        bool retained;
    };

    explicit Peer(quint16 port)
    {
        mosquitto_lib_init();
        m_client = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m_client, [](mosquitto*, void* self, const mosquitto_message* message) {
            auto& peer = *static_cast<Peer*>(self);
            std::lock_guard lock(peer.m_mutex);
            peer.m_received.push_back({ message->topic,
                                        std::string(static_cast<const char*>(message->payload),
                                                    static_cast<std::size_t>(message->payloadlen)),
                                        message->retain });
        });
        m_connected = mosquitto_connect(m_client, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS
            && mosquitto_loop_start(m_client) == MOSQ_ERR_SUCCESS;
    }
    ~Peer()
    {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }
    bool Connected() const { return m_connected; }

    void Subscribe(const std::string& pattern) { mosquitto_subscribe(m_client, nullptr, pattern.c_str(), 1); }
    void Publish(const std::string& topic, const std::string& payload, bool retain = false)
    {
        mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                          retain);
    }
    std::vector<Received> Messages(const std::string& topic)
    {
        std::lock_guard lock(m_mutex);
        std::vector<Received> found;
        std::copy_if(m_received.begin(), m_received.end(), std::back_inserter(found),
                     [&](const Received& r) { return r.topic == topic; });
        return found;
    }
    std::size_t Count(const std::string& topic) { return Messages(topic).size(); }
    std::vector<std::string> Payloads(const std::string& topic)
    {
        std::vector<std::string> payloads;
        for (auto& message : Messages(topic)) {
            payloads.push_back(std::move(message.payload));
        }
        return payloads;
    }

private:
    mosquitto* m_client = nullptr;
    bool m_connected = false;
    std::mutex m_mutex;
    std::vector<Received> m_received;
};

} // namespace

class MqttBridgeTest : public QObject
{
    Q_OBJECT

private:
    test::TempDir m_dir;
    test::DriverScript m_script;
    std::unique_ptr<Broker> m_broker;
    std::unique_ptr<app::Program> m_program;
    std::unique_ptr<mqtt::MqttBridge> m_bridge;
    std::string m_prefix;

    std::string Topic(const std::string& under) const { return m_prefix + "/" + under; }

    /// A peer subscribed to everything under the prefix, once its subscription has surely taken.
    std::unique_ptr<Peer> Watch()
    {
        auto peer = std::make_unique<Peer>(m_broker->Port());
        peer->Subscribe(m_prefix + "/#");
        const bool subscribed = QTest::qWaitFor([&] { return peer->Count(Topic("status")) == 1; }, 5000);
        return subscribed ? std::move(peer) : nullptr;
    }

private slots:
    void init()
    {
        m_broker = std::make_unique<Broker>(m_dir.Path());
        QVERIFY(m_broker->Ready());
        m_script = test::DriverScript();
        m_program = std::make_unique<app::Program>(common::Settings(m_dir / "t.ini", "tavrel"), m_script.Factory(),
                                                   m_dir / "missing-template.tvb");
        // Pump: lblDDE(1) Read/Write MI named Pump.Speed, lblDDE(2) Read MI, lblDDE(3..5) Write MB vector.
        auto plc = m_program->Project().NewPlc();
        plc->Name = "Pump/1";
        auto& pump = m_program->Project().AddPLC(std::move(plc));
        for (const auto& [type, direction, length] :
             { std::tuple { op::MI, dir::ReadWrite, 1 }, { op::MI, dir::Read, 1 }, { op::MB, dir::Write, 3 } }) {
            std::int32_t label = -1;
            QVERIFY(pump.AddItems(length, 0, type, direction, true, label));
        }
        pump.colItems().front()->Details.name = "Pump.Speed";
        m_program->Labels().SetText(1, "11");
        m_program->Labels().SetText(2, "-7");
        for (const std::int32_t index : { 3, 4, 5 }) {
            m_program->Labels().SetText(index, "1");
        }
        emit m_program->projectChanged(); // as the window's commands tell of their edits

        m_prefix = "test/" + std::to_string(QRandomGenerator::global()->generate());
        m_bridge = std::make_unique<mqtt::MqttBridge>(m_program->Service());
        common::MqttOptions options;
        options.Broker = "127.0.0.1:" + std::to_string(m_broker->Port());
        options.TopicPrefix = m_prefix;
        auto config = mqtt::MakeMqttConfig(options);
        QVERIFY2(config, config ? "" : config.error().c_str());
        // Everything the bridge publishes on connecting has reached the broker once a peer subscribed before
        // has seen the last of it: peers that come later get it all retained.
        Peer first(m_broker->Port());
        first.Subscribe(m_prefix + "/#");
        first.Publish(Topic("probe"), "subscribed?");
        QTRY_COMPARE(first.Count(Topic("probe")), std::size_t(1));
        QVERIFY(m_bridge->Start(*config));
        QTRY_COMPARE_WITH_TIMEOUT(m_bridge->State(), mqtt::BrokerState::Connected, 5000);
        QTRY_COMPARE(first.Count(Topic("system/running")), std::size_t(1));
    }

    void cleanup()
    {
        m_bridge.reset();
        m_program.reset();
        m_broker.reset();
    }

    // Values and the status are retained for peers that come later; after that, a label is published once per
    // pass with its last value, and cleared when its item is removed.
    void valuesArriveRetainedThenOncePerPassUntilRemoved()
    {
        auto peer = Watch();
        QVERIFY(peer);
        QTRY_COMPARE(peer->Count(Topic("items/lblDDE(5)")), std::size_t(1));
        const auto one = peer->Messages(Topic("items/lblDDE(1)"));
        QCOMPARE(one.size(), std::size_t(1));
        QCOMPARE(one.front().payload, std::string("11"));
        QVERIFY(one.front().retained);
        QCOMPARE(peer->Messages(Topic("items/lblDDE(2)")).front().payload, std::string("-7"));
        QCOMPARE(peer->Messages(Topic("status")).front().payload, std::string("online"));
        QVERIFY(peer->Messages(Topic("status")).front().retained);

        m_program->Labels().SetText(1, "12");
        m_program->Labels().SetText(1, "13");
        m_program->Labels().SetText(2, "8");
        emit m_program->passFinished();
        QTRY_COMPARE(peer->Count(Topic("items/lblDDE(2)")), std::size_t(2));
        QTest::qWait(200);
        const auto changed = peer->Messages(Topic("items/lblDDE(1)"));
        QCOMPARE(changed.size(), std::size_t(2));
        QCOMPARE(changed.back().payload, std::string("13"));
        QVERIFY(!changed.back().retained); // live, though published with retain

        // A removed item's topic is cleared: peers that come later get nothing of it.
        auto& pump = *m_program->Project().colPlcs().front();
        QVERIFY(pump.RemoveItem(pump.colItems().back()->Key));
        QTRY_COMPARE(peer->Count(Topic("items/lblDDE(5)")), std::size_t(2));
        QCOMPARE(peer->Messages(Topic("items/lblDDE(5)")).back().payload, std::string());
        auto later = Watch();
        QVERIFY(later);
        QTRY_COMPARE(later->Count(Topic("items/lblDDE(2)")), std::size_t(1));
        QTest::qWait(200);
        QCOMPARE(later->Count(Topic("items/lblDDE(4)")), std::size_t(0));
    }

    void pokesAndRefusals_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("reason"); // in the error, empty for none
        QTest::newRow("taken, any case") << QStringLiteral("LBLdde(1)") << QStringLiteral("43") << QString();
        QTest::newRow("by tag name") << QStringLiteral("pump.SPEED") << QStringLiteral("44") << QString();
        QTest::newRow("refused by the program")
            << QStringLiteral("lblDDE(2)") << QStringLiteral("5") << QStringLiteral("the item is read-only");
        QTest::newRow("no item name") << QStringLiteral("pump") << QStringLiteral("1")
                                      << QStringLiteral("is no item name");
        QTest::newRow("unknown command") << QStringLiteral("execute") << QStringLiteral("Pump_RESET")
                                         << QStringLiteral("'Pump_RESET' is no command; the commands are");
    }
    void pokesAndRefusals()
    {
        QFETCH(QString, item);
        QFETCH(QString, value);
        QFETCH(QString, reason);
        auto peer = Watch();
        QVERIFY(peer);
        peer->Publish(Topic(item == QStringLiteral("execute") ? "execute" : "items/" + item.toStdString() + "/set"),
                      value.toStdString());
        if (reason.isEmpty()) {
            QTRY_COMPARE(m_program->Labels().Text(1), value.toStdString());
            QTRY_COMPARE(peer->Payloads(Topic("items/lblDDE(1)")),
                         (std::vector<std::string> { "11", value.toStdString() }));
            return;
        }
        QTRY_COMPARE(peer->Count(Topic("errors")), std::size_t(1));
        const auto error
            = QJsonDocument::fromJson(QByteArray::fromStdString(peer->Messages(Topic("errors")).front().payload))
                  .object();
        QVERIFY2(error.value("reason").toString().contains(reason), qPrintable(error.value("reason").toString()));
        QCOMPARE(error.value("value").toString(), value);
        QCOMPARE(error.value("item").toString(), item);
        QCOMPARE(m_program->Labels().Text(1), std::string("11"));
    }

    void retainedPokesAreNotCarriedOutAgainOnReconnection()
    {
        auto peer = Watch();
        QVERIFY(peer);
        peer->Publish(Topic("items/lblDDE(1)/set"), "44", true);
        QTRY_COMPARE(m_program->Labels().Text(1), std::string("44")); // a live poke, retained or not
        m_program->Labels().SetText(1, "11");
        common::MqttOptions options;
        options.Broker = "127.0.0.1:" + std::to_string(m_broker->Port());
        options.TopicPrefix = m_prefix;
        options.Qos = 1;
        auto config = mqtt::MakeMqttConfig(options);
        QVERIFY(config && m_bridge->Start(*config));
        QTRY_COMPARE(peer->Count(Topic("errors")), std::size_t(1));
        QVERIFY(peer->Messages(Topic("errors")).front().payload.find("retained") != std::string::npos);
        QCOMPARE(m_program->Labels().Text(1), std::string("11"));
        peer->Publish(Topic("items/lblDDE(1)/set"), {}, true); // the broker forgets it
    }

    void diagnosticsFollowAPlcThatFailsAndComesBack()
    {
        using Payloads = std::vector<std::string>;
        auto peer = Watch();
        QVERIFY(peer);
        const std::string pump = "plcs/Pump%2F1/";
        QTRY_COMPARE(peer->Payloads(Topic(pump + "errors")), Payloads { "0" });
        QCOMPARE(peer->Payloads(Topic("system/running")), Payloads { "0" });

        // A run started by a command; its first exchange fails, and the next pass opens Pump again.
        m_script.Queue("ReadBinaryMix", { test::DriverAnswer::Fails() });
        m_program->Environment().ReconnectDelaySeconds = 0;
        peer->Publish(Topic("execute"), "Tavrel_RUN/STOP");
        // Connected once the channel opens, not connected when the exchange fails, connected again after.
        const auto endsFailedAndBack = [&] {
            const Payloads connected = peer->Payloads(Topic(pump + "connected"));
            return connected.size() >= 2 && connected.end()[-2] == "0" && connected.back() == "1";
        };
        QTRY_VERIFY(endsFailedAndBack());
        QTRY_VERIFY(m_program->PassCount() >= 5);
        m_program->Stop();
        QTRY_COMPARE(peer->Payloads(Topic("system/running")), Payloads({ "0", "1", "0" }));
        QCOMPARE(peer->Payloads(Topic(pump + "errors")), Payloads({ "0", "1" }));
        QCOMPARE(peer->Payloads(Topic(pump + "answered")), Payloads({ "0", "1" }));
        // Empty while all is well: no retained message at all, and an empty one once the failure is over.
        const Payloads lastError = peer->Payloads(Topic(pump + "lastError"));
        QCOMPARE(lastError.size(), std::size_t(2));
        QVERIFY(!lastError[0].empty());
        QCOMPARE(lastError[1], std::string());
        // Once per pass at most, and only when changed.
        const Payloads passCount = peer->Payloads(Topic("system/passCount"));
        QCOMPARE(passCount.back(), std::to_string(m_program->PassCount()));
        QVERIFY(std::adjacent_find(passCount.begin(), passCount.end()) == passCount.end());
        QVERIFY(peer->Count(Topic(pump + "passMs")) <= passCount.size() + 1);

        // Retained for whoever comes later, and cleared with the PLC.
        auto later = Watch();
        QVERIFY(later);
        QTRY_COMPARE(later->Payloads(Topic(pump + "errors")), Payloads { "1" });
        QCOMPARE(later->Payloads(Topic("system/running")), Payloads { "0" });
        const std::int32_t pumpKey = m_program->Project().colPlcs().front()->Key;
        while (!m_program->Project().colPlcs().empty()) {
            QVERIFY(m_program->DeleteItem(pumpKey, m_program->Project().colPlcs().front()->colItems().front()->Key));
        }
        for (const char* topic : { "connected", "answered", "errors", "passMs" }) {
            QTRY_COMPARE(later->Count(Topic(pump + topic)), std::size_t(2));
            QCOMPARE(later->Payloads(Topic(pump + topic)).back(), std::string());
        }
        auto afterRemoval = Watch();
        QVERIFY(afterRemoval);
        QTRY_COMPARE(afterRemoval->Count(Topic("system/running")), std::size_t(1));
        QCOMPARE(afterRemoval->Count(Topic(pump + "errors")), std::size_t(0));
    }

    void stoppingSaysOffline()
    {
        auto peer = Watch();
        QVERIFY(peer);
        m_program->ToggleRun();
        QTRY_COMPARE(peer->Count(Topic("system/running")), std::size_t(2));
        QSignalSpy states(m_bridge.get(), &mqtt::MqttBridge::stateChanged);
        m_program->Stop();
        m_bridge->Stop(); // at once, as a program that quits does: the run's end still goes out first
        QCOMPARE(m_bridge->State(), mqtt::BrokerState::Off);
        QTRY_COMPARE(peer->Count(Topic("status")), std::size_t(2));
        QCOMPARE(peer->Messages(Topic("status")).back().payload, std::string("offline"));
        QCOMPARE(peer->Messages(Topic("system/running")).back().payload, std::string("0"));
        m_program->Labels().SetText(1, "99"); // no broker: nothing to publish, nothing kept
        QCOMPARE(states.count(), 1);
    }

    void tlsConnectsWithTheBrokersCertificateAndKeepsTryingWithAnother()
    {
        // Two self-signed certificates for 127.0.0.1: the broker's, and another that has nothing to do with it.
        const std::filesystem::path tls = m_dir / "tls";
        std::filesystem::create_directories(tls);
        for (const QString name : { "server", "other" }) {
            QProcess openssl;
            openssl.setWorkingDirectory(QString::fromStdString(tls.string()));
            openssl.start("openssl",
                          { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out",
                            name + ".crt", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                            "subjectAltName=IP:127.0.0.1" });
            QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        }
        // Started as root, mosquitto reads them as the user mosquitto.
        using std::filesystem::perms;
        for (const char* file : { "server.key", "server.crt" }) {
            std::filesystem::permissions(tls / file, perms::owner_read | perms::group_read | perms::others_read);
        }
        std::filesystem::permissions(tls, perms::owner_all | perms::group_exec | perms::others_exec);
        std::filesystem::permissions(m_dir.Path(), perms::others_exec, std::filesystem::perm_options::add);
        Broker secure(tls,
                      QStringLiteral("allow_anonymous true\ncafile %1/server.crt\ncertfile %1/server.crt\n"
                                     "keyfile %1/server.key\n")
                          .arg(QString::fromStdString(tls.string())));
        QVERIFY(secure.Ready());
        for (const auto& [ca, connects] : { std::pair { "server.crt", true }, { "other.crt", false } }) {
            common::MqttOptions options;
            options.Broker = "127.0.0.1:" + std::to_string(secure.Port());
            options.TopicPrefix = m_prefix;
            options.CaFile = (tls / ca).string();
            QVERIFY(mqtt::ApplyMqttOptions(*m_bridge, options));
            if (connects) {
                QTRY_COMPARE_WITH_TIMEOUT(m_bridge->State(), mqtt::BrokerState::Connected, 10000);
            } else {
                // A certificate that does not verify fails the attempt, not the bridge: it keeps trying.
                QTRY_VERIFY_WITH_TIMEOUT(m_bridge->StateText().endsWith("next attempt in 2 s"), 10000);
                QCOMPARE(m_bridge->State(), mqtt::BrokerState::Disconnected);
            }
        }
    }

    void badSettingsAreRefusedWithAReason_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<int>("qos");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char* name, const char* broker, const char* prefix, int qos, const char* reason) {
            QTest::newRow(name) << QString(broker) << QString(prefix) << qos << QString(reason);
        };
        row("no port", "127.0.0.1", "", 0, "HOST:PORT");
        row("port text", "host:18a3", "", 0, "HOST:PORT");
        row("bare IPv6", "::1:1883", "", 0, "HOST:PORT");
        row("wildcard prefix", "127.0.0.1:1883", "a/+/b", 0, "no topic");
        row("system prefix", "127.0.0.1:1883", "$SYS/x", 0, "no topic");
        row("qos 2", "127.0.0.1:1883", "", 2, "0 or 1");
    }
    void badSettingsAreRefusedWithAReason()
    {
        QFETCH(QString, broker);
        QFETCH(QString, prefix);
        QFETCH(int, qos);
        QFETCH(QString, reason);
        common::MqttOptions options;
        options.Broker = broker.toStdString();
        options.TopicPrefix = prefix.toStdString();
        options.Qos = qos;
        const auto config = mqtt::MakeMqttConfig(options);
        QVERIFY(!config);
        QVERIFY2(QString::fromStdString(config.error()).contains(reason), config.error().c_str());
    }

    void passwordFileMustBeTheOwnersAlone()
    {
        const auto path = m_dir / "password";
        QFile file(QString::fromStdString(path.string()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("s3cret\nignored\n");
        file.close();
        common::MqttOptions options;
        options.Broker = "[::1]:1883";
        options.User = "tavrel";
        options.PasswordFile = path.string();
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
        auto config = mqtt::MakeMqttConfig(options);
        QVERIFY(!config && config.error().find("chmod 600") != std::string::npos);
        QVERIFY(config.error().find("s3cret") == std::string::npos);
        std::filesystem::permissions(path, std::filesystem::perms::owner_read);
        config = mqtt::MakeMqttConfig(options);
        QVERIFY(config);
        QCOMPARE(config->password, std::string("s3cret"));
        QCOMPARE(config->BrokerText(), std::string("[::1]:1883"));
    }
};

QTEST_GUILESS_MAIN(MqttBridgeTest)
#include "MqttBridgeTest.moc"
