#include "LinkClients.h"

#include <QJsonArray>
#include <QRegularExpression>

using namespace tavrel;
using namespace Qt::StringLiterals;
namespace op = common::operand;
namespace dir = common::direction;

class LinkServerTest : public QObject, protected test::LinkBench
{
    Q_OBJECT

private:
    QJsonArray ListJson(const QByteArray& path)
    {
        return QJsonDocument::fromJson(Call("GET", path, {}, "application/json").body)
            .object()
            .value("items")
            .toArray();
    }

private slots:
    void init() { QVERIFY(StartBench()); }

    void itemNames()
    {
        const std::pair<QString, int> cases[] = {
            { "LBLdde(12)", 12 }, { "lblDDE(0)", 0 },   { "lblDDE(32767)", 32767 },  { "lblDDE(32768)", -1 },
            { "lblDDE(07)", -1 }, { "lblDDE( 7)", -1 }, { "lblDDE(-1)", -1 },        { "lblDDE()", -1 },
            { "label(7)", -1 },   { "lblDDE(7", -1 },   { u"lblDDE(\u0667)"_s, -1 },
        };
        for (const auto& [name, index] : cases) {
            QVERIFY2(link::ParseItemName(name).value_or(-1) == index, qPrintable(name));
        }
    }

    void requestAndPokeOverHttp()
    {
        m_program->Labels().SetText(2, "17");
        QCOMPARE(Call("GET", "/dde/Tavrel/Items/lblDDE(2)").body, QByteArray("17"));
        QCOMPARE(Call("GET", "/dde/TAVREL/items/LBLdde(2)").body, QByteArray("17"));
        QCOMPARE(Call("GET", "/dde/Tavrel/Items/lblDDE%282%29").status, 200);
        QCOMPARE(Call("PUT", "/dde/Tavrel/Items/lblDDE(1)", "42").status, 204);
        QCOMPARE(m_program->Labels().Text(1), std::string("42"));
        QCOMPARE(Call("PUT", "/dde/Tavrel/Items/lblDDE(4)", "1\r\n").status, 204);
        QCOMPARE(m_program->Labels().Text(4), std::string("1")); // a trailing line break is no part of the value
    }

    // An item with a tag name is the same item under its name, in any case, over HTTP and the WebSocket; a vector's
    // elements are NAME[k]; a name no item has is not found, and the lists show each item's name.
    void itemsByTagName()
    {
        model::clsPlc& pump = *m_program->Project().colPlcs().front();
        pump.colItems()[0]->Details.name = "Pump.Speed";
        for (model::Clsitem& element : pump.colItems()[2]->Operands()) {
            element.Details.name
                = element.Label.Index() == 3 ? "Valve" : "Valve[" + std::to_string(element.Label.Index() - 3) + "]";
        }
        emit m_program->projectChanged();
        m_program->Labels().SetText(1, "1450");
        QCOMPARE(Call("GET", "/dde/Tavrel/Items/pump.SPEED").body, QByteArray("1450"));
        QCOMPARE(Call("PUT", "/dde/Tavrel/Items/Valve%5B2%5D", "1").status, 204);
        QCOMPARE(m_program->Labels().Text(5), std::string("1"));
        const test::HttpResponse missing = Call("GET", "/dde/Tavrel/Items/Pump.Flow");
        QCOMPARE(missing.status, 404);
        QCOMPARE(missing.body, QByteArray("no item is named 'Pump.Flow'\n"));
        QCOMPARE(ListJson("/dde/Tavrel/Items")[0].toObject().value("name").toString(), QStringLiteral("Pump.Speed"));
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        const QJsonObject advised = client.Ask(R"({"op":"advise","item":"valve"})");
        QCOMPARE(advised.value("item").toString(), QStringLiteral("lblDDE(3)"));
        QCOMPARE(advised.value("name").toString(), QStringLiteral("Valve"));
    }

