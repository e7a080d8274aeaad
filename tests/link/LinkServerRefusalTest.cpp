// Every input the link server refuses, over HTTP and over WebSocket: each gets a status and a reason that says
// what is wrong, and none changes a label, reaches a PLC, starts a run or leaves a link behind.

#include "LinkClients.h"

using namespace tavrel;

namespace {

// Small limits, so that the cases past them stay small.
constexpr qint64 kMaxBody = 64;
constexpr std::size_t kMaxLinks = 2;
constexpr int kMaxConnections = 3;

// One request on a connection of its own, written byte for byte, and what comes back until `until` has come, the
// server has closed the connection, or 5 s have passed.
QByteArray RawExchange(quint16 port, const QByteArray& request, const QByteArray& until)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000)) {
        return {};
    }
    socket.write(request);
    QByteArray received;
    (void)QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            return received.contains(until) || socket.state() == QAbstractSocket::UnconnectedState;
        },
        5000);
    return received + socket.readAll();
}

const QByteArray kToken = "s3cret-Token-0123456789";

const QByteArray kUpgradeHeaders = "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";

} // namespace

class LinkServerRefusalTest : public QObject, protected test::LinkBench
{
    Q_OBJECT

private:
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
        State state { {}, m_program->IsRunning(), m_script.Calls(false) };
        for (std::int32_t i = 0; i <= m_program->Labels().HighestIndex(); ++i) {
            state.labels.push_back(m_program->Labels().Text(i));
        }
        return state;
    }

    void UseAccess()
    {
        m_server->SetAccess({ .allowedOrigins = { QStringLiteral("http://scada.example:8080") },
                              .allowedHosts = { QStringLiteral("tavrel.plant") },
                              .token = kToken,
                              .usersFile = {},
                              .requireToken = false,
                              .allowPlainHttp = false });
    }

