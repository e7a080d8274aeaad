#include "ui/TrendWindow.h"

#include "ui/WindowTools.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTimeAxis>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace tavrel::ui {

namespace {

/// The fewest points a history read asks for, however narrow the chart.
constexpr std::size_t kMinPointsRead = 200;
/// The live points an item keeps beyond what its history read gave; past it a recorded item's history is read
/// again (reduced), and an unrecorded item's oldest points go.
constexpr std::size_t kMaxLivePoints = 20'000;
/// The samples an export writes at most per item: a week of one sample a second is 604,800.
constexpr std::size_t kMaxExportRows = 2'000'000;

/// The ticks of the time axis of a from-to range, which need not fall on whole steps.
constexpr int kFromToTicks = 7;

/// Colours that tell lines apart on a white chart, taken in turn.
const std::array<QColor, 8> kLineColours { QColor(31, 119, 180),  QColor(214, 39, 40),   QColor(44, 160, 44),
                                           QColor(255, 127, 14),  QColor(148, 103, 189), QColor(140, 86, 75),
                                           QColor(227, 119, 194), QColor(23, 190, 207) };

std::int64_t MsOf(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

QString SeriesName(const TrendItem& item)
{
    return item.units.isEmpty() ? item.name : QStringLiteral("%1 [%2]").arg(item.name, item.units);
}

} // namespace

TrendWindow::TrendWindow(const app::HistoryReader* reader, std::vector<TrendItem> items, char decimalSeparator,
                         QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_reader(reader)
    , m_decimalSeparator(decimalSeparator)
{
    setObjectName(QStringLiteral("frmTrend"));
    QStringList names;
    for (const TrendItem& item : items) {
        names << item.name;
    }
    setWindowTitle(QStringLiteral("Trend - %1").arg(names.join(QStringLiteral(", "))));

    m_cbRange = new QComboBox(this);
    m_cbRange->setObjectName(QStringLiteral("cbRange"));
    for (const TrendRange range : kTrendRanges) {
        m_cbRange->addItem(RangeCaption(range), static_cast<int>(range));
    }
    const QDateTime now = QDateTime::currentDateTime();
    m_dtFrom = new QDateTimeEdit(now.addSecs(-3600), this);
    m_dtFrom->setObjectName(QStringLiteral("dtFrom"));
    m_dtTo = new QDateTimeEdit(now, this);
    m_dtTo->setObjectName(QStringLiteral("dtTo"));
    for (QDateTimeEdit* edit : { m_dtFrom, m_dtTo }) {
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        edit->setCalendarPopup(true);
        edit->setVisible(false);
    }
    auto* reload = new QPushButton(QStringLiteral("Reload"), this);
    reload->setObjectName(QStringLiteral("cmdReload"));
    reload->setToolTip(QStringLiteral("Reads the history of the range again, and undoes a zoom (drag across the chart "
                                      "to zoom into a span of time)"));
    auto* exportHistory = new QPushButton(QStringLiteral("Export history..."), this);
    exportHistory->setObjectName(QStringLiteral("cmdExport"));

    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("Range:"), this));
    bar->addWidget(m_cbRange);
    bar->addWidget(m_dtFrom);
    bar->addWidget(m_dtTo);
    bar->addStretch();
    bar->addWidget(reload);
    bar->addWidget(exportHistory);

    m_chart = new QChart;
    m_chart->legend()->setAlignment(Qt::AlignBottom);
    m_timeAxis = new QDateTimeAxis(m_chart);
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_view = new QChartView(m_chart, this);
    m_view->setObjectName(QStringLiteral("chartTrend"));
    m_view->setRenderHint(QPainter::Antialiasing);
    m_view->setRubberBand(QChartView::HorizontalRubberBand);
    m_lblNote = new QLabel(this);
    m_lblNote->setObjectName(QStringLiteral("lblNote"));
    m_lblNote->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_lblNote);

    for (TrendItem& item : items) {
        Trace trace;
        trace.colour = kLineColours[m_traces.size() % kLineColours.size()];
        trace.axis = AxisFor(item.units);
        trace.item = std::move(item);
        m_traces.push_back(std::move(trace));
    }
    ApplyFormFont(*this);
    resize(900, 520);

    connect(m_cbRange, &QComboBox::currentIndexChanged, this, &TrendWindow::OnRangeChosen);
    connect(m_dtFrom, &QDateTimeEdit::dateTimeChanged, this, &TrendWindow::OnRangeChosen);
    connect(m_dtTo, &QDateTimeEdit::dateTimeChanged, this, &TrendWindow::OnRangeChosen);
    connect(reload, &QPushButton::clicked, this, &TrendWindow::Reload);
    connect(exportHistory, &QPushButton::clicked, this, &TrendWindow::ExportFromMenu);
    ShowRange(TrendRange::Hour1);
}

