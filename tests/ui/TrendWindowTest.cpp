#include "ui/TrendWindow.h"

#include "support/TempDir.h"

#include <QChart>
#include <QFile>
#include <QLineSeries>
#include <QTest>

#include <map>
#include <set>

using namespace tavrel;
using app::HistoryPoint;
using app::Quality;
using ui::TrendItem;
using ui::TrendRange;

namespace {

constexpr std::int64_t kNow = 1'796'000'000'000; // 2026-11-30T00:53:20Z
constexpr std::int64_t kMinute = 60'000;

/// A history held in memory, for the items it is given.
class FakeReader : public app::HistoryReader
{
public:
    bool IsRecorded(std::int32_t index) const override { return m_points.contains(index); }

    tl::expected<std::vector<HistoryPoint>, std::string> Read(std::int32_t index, std::int64_t fromMs,
                                                              std::int64_t toMs, std::size_t) const override
    {
        ++reads;
        return ReadRaw(index, fromMs, toMs, 1'000'000);
    }

    tl::expected<std::vector<HistoryPoint>, std::string> ReadRaw(std::int32_t index, std::int64_t fromMs,
                                                                 std::int64_t toMs, std::size_t maxRows) const override
    {
        if (broken.contains(index)) {
            return tl::make_unexpected(std::string("the day file is corrupt"));
        }
        std::vector<HistoryPoint> found;
        for (const HistoryPoint& point : m_points.at(index)) {
            if (point.timeMs >= fromMs && point.timeMs <= toMs && found.size() < maxRows) {
                found.push_back(point);
            }
        }
        return found;
    }

    void Keep(std::int32_t index, std::vector<HistoryPoint> points) { m_points[index] = std::move(points); }

    mutable int reads = 0;
    std::set<std::int32_t> broken;

private:
    std::map<std::int32_t, std::vector<HistoryPoint>> m_points;
};

HistoryPoint At(int minutesAgo, std::optional<double> value, Quality quality = Quality::Good)
{
    return { kNow - minutesAgo * kMinute, value, quality };
}

app::ItemChange Change(std::int32_t index, const char* value, std::int64_t atMs, Quality quality = Quality::Good)
{
    app::ItemChange change;
    change.index = index;
    change.value = value;
    change.readAt = std::chrono::system_clock::time_point(std::chrono::milliseconds(atMs));
    change.quality = quality;
    return change;
}

/// The number of points of each line drawn for an item.
std::vector<int> LineSizes(const ui::TrendWindow& window, std::int32_t index)
{
    std::vector<int> sizes;
    for (const QLineSeries* line : window.Lines(index)) {
        sizes.push_back(static_cast<int>(line->count()));
    }
    return sizes;
}

/// A window of the last ten minutes at kNow over `reader`.
std::unique_ptr<ui::TrendWindow> Window(const FakeReader& reader, std::vector<TrendItem> items)
{
    auto window = std::make_unique<ui::TrendWindow>(&reader, std::move(items), ',');
    window->SetClock([] { return kNow; });
    window->ShowRange(TrendRange::Minutes10);
    return window;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<HistoryPoint>)
Q_DECLARE_METATYPE(std::vector<int>)
Q_DECLARE_METATYPE(TrendRange)

class TrendWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void HistoryIsDrawnWithAGapWhereTheQualityWasNotGood_data()
    {
        QTest::addColumn<std::vector<HistoryPoint>>("points");
        QTest::addColumn<std::vector<int>>("lines");
        QTest::newRow("all good") << std::vector { At(9, 1), At(5, 2), At(1, 3) } << std::vector { 3 };
        QTest::newRow("stale between") << std::vector { At(9, 1), At(8, 2), At(7, 2, Quality::Stale), At(1, 3) }
                                       << std::vector { 2, 1 };
        QTest::newRow("bad without value first")
            << std::vector { At(9, std::nullopt, Quality::Bad), At(5, 2), At(1, 3) } << std::vector { 2 };
        QTest::newRow("a good text without number")
            << std::vector { At(9, 1), At(5, std::nullopt), At(1, 3) } << std::vector { 1, 1 };
        QTest::newRow("older than the range") << std::vector { At(30, 1), At(20, 2) } << std::vector<int> {};
    }

    void HistoryIsDrawnWithAGapWhereTheQualityWasNotGood()
    {
        QFETCH(std::vector<HistoryPoint>, points);
        QFETCH(std::vector<int>, lines);
        FakeReader reader;
        reader.Keep(7, points);
        const auto window = Window(reader, { { 7, "Volts", "V", true } });
        QCOMPARE(LineSizes(*window, 7), lines);
        QVERIFY(window->Note().isEmpty());
    }