private slots:
    void init()
    {
        link::LinkLimits limits;
        limits.maxBodyBytes = kMaxBody;
        limits.maxLinksPerConnection = kMaxLinks;
        limits.maxConnections = kMaxConnections;
        QVERIFY(StartBench(limits));
        for (std::int32_t i = 1; i <= 7; ++i) {
            m_program->Labels().SetText(i, "before");
        }
        m_script.Clear();
    }

    // One row for each stage that refuses a request; what makes a poke unwritable or a value bad is the
    // exchange's to say, and its own tests list every case.
    void httpRefusals_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        const auto row
            = [](const char* name, const QByteArray& method, const QByteArray& path, const QByteArray& body, int status,
                 const QString& reason) { QTest::newRow(name) << method << path << body << status << reason; };
        const QByteArray item = "/dde/Tavrel/Items/";
        const QByteArray tooLong(kMaxBody + 1, '1');
        row("service", "GET", "/dde/Excel/Items/lblDDE(1)", {}, 404, "unknown service 'Excel'; the service is Tavrel");
        row("topic", "GET", "/dde/Tavrel/Things", {}, 404, "unknown topic 'Things'; the topics are Items and System");
        row("too short", "GET", "/dde/Tavrel", {}, 404, "paths are /dde/Tavrel/Items and");
        row("too deep", "GET", item + "lblDDE(1)/x", {}, 404, "paths are /dde/Tavrel/Items and");
        row("elsewhere", "GET", "/index.html", {}, 404, "no such path");
        row("item name", "GET", item + "lblDDE(-1)", {}, 400,
            "'lblDDE(-1)' is no item name; item names have the form lblDDE(n), n from 0 to 32767");
        row("no such item", "PUT", item + "lblDDE(99)", "1", 404, "no item lblDDE(99)");
        row("method on an item", "DELETE", item + "lblDDE(1)", {}, 405, "use GET to read the item, PUT to poke it");
        row("method on the list", "PUT", "/dde/Tavrel/Items", "1", 405, "use GET to list the items, POST to execute");
        row("execute too long", "POST", "/dde/Tavrel/Items", tooLong, 413, "the command is longer than 64 bytes");
        row("value too long", "PUT", item + "lblDDE(1)", tooLong, 413, "the value is longer than 64 bytes");
        row("read-only", "PUT", item + "lblDDE(2)", "5", 409, "lblDDE(2): the item is read-only");
        row("label 0", "PUT", item + "lblDDE(0)", "1", 404, "lblDDE(0) is no item of any PLC");
        row("out of range", "PUT", item + "lblDDE(4)", "-1", 422, "'-1' is out of range for MB (0 to 255)");
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

    // One row for each stage that refuses a message, beyond those the HTTP requests share.
    void webSocketRefusals_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        const auto row = [](const char* name, const QByteArray& message, int status, const QString& reason) {
            QTest::newRow(name) << message << status << reason;
        };
        row("not JSON", "{not json", 400, "a message is one JSON object");
        row("not an object", "[{\"op\":\"request\",\"item\":\"lblDDE(1)\"}]", 400, "a message is one JSON object");
        row("unknown op", "{\"op\":\"ADVISE\",\"item\":\"lblDDE(1)\"}", 400,
            "unknown op 'ADVISE'; use advise, unadvise, request, poke or execute");
        row("item not a text", "{\"op\":\"advise\",\"item\":7}", 400, "'' is no item name");
        row("no such item", "{\"op\":\"advise\",\"item\":\"lblDDE(300)\"}", 404, "no item lblDDE(300)");
        row("poke without a value", "{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":true}", 400,
            "poke needs a \"value\" text");
        row("poke refused", "{\"op\":\"poke\",\"item\":\"lblDDE(2)\",\"value\":\"5\"}", 409,
            "lblDDE(2): the item is read-only");
        row("poke of a huge number", "{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":1e300}", 422,
            "out of range for MI");
        row("poke too long",
            "{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":\"" + QByteArray(kMaxBody + 1, '1') + "\"}", 413,
            "the value is longer than 64 bytes");
        row("execute without a command", "{\"op\":\"execute\",\"command\":[\"Pump_STOP\"]}", 400,
            "execute needs a \"command\" text");
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
        for (std::int32_t i = 1; i <= 7; ++i) {
            m_program->Labels().SetText(i, "after");
        }
        QTest::qWait(50);
        QVERIFY2(client.messages.isEmpty(), qPrintable(client.messages.join('\n')));
        QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);
    }

    // A binary message is asked to be text; links beyond the limit are refused and not made.
    void webSocketLimits()
    {
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        const State before = Snapshot();
        client.socket.sendBinaryMessage("{\"op\":\"poke\",\"item\":\"lblDDE(1)\",\"value\":\"5\"}");
        QVERIFY(QTest::qWaitFor([&] { return !client.messages.isEmpty(); }, 5000));
        QCOMPARE(client.messages.takeFirst(),
                 QStringLiteral("{\"op\":\"error\",\"error\":\"send JSON text messages\"}"));
        QVERIFY(Snapshot() == before);

        QVERIFY(client.Advise("lblDDE(1)").contains("value"));
        QVERIFY(client.Advise("lblDDE(2)").contains("value"));
        const QJsonObject refused = client.Advise("lblDDE(4)");
        QCOMPARE(refused.value("status").toInt(), 429);
        QCOMPARE(refused.value("error").toString(), QStringLiteral("at most 2 links per connection"));
        m_program->Labels().SetText(4, "changed");
        QTest::qWait(50);
        QVERIFY2(client.messages.isEmpty(), qPrintable(client.messages.join('\n')));
    }

    // HEAD answers carry headers only: on a kept connection, body bytes would be read as the next answer.
    void headAnswersCarryNoBody()
    {
        for (const auto& [path, status] :
             { std::pair<QByteArray, QByteArray> { "/dde/Tavrel/Items/lblDDE(1)", "200 OK" },
               { "/dde/Tavrel/Items", "200 OK" },
               { "/dde/Tavrel/Items/lblDDE(99)", "404 Not Found" } }) {
            const QByteArray received
                = RawExchange(m_port,
                              "HEAD " + path
                                  + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                                    "GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                              "\r\n\r\nbefore");
            QVERIFY2(received.startsWith("HTTP/1.1 " + status + "\r\n"), received.constData());
            const qsizetype second = received.indexOf("\r\n\r\n") + 4;
            QVERIFY2(received.mid(second).startsWith("HTTP/1.1 200 OK\r\n"), received.constData());
            QVERIFY2(received.endsWith("\r\n\r\nbefore"), received.constData());
        }
    }

    // A WebSocket conversation opens on the list path alone; an upgrade elsewhere is refused and does nothing.
    void upgradesElsewhereAreRefused()
    {
        const State before = Snapshot();
        for (const QByteArray request :
             { "GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\n",
               "PUT /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nContent-Length: 2\r\n", "GET /socket HTTP/1.1\r\n" }) {
            const QByteArray received
                = RawExchange(m_port, request + "Host: 127.0.0.1\r\n" + kUpgradeHeaders + "\r\n42", "only\n");
            QVERIFY2(received.startsWith("HTTP/1.1 404 Not Found\r\n"), received.constData());
            QVERIFY2(received.endsWith("\r\n\r\nWebSocket conversations open on /dde/Tavrel/Items only\n"),
                     received.constData());
        }
        QCOMPARE(m_server->SessionCount(), 0u);
        QVERIFY(Snapshot() == before);
    }

    // Who may talk: the Host, the Origin and the access token are checked before anything else, for plain
    // requests and WebSocket upgrades alike, and a refused request does nothing. What may talk is served:
    // programs without an Origin, the server's own and listed origins (with the headers a browser needs to read
    // the answer), listed host names, and the token by header or, on an upgrade, in the query.
    void access_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("expected"); // a reason or a header of the answer
        const auto row = [](const char* name, const QByteArray& request, const char* status, const char* expected) {
            QTest::newRow(name) << request << QByteArray(status) << QByteArray(expected);
        };
        const QByteArray post = "POST /dde/Tavrel/Items HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n";
        const QByteArray upgrade = "GET /dde/Tavrel/Items HTTP/1.1\r\n" + kUpgradeHeaders;
        const QByteArray token = "Authorization: Bearer " + kToken + "\r\n";
        const QByteArray host = "Host: 127.0.0.1\r\n";
        const QByteArray foreign = "Origin: http://evil.example\r\n";
        row("foreign origin", post + host + token + foreign, "403 Forbidden",
            "requests from web pages of origin 'http://evil.example' are refused");
        row("foreign origin, upgrade", upgrade + host + token + foreign, "403 Forbidden",
            "add the origin to LinkAllowedOrigins");
        row("foreign preflight",
            "OPTIONS /dde/Tavrel/Items HTTP/1.1\r\n" + host + foreign + "Access-Control-Request-Method: POST\r\n",
            "403 Forbidden", "origin 'http://evil.example'");
        row("null origin", post + host + token + "Origin: null\r\n", "403 Forbidden", "origin 'null'");
        row("own origin on another port", post + host + token + "Origin: http://127.0.0.1:1\r\n", "403 Forbidden",
            "origin 'http://127.0.0.1:1'");
        row("rebound name", post + token + "Host: attacker.example:7410\r\n", "421 Misdirected Request",
            "this server is not 'attacker.example'");
        row("rebound name, upgrade", upgrade + token + "Host: attacker.example\r\n", "421 Misdirected Request",
            "add the name to LinkAllowedHosts");
        row("name short of an address", post + token + "Host: 127.1\r\n", "421 Misdirected Request", "not '127.1'");
        row("the live page, rebound name", "GET / HTTP/1.1\r\nHost: attacker.example\r\n", "421 Misdirected Request",
            "attacker");
        row("the live page, posted", "POST / HTTP/1.1\r\nContent-Length: 9\r\n" + host + token,
            "405 Method Not Allowed", "Allow: GET, HEAD");
        row("no token", post + host, "401 Unauthorized", "WWW-Authenticate: Bearer");
        row("wrong token", post + host + "Authorization: Bearer " + kToken + "x\r\n", "401 Unauthorized",
            "the access token is wrong");
        row("token of another scheme", post + host + "Authorization: Basic " + kToken + "\r\n", "401 Unauthorized",
            "this server needs its access token");
        row("token in the query of a request",
            "POST /dde/Tavrel/Items?token=" + kToken + " HTTP/1.1\r\nContent-Length: 9\r\n" + host, "401 Unauthorized",
            "needs its access token");
        row("no token, upgrade", upgrade + host, "401 Unauthorized", "?token=TOKEN will do too");
        row("wrong token, upgrade", "GET /dde/Tavrel/Items?token=nope HTTP/1.1\r\n" + kUpgradeHeaders + host,
            "401 Unauthorized", "the access token is wrong");

        row("no origin", post + host + token, "202 Accepted", "");
        row("scheme in any case", post + host + "authorization: bearer " + kToken + "\r\n", "202 Accepted", "");
        row("listed origin", post + host + token + "Origin: http://SCADA.example:8080/\r\n", "202 Accepted",
            "Access-Control-Allow-Origin: http://SCADA.example:8080/");
        row("own origin", post + host + token + "Origin: http://localhost:PORT\r\n", "202 Accepted", "Vary: Origin");
        row("listed host", post + token + "Host: Tavrel.Plant:7410\r\n", "202 Accepted", "");
        row("IPv6 host", post + token + "Host: [::1]:7410\r\n", "202 Accepted", "");
        row("preflight without token",
            "OPTIONS /dde/Tavrel/Items HTTP/1.1\r\n" + host
                + "Origin: http://scada.example:8080\r\nAccess-Control-Request-Method: PUT\r\n",
            "204 No Content", "Access-Control-Allow-Headers: Authorization, Content-Type");
        row("upgrade, token in query",
            "GET /dde/Tavrel/Items?token=" + kToken + " HTTP/1.1\r\n" + kUpgradeHeaders + host,
            "101 Switching Protocols", "");
        row("upgrade, token in header", upgrade + host + token, "101 Switching Protocols", "");
        // The live page holds no data: it comes without the token, and may reach only its own server.
        row("the live page", "GET / HTTP/1.1\r\n" + host, "200 OK",
            "connect-src 'self' ws://127.0.0.1 wss://127.0.0.1; ");
        row("the live page's script", "GET /web/page.js HTTP/1.1\r\n" + host, "200 OK", "Cache-Control: no-cache");
    }
    void access()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, expected);
        UseAccess();
        const State before = Snapshot();
        const QByteArray received
            = RawExchange(m_port, request.replace("PORT", QByteArray::number(m_port)) + "\r\nPump_STOP",
                          expected.isEmpty() ? "\r\n\r\n" : expected);
        QVERIFY2(received.startsWith("HTTP/1.1 " + status + "\r\n"), received.constData());
        QVERIFY2(received.contains(expected), received.constData());
        if (status.startsWith('4')) {
            QCOMPARE(m_server->SessionCount(), 0u);
            QTest::qWait(20);
            QVERIFY(Snapshot() == before);
        }
    }

    // Without a token, other machines are never served: the server will not listen where they can reach it.
    void noListeningOffLoopbackWithoutAToken()
    {
        link::LinkServer server(m_program->Service());
        for (const QHostAddress& address :
             { QHostAddress(QHostAddress::Any), QHostAddress(QStringLiteral("192.0.2.1")) }) {
            const auto refused = server.Listen(address, 0);
            QVERIFY(!refused.has_value());
            QVERIFY2(refused.error().find("without access tokens: make some with 'tavrel --add-token")
                         != std::string::npos,
                     refused.error().c_str());
        }
        QVERIFY(!server.Listening().has_value());
    }

    // Connections beyond the limit are refused with a reason; ended ones, WebSocket conversations too, free
    // their place.
    void connectionsBeyondTheLimitAreRefusedUntilOthersEnd()
    {
        const QByteArray get = "GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        for (int round = 0; round < 4; ++round) {
            std::vector<std::unique_ptr<test::LinkClient>> clients;
            for (int i = 0; i < kMaxConnections; ++i) {
                clients.push_back(std::make_unique<test::LinkClient>(m_port));
                QVERIFY2(clients.back()->WaitConnected(),
                         qPrintable(QStringLiteral("round %1, client %2").arg(round).arg(i)));
            }
            const QByteArray refused = RawExchange(m_port, get, "too many connections");
            QVERIFY2(refused.startsWith("HTTP/1.1 503 Service Unavailable\r\n"), refused.constData());
            QVERIFY2(refused.contains("too many connections"), refused.constData());
            for (auto& client : clients) {
                client->socket.close();
            }
            QVERIFY(QTest::qWaitFor([this] { return m_server->SessionCount() == 0; }, 5000));
            clients.clear();
            QTest::qWait(50);
            const QByteArray answered = RawExchange(m_port, get, "\r\n\r\nbefore");
            QVERIFY2(answered.startsWith("HTTP/1.1 200 OK\r\n"), answered.constData());
        }
    }
};

QTEST_GUILESS_MAIN(LinkServerRefusalTest)
#include "LinkServerRefusalTest.moc"
