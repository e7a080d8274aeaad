#include "link/LinkServer.h"

#include "common/OperandCatalogue.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"
#include "LinkClients.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

using namespace tavrel;
namespace op = common::operand;
namespace dir = common::direction;


class LinkServerTest : public QObject
{
    Q_OBJECT

private:
    test::TempDir m_dir;
    test::DriverScript m_script;
    std::unique_ptr<app::Program> m_program;
    std::unique_ptr<link::LinkServer> m_server;
    quint16 m_port = 0;
    QNetworkAccessManager m_network;

    model::clsPlc& AddPlc(const std::string& name)
    {
        auto plc = m_program->Project().NewPlc();
        plc->Name = name;
        return m_program->Project().AddPLC(std::move(plc));
    }
    void AddItem(model::clsPlc& plc, std::int32_t type, std::int32_t direction, std::int32_t length = 1, bool enabled = true)
    {
        std::int32_t label = -1;
        QVERIFY(plc.AddItems(length, 0, type, direction, enabled, label));
    }

    test::HttpResponse Call(const QByteArray& method, const QString& path, const QByteArray& body = {},
                            const QByteArray& accept = {})
    {
        return test::HttpCall(m_network, m_port, method, QUrl(path).toEncoded(), body, accept);
    }

private slots:
    void init()
    {
        m_script = test::DriverScript();
        m_program = std::make_unique<app::Program>(common::Settings(m_dir / "t.ini", "tavrel"), m_script.Factory(),
                                                   m_dir / "missing-template.tvb");
        // Pump: lblDDE(1) Read/Write MI, lblDDE(2) Read MI, lblDDE(3..5) Write MB vector, lblDDE(6) disabled.
        auto& pump = AddPlc("Pump");
        AddItem(pump, op::MI, dir::ReadWrite);
        AddItem(pump, op::MI, dir::Read);
        AddItem(pump, op::MB, dir::Write, 3);
        AddItem(pump, op::MI, dir::ReadWrite, 1, false);
        AddPlc("Line_1");
        AddItem(*m_program->Project().colPlcs().back(), op::I, dir::ReadWrite);
        m_server = std::make_unique<link::LinkServer>(*m_program);
        auto port = m_server->Listen(QHostAddress::LocalHost, 0);
        QVERIFY(port.has_value());
        m_port = *port;
    }

    void cleanup()
    {
        m_server.reset();
        m_program.reset();
    }

