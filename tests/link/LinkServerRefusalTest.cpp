// Every input the link server refuses, over HTTP and over WebSocket: each gets a status and a reason that says
// what is wrong, and none changes a label, reaches a PLC, starts a run or leaves a link behind.

#include "link/LinkServer.h"

#include "common/OperandCatalogue.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"
#include "LinkClients.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

using namespace tavrel;
namespace op = common::operand;
namespace dir = common::direction;

namespace {

// Small limits, so that the cases past them stay small.
constexpr qint64 kMaxBody = 64;
constexpr std::size_t kMaxLinks = 2;
constexpr int kMaxConnections = 3;

// One request on a connection of its own, written byte for byte, and everything that comes back within 500 ms.
QByteArray RawExchange(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000)) {
        return {};
    }
    socket.write(request);
    QByteArray received;
    (void)QTest::qWaitFor([&] {
        received += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }, 500);
    return received + socket.readAll();
}

const QByteArray kToken = "s3cret-Token-0123456789";

const QByteArray kUpgradeHeaders = "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";

} // namespace

class LinkServerRefusalTest : public QObject
{
    Q_OBJECT

private:
    test::TempDir m_dir;
    test::DriverScript m_script;
    std::unique_ptr<app::Program> m_program;
    std::unique_ptr<link::LinkServer> m_server;
    quint16 m_port = 0;
    QNetworkAccessManager m_network;

    void AddItem(model::clsPlc& plc, std::int32_t type, std::int32_t direction, std::int32_t length = 1,
                 bool enabled = true)
    {
        std::int32_t label = -1;
        QVERIFY(plc.AddItems(length, 0, type, direction, enabled, label));
    }

    // What a refused input must leave as it was: every label, the run, and the PLCs (no driver call at all).
    struct State
    {
        std::vector<std::string> labels;
        bool running;
        std::vector<std::string> calls;
        bool operator==(const State&) const = default;
    };
    State Snapshot() const
    {
        State state{{}, m_program->IsRunning(), m_script.Calls(false)};
        for (std::int32_t i = 0; i <= m_program->Labels().HighestIndex(); ++i) {
            state.labels.push_back(m_program->Labels().Text(i));
        }
        return state;
    }

    void UseAccess()
    {
        m_server->SetAccess(
            { { QStringLiteral("http://scada.example:8080") }, { QStringLiteral("tavrel.plant") }, kToken });
    }

    test::HttpResponse Call(const QByteArray& method, const QByteArray& path, const QByteArray& body = {})
    {
        return test::HttpCall(m_network, m_port, method, path, body);
    }

private slots:
    void init()
    {
        m_script = test::DriverScript();
        m_program = std::make_unique<app::Program>(common::Settings(m_dir / "t.ini", "tavrel"), m_script.Factory(),
                                                   m_dir / "missing-template.tvb");
        // Pump: 1 MI Read/Write, 2 MI Read, 3..5 MB Write vector, 6 MI disabled, 7 ML, 8 MF, 9 DW; Line_1: 10 I.
        auto pump = m_program->Project().NewPlc();
        pump->Name = "Pump";
        auto& plc = m_program->Project().AddPLC(std::move(pump));
        AddItem(plc, op::MI, dir::ReadWrite);
        AddItem(plc, op::MI, dir::Read);
        AddItem(plc, op::MB, dir::Write, 3);
        AddItem(plc, op::MI, dir::ReadWrite, 1, false);
        AddItem(plc, op::ML, dir::ReadWrite);
        AddItem(plc, op::MF, dir::ReadWrite);
        AddItem(plc, op::DW, dir::Write);
        auto line = m_program->Project().NewPlc();
        line->Name = "Line_1";
        AddItem(m_program->Project().AddPLC(std::move(line)), op::I, dir::ReadWrite);
        for (std::int32_t i = 1; i <= 10; ++i) {
            m_program->Labels().SetText(i, "before");
        }

        link::LinkLimits limits;
        limits.maxBodyBytes = kMaxBody;
        limits.maxLinksPerConnection = kMaxLinks;
        limits.maxConnections = kMaxConnections;
        m_server = std::make_unique<link::LinkServer>(*m_program, limits);
        auto port = m_server->Listen(QHostAddress::LocalHost, 0);
        QVERIFY(port.has_value());
        m_port = *port;
        m_script.Clear();
    }