TrendWindow::~TrendWindow() = default;

std::pair<std::int64_t, std::int64_t> TrendWindow::Shown() const
{
    if (m_range == TrendRange::FromTo) {
        return { m_fromMs, m_toMs };
    }
    // Up to the next whole step, so that the ticks fall on whole minutes, hours or days.
    const std::int64_t now = Now();
    const std::int64_t offset = QDateTime::fromMSecsSinceEpoch(now).offsetFromUtc() * std::int64_t { 1000 };
    const std::int64_t to = AlignedEndMs(m_range, now, offset);
    return { to - RangeSpanMs(m_range), to };
}

void TrendWindow::ShowRange(TrendRange range, std::int64_t fromMs, std::int64_t toMs)
{
    m_range = range;
    m_fromMs = std::min(fromMs, toMs);
    m_toMs = std::max(fromMs, toMs);
    {
        const QSignalBlocker blockRange(m_cbRange);
        const QSignalBlocker blockFrom(m_dtFrom);
        const QSignalBlocker blockTo(m_dtTo);
        m_cbRange->setCurrentIndex(m_cbRange->findData(static_cast<int>(range)));
        if (range == TrendRange::FromTo) {
            m_dtFrom->setDateTime(QDateTime::fromMSecsSinceEpoch(m_fromMs));
            m_dtTo->setDateTime(QDateTime::fromMSecsSinceEpoch(m_toMs));
        }
        m_dtFrom->setVisible(range == TrendRange::FromTo);
        m_dtTo->setVisible(range == TrendRange::FromTo);
    }
    Reload();
}

void TrendWindow::OnRangeChosen()
{
    const auto range = static_cast<TrendRange>(m_cbRange->currentData().toInt());
    if (range == TrendRange::FromTo && m_range != TrendRange::FromTo) {
        // From-to starts from the times on show, which the user then moves.
        const auto [from, to] = Shown();
        ShowRange(range, from, to);
        return;
    }
    ShowRange(range, m_dtFrom->dateTime().toMSecsSinceEpoch(), m_dtTo->dateTime().toMSecsSinceEpoch());
}

QValueAxis* TrendWindow::AxisFor(const QString& units)
{
    if (QValueAxis* axis = m_axes.value(units)) {
        return axis;
    }
    auto* axis = new QValueAxis(m_chart);
    axis->setTitleText(units);
    axis->setLabelFormat(QStringLiteral("%.6g"));
    m_chart->addAxis(axis, m_axes.size() % 2 == 0 ? Qt::AlignLeft : Qt::AlignRight);
    m_axes.insert(units, axis);
    return axis;
}

QLineSeries* TrendWindow::NewLine(Trace& trace)
{
    // The first line of an item stands for it in the legend, drawn or not; the lines after a gap do not.
    if (trace.lines.size() == 1 && trace.lines.front()->count() == 0) {
        return trace.lines.front();
    }
    auto* line = new QLineSeries(m_chart);
    line->setName(SeriesName(trace.item));
    line->setColor(trace.colour);
    m_chart->addSeries(line);
    line->attachAxis(m_timeAxis);
    line->attachAxis(trace.axis);
    if (!trace.lines.empty()) {
        for (QLegendMarker* marker : m_chart->legend()->markers(line)) {
            marker->setVisible(false);
        }
    }
    trace.lines.push_back(line);
    return line;
}