    void itemNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::newRow("plain") << "lblDDE(7)" << 7;
        QTest::newRow("any case") << "LBLdde(12)" << 12;
        QTest::newRow("zero") << "lblDDE(0)" << 0;
        QTest::newRow("highest") << "lblDDE(32767)" << 32767;
        QTest::newRow("beyond") << "lblDDE(32768)" << -1;
        QTest::newRow("leading zero") << "lblDDE(07)" << -1;
        QTest::newRow("blank") << "lblDDE( 7)" << -1;
        QTest::newRow("sign") << "lblDDE(-1)" << -1;
        QTest::newRow("empty") << "lblDDE()" << -1;
        QTest::newRow("other") << "label(7)" << -1;
        QTest::newRow("open") << "lblDDE(7" << -1;
    }
    void itemNames()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        const auto parsed = link::ParseItemName(name);
        QCOMPARE(parsed.value_or(-1), index);
    }

    void requestAnswersTheLabelText()
    {
        m_program->Labels().SetText(2, "17");
        QCOMPARE(Call("GET", "/dde/Tavrel/Items/lblDDE(2)").body, QByteArray("17"));
        QCOMPARE(Call("GET", "/dde/TAVREL/items/LBLdde(2)").body, QByteArray("17"));
        QCOMPARE(Call("GET", "/dde/Tavrel/Items/lblDDE%282%29").status, 200);
        QCOMPARE(Call("GET", "/dde/Tavrel/Items/lblDDE(0)").status, 200);
    }

    void unknownNamesAreRefusedWithAReason_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::newRow("service") << "/dde/Excel/Items/lblDDE(1)" << 404 << "unknown service 'Excel'";
        QTest::newRow("topic") << "/dde/Tavrel/Things/lblDDE(1)" << 404 << "unknown topic 'Things'";
        QTest::newRow("item") << "/dde/Tavrel/Items/lblDDE(99)" << 404 << "no item lblDDE(99)";
        QTest::newRow("malformed item") << "/dde/Tavrel/Items/x'y" << 400 << "is no item name";
        QTest::newRow("too deep") << "/dde/Tavrel/Items/lblDDE(1)/x" << 404 << "paths are";
        QTest::newRow("elsewhere") << "/index.html" << 404 << "no such path";
    }
    void unknownNamesAreRefusedWithAReason()
    {
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QString, reason);
        const test::HttpResponse response = Call("GET", path);
        QCOMPARE(response.status, status);
        QVERIFY2(QString::fromUtf8(response.body).contains(reason), response.body.constData());
    }

    void pokeReplacesTheLabel()
    {
        QCOMPARE(Call("PUT", "/dde/Tavrel/Items/lblDDE(1)", "42").status, 204);
        QCOMPARE(m_program->Labels().Text(1), std::string("42"));
        QCOMPARE(Call("PUT", "/dde/Tavrel/Items/lblDDE(4)", "1\r\n").status, 204);
        QCOMPARE(m_program->Labels().Text(4), std::string("1")); // a trailing line break is no part of the value
    }

    void pokesThatCanNeverBeWrittenAreRefused_data()
    {
        QTest::addColumn<QString>("item");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::newRow("read-only") << "lblDDE(2)" << QByteArray("5") << 409 << "read-only";
        QTest::newRow("disabled") << "lblDDE(6)" << QByteArray("5") << 409 << "disabled";
        QTest::newRow("no write") << "lblDDE(7)" << QByteArray("1") << 409 << "cannot be written";
        QTest::newRow("not a number") << "lblDDE(1)" << QByteArray("abc") << 422 << "not a number";
        QTest::newRow("beyond a byte") << "lblDDE(3)" << QByteArray("300") << 422 << "out of range for MB (0 to 255)";
        QTest::newRow("beyond int16") << "lblDDE(1)" << QByteArray("40000") << 422 << "out of range";
        QTest::newRow("label 0") << "lblDDE(0)" << QByteArray("1") << 404 << "no item of any PLC";
        QTest::newRow("too long") << "lblDDE(1)" << QByteArray(70000, '1') << 413 << "longer than";
    }
    void pokesThatCanNeverBeWrittenAreRefused()
    {
        QFETCH(QString, item);
        QFETCH(QByteArray, text);
        QFETCH(int, status);
        QFETCH(QString, reason);
        const auto index = *link::ParseItemName(item);
        m_program->Labels().SetText(index, "before");
        const test::HttpResponse response = Call("PUT", "/dde/Tavrel/Items/" + item, text);
        QCOMPARE(response.status, status);
        QVERIFY2(QString::fromUtf8(response.body).contains(reason), response.body.constData());
        QCOMPARE(m_program->Labels().Text(index), std::string("before"));
    }

    void everyExecuteIsAccepted_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<bool>("running");
        QTest::newRow("stop") << QByteArray("Pump_STOP") << QStringList{"PlcStop()"} << false;
        QTest::newRow("run, any case") << QByteArray("pump_run") << QStringList{"PlcRun()"} << false;
        QTest::newRow("name with underscore") << QByteArray("Line_1_STOP") << QStringList{"PlcStop()"} << false;
        QTest::newRow("verb alone") << QByteArray("STOP") << QStringList{} << false;
        QTest::newRow("empty") << QByteArray("") << QStringList{} << false;
        QTest::newRow("unknown verb") << QByteArray("Pump_RESET") << QStringList{} << false;
        QTest::newRow("empty name") << QByteArray("_RUN") << QStringList{} << false;
        QTest::newRow("toggle") << QByteArray("Tavrel_RUN/STOP") << QStringList{} << true;
        QTest::newRow("toggle, any name") << QByteArray("Pump_run/stop") << QStringList{} << true;
        QTest::newRow("toggle, no name") << QByteArray("_RUN/STOP") << QStringList{} << true;
    }
    void everyExecuteIsAccepted()
    {
        QFETCH(QByteArray, command);
        QFETCH(QStringList, calls);
        QFETCH(bool, running);
        m_script.Clear();
        QCOMPARE(Call("POST", "/dde/Tavrel/Items", command).status, 202);
        QStringList commands;
        for (const std::string& call : m_script.Calls(false)) {
            if (call == "PlcStop()" || call == "PlcRun()") {
                commands << QString::fromStdString(call);
            }
        }
        QCOMPARE(commands, calls);
        QCOMPARE(m_program->IsRunning(), running);
        if (running) {
            // The run goes on in the event loop; the same command stops it once the first pass is over.
            QVERIFY(QTest::qWaitFor([this] { return m_program->IsRunToolEnabled(); }, 5000));
            QCOMPARE(Call("POST", "/dde/Tavrel/Items", command).status, 202);
            QVERIFY(!m_program->IsRunning());
        }
    }

    void listsEveryItemAsJsonOrHtml()
    {
        m_program->Labels().SetText(2, "<5>");
        const test::HttpResponse json = Call("GET", "/dde/Tavrel/Items", {}, "application/json");
        const QJsonArray items = QJsonDocument::fromJson(json.body).object().value("items").toArray();
        QCOMPARE(items.size(), 7);
        QCOMPARE(items[1].toObject().value("value").toString(), QStringLiteral("<5>"));
        QCOMPARE(items[2].toObject().value("item").toString(), QStringLiteral("lblDDE(3)"));
        const test::HttpResponse html = Call("GET", "/dde/Tavrel/Items");
        QVERIFY(html.body.contains("<td>lblDDE(7)</td><td>Line_1</td>"));
        QVERIFY(html.body.contains("&lt;5&gt;"));
    }

    void systemItemsOverHttp_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("run state") << QByteArray("GET") << "/dde/Tavrel/System/Running" << 200 << QByteArray("0");
        QTest::newRow("any case") << QByteArray("GET") << "/dde/tavrel/SYSTEM/pump.connected" << 200 << QByteArray("1");
        QTest::newRow("no error yet") << QByteArray("GET") << "/dde/Tavrel/System/Line_1.Errors" << 200 << QByteArray("0");
        QTest::newRow("unknown PLC") << QByteArray("GET") << "/dde/Tavrel/System/Press.Connected" << 404
                                     << QByteArray("no System item 'Press.Connected'\n");
        QTest::newRow("read-only") << QByteArray("PUT") << "/dde/Tavrel/System/Running" << 405
                                   << QByteArray("System items are read-only; use GET\n");
        QTest::newRow("no execute") << QByteArray("POST") << "/dde/Tavrel/System" << 405
                                    << QByteArray("System items are read-only; use GET\n");
    }
    void systemItemsOverHttp()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        const test::HttpResponse response = Call(method, path, "1");
        QCOMPARE(response.status, status);
        QCOMPARE(response.body, body);
        QVERIFY(!m_program->IsRunning());
    }

    void systemListAndItemListTellThePlcState()
    {
        const QJsonArray system = QJsonDocument::fromJson(Call("GET", "/dde/Tavrel/System", {}, "application/json").body)
                                      .object()
                                      .value("items")
                                      .toArray();
        QStringList names;
        for (const auto& item : system) {
            names << item.toObject().value("item").toString();
        }
        QCOMPARE(names,
                 QStringList({ "Running", "PassCount", "PassMs", "Pump.Connected", "Pump.Answered", "Pump.LastError",
                               "Pump.Errors", "Pump.PassMs", "Line_1.Connected", "Line_1.Answered", "Line_1.LastError",
                               "Line_1.Errors", "Line_1.PassMs" }));
        m_program->Project().colPlcs().back()->Connected = false;
        m_program->Project().colPlcs().back()->LastError = "no answer";
        const QJsonArray items = QJsonDocument::fromJson(Call("GET", "/dde/Tavrel/Items", {}, "application/json").body)
                                     .object()
                                     .value("items")
                                     .toArray();
        QCOMPARE(items.first().toObject().value("plcConnected").toBool(), true);
        QCOMPARE(items.last().toObject().value("plcConnected").toBool(), false);
        QCOMPARE(items.last().toObject().value("plcError").toString(), QStringLiteral("no answer"));
    }

    void systemItemsFollowAPlcThatFailsAndComesBack()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        for (const char* name : { "Pump.Connected", "pump.errors", "Running" }) {
            client.Send({{"op", "advise"}, {"topic", "System"}, {"item", name}});
        }
        QCOMPARE(client.NextObject(), QJsonObject({{"topic", "System"}, {"item", "Pump.Connected"}, {"value", "1"}}));
        QCOMPARE(client.NextObject(), QJsonObject({{"topic", "System"}, {"item", "Pump.Errors"}, {"value", "0"}}));
        QCOMPARE(client.NextObject(), QJsonObject({{"topic", "System"}, {"item", "Running"}, {"value", "0"}}));
        QCOMPARE(client.Ask(R"({"op":"advise","topic":"System","item":"Pump.Nothing"})").value("status").toInt(), 404);
        QCOMPARE(client.Ask(R"({"op":"poke","topic":"System","item":"Running","value":"1"})").value("status").toInt(), 409);
        QCOMPARE(client.Ask(R"({"op":"request","topic":"Other","item":"Running"})").value("status").toInt(), 404);

        // The first exchange of the run, Pump's, fails; the next pass opens Pump again.
        m_script.Queue("ReadBinaryMix", {test::DriverAnswer::Fails()});
        m_program->Environment().ReconnectDelaySeconds = 0;
        m_program->ToggleRun();
        QStringList seen;
        QVERIFY(QTest::qWaitFor(
            [&] {
                while (!client.messages.isEmpty()) {
                    const QJsonObject change = QJsonDocument::fromJson(client.messages.takeFirst().toUtf8()).object();
                    seen << change.value("item").toString() + "=" + change.value("value").toString();
                }
                return seen.size() >= 4;
            },
            5000));
        m_program->Stop();
        QCOMPARE(seen, QStringList({ "Running=1", "Pump.Connected=0", "Pump.Errors=1", "Pump.Connected=1" }));
        QCOMPARE(Call("GET", "/dde/Tavrel/System/Pump.Errors").body, QByteArray("1"));
        QCOMPARE(Call("GET", "/dde/Tavrel/System/Line_1.Errors").body, QByteArray("0"));
        QCOMPARE(Call("GET", "/dde/Tavrel/System/Pump.LastError").body, QByteArray());

        QCOMPARE(client.NextObject(), QJsonObject({{"topic", "System"}, {"item", "Running"}, {"value", "0"}}));
        client.Send({{"op", "unadvise"}, {"topic", "System"}, {"item", "Running"}});
        QCOMPARE(client.NextObject().value("ok").toBool(), true);
    }

    void adviseAnswersAtOnceAndAtEveryChange()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        m_program->Labels().SetText(2, "1");
        client.Send({{"op", "advise"}, {"item", "lblDDE(2)"}});
        QJsonObject first = client.NextObject();
        QCOMPARE(first.value("item").toString(), QStringLiteral("lblDDE(2)"));
        QCOMPARE(first.value("value").toString(), QStringLiteral("1"));

        m_program->Labels().SetText(2, "2");
        QCOMPARE(client.NextObject().value("value").toString(), QStringLiteral("2"));

        client.Send({{"op", "unadvise"}, {"item", "lblDDE(2)"}});
        QCOMPARE(client.NextObject().value("ok").toBool(), true);
        m_program->Labels().SetText(2, "3");
        QTest::qWait(100);
        QVERIFY(client.messages.isEmpty());
    }

    void severalChangesArriveTogether()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        for (const char* item : {"lblDDE(1)", "lblDDE(2)"}) {
            client.Send({{"op", "advise"}, {"item", item}});
            client.NextObject();
        }
        m_program->Labels().SetText(1, "a");
        m_program->Labels().SetText(2, "b");
        QVERIFY(QTest::qWaitFor([&] { return !client.messages.isEmpty(); }, 5000));
        const QJsonArray batch = QJsonDocument::fromJson(client.messages.takeFirst().toUtf8()).array();
        QCOMPARE(batch.size(), 2);
        QCOMPARE(batch[1].toObject().value("value").toString(), QStringLiteral("b"));
    }

    void removedItemsEndTheirLinks()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        client.Send({{"op", "advise"}, {"item", "lblDDE(3)"}});
        client.NextObject();
        client.Send({{"op", "advise"}, {"topic", "System"}, {"item", "pump.connected"}});
        client.NextObject();
        auto& pump = *m_program->Project().colPlcs().front();
        pump.Name = "Press"; // told with the next change of the project
        QVERIFY(m_program->DeleteItem(pump.Key, pump.colItems()[2]->Key));
        const QJsonObject ended = client.NextObject();
        QCOMPARE(ended.value("op").toString(), QStringLiteral("ended"));
        QCOMPARE(ended.value("item").toString(), QStringLiteral("lblDDE(3)"));
        QCOMPARE(Call("GET", "/dde/Tavrel/Items/lblDDE(3)").status, 404);
        const QJsonObject systemEnded = client.NextObject();
        QCOMPARE(systemEnded.value("op").toString(), QStringLiteral("ended"));
        QCOMPARE(systemEnded.value("topic").toString(), QStringLiteral("System"));
        QCOMPARE(systemEnded.value("item").toString(), QStringLiteral("Pump.Connected"));
    }

    void conversationAnswersEveryRequest()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        client.Send({{"op", "poke"}, {"item", "lblDDE(1)"}, {"value", "12"}});
        QCOMPARE(client.NextObject().value("ok").toBool(), true);
        client.Send({{"op", "request"}, {"item", "lbldde(1)"}});
        QCOMPARE(client.NextObject().value("value").toString(), QStringLiteral("12"));
        client.Send({{"op", "poke"}, {"item", "lblDDE(2)"}, {"value", "12"}});
        QCOMPARE(client.NextObject().value("status").toInt(), 409);
        client.Send({{"op", "advise"}, {"item", "lblDDE(300)"}});
        QCOMPARE(client.NextObject().value("status").toInt(), 404);
        client.Send({{"op", "dance"}});
        QCOMPARE(client.NextObject().value("status").toInt(), 400);
        client.socket.sendTextMessage(QStringLiteral("{not json"));
        QCOMPARE(client.NextObject().value("status").toInt(), 400);
        client.Send({{"op", "execute"}, {"command", "Pump_STOP"}});
        QCOMPARE(client.NextObject().value("ok").toBool(), true);
        QVERIFY(QTest::qWaitFor([this] {
            const auto calls = m_script.Calls(false);
            return std::find(calls.begin(), calls.end(), "PlcStop()") != calls.end();
        }, 5000));
        QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);
    }

    // A number in a JSON poke is taken as the same poke written as text, in a decimal-comma locale as elsewhere.
    void numberPokesReadInTheLocalesDecimalSeparator_data()
    {
        QTest::addColumn<char>("separator");
        QTest::newRow("point") << '.';
        QTest::newRow("comma") << ',';
    }
    void numberPokesReadInTheLocalesDecimalSeparator()
    {
        QFETCH(char, separator);
        m_program->Environment().DecimalSeparator = separator;
        AddItem(*m_program->Project().colPlcs().front(), op::MF, dir::ReadWrite); // lblDDE(8)
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        client.Send({ { "op", "poke" }, { "item", "lblDDE(8)" }, { "value", 1.5 } });
        const QJsonObject answer = client.NextObject();
        QVERIFY2(answer.value("ok").toBool(), qPrintable(answer.value("error").toString()));
        QCOMPARE(m_program->Labels().Text(8), std::string("1") + separator + "5");
    }

    // Clients that reset their connections while a pass's changes are on their way: the flush that meets the
    // reset ends those sessions at once, and the server goes on with the others and with new ones.
    void resetConnectionsEndOnlyTheirOwnSessions()
    {
        constexpr int kClients = 20;
        test::LinkClient survivor(m_port);
        QVERIFY(survivor.WaitConnected());
        survivor.Send({ { "op", "advise" }, { "item", "lblDDE(1)" } });
        QVERIFY(survivor.NextObject().contains("value"));
        for (int round = 0; round < 5; ++round) {
            std::vector<std::unique_ptr<test::RawWebSocket>> clients;
            for (int i = 0; i < kClients; ++i) {
                clients.push_back(std::make_unique<test::RawWebSocket>());
                QVERIFY(clients.back()->Open(m_port).startsWith("HTTP/1.1 101"));
                for (int item = 1; item <= 2; ++item) {
                    clients.back()->SendText(
                        QStringLiteral("{\"op\":\"advise\",\"item\":\"lblDDE(%1)\"}").arg(item).toUtf8());
                }
            }
            for (auto& client : clients) {
                QVERIFY(client->WaitReceived(2 * 30)); // both first answers
            }
            for (auto& client : clients) {
                client->Reset();
            }
            // The server has not yet seen the resets when the pass's changes go out.
            const std::string text = "round " + std::to_string(round);
            m_program->Labels().SetText(1, text);
            m_program->Labels().SetText(2, text);
            emit m_program->passFinished();
            QVERIFY(QTest::qWaitFor([this] { return m_server->SessionCount() == 1; }, 5000));
            QCOMPARE(survivor.NextObject().value("value").toString(), QString::fromStdString(text));
        }
        QCOMPARE(m_server->Stats().dropped, 5u * kClients);
    }

    // A client that stops reading gets, once it reads again, the newest value of each link rather than every
    // value it missed; one that takes nothing for the stall time is closed with 1008 and the reason.
    void slowClientsGetTheNewestValuesAndStalledOnesAreClosed()
    {
        m_server.reset();
        link::LinkLimits limits;
        limits.conflateBytes = 256 * 1024;
        limits.stallMs = 2000;
        m_server = std::make_unique<link::LinkServer>(*m_program, limits);
        m_port = *m_server->Listen(QHostAddress::LocalHost, 0);
        test::RawWebSocket client;
        QVERIFY(client.Open(m_port).startsWith("HTTP/1.1 101"));
        client.SendText(R"j({"op":"advise","item":"lblDDE(1)"})j");
        client.SendText(R"j({"op":"advise","item":"lblDDE(2)"})j");
        QVERIFY(client.WaitReceived(2 * 30));
        client.socket.setReadBufferSize(1024); // reads no more than this: the rest waits in the kernel, then the server

        const std::string bulk(100000, 'x');
        int changes = 0;
        const auto change = [&] {
            ++changes;
            m_program->Labels().SetText(1, bulk + std::to_string(changes));
            m_program->Labels().SetText(2, "v" + std::to_string(changes));
            emit m_program->passFinished();
        };
        QVERIFY(QTest::qWaitFor(
            [&] {
                change();
                return m_server->Stats().conflated > 0;
            },
            5000));
        for (int i = 0; i < 20; ++i) {
            change();
            QTest::qWait(1);
        }
        const QByteArray newest = "\"value\":\"v" + QByteArray::number(changes) + "\"";
        client.socket.setReadBufferSize(0);
        QVERIFY(QTest::qWaitFor(
            [&] {
                client.received += client.socket.readAll();
                return client.received.contains(newest);
            },
            5000));
        QVERIFY2(client.received.count("lblDDE(2)") < changes, "every missed value was sent");
        QCOMPARE(m_server->Stats().closedSlow, 0u);

        client.socket.setReadBufferSize(1024);
        QTest::qWait(50);
        client.socket.readAll();
        QVERIFY(QTest::qWaitFor(
            [&] {
                change();
                return m_server->Stats().closedSlow > 0;
            },
            10000));
        client.socket.setReadBufferSize(0);
        client.received.clear();
        QVERIFY(QTest::qWaitFor(
            [&] {
                client.received += client.socket.readAll();
                return client.received.contains("\x03\xf0the client has taken nothing for 2 s");
            },
            5000));
        QVERIFY(QTest::qWaitFor([this] { return m_server->SessionCount() == 0; }, 10000));
    }
};

QTEST_GUILESS_MAIN(LinkServerTest)
#include "LinkServerTest.moc"