    // Every execute is accepted, whatever it names (the program's tests say what each one does): a PLC's STOP
    // reaches it, and a RUN/STOP of any name toggles the run, the same command stopping it once the first pass is
    // over.
    // Commands that name something are carried out; the others are refused with the list of those there are, over
    // HTTP and the WebSocket alike, so that no script takes a typo for a stopped line.
    void executesReachTheProgramAndUnknownOnesAreRefused()
    {
        for (const QByteArray command : { "Pump_RESET", "STOP", "Tavrel_PAUSE" }) {
            const test::HttpResponse answer = Call("POST", "/dde/Tavrel/Items", command);
            QCOMPARE(answer.status, 400);
            QVERIFY2(answer.body.contains("Tavrel_RUN, Tavrel_STOP, Tavrel_RUN/STOP")
                         && answer.body.contains("PLCs Pump, Line_1"),
                     answer.body.constData());
        }
        QCOMPARE(Call("POST", "/dde/Tavrel/Items", "Pump_STOP").status, 202);
        // Each command is an event, refused or not; a client asks for those after the last it saw.
        const QJsonArray events = QJsonDocument::fromJson(Call("GET", "/dde/Tavrel/Events?after=1").body)
                                      .object()
                                      .value("events")
                                      .toArray();
        QCOMPARE(events.size(), 3);
        QCOMPARE(events.first().toObject().value("seq").toInt(), 2);
        QVERIFY(events[0].toObject().value("text").toString().startsWith("command 'STOP' from link 127.0.0.1:"));
        QCOMPARE(events.last().toObject().value("kind").toString(), QStringLiteral("command"));
        QCOMPARE(Call("GET", "/dde/Tavrel/Events?after=x").status, 400);
        const auto calls = m_script.Calls(false);
        QCOMPARE(std::count(calls.begin(), calls.end(), "PlcStop()"), 1);
        {
            test::LinkClient client(m_port);
            QVERIFY(client.WaitConnected());
            const QJsonObject refused = client.Ask(R"({"op":"execute","command":"hello world"})");
            QCOMPARE(refused.value("status").toInt(), 400);
            QVERIFY(refused.value("error").toString().startsWith(QStringLiteral("'hello world' is no command")));
            QCOMPARE(client.Ask(R"({"op":"execute","command":"Tavrel_STOP"})").value("ok").toBool(), true);
            QVERIFY(!m_program->IsRunning());
        }
        QCOMPARE(Call("POST", "/dde/Tavrel/Items", "Tavrel_RUN/STOP").status, 202);
        QVERIFY(m_program->IsRunning());
        QVERIFY(QTest::qWaitFor([this] { return m_program->IsRunToolEnabled(); }, 5000));
        QCOMPARE(Call("POST", "/dde/Tavrel/Items", "pump_run/stop").status, 202);
        QVERIFY(!m_program->IsRunning());
    }

    // The item list tells values and the state of each item's PLC; the System items are read-only.
    void listsOfItemsAndSystemItems()
    {
        m_program->Labels().SetText(2, "<5>");
        m_program->Project().colPlcs().back()->Connected = false;
        m_program->Project().colPlcs().back()->LastError = "no answer";
        const QJsonArray items = ListJson("/dde/Tavrel/Items");
        QCOMPARE(items.size(), 7);
        QCOMPARE(items[1].toObject().value("value").toString(), QStringLiteral("<5>"));
        QCOMPARE(items[2].toObject().value("item").toString(), QStringLiteral("lblDDE(3)"));
        QCOMPARE(items.first().toObject().value("plcConnected").toBool(), true);
        QCOMPARE(items.last().toObject().value("plcConnected").toBool(), false);
        QCOMPARE(items.last().toObject().value("plcError").toString(), QStringLiteral("no answer"));
        const test::HttpResponse html = Call("GET", "/dde/Tavrel/Items");
        QVERIFY(html.body.contains("<td>lblDDE(7)</td><td>Line_1</td>"));
        QVERIFY(html.body.contains("&lt;5&gt;"));

        QCOMPARE(ListJson("/dde/Tavrel/System").size(), 3 + 2 * 6); // the run's items, then six per PLC
        QCOMPARE(Call("GET", "/dde/tavrel/SYSTEM/pump.connected").body, QByteArray("1"));
        QCOMPARE(Call("GET", "/dde/Tavrel/System/Press.Connected").body,
                 QByteArray("no System item 'Press.Connected'\n"));
        for (const QByteArray path : { "/dde/Tavrel/System/Running", "/dde/Tavrel/System" }) {
            for (const QByteArray method : { "PUT", "POST" }) {
                const test::HttpResponse refused = Call(method, path, "1");
                QCOMPARE(refused.status, 405);
                QCOMPARE(refused.body, QByteArray("System items are read-only; use GET\n"));
            }
        }
        QVERIFY(!m_program->IsRunning());
    }