void TrendWindow::ClearLines(Trace& trace)
{
    for (QLineSeries* line : trace.lines) {
        m_chart->removeSeries(line);
        delete line;
    }
    trace.lines.clear();
    trace.open = false;
    trace.points = 0;
    NewLine(trace);
}

void TrendWindow::Reload()
{
    m_chart->zoomReset();
    const auto [from, to] = Shown();
    const std::size_t maxPoints = std::max(kMinPointsRead, static_cast<std::size_t>(std::max(0, m_view->width())));
    QStringList problems;
    QStringList unrecorded;
    for (Trace& trace : m_traces) {
        ClearLines(trace);
        if (m_reader == nullptr || !trace.item.recorded) {
            unrecorded << trace.item.name;
            continue;
        }
        const auto points = m_reader->Read(trace.item.index, from, to, maxPoints);
        if (!points) {
            problems << QStringLiteral("The history of %1 cannot be read: %2")
                            .arg(trace.item.name, QString::fromStdString(points.error()));
            continue;
        }
        for (const std::vector<QPointF>& stretch : SplitAtGaps(*points)) {
            NewLine(trace)->replace(QList<QPointF>(stretch.begin(), stretch.end()));
            trace.points += stretch.size();
        }
        // A value that was good at the end of the history carries on in the first live value.
        trace.open = !points->empty() && points->back().quality == app::Quality::Good && points->back().value;
    }
    if (!unrecorded.isEmpty()) {
        problems.prepend(QStringLiteral("Not recorded, shown from their live values only: %1.")
                             .arg(unrecorded.join(QStringLiteral(", "))));
    }
    m_readProblems = problems.join(QLatin1Char('\n'));
    m_lblNote->setText(m_readProblems);
    m_lblNote->setVisible(!m_readProblems.isEmpty());
    const std::int64_t span = to - from;
    m_timeAxis->setFormat(span <= RangeSpanMs(TrendRange::Hour1)         ? QStringLiteral("HH:mm:ss")
                              : span <= RangeSpanMs(TrendRange::Hours24) ? QStringLiteral("HH:mm")
                                                                         : QStringLiteral("MM-dd HH:mm"));
    m_timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(to));
    const std::int64_t step = TickStepMs(m_range);
    m_timeAxis->setTickCount(step > 0 ? static_cast<int>(span / step) + 1 : kFromToTicks);
    FitAxes();
}

void TrendWindow::AddLive(const std::vector<app::ItemChange>& changes)
{
    const auto [from, to] = Shown();
    bool added = false;
    bool reread = false;
    for (const app::ItemChange& change : changes) {
        const auto trace = std::find_if(m_traces.begin(), m_traces.end(),
                                        [&change](const Trace& t) { return t.item.index == change.index; });
        if (trace == m_traces.end()) {
            continue;
        }
        const std::int64_t time = change.readAt.time_since_epoch().count() == 0 ? Now() : MsOf(change.readAt);
        if (m_range == TrendRange::FromTo && (time < from || time > to)) {
            continue;
        }
        const auto number
            = change.quality == app::Quality::Good ? ChartNumber(change.value, m_decimalSeparator) : std::nullopt;
        if (!number) {
            trace->open = false;
            continue;
        }
        QLineSeries* line = trace->open ? trace->lines.back() : NewLine(*trace);
        line->append(static_cast<qreal>(time), *number);
        trace->open = true;
        added = true;
        if (++trace->points > kMaxLivePoints + kMinPointsRead) {
            if (trace->item.recorded && m_reader != nullptr) {
                reread = true;
            } else {
                DropOldest(*trace, kMinPointsRead);
            }
        }
    }
    if (reread) {
        Reload();
        return;
    }
    // A range back from now moves on with the clock, unless the user has zoomed into a span of it.
    if (m_range != TrendRange::FromTo && !m_chart->isZoomed()) {
        m_timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(to));
    }
    if (added) {
        FitAxes();
    }
}

void TrendWindow::DropOldest(Trace& trace, std::size_t count)
{
    for (QLineSeries* line : trace.lines) {
        const auto dropped = std::min(static_cast<std::size_t>(line->count()), count);
        line->removePoints(0, static_cast<int>(dropped));
        trace.points -= dropped;
        count -= dropped;
        if (count == 0) {
            return;
        }
    }
}