    void ARangeBackFromNowEndsOnAWholeStepOfLocalTime_data()
    {
        QTest::addColumn<TrendRange>("range");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<qint64>("utcOffset");
        QTest::addColumn<qint64>("end");
        constexpr qint64 kMin = kMinute; // as the column type: qint64 is not std::int64_t
        constexpr qint64 kHour = 60 * kMin;
        QTest::newRow("10 min, rounded up to 2 min")
            << TrendRange::Minutes10 << 5 * kMin + 1 << qint64 { 0 } << 6 * kMin;
        QTest::newRow("on a step already") << TrendRange::Hour1 << 20 * kMin << qint64 { 0 } << 20 * kMin;
        QTest::newRow("7 days, to local midnight") << TrendRange::Days7 << 30 * kHour << 2 * kHour << 46 * kHour;
        QTest::newRow("a half-hour zone, 1 h steps")
            << TrendRange::Hours8 << 10 * kHour + 1 << -kHour / 2 << 10 * kHour + kHour / 2;
        QTest::newRow("from-to is not moved") << TrendRange::FromTo << qint64 { 12345 } << kHour << qint64 { 12345 };
    }

    void ARangeBackFromNowEndsOnAWholeStepOfLocalTime()
    {
        QFETCH(TrendRange, range);
        QFETCH(qint64, now);
        QFETCH(qint64, utcOffset);
        QFETCH(qint64, end);
        QCOMPARE(ui::AlignedEndMs(range, now, utcOffset), end);
    }

    void ItemsOfOneUnitShareAValueAxis()
    {
        FakeReader reader;
        for (const std::int32_t index : { 1, 2, 3 }) {
            reader.Keep(index, { At(2, index) });
        }
        const auto window = Window(reader, { { 1, "L1", "V", true }, { 2, "I1", "A", true }, { 3, "L2", "V", true } });
        QCOMPARE(window->Chart().axes(Qt::Vertical).size(), 2);
        QCOMPARE(window->Chart().axes(Qt::Horizontal).size(), 1);
    }

    void LiveValuesCarryTheLastLineOnAndStartANewOneAfterAGap()
    {
        FakeReader reader;
        reader.Keep(7, { At(5, 1), At(3, 2) });
        const auto window = Window(reader, { { 7, "Volts", "V", true }, { 8, "Running", "", false } });
        window->AddLive({ Change(7, "2,5", kNow - 1000), Change(8, "True", kNow - 1000), Change(9, "4", kNow) });
        QCOMPARE(LineSizes(*window, 7), (std::vector { 3 }));
        QCOMPARE(window->Lines(7).front()->at(2), QPointF(kNow - 1000, 2.5));
        QCOMPARE(window->Lines(8).front()->at(0).y(), 1.0);

        window->AddLive({ Change(7, "2,5", kNow, Quality::Stale) });
        window->AddLive({ Change(7, "n/a", kNow + 500) });
        window->AddLive({ Change(7, "3", kNow + 1000) });
        window->AddLive({ Change(7, "4", kNow + 2000) });
        QCOMPARE(LineSizes(*window, 7), (std::vector { 3, 2 }));
    }

    void ItemsWithoutHistoryAreLiveOnlyAndSaidSo()
    {
        FakeReader reader;
        reader.Keep(1, { At(2, 1) });
        reader.Keep(2, { At(2, 1) });
        reader.broken.insert(2);
        const auto window = Window(reader, { { 1, "L1", "V", true }, { 2, "L2", "V", true }, { 3, "L3", "V", false } });
        QVERIFY(window->Note().contains(QStringLiteral("live values only: L3")));
        QVERIFY(window->Note().contains(QStringLiteral("L2 cannot be read: the day file is corrupt")));
        QVERIFY(!window->Note().contains(QStringLiteral("L1")));
        QCOMPARE(LineSizes(*window, 1), (std::vector { 1 }));

        const ui::TrendWindow withoutReader(nullptr, { { 1, "L1", "V", true } }, '.');
        QVERIFY(withoutReader.Note().contains(QStringLiteral("live values only: L1")));
    }

    void ExportWritesTheRawSamplesOfTheRange()
    {
        test::TempDir dir;
        const QString path = QString::fromStdString((dir / "history.csv").string());
        FakeReader reader;
        reader.Keep(1, { At(20, 9), At(2, 230.5), At(1, std::nullopt, Quality::Bad) });
        reader.Keep(2, { At(3, 0.1, Quality::Stale) });
        const auto window
            = Window(reader, { { 1, "Volts", "V", true }, { 2, "Amps", "A", true }, { 3, "X", "", false } });

        window->SetExportFileQuestion([] { return std::nullopt; });
        const auto cancelled = window->ExportHistory();
        QVERIFY(cancelled && cancelled->isEmpty());
        QVERIFY(!QFile::exists(path));

        window->SetExportFileQuestion([path] { return path; });
        const auto written = window->ExportHistory();
        QVERIFY(written && written->startsWith(QStringLiteral("3 samples")));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()),
                 QStringLiteral("time,item,value,quality\n"
                                "2026-11-30T00:51:20.000Z,Volts,230.5,good\n"
                                "2026-11-30T00:52:20.000Z,Volts,,bad\n"
                                "2026-11-30T00:50:20.000Z,Amps,0.1,stale\n"));

        reader.broken.insert(2);
        const auto refused = window->ExportHistory();
        QVERIFY(!refused && refused.error().contains(QStringLiteral("Amps cannot be read")));
        ui::TrendWindow unrecorded(&reader, { { 3, "X", "", false } }, '.');
        QVERIFY(!unrecorded.ExportHistory());
    }
};

QTEST_MAIN(TrendWindowTest)
#include "TrendWindowTest.moc"