    void systemItemsFollowAPlcThatFailsAndComesBack()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        QCOMPARE(client.Advise("Pump.Connected", "System"),
                 QJsonObject({ { "topic", "System" }, { "item", "Pump.Connected" }, { "value", "1" } }));
        QCOMPARE(client.Advise("pump.errors", "System"),
                 QJsonObject({ { "topic", "System" }, { "item", "Pump.Errors" }, { "value", "0" } }));
        QCOMPARE(client.Advise("Running", "System").value("value"), QJsonValue("0"));
        QCOMPARE(client.Ask(R"({"op":"advise","topic":"System","item":"Pump.Nothing"})").value("status").toInt(), 404);
        QCOMPARE(client.Ask(R"({"op":"poke","topic":"System","item":"Running","value":"1"})").value("status").toInt(),
                 409);
        QCOMPARE(client.Ask(R"({"op":"request","topic":"Other","item":"Running"})").value("status").toInt(), 404);

        // The first exchange of the run, Pump's, fails; the next pass opens Pump again.
        m_script.Queue("ReadBinaryMix", { test::DriverAnswer::Fails() });
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

        QCOMPARE(client.NextObject(), QJsonObject({ { "topic", "System" }, { "item", "Running" }, { "value", "0" } }));
        client.Send({ { "op", "unadvise" }, { "topic", "System" }, { "item", "Running" } });
        QCOMPARE(client.NextObject().value("ok").toBool(), true);
    }

    // An advise answers at once, then with each change: one object, or an array of the changes that came
    // together; values are sent as JSON texts whatever they hold. An unadvise ends the link.
    void adviseAnswersAtOnceAndAtEveryChange()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        m_program->Labels().SetText(2, "1");
        const QJsonObject advised = client.Advise("lblDDE(2)");
        QCOMPARE(advised.value("item"), QJsonValue("lblDDE(2)"));
        QCOMPARE(advised.value("value"), QJsonValue("1"));
        QCOMPARE(advised.value("quality"), QJsonValue("waiting")); // its PLC has not answered
        QCOMPARE(client.Advise("lblDDE(1)").value("value"), QJsonValue(""));

        m_program->Labels().SetText(2, "say \"\\\n\"");
        QCOMPARE(client.NextObject().value("value").toString(), QStringLiteral("say \"\\\n\""));
        m_program->Labels().SetText(1, "a");
        m_program->Labels().SetText(2, "b");
        QVERIFY(QTest::qWaitFor([&] { return !client.messages.isEmpty(); }, 5000));
        const QJsonArray batch = QJsonDocument::fromJson(client.messages.takeFirst().toUtf8()).array();
        QCOMPARE(batch.size(), 2);
        QCOMPARE(batch[1].toObject().value("value").toString(), QStringLiteral("b"));

        client.Send({ { "op", "unadvise" }, { "item", "lblDDE(2)" } });
        QCOMPARE(client.NextObject().value("ok").toBool(), true);
        m_program->Labels().SetText(2, "3");
        QTest::qWait(100);
        QVERIFY(client.messages.isEmpty());
    }

    // Changes carry the time read and the quality, and the reason when not good; a request in JSON does too. A
    // label that is not UTF-8 still makes a valid text message, its bad bytes replaced.
    void changesCarryTheirTimeAndQuality()
    {
        auto& pump = *m_program->Project().colPlcs().front();
        pump.Answered = true;
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        client.Advise("lblDDE(2)");
        const QRegularExpression utcTime(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)");
        m_program->Labels().SetText(2, "5 \xFF\xC3");
        const QJsonObject change = client.NextObject();
        QCOMPARE(change.value("value").toString(), u"5 \uFFFD\uFFFD"_s);
        QVERIFY2(utcTime.match(change.value("ts").toString()).hasMatch(), qPrintable(change.value("ts").toString()));
        QCOMPARE(change.value("quality").toString(), u"stale"_s);
        QCOMPARE(change.value("reason").toString(), u"the run is stopped"_s);

        const QJsonObject state
            = QJsonDocument::fromJson(Call("GET", "/dde/Tavrel/Items/lblDDE(2)", {}, "application/json").body).object();
        QCOMPARE(state.value("item").toString(), u"lblDDE(2)"_s);
        QCOMPARE(state.value("ts"), change.value("ts"));
        QCOMPARE(state.value("quality").toString(), u"stale"_s);
        pump.Answered = false;
        m_program->Labels().SetText(2, "6");
        QCOMPARE(client.NextObject().value("quality").toString(), u"waiting"_s);
    }

    void removedItemsEndTheirLinks()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        client.Advise("lblDDE(3)");
        client.Advise("pump.connected", "System");
        auto& pump = *m_program->Project().colPlcs().front();
        pump.Name = "Press"; // told with the next change of the project
        QVERIFY(m_program->DeleteItem(pump.Key, pump.colItems()[2]->Key));
        const auto ended = [&] {
            QJsonObject message = client.NextObject();
            return message.take("reason").isString() ? message : QJsonObject();
        };
        QCOMPARE(ended(), QJsonObject({ { "op", "ended" }, { "item", "lblDDE(3)" } }));
        QCOMPARE(Call("GET", "/dde/Tavrel/Items/lblDDE(3)").status, 404);
        QCOMPARE(ended(), QJsonObject({ { "op", "ended" }, { "topic", "System" }, { "item", "Pump.Connected" } }));
    }

    // Requests, pokes and executes over the WebSocket. A number in a JSON poke is taken as the same poke written
    // as text, in a decimal-comma locale too.
    void conversationAnswersEveryRequest()
    {
        m_program->Environment().DecimalSeparator = ',';
        AddItem(*m_program->Project().colPlcs().front(), op::MF, dir::ReadWrite); // lblDDE(8)
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        client.Send({ { "op", "poke" }, { "item", "lblDDE(1)" }, { "value", "12" } });
        QCOMPARE(client.NextObject().value("ok").toBool(), true);
        client.Send({ { "op", "request" }, { "item", "lbldde(1)" } });
        QCOMPARE(client.NextObject().value("value").toString(), QStringLiteral("12"));
        client.Send({ { "op", "poke" }, { "item", "lblDDE(8)" }, { "value", 1.5 } });
        const QJsonObject answer = client.NextObject();
        QVERIFY2(answer.value("ok").toBool(), qPrintable(answer.value("error").toString()));
        QCOMPARE(m_program->Labels().Text(8), std::string("1,5"));
        client.Send({ { "op", "execute" }, { "command", "Pump_STOP" } });
        QCOMPARE(client.NextObject().value("ok").toBool(), true);
        QVERIFY(QTest::qWaitFor(
            [this] {
                const auto calls = m_script.Calls(false);
                return std::find(calls.begin(), calls.end(), "PlcStop()") != calls.end();
            },
            5000));
    }

    // Clients that reset their connections while a pass's changes are on their way: the flush that meets the
    // reset ends those sessions at once, and the server goes on with the others and with new ones.
    void resetConnectionsEndOnlyTheirOwnSessions()
    {
        constexpr int kClients = 20;
        test::LinkClient survivor(m_port);
        QVERIFY(survivor.WaitConnected());
        QVERIFY(survivor.Advise("lblDDE(1)").contains("value"));
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
        link::LinkLimits limits;
        limits.conflateBytes = 256 * 1024;
        limits.stallMs = 2000;
        QVERIFY(StartBench(limits));
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
        QVERIFY(client.WaitFor(newest));
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
        QVERIFY(client.WaitFor("\x03\xf0the client has taken nothing for 2 s"));
        QVERIFY(QTest::qWaitFor([this] { return m_server->SessionCount() == 0; }, 10000));
    }
};

QTEST_GUILESS_MAIN(LinkServerTest)
#include "LinkServerTest.moc"