void TrendWindow::FitAxes()
{
    for (auto axis = m_axes.cbegin(); axis != m_axes.cend(); ++axis) {
        double low = std::numeric_limits<double>::infinity();
        double high = -low;
        for (const Trace& trace : m_traces) {
            if (trace.axis != axis.value()) {
                continue;
            }
            for (const QLineSeries* line : trace.lines) {
                for (const QPointF& point : line->points()) {
                    low = std::min(low, point.y());
                    high = std::max(high, point.y());
                }
            }
        }
        if (low > high) {
            axis.value()->setRange(0, 1);
            continue;
        }
        const double margin = high > low ? (high - low) * 0.05 : std::max(std::abs(high) * 0.05, 0.5);
        axis.value()->setRange(low - margin, high + margin);
    }
}

std::vector<const QLineSeries*> TrendWindow::Lines(std::int32_t index) const
{
    for (const Trace& trace : m_traces) {
        if (trace.item.index == index) {
            std::vector<const QLineSeries*> lines;
            for (const QLineSeries* line : trace.lines) {
                if (line->count() > 0) {
                    lines.push_back(line);
                }
            }
            return lines;
        }
    }
    return {};
}

QString TrendWindow::Note() const
{
    return m_lblNote->text();
}

tl::expected<QString, QString> TrendWindow::ExportHistory()
{
    const bool anyRecorded = m_reader != nullptr
        && std::any_of(m_traces.begin(), m_traces.end(), [](const Trace& trace) { return trace.item.recorded; });
    if (!anyRecorded) {
        return tl::make_unexpected(QStringLiteral("None of the items is recorded: there is no history to export."));
    }
    std::optional<QString> path;
    if (m_askExportFile) {
        path = m_askExportFile();
    } else {
        const QString chosen
            = QFileDialog::getSaveFileName(this, QStringLiteral("Export history"), QStringLiteral("history.csv"),
                                           QStringLiteral("CSV files (*.csv);;All files (*)"));
        path = chosen.isEmpty() ? std::nullopt : std::optional(chosen);
    }
    if (!path) {
        return QString();
    }
    const auto [from, to] = Shown();
    QString text = QString::fromLatin1(kHistoryCsvHeader.data(), static_cast<qsizetype>(kHistoryCsvHeader.size()))
        + QLatin1Char('\n');
    std::size_t rows = 0;
    QStringList cut;
    for (const Trace& trace : m_traces) {
        if (!trace.item.recorded) {
            continue;
        }
        const auto samples = m_reader->ReadRaw(trace.item.index, from, to, kMaxExportRows);
        if (!samples) {
            return tl::make_unexpected(QStringLiteral("The history of %1 cannot be read: %2")
                                           .arg(trace.item.name, QString::fromStdString(samples.error())));
        }
        for (const app::HistoryPoint& sample : *samples) {
            text += HistoryCsvLine(trace.item.name, sample) + QLatin1Char('\n');
        }
        rows += samples->size();
        if (samples->size() >= kMaxExportRows) {
            cut << trace.item.name;
        }
    }
    QSaveFile file(*path);
    const QByteArray bytes = text.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        return tl::make_unexpected(QStringLiteral("%1 cannot be written: %2").arg(*path, file.errorString()));
    }
    QString done = QStringLiteral("%1 samples written to %2.").arg(rows).arg(*path);
    if (!cut.isEmpty()) {
        done += QStringLiteral(" Only the first %1 samples of %2 were written: choose a shorter range for the rest.")
                    .arg(kMaxExportRows)
                    .arg(cut.join(QStringLiteral(", ")));
    }
    return done;
}

void TrendWindow::ExportFromMenu()
{
    const auto result = ExportHistory();
    if (!result) {
        ShowExclamation(this, result.error());
        return;
    }
    if (!result->isEmpty()) {
        m_lblNote->setText(m_readProblems.isEmpty() ? *result : m_readProblems + QLatin1Char('\n') + *result);
        m_lblNote->setVisible(true);
    }
}

} // namespace tavrel::ui