    void cleanup()
    {
        m_server.reset();
        m_program.reset();
    }

    void httpRefusals_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        const QByteArray item = "/dde/Tavrel/Items/";
        const QByteArray tooLong(kMaxBody + 1, '1');
        // Paths and names.
        QTest::newRow("service") << QByteArray("GET") << QByteArray("/dde/Excel/Items/lblDDE(1)") << QByteArray() << 404 << "unknown service 'Excel'; the service is Tavrel";
        QTest::newRow("topic") << QByteArray("GET") << QByteArray("/dde/Tavrel/Things") << QByteArray() << 404 << "unknown topic 'Things'; the topics are Items and System";
        QTest::newRow("too short") << QByteArray("GET") << QByteArray("/dde/Tavrel") << QByteArray() << 404 << "paths are /dde/Tavrel/Items and";
        QTest::newRow("too deep") << QByteArray("GET") << item + "lblDDE(1)/x" << QByteArray() << 404 << "paths are /dde/Tavrel/Items and";
        QTest::newRow("elsewhere") << QByteArray("GET") << QByteArray("/index.html") << QByteArray() << 404 << "no such path";
        QTest::newRow("sign") << QByteArray("GET") << item + "lblDDE(-1)" << QByteArray() << 400 << "'lblDDE(-1)' is no item name";
        QTest::newRow("beyond 32767") << QByteArray("GET") << item + "lblDDE(32768)" << QByteArray() << 400 << "n from 0 to 32767";
        QTest::newRow("leading zero") << QByteArray("GET") << item + "lblDDE(01)" << QByteArray() << 400 << "is no item name";
        QTest::newRow("blank") << QByteArray("GET") << item + "lblDDE(%201)" << QByteArray() << 400 << "is no item name";
        QTest::newRow("other digits") << QByteArray("GET") << item + "lblDDE(%D9%A1)" << QByteArray() << 400 << "is no item name";
        QTest::newRow("NUL") << QByteArray("GET") << item + "lblDDE(1%00)" << QByteArray() << 400 << "is no item name";
        QTest::newRow("no such item") << QByteArray("GET") << item + "lblDDE(99)" << QByteArray() << 404 << "no item lblDDE(99)";
        // Methods.
        QTest::newRow("delete an item") << QByteArray("DELETE") << item + "lblDDE(1)" << QByteArray() << 405 << "use GET to read the item, PUT to poke it";
        QTest::newRow("execute on an item") << QByteArray("POST") << item + "lblDDE(1)" << QByteArray("Pump_STOP") << 405 << "use GET to read the item";
        QTest::newRow("poke the list") << QByteArray("PUT") << QByteArray("/dde/Tavrel/Items") << QByteArray("1") << 405 << "use GET to list the items, POST to execute";
        QTest::newRow("execute too long") << QByteArray("POST") << QByteArray("/dde/Tavrel/Items") << QByteArray(kMaxBody + 1, 'x') << 413 << "the command is longer than 64 bytes";
        // Pokes.
        QTest::newRow("read-only") << QByteArray("PUT") << item + "lblDDE(2)" << QByteArray("5") << 409 << "lblDDE(2): the item is read-only";
        QTest::newRow("disabled") << QByteArray("PUT") << item + "lblDDE(6)" << QByteArray("5") << 409 << "the item is disabled";
        QTest::newRow("no write") << QByteArray("PUT") << item + "lblDDE(10)" << QByteArray("1") << 409 << "operand type I cannot be written";
        QTest::newRow("label 0") << QByteArray("PUT") << item + "lblDDE(0)" << QByteArray("1") << 404 << "lblDDE(0) is no item of any PLC";
        QTest::newRow("not loaded") << QByteArray("PUT") << item + "lblDDE(99)" << QByteArray("1") << 404 << "no item lblDDE(99)";
        QTest::newRow("letters") << QByteArray("PUT") << item + "lblDDE(1)" << QByteArray("abc") << 422 << "'abc' is not a number";
        QTest::newRow("hexadecimal") << QByteArray("PUT") << item + "lblDDE(1)" << QByteArray("0x10") << 422 << "'0x10' is not a number";
        QTest::newRow("other separator") << QByteArray("PUT") << item + "lblDDE(1)" << QByteArray("1,5") << 422 << "'1,5' is not a number";
        QTest::newRow("two numbers") << QByteArray("PUT") << item + "lblDDE(1)" << QByteArray("1 2") << 422 << "not a number";
        QTest::newRow("beyond a word") << QByteArray("PUT") << item + "lblDDE(1)" << QByteArray("32768") << 422 << "'32768' is out of range for MI (-32768 to 32767)";
        QTest::newRow("below a byte") << QByteArray("PUT") << item + "lblDDE(4)" << QByteArray("-1") << 422 << "out of range for MB (0 to 255)";
        QTest::newRow("beyond a long") << QByteArray("PUT") << item + "lblDDE(7)" << QByteArray("2147483648") << 422 << "out of range for ML (-2147483648 to 2147483647)";
        QTest::newRow("beyond a float") << QByteArray("PUT") << item + "lblDDE(8)" << QByteArray("1e39") << 422 << "out of range for MF (a single-precision number)";
        QTest::newRow("beyond a currency") << QByteArray("PUT") << item + "lblDDE(9)" << QByteArray("1e20") << 422 << "out of range for DW";
        QTest::newRow("value too long") << QByteArray("PUT") << item + "lblDDE(1)" << tooLong << 413 << "the value is longer than 64 bytes";
    }
    void httpRefusals()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, reason);
        const State before = Snapshot();
        const test::HttpResponse response = Call(method, path, body);
        QCOMPARE(response.status, status);
        QVERIFY2(QString::fromUtf8(response.body).contains(reason), response.body.constData());
        QVERIFY2(response.body.endsWith('\n'), "a reason is a line of text");
        QTest::qWait(20); // a run or a write would start in the event loop
        QVERIFY(Snapshot() == before);
    }

    void webSocketRefusals_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        const QString oneObject = QStringLiteral("a message is one JSON object");
        QTest::newRow("not JSON") << QByteArray("{not json") << 400 << oneObject;
        QTest::newRow("array") << QByteArray("[{\"op\":\"request\",\"item\":\"lblDDE(1)\"}]") << 400 << oneObject;
        QTest::newRow("text") << QByteArray("\"advise\"") << 400 << oneObject;
        QTest::newRow("empty") << QByteArray("") << 400 << oneObject;
        QTest::newRow("no op") << QByteArray("{}") << 400 << "unknown op ''; use advise, unadvise, request, poke or execute";
        QTest::newRow("op a number") << QByteArray("{\"op\":5}") << 400 << "unknown op";
        QTest::newRow("unknown op") << QByteArray("{\"op\":\"dance\"}") << 400 << "unknown op 'dance'";
        QTest::newRow("op in capitals") << QByteArray("{\"op\":\"ADVISE\",\"item\":\"lblDDE(1)\"}") << 400 << "unknown op 'ADVISE'";
        QTest::newRow("no item") << QByteArray("{\"op\":\"advise\"}") << 400 << "'' is no item name";
        QTest::newRow("item a number") << QByteArray("{\"op\":\"advise\",\"item\":7}") << 400 << "is no item name";
        QTest::newRow("open name") << QByteArray("{\"op\":\"request\",\"item\":\"lblDDE(1\"}") << 400 << "'lblDDE(1' is no item name";
        QTest::newRow("advise unknown") << QByteArray("{\"op\":\"advise\",\"item\":\"lblDDE(300)\"}") << 404 << "no item lblDDE(300)";
        QTest::newRow("request unknown") << QByteArray("{\"op\":\"request\",\"item\":\"lblDDE(300)\"}") << 404 << "no item lblDDE(300)";
        QTest::newRow("poke no value") << QByteArray("{\"op\":\"poke\",\"item\":\"lblDDE(1)\"}") << 400 << "poke needs a \"value\" text";
        QTest::newRow("poke true") << QByteArray("{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":true}") << 400 << "poke needs a \"value\" text";
        QTest::newRow("poke null") << QByteArray("{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":null}") << 400 << "poke needs a \"value\" text";
        QTest::newRow("poke object") << QByteArray("{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":{}}") << 400 << "poke needs a \"value\" text";
        QTest::newRow("poke read-only") << QByteArray("{\"op\":\"poke\",\"item\":\"lblDDE(2)\",\"value\":\"5\"}") << 409 << "lblDDE(2): the item is read-only";
        QTest::newRow("poke letters") << QByteArray("{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":\"abc\"}") << 422 << "'abc' is not a number";
        QTest::newRow("poke huge number") << QByteArray("{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":1e300}") << 422 << "out of range for MI";
        QTest::newRow("poke label 0") << QByteArray("{\"op\":\"poke\",\"item\":\"lblDDE(0)\",\"value\":\"1\"}") << 404 << "no item of any PLC";
        QTest::newRow("poke too long") << "{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":\"" + QByteArray(kMaxBody + 1, '1') + "\"}" << 413 << "the value is longer than 64 bytes";
        QTest::newRow("execute no command") << QByteArray("{\"op\":\"execute\"}") << 400 << "execute needs a \"command\" text";
        QTest::newRow("execute a list") << QByteArray("{\"op\":\"execute\",\"command\":[\"Pump_STOP\"]}") << 400 << "execute needs a \"command\" text";
    }
    void webSocketRefusals()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, status);
        QFETCH(QString, reason);
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        const State before = Snapshot();
        const QJsonObject answer = client.Ask(message);
        QCOMPARE(answer.value("ok"), QJsonValue(false));
        QCOMPARE(answer.value("status").toInt(), status);
        QVERIFY2(answer.value("error").toString().contains(reason), qPrintable(answer.value("error").toString()));
        const QJsonValue named = QJsonDocument::fromJson(message).object().value("item");
        QCOMPARE(answer.value("item"), named.isString() ? named : QJsonValue(QJsonValue::Undefined));
        QTest::qWait(20);
        QVERIFY(Snapshot() == before);
        // No link was made: a change of any label sends nothing.
        for (std::int32_t i = 1; i <= 10; ++i) {
            m_program->Labels().SetText(i, "after");
        }
        QTest::qWait(50);
        QVERIFY2(client.messages.isEmpty(), qPrintable(client.messages.join('\n')));
        QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);
    }

    void aBinaryMessageIsAskedToBeText()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        const State before = Snapshot();
        client.socket.sendBinaryMessage("{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":\"5\"}");
        QVERIFY(QTest::qWaitFor([&] { return !client.messages.isEmpty(); }, 5000));
        QCOMPARE(client.messages.takeFirst(), QStringLiteral("{\"op\":\"error\",\"error\":\"send JSON text messages\"}"));
        QVERIFY(Snapshot() == before);
    }

    void linksBeyondTheLimitAreRefusedAndNotMade()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        QVERIFY(client.Ask("{\"op\":\"advise\",\"item\":\"lblDDE(1)\"}").contains("value"));
        QVERIFY(client.Ask("{\"op\":\"advise\",\"item\":\"lblDDE(2)\"}").contains("value"));
        const QJsonObject refused = client.Ask("{\"op\":\"advise\",\"item\":\"lblDDE(4)\"}");
        QCOMPARE(refused.value("status").toInt(), 429);
        QCOMPARE(refused.value("error").toString(), QStringLiteral("at most 2 links per connection"));
        m_program->Labels().SetText(4, "changed");
        QTest::qWait(50);
        QVERIFY2(client.messages.isEmpty(), qPrintable(client.messages.join('\n')));
    }

    // HEAD answers carry headers only: on a kept connection, body bytes would be read as the next answer.
    void headAnswersCarryNoBody_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("item") << QByteArray("/dde/Tavrel/Items/lblDDE(1)") << QByteArray("200 OK");
        QTest::newRow("list") << QByteArray("/dde/Tavrel/Items") << QByteArray("200 OK");
        QTest::newRow("unknown item") << QByteArray("/dde/Tavrel/Items/lblDDE(99)") << QByteArray("404 Not Found");
        QTest::newRow("bad name") << QByteArray("/dde/Tavrel/Items/x") << QByteArray("400 Bad Request");
        QTest::newRow("elsewhere") << QByteArray("/x") << QByteArray("404 Not Found");
    }
    void headAnswersCarryNoBody()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, status);
        const QByteArray received = RawExchange(m_port, "HEAD " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                                                        "GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QVERIFY2(received.startsWith("HTTP/1.1 " + status + "\r\n"), received.constData());
        const qsizetype second = received.indexOf("\r\n\r\n") + 4;
        QVERIFY2(received.mid(second).startsWith("HTTP/1.1 200 OK\r\n"), received.constData());
        QVERIFY2(received.endsWith("\r\n\r\nbefore"), received.constData());
    }

    // A WebSocket conversation opens on the list path alone; an upgrade elsewhere is refused and does nothing.
    void upgradesElsewhereAreRefused_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("item") << QByteArray("GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\n");
        QTest::newRow("poke") << QByteArray("PUT /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nContent-Length: 2\r\n");
        QTest::newRow("service") << QByteArray("GET /dde/Excel/Items HTTP/1.1\r\n");
        QTest::newRow("elsewhere") << QByteArray("GET /socket HTTP/1.1\r\n");
    }
    void upgradesElsewhereAreRefused()
    {
        QFETCH(QByteArray, request);
        const State before = Snapshot();
        const QByteArray received = RawExchange(m_port, request + "Host: 127.0.0.1\r\n" + kUpgradeHeaders + "\r\n42");
        QVERIFY2(received.startsWith("HTTP/1.1 404 Not Found\r\n"), received.constData());
        QVERIFY2(received.endsWith("\r\n\r\nWebSocket conversations open on /dde/Tavrel/Items only\n"), received.constData());
        QCOMPARE(m_server->SessionCount(), 0u);
        QVERIFY(Snapshot() == before);
    }

    // Who may talk: the Host, the Origin and the access token are checked before anything else, for plain
    // requests and WebSocket upgrades alike; a refused request does nothing.
    void accessRefusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("expected"); // a reason or a header of the answer
        const QByteArray post = "POST /dde/Tavrel/Items HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n";
        const QByteArray upgrade = "GET /dde/Tavrel/Items HTTP/1.1\r\n" + kUpgradeHeaders;
        const QByteArray token = "Authorization: Bearer " + kToken + "\r\n";
        const QByteArray host = "Host: 127.0.0.1\r\n";
        QTest::newRow("foreign origin") << post + host + token + "Origin: http://evil.example\r\n"
                                        << QByteArray("403 Forbidden")
                                        << QByteArray(
                                               "requests from web pages of origin 'http://evil.example' are refused");
        QTest::newRow("foreign origin, upgrade")
            << upgrade + host + token + "Origin: http://evil.example\r\n"
            << QByteArray("403 Forbidden") << QByteArray("add the origin to LinkAllowedOrigins");
        QTest::newRow("null origin") << post + host + token + "Origin: null\r\n"
                                     << QByteArray("403 Forbidden") << QByteArray("origin 'null'");
        QTest::newRow("own origin on another port")
            << post + host + token + "Origin: http://127.0.0.1:1\r\n"
            << QByteArray("403 Forbidden") << QByteArray("origin 'http://127.0.0.1:1'");
        QTest::newRow("rebound name") << post + token + "Host: attacker.example:7410\r\n"
                                      << QByteArray("421 Misdirected Request")
                                      << QByteArray("this server is not 'attacker.example'");
        QTest::newRow("rebound name, upgrade")
            << upgrade + token + "Host: attacker.example\r\n"
            << QByteArray("421 Misdirected Request") << QByteArray("add the name to LinkAllowedHosts");
        QTest::newRow("name short of an address") << post + token + "Host: 127.1\r\n"
                                                  << QByteArray("421 Misdirected Request") << QByteArray("not '127.1'");
        QTest::newRow("the live page, posted")
            << "POST / HTTP/1.1\r\nContent-Length: 9\r\n" + host + token << QByteArray("405 Method Not Allowed")
            << QByteArray("Allow: GET, HEAD");
        QTest::newRow("the live page, rebound name") << QByteArray("GET / HTTP/1.1\r\nHost: attacker.example\r\n")
                                                     << QByteArray("421 Misdirected Request") << QByteArray("attacker");
        QTest::newRow("no token") << post + host << QByteArray("401 Unauthorized")
                                  << QByteArray("this server needs its access token");
        QTest::newRow("no token, challenge")
            << post + host << QByteArray("401 Unauthorized") << QByteArray("WWW-Authenticate: Bearer");
        QTest::newRow("wrong token") << post + host + "Authorization: Bearer " + kToken + "x\r\n"
                                     << QByteArray("401 Unauthorized") << QByteArray("the access token is wrong");
        QTest::newRow("token of another scheme")
            << post + host + "Authorization: Basic " + kToken + "\r\n"
            << QByteArray("401 Unauthorized") << QByteArray("needs its access token");
        QTest::newRow("token in the query of a request")
            << "POST /dde/Tavrel/Items?token=" + kToken + " HTTP/1.1\r\nContent-Length: 9\r\n" + host
            << QByteArray("401 Unauthorized") << QByteArray("needs its access token");
        QTest::newRow("no token, upgrade")
            << upgrade + host << QByteArray("401 Unauthorized") << QByteArray("?token=TOKEN will do too");
        QTest::newRow("wrong token, upgrade")
            << "GET /dde/Tavrel/Items?token=nope HTTP/1.1\r\n" + kUpgradeHeaders + host
            << QByteArray("401 Unauthorized") << QByteArray("the access token is wrong");
        QTest::newRow("foreign preflight") << "OPTIONS /dde/Tavrel/Items HTTP/1.1\r\n" + host
                + "Origin: http://evil.example\r\nAccess-Control-Request-Method: POST\r\n"
                                           << QByteArray("403 Forbidden") << QByteArray("origin 'http://evil.example'");
    }
    void accessRefusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, expected);
        UseAccess();
        const State before = Snapshot();
        const QByteArray received = RawExchange(m_port, request + "\r\nPump_STOP");
        QVERIFY2(received.startsWith("HTTP/1.1 " + status + "\r\n"), received.constData());
        QVERIFY2(received.contains(expected), received.constData());
        QCOMPARE(m_server->SessionCount(), 0u);
        QTest::qWait(20);
        QVERIFY(Snapshot() == before);
    }

    // What may talk is served: programs without an Origin, the server's own and listed origins (with the
    // headers a browser needs to read the answer), listed host names, and the token by header or, on an
    // upgrade, in the query.
    void accessGranted_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray post = "POST /dde/Tavrel/Items HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n";
        const QByteArray token = "Authorization: Bearer " + kToken + "\r\n";
        const QByteArray host = "Host: 127.0.0.1\r\n";
        QTest::newRow("no origin") << post + host + token << QByteArray("202 Accepted") << QByteArray();
        QTest::newRow("token in any case of scheme") << post + host + "authorization: bearer " + kToken + "\r\n"
                                                     << QByteArray("202 Accepted") << QByteArray();
        QTest::newRow("listed origin") << post + host + token + "Origin: http://SCADA.example:8080/\r\n"
                                       << QByteArray("202 Accepted")
                                       << QByteArray("Access-Control-Allow-Origin: http://SCADA.example:8080/");
        QTest::newRow("own origin") << post + host + token + "Origin: http://localhost:PORT\r\n"
                                    << QByteArray("202 Accepted") << QByteArray("Vary: Origin");
        QTest::newRow("listed host") << post + token + "Host: Tavrel.Plant:7410\r\n"
                                     << QByteArray("202 Accepted") << QByteArray();
        QTest::newRow("IPv6 host") << post + token + "Host: [::1]:7410\r\n"
                                   << QByteArray("202 Accepted") << QByteArray();
        QTest::newRow("preflight without token")
            << "OPTIONS /dde/Tavrel/Items HTTP/1.1\r\n" + host
                + "Origin: http://scada.example:8080\r\nAccess-Control-Request-Method: PUT\r\n"
            << QByteArray("204 No Content") << QByteArray("Access-Control-Allow-Headers: Authorization, Content-Type");
        QTest::newRow("upgrade, token in query")
            << "GET /dde/Tavrel/Items?token=" + kToken + " HTTP/1.1\r\n" + kUpgradeHeaders + host
            << QByteArray("101 Switching Protocols") << QByteArray();
        // The live page holds no data: it comes without the token, and may reach only its own server.
        QTest::newRow("the live page") << "GET / HTTP/1.1\r\n" + host << QByteArray("200 OK")
                                       << QByteArray("connect-src 'self' ws://127.0.0.1; ");
        QTest::newRow("the live page's script")
            << "GET /web/page.js HTTP/1.1\r\n" + host << QByteArray("200 OK") << QByteArray("Cache-Control: no-cache");
        QTest::newRow("upgrade, token in header")
            << "GET /dde/Tavrel/Items HTTP/1.1\r\n" + kUpgradeHeaders + host + token
            << QByteArray("101 Switching Protocols") << QByteArray();
    }
    void accessGranted()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, expected);
        UseAccess();
        const QByteArray received
            = RawExchange(m_port, request.replace("PORT", QByteArray::number(m_port)) + "\r\nPump_STOP");
        QVERIFY2(received.startsWith("HTTP/1.1 " + status + "\r\n"), received.constData());
        QVERIFY2(received.contains(expected), received.constData());
    }

    // Without a token, other machines are never served: the server will not listen where they can reach it.
    void noListeningOffLoopbackWithoutAToken()
    {
        link::LinkServer server(*m_program);
        for (const QHostAddress& address :
             { QHostAddress(QHostAddress::Any), QHostAddress(QStringLiteral("192.0.2.1")) }) {
            const auto refused = server.Listen(address, 0);
            QVERIFY(!refused.has_value());
            QVERIFY2(refused.error().find("without an access token: set LinkTokenFile") != std::string::npos,
                     refused.error().c_str());
        }
        QVERIFY(!server.Listening().has_value());
    }

    // Connections beyond the limit are refused with a reason; ended ones, WebSocket conversations too, free
    // their place.
    void connectionsBeyondTheLimitAreRefusedUntilOthersEnd()
    {
        for (int round = 0; round < 4; ++round) {
            std::vector<std::unique_ptr<test::LinkClient>> clients;
            for (int i = 0; i < kMaxConnections; ++i) {
                clients.push_back(std::make_unique<test::LinkClient>(m_port));
                QVERIFY2(clients.back()->WaitConnected(), qPrintable(QStringLiteral("round %1, client %2").arg(round).arg(i)));
            }
            const QByteArray refused = RawExchange(m_port, "GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            QVERIFY2(refused.startsWith("HTTP/1.1 503 Service Unavailable\r\n"), refused.constData());
            QVERIFY2(refused.contains("too many connections"), refused.constData());
            for (auto& client : clients) {
                client->socket.close();
            }
            QVERIFY(QTest::qWaitFor([this] { return m_server->SessionCount() == 0; }, 5000));
            clients.clear();
            QTest::qWait(50);
            const QByteArray answered = RawExchange(m_port, "GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            QVERIFY2(answered.startsWith("HTTP/1.1 200 OK\r\n"), answered.constData());
        }
    }
};

QTEST_GUILESS_MAIN(LinkServerRefusalTest)
#include "LinkServerRefusalTest.moc"
