#pragma once

#include "app/ItemService.h"
#include "ui/TrendData.h"

#include <QColor>
#include <QDateTime>
#include <QMap>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <tl/expected.hpp>

class QChart;
class QChartView;
class QComboBox;
class QDateTimeAxis;
class QDateTimeEdit;
class QLabel;
class QLineSeries;
class QValueAxis;

namespace tavrel::ui {

/// The Trend window: a chart of a few items over a range of time, one line per item and one value axis per unit,
/// filled from their history and carried on with their live values; a time their quality was not good is a gap in
/// the line. An item whose history is not kept is drawn from its live values only, and the window says so.
/// "Export history..." writes the raw samples of the range to a CSV file.
class TrendWindow : public QWidget
{
    Q_OBJECT

public:
    /// A window over `items`, reading their history through `reader` (none: live values only), reading value texts
    /// with `decimalSeparator`. The reader must outlive the window.
    TrendWindow(const app::HistoryReader* reader, std::vector<TrendItem> items, char decimalSeparator,
                QWidget* parent = nullptr);
    ~TrendWindow() override;

    /// Shows `range` (for FromTo, from `fromMs` to `toMs`) and reads the history again.
    void ShowRange(TrendRange range, std::int64_t fromMs = 0, std::int64_t toMs = 0);
    /// Reads the history of the range again and draws it.
    void Reload();

    /// The milliseconds since 1970 the window counts as now (for tests; the system clock otherwise).
    void SetClock(std::function<std::int64_t()> now) { m_now = std::move(now); }
    /// Asks for the file of an export instead of a file dialog: the path, or nothing (cancelled) (for tests).
    void SetExportFileQuestion(std::function<std::optional<QString>()> question)
    {
        m_askExportFile = std::move(question);
    }

    /// Writes the raw history of every recorded item of the range to a CSV file the user chooses (time ISO 8601
    /// UTC, item, value, quality), oldest first per item: what was written (an empty text when cancelled), or the
    /// reason nothing was.
    tl::expected<QString, QString> ExportHistory();

    /// The chart (for tests and screenshots).
    QChart& Chart() { return *m_chart; }
    /// The lines drawn for item `index`, oldest first: one per stretch of good values.
    std::vector<const QLineSeries*> Lines(std::int32_t index) const;
    /// What the window says under the chart: unrecorded items, history that could not be read.
    QString Note() const;

public slots:
    /// Carries the lines of the items among `changes` on: a good value is added, any other quality ends the line.
    void AddLive(const std::vector<tavrel::app::ItemChange>& changes);

private:
    /// An item's lines on the chart.
    struct Trace
    {
        TrendItem item;
        QColor colour;
        QValueAxis* axis = nullptr;
        std::vector<QLineSeries*> lines;
        bool open = false; ///< the last value was good: the next one carries the last line on
        std::size_t points = 0;
    };

    std::int64_t Now() const { return m_now ? m_now() : QDateTime::currentMSecsSinceEpoch(); }
    /// The times shown: from and to, in milliseconds since 1970.
    std::pair<std::int64_t, std::int64_t> Shown() const;
    void OnRangeChosen();
    QValueAxis* AxisFor(const QString& units);
    QLineSeries* NewLine(Trace& trace);
    void ClearLines(Trace& trace);
    /// Drops the oldest `count` live points of an item that has no history to read them back from.
    void DropOldest(Trace& trace, std::size_t count);
    void FitAxes();
    void ExportFromMenu();

    const app::HistoryReader* m_reader;
    char m_decimalSeparator;
    std::vector<Trace> m_traces;
    QMap<QString, QValueAxis*> m_axes;
    QChart* m_chart = nullptr;
    QChartView* m_view = nullptr;
    QDateTimeAxis* m_timeAxis = nullptr;
    QComboBox* m_cbRange = nullptr;
    QDateTimeEdit* m_dtFrom = nullptr;
    QDateTimeEdit* m_dtTo = nullptr;
    QLabel* m_lblNote = nullptr;
    TrendRange m_range = TrendRange::Hour1;
    std::int64_t m_fromMs = 0;
    std::int64_t m_toMs = 0;
    QString m_readProblems;
    std::function<std::int64_t()> m_now;
    std::function<std::optional<QString>()> m_askExportFile;
};

} // namespace tavrel::ui
