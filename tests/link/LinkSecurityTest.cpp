// Roles, TLS and the audit trail on the link server: what a reader's and an operator's token may do over HTTP and
// WebSocket, HTTPS and WSS with a certificate the test makes, and the lines every poke and command leaves.

#include "LinkClients.h"

#include "app/AuditTrail.h"
#include "common/UsersFile.h"
#include "link/LinkTls.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

using namespace tavrel;
namespace fs = std::filesystem;

namespace {

// A self-signed certificate for 127.0.0.1 and its key, made by openssl; `days` -1 makes one that has expired.
bool MakeCertificate(const fs::path& cert, const fs::path& key, int days = 2)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                    QString::fromStdString(key.string()), "-out", QString::fromStdString(cert.string()), "-days",
                    QString::number(std::max(days, 1)) });
    if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0) {
        return false;
    }
    fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write);
    if (days >= 0) {
        return true;
    }
    // Signed again to end before it begins: expired from the start.
    openssl.start(QStringLiteral("openssl"),
                  { "x509", "-in", QString::fromStdString(cert.string()), "-signkey",
                    QString::fromStdString(key.string()), "-days", QString::number(days), "-out",
                    QString::fromStdString(cert.string()) });
    return openssl.waitForFinished(20000) && openssl.exitCode() == 0;
}

// What comes back on a connection of its own for `request`, until the server closes it or 5 s have passed.
QByteArray Exchange(quint16 port, const QByteArray& request, int waitMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000)) {
        return "no connection";
    }
    socket.write(request);
    QByteArray received;
    (void)QTest::qWaitFor(
        [&] {
            received += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        waitMs);
    return socket.state() == QAbstractSocket::UnconnectedState ? received + socket.readAll() : "still open";
}

} // namespace

class LinkSecurityTest : public QObject, protected test::LinkBench
{
    Q_OBJECT

private:
    /// The tokens of the users file, by name.
    std::map<QString, QByteArray> m_tokens;

    void UseUsersFile(bool requireToken)
    {
        link::LinkAccess access;
        access.usersFile = m_dir / "tavrel.users";
        access.requireToken = requireToken;
        m_server->SetAccess(access);
    }

