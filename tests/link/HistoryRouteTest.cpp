// The history route over HTTP: a recorded item's history reduced as JSON and raw as CSV, and every request it refuses
// with its status and reason.

#include "LinkClients.h"

#include "app/HistoryRecorder.h"
#include "storage/ProjectTemplate.h"
#include "storage/ProjectWriter.h"

#include <QJsonArray>

using namespace tavrel;

namespace {

// 2026-12-07T10:00:00Z
constexpr std::int64_t kTen = 1'796'637'600'000;

struct Answer
{
    int status = 0;
    QByteArray body;
    QByteArray rowCap;
    QByteArray capped;
};

} // namespace

class HistoryRouteTest : public QObject, protected test::LinkBench
{
    Q_OBJECT

    Answer Get(const QByteArray& path, const QByteArray& accept = {}, const QByteArray& method = "GET")
    {
        QNetworkRequest request(QUrl::fromEncoded("http://127.0.0.1:" + QByteArray::number(m_port) + path));
        if (!accept.isEmpty()) {
            request.setRawHeader("Accept", accept);
        }
        QNetworkReply* reply = m_network.sendCustomRequest(request, method);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(5000);
        Answer answer { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                        reply->rawHeader("X-History-Row-Cap"), reply->rawHeader("X-History-Capped") };
        reply->deleteLater();
        return answer;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(StartBench());
        // lblDDE(1) recorded, in volts; saved and opened again, so that the project has a file and a history.
        for (const auto& plc : m_program->Project().colPlcs()) {
            for (const auto& item : plc->colItems()) {
                if (item->Label.Index() == 1) {
                    item->Details.record = true;
                    item->Details.units = "V";
                }
            }
        }
        const auto file = m_dir / "plant.tvb";
        const auto templatePath = storage::DefaultTemplatePath();
        QVERIFY(templatePath);
        QVERIFY(storage::SaveToDB(m_program->Project(), file, *templatePath));
        QVERIFY(m_program->OpenProject(file.string()));
        QVERIFY(m_program->Recorder() != nullptr);
        QCOMPARE(m_program->Recorder()->Store().Folder(), m_dir / "plant.history");
        std::vector<storage::HistorySample> samples;
        for (std::int64_t second = 0; second < 100; ++second) {
            samples.push_back({ .item = 1,
                                .timeMs = kTen + second * 1000,
                                .value = second == 50 ? 1000.0 : static_cast<double>(second % 3),
                                .text = {},
                                .quality = 0 });
        }
        samples.push_back({ .item = 1, .timeMs = kTen + 100'000, .value = std::nullopt, .text = {}, .quality = 2 });
        m_program->Recorder()->Store().Append(std::move(samples));
        m_program->Recorder()->Store().WaitIdle();
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reason");
        const auto row = [](const char* name, const QByteArray& query, int status, const QByteArray& reason) {
            QTest::newRow(name) << QByteArray("/dde/Tavrel/History/lblDDE(1)" + query) << status << reason;
        };
        row("from after to", "?from=2000&to=1000", 400, "from= is after to=");
        row("over a year", "?from=2020-01-01T00:00:00Z&to=2026-01-01T00:00:00Z", 400, "the range is over 366 days");
        row("no points", "?points=0", 400, "points= takes a whole number from 1 to 10000, not '0'");
        row("a million points", "?points=1000000", 400, "points= takes a whole number from 1 to 10000");
        row("no time", "?from=yesterday", 400, "from= takes milliseconds since 1970 or an ISO 8601 time");
        QTest::newRow("unknown item") << QByteArray("/dde/Tavrel/History/lblDDE(99)") << 404
                                      << QByteArray("no item lblDDE(99)");
        QTest::newRow("unrecorded item") << QByteArray("/dde/Tavrel/History/lblDDE(2)") << 404
                                         << QByteArray("lblDDE(2) is not recorded");
        QTest::newRow("no item named") << QByteArray("/dde/Tavrel/History") << 404 << QByteArray("name an item");
    }
    void refusals()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, status);
        QFETCH(QByteArray, reason);
        const Answer answer = Get(path);
        QCOMPARE(answer.status, status);
        QVERIFY2(answer.body.contains(reason), answer.body.constData());
    }

    void writingIsRefused() { QCOMPARE(Get("/dde/Tavrel/History/lblDDE(1)", {}, "PUT").status, 405); }

    void jsonIsReducedAndKeepsTheSpike()
    {
        const QByteArray range = "?from=2026-12-07T10:00:00Z&to=" + QByteArray::number(kTen + 100'000);
        const Answer all = Get("/dde/Tavrel/History/lblDDE(1)" + range);
        QCOMPARE(all.status, 200);
        const QJsonObject whole = QJsonDocument::fromJson(all.body).object();
        QCOMPARE(whole["item"].toString(), QStringLiteral("lblDDE(1)"));
        QCOMPARE(whole["units"].toString(), QStringLiteral("V"));
        QCOMPARE(whole["points"].toArray().size(), 101);
        QVERIFY2(all.body.contains("[1796637650000,1000,\"good\"]"), all.body.left(200).constData());
        QVERIFY2(all.body.endsWith("[1796637700000,null,\"stale\"]]}\n"), all.body.right(80).constData());

        const Answer reduced = Get("/dde/Tavrel/History/lblDDE(1)" + range + "&points=20");
        QCOMPARE(reduced.status, 200);
        QVERIFY(QJsonDocument::fromJson(reduced.body)["points"].toArray().size() <= 20);
        QVERIFY2(reduced.body.contains("[1796637650000,1000,\"good\"]"), reduced.body.constData());
    }

    void csvHoldsTheRawSamplesAndSaysItsCap()
    {
        const Answer csv = Get("/dde/Tavrel/History/lblDDE(1)?from=" + QByteArray::number(kTen + 98'000)
                                   + "&to=" + QByteArray::number(kTen + 200'000),
                               "text/csv");
        QCOMPARE(csv.status, 200);
        QCOMPARE(csv.rowCap, QByteArray("100000"));
        QCOMPARE(csv.capped, QByteArray("false"));
        QCOMPARE(csv.body,
                 QByteArray("time,ms,value,quality\r\n"
                            "2026-12-07T10:01:38.000Z,1796637698000,2,good\r\n"
                            "2026-12-07T10:01:39.000Z,1796637699000,0,good\r\n"
                            "2026-12-07T10:01:40.000Z,1796637700000,,stale\r\n"));
    }
};

QTEST_GUILESS_MAIN(HistoryRouteTest)
#include "HistoryRouteTest.moc"