    test::HttpResponse CallAs(const QString& who, const QByteArray& method, const QByteArray& path,
                              const QByteArray& body = {}, QByteArray* role = nullptr)
    {
        QNetworkRequest request(QUrl::fromEncoded("http://127.0.0.1:" + QByteArray::number(m_port) + path));
        if (!who.isEmpty()) {
            request.setRawHeader("Authorization", "Bearer " + m_tokens[who]);
        }
        QNetworkReply* reply = m_network.sendCustomRequest(request, method, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(5000);
        if (role != nullptr) {
            *role = reply->rawHeader("X-Tavrel-Role");
        }
        test::HttpResponse response { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                                      reply->readAll() };
        reply->deleteLater();
        return response;
    }

    QJsonArray AuditLines()
    {
        return QJsonDocument::fromJson(CallAs(QStringLiteral("boss"), "GET", "/dde/Tavrel/Audit").body).array();
    }

private slots:
    void init()
    {
        QVERIFY(StartBench());
        common::UsersFile users(m_dir / "tavrel.users");
        for (const auto& [name, role] :
             { std::pair("board", common::Role::Reader), std::pair("boss", common::Role::Operator) }) {
            const auto token = users.AddToken(name, role);
            QVERIFY(token.has_value());
            m_tokens[QString::fromLatin1(name)] = QByteArray::fromStdString(*token);
        }
        m_tokens[QStringLiteral("stranger")] = QByteArray(64, 'e');
        QVERIFY(users.Save().has_value());
        fs::remove(m_dir / "audit.jsonl");
        m_program->Service().SetAuditTrail(std::make_unique<app::AuditTrail>(m_dir / "audit.jsonl"));
    }

    // A token's role decides; no token on this computer is an operator unless tokens are required.
    void rolesOverHttp_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<bool>("requireToken");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char* name, const char* who, bool require, const char* method, const char* path,
                            int status, const char* expected) {
            QTest::newRow(name) << QString::fromLatin1(who) << require << QByteArray(method) << QByteArray(path)
                                << status << QByteArray(expected);
        };
        const char* item = "/dde/Tavrel/Items/lblDDE(1)";
        const char* list = "/dde/Tavrel/Items";
        row("reader reads", "board", false, "GET", item, 200, "reader");
        row("reader pokes", "board", false, "PUT", item, 403, "lblDDE(1): a reader may not poke");
        row("reader executes", "board", false, "POST", list, 403, "a reader may not execute commands");
        row("reader reads the audit", "board", false, "GET", "/dde/Tavrel/Audit", 403, "for operators");
        row("operator pokes", "boss", false, "PUT", item, 204, "operator");
        row("operator executes", "boss", false, "POST", list, 202, "operator");
        row("operator reads the audit", "boss", false, "GET", "/dde/Tavrel/Audit?since=2020-01", 200, "operator");
        row("bad since", "boss", false, "GET", "/dde/Tavrel/Audit?since=yesterday", 400, "not 'yesterday'");
        row("unknown token", "stranger", false, "GET", item, 401, "the access token is wrong");
        row("no token on loopback", "", false, "PUT", item, 204, "operator");
        row("no token, tokens required", "", true, "GET", item, 401, "needs its access token");
        row("reader, tokens required", "board", true, "GET", item, 200, "reader");
    }
    void rolesOverHttp()
    {
        QFETCH(QString, who);
        QFETCH(bool, requireToken);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        QFETCH(QByteArray, expected);
        UseUsersFile(requireToken);
        const QByteArray body = method == "POST" ? QByteArray("Pump_STOP") : QByteArray("5");
        QByteArray role;
        const test::HttpResponse response = CallAs(who, method, path, body, &role);
        QCOMPARE(response.status, status);
        QVERIFY2((status < 300 ? role : response.body).contains(expected), (role + " " + response.body).constData());
        QCOMPARE(m_program->Labels().Text(1) == "5", status == 204);
    }

    // Over the WebSocket the token of the upgrade (header or query) gives the role for the whole conversation.
    void rolesOverWebSocket_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<bool>("inQuery");
        QTest::addColumn<bool>("mayWrite");
        QTest::newRow("reader by header") << QStringLiteral("board") << false << false;
        QTest::newRow("reader by query") << QStringLiteral("board") << true << false;
        QTest::newRow("operator by header") << QStringLiteral("boss") << false << true;
        QTest::newRow("operator by query") << QStringLiteral("boss") << true << true;
        QTest::newRow("no token on loopback") << QString() << false << true;
    }
    void rolesOverWebSocket()
    {
        QFETCH(QString, who);
        QFETCH(bool, inQuery);
        QFETCH(bool, mayWrite);
        UseUsersFile(false);
        QString url = QStringLiteral("ws://127.0.0.1:%1/dde/Tavrel/Items").arg(m_port);
        QNetworkRequest request;
        if (!who.isEmpty() && inQuery) {
            url += QStringLiteral("?token=") + QString::fromLatin1(m_tokens[who]);
        } else if (!who.isEmpty()) {
            request.setRawHeader("Authorization", "Bearer " + m_tokens[who]);
        }
        request.setUrl(QUrl(url));
        QWebSocket socket;
        QStringList messages;
        connect(&socket, &QWebSocket::textMessageReceived, this, [&messages](const QString& m) { messages.append(m); });
        socket.open(request);
        QVERIFY(QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000));
        const auto ask = [&](const QString& message) {
            socket.sendTextMessage(message);
            return QTest::qWaitFor([&] { return !messages.isEmpty(); }, 5000)
                ? QJsonDocument::fromJson(messages.takeFirst().toUtf8()).object()
                : QJsonObject();
        };
        QCOMPARE(ask(R"x({"op":"request","item":"lblDDE(1)"})x").value("item").toString(), QStringLiteral("lblDDE(1)"));
        const QJsonObject poked = ask(R"x({"op":"poke","item":"lblDDE(1)","value":"7"})x");
        const QJsonObject executed = ask(R"x({"op":"execute","command":"Pump_STOP"})x");
        QCOMPARE(poked.value("ok").toBool(), mayWrite);
        QCOMPARE(executed.value("ok").toBool(), mayWrite);
        if (!mayWrite) {
            QCOMPARE(poked.value("status").toInt(), 403);
            QVERIFY2(poked.value("error").toString().contains("a reader may not poke"),
                     qPrintable(poked.value("error").toString()));
            QCOMPARE(executed.value("status").toInt(), 403);
        }
        QCOMPARE(m_program->Labels().Text(1) == "7", mayWrite);
    }

    // Every poke and command leaves one line with the token's name, the peer and the outcome, whichever way it came.
    void auditLinesOverHttpAndWebSocket()
    {
        UseUsersFile(false);
        m_program->Labels().SetText(1, "3");
        QCOMPARE(CallAs(QStringLiteral("board"), "PUT", "/dde/Tavrel/Items/lblDDE(1)", "4").status, 403);
        QCOMPARE(CallAs(QStringLiteral("boss"), "PUT", "/dde/Tavrel/Items/lblDDE(1)", "5").status, 204);
        QCOMPARE(CallAs(QStringLiteral("boss"), "POST", "/dde/Tavrel/Items", "Nothing_RUN").status, 400);
        test::LinkClient client(m_port);
        QVERIFY(client.WaitConnected());
        QCOMPARE(client.Ask(R"x({"op":"poke","item":"lblDDE(1)","value":"6"})x").value("ok").toBool(), true);

        const QJsonArray lines = AuditLines();
        QCOMPARE(lines.size(), 4);
        const struct
        {
            const char* user;
            const char* item;
            const char* oldValue;
            const char* newValue;
            const char* outcome;
            const char* reason;
        } expected[] = {
            { "board", "lblDDE(1)", "3", "4", "refused", "a reader may not poke" },
            { "boss", "lblDDE(1)", "3", "5", "accepted", "" },
            { "boss", "execute", "", "Nothing_RUN", "refused", "'Nothing_RUN' is no command" },
            { "", "lblDDE(1)", "5", "6", "accepted", "" },
        };
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QJsonObject line = lines[i].toObject();
            const auto& want = expected[i];
            QCOMPARE(line.value("surface").toString(), QStringLiteral("link"));
            QCOMPARE(line.value("user").toString(), QString::fromLatin1(want.user));
            QVERIFY(line.value("peer").toString().startsWith(QStringLiteral("127.0.0.1:")));
            QCOMPARE(line.value("item").toString(), QString::fromLatin1(want.item));
            QCOMPARE(line.value("old").toString(), QString::fromLatin1(want.oldValue));
            QCOMPARE(line.value("new").toString(), QString::fromLatin1(want.newValue));
            QCOMPARE(line.value("outcome").toString(), QString::fromLatin1(want.outcome));
            QVERIFY2(line.value("reason").toString().startsWith(QString::fromLatin1(want.reason)),
                     qPrintable(line.value("reason").toString()));
        }
    }

    // Certificate and key files that cannot serve are refused with the reason.
    void tlsFilesThatCannotServe()
    {
        const fs::path cert = m_dir / "cert.pem";
        const fs::path key = m_dir / "key.pem";
        const fs::path otherCert = m_dir / "other.pem";
        const fs::path otherKey = m_dir / "other-key.pem";
        const fs::path expiredCert = m_dir / "expired.pem";
        const fs::path expiredKey = m_dir / "expired-key.pem";
        QVERIFY(MakeCertificate(cert, key));
        QVERIFY(MakeCertificate(otherCert, otherKey));
        QVERIFY(MakeCertificate(expiredCert, expiredKey, -1));
        const fs::path shared = m_dir / "shared-key.pem";
        fs::copy_file(key, shared);
        fs::permissions(shared, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
        const fs::path certAsKey = m_dir / "cert-as-key.pem";
        fs::copy_file(cert, certAsKey);
        fs::permissions(certAsKey, fs::perms::owner_read | fs::perms::owner_write);
        const struct
        {
            fs::path cert;
            fs::path key;
            const char* reason;
        } cases[] = {
            { cert, otherKey, "holds a key that is not the one of the certificate" },
            { expiredCert, expiredKey, "holds a certificate that has expired" },
            { cert, shared, "may be read by others" },
            { m_dir / "none.pem", key, "cannot be read" },
            { key, key, "holds no PEM certificate" },
            { cert, certAsKey, "holds no PEM private key" },
        };
        for (const auto& [certFile, keyFile, reason] : cases) {
            const auto loaded = link::LoadLinkTls(certFile, keyFile);
            QVERIFY(!loaded.has_value());
            QVERIFY2(loaded.error().find(reason) != std::string::npos, loaded.error().c_str());
        }
        QVERIFY(link::LoadLinkTls(cert, key).has_value());
    }

    // With a certificate, the server speaks HTTPS and WSS only; plain HTTP and a stalled handshake are closed, and
    // neither holds up the clients that do speak TLS.
    void httpsAndWssServedPlainRefused()
    {
        const fs::path cert = m_dir / "cert.pem";
        const fs::path key = m_dir / "key.pem";
        QVERIFY(MakeCertificate(cert, key));
        auto tls = link::LoadLinkTls(cert, key);
        QVERIFY(tls.has_value());
        link::LinkLimits limits;
        limits.handshakeMs = 500;
        link::LinkServer server(m_program->Service(), limits);
        server.SetTls(*tls);
        const quint16 port = server.Listen(QHostAddress::LocalHost, 0).value_or(0);
        QVERIFY(port != 0);
        m_program->Labels().SetText(1, "42");

        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        trusting.setCaCertificates(QSslCertificate::fromPath(QString::fromStdString(cert.string())));
        // A client that stalls in its handshake, and one that speaks plain HTTP: both closed, neither answered.
        QTcpSocket stalled;
        stalled.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(stalled.waitForConnected(5000));
        const QByteArray plain = Exchange(port, "GET /dde/Tavrel/Items/lblDDE(1) HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QVERIFY2(!plain.contains("HTTP/1.1") && plain != "still open", plain.constData());

        // A client ready to show a certificate of its own is served as any other: the server asks for none.
        QSslConfiguration withCertificate = trusting;
        QFile keyFile(QString::fromStdString(key.string()));
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        withCertificate.setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
        withCertificate.setLocalCertificate(QSslCertificate::fromPath(QString::fromStdString(cert.string())).front());
        for (const QSslConfiguration& configuration : { trusting, withCertificate }) {
            QNetworkRequest request(QUrl(QStringLiteral("https://127.0.0.1:%1/dde/Tavrel/Items/lblDDE(1)").arg(port)));
            request.setSslConfiguration(configuration);
            QNetworkReply* reply = m_network.get(request);
            QSignalSpy finished(reply, &QNetworkReply::finished);
            QVERIFY(finished.wait(5000));
            QCOMPARE(reply->error(), QNetworkReply::NoError);
            QCOMPARE(reply->readAll(), QByteArray("42"));
            reply->deleteLater();
        }

        QWebSocket socket;
        socket.setSslConfiguration(trusting);
        QStringList messages;
        connect(&socket, &QWebSocket::textMessageReceived, this, [&messages](const QString& m) { messages.append(m); });
        socket.open(QUrl(QStringLiteral("wss://127.0.0.1:%1/dde/Tavrel/Items").arg(port)));
        QVERIFY(QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000));
        socket.sendTextMessage(QStringLiteral(R"x({"op":"request","item":"lblDDE(1)"})x"));
        QVERIFY(QTest::qWaitFor([&] { return !messages.isEmpty(); }, 5000));
        QVERIFY2(messages.front().contains("\"value\":\"42\""), qPrintable(messages.front()));

        QVERIFY(QTest::qWaitFor([&] { return stalled.state() == QAbstractSocket::UnconnectedState; }, 5000));
    }

    // Other computers are served only with tokens, and over TLS unless plain HTTP is allowed all the same. An address
    // that passes the rules is tried (192.0.2.1 is no address of this computer, so it then fails to bind).
    void listeningOffLoopback_data()
    {
        QTest::addColumn<bool>("tokens");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<bool>("allowPlain");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no tokens") << false << true << true << "without access tokens";
        QTest::newRow("tokens, no TLS") << true << false << false << "without TLS";
        QTest::newRow("tokens, plain allowed") << true << false << true << "cannot listen on 192.0.2.1";
        QTest::newRow("tokens and TLS") << true << true << false << "cannot listen on 192.0.2.1";
    }
    void listeningOffLoopback()
    {
        QFETCH(bool, tokens);
        QFETCH(bool, tls);
        QFETCH(bool, allowPlain);
        QFETCH(QString, reason);
        link::LinkAccess access;
        access.usersFile = tokens ? m_dir / "tavrel.users" : m_dir / "none.users";
        access.allowPlainHttp = allowPlain;
        link::LinkServer server(m_program->Service());
        server.SetAccess(access);
        if (tls) {
            QVERIFY(MakeCertificate(m_dir / "cert.pem", m_dir / "key.pem"));
            server.SetTls(link::LoadLinkTls(m_dir / "cert.pem", m_dir / "key.pem").value());
        }
        const auto listened = server.Listen(QHostAddress(QStringLiteral("192.0.2.1")), 0);
        QVERIFY(!listened.has_value());
        QVERIFY2(QString::fromStdString(listened.error()).contains(reason), listened.error().c_str());
    }
};

QTEST_GUILESS_MAIN(LinkSecurityTest)
#include "LinkSecurityTest.moc"
