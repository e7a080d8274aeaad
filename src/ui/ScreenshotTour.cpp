#include "ui/ScreenshotTour.h"

#include "app/ConnectionTest.h"
#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "common/PlcFamilies.h"
#include "model/clsConfig.h"
#include "ui/ItemGrid.h"
#include "ui/TrendWindow.h"
#include "ui/frmAbout.h"
#include "ui/frmConfigItems.h"
#include "ui/frmMain.h"
#include "ui/frmOptions.h"
#include "ui/frmSplash.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tavrel::ui {

namespace {

constexpr int kSettleMilliseconds = 400;
constexpr qint64 kRunWaitMilliseconds = 25000;
constexpr int kMinimumPassesShown = 3;
const QSize kTourWindowSize(1270, 430);
constexpr int kTallWindowHeight = 780; // room for a Modbus device's items
constexpr int kTrendLiveMilliseconds = 4000;

/// One step of the tour: it does its part and says how long to wait before the next one (negative: ask again
/// in a moment, the step is not done yet).
using Step = std::function<int()>;

class Tour : public QObject
{
public:
    Tour(frmMain& window, app::Program& program, const QString& folder)
        : QObject(&window)
        , m_window(window)
        , m_program(program)
        , m_folder(folder)
    {
        connect(&m_program, &app::Program::plcNotConnected, this, [this] { m_notConnectedSeen = true; });
        connect(&m_program, &app::Program::passFinished, this, [this] { ++m_passes; });
    }

    void Start()
    {
        QDir().mkpath(m_folder);
        BuildSteps();
        QTimer::singleShot(kSettleMilliseconds, this, [this] { Next(); });
    }

private:
    void Next()
    {
        if (m_step >= m_steps.size()) {
            QCoreApplication::exit(m_failures == 0 ? 0 : 1);
            return;
        }
        const int wait = m_steps[m_step]();
        if (wait >= 0) {
            ++m_step;
        }
        QTimer::singleShot(wait >= 0 ? wait : 100, this, [this] { Next(); });
    }

    void Save(const QPixmap& picture, const QString& name)
    {
        const QString path = QDir(m_folder).filePath(name);
        QTextStream out(stdout);
        if (picture.isNull() || !picture.save(path)) {
            ++m_failures;
            out << "not saved: " << path << Qt::endl;
            return;
        }
        out << path << Qt::endl;
    }

    /// The first row of a PLC's items whose connection type is `pathWay` (none: any), or -1.
    int ItemRowOf(std::optional<model::PathWay> pathWay) const
    {
        const ItemGrid& grid = m_window.Grid();
        for (int row = 0; row < grid.rowCount(); ++row) {
            if (!grid.CarriesItem(row)) {
                continue;
            }
            const model::clsPlc* plc = m_program.Project().FindPlc(grid.Row(row).plcKey);
            if (plc != nullptr && (!pathWay || plc->Params().PathWay == *pathWay)) {
                return row;
            }
        }
        return -1;
    }

    /// The row of the first item of a Modbus device PLC with a data type of its own, or -1.
    int DeviceItemRow() const
    {
        const ItemGrid& grid = m_window.Grid();
        for (int row = 0; row < grid.rowCount(); ++row) {
            const model::clsPlc* plc
                = grid.CarriesItem(row) ? m_program.Project().FindPlc(grid.Row(row).plcKey) : nullptr;
            const model::Clsitem* item = plc != nullptr ? plc->FindItem(grid.Row(row).itemKey) : nullptr;
            if (item != nullptr && plc->Params().PlcType == common::plctype::ModbusDevice && item->Details.dataType) {
                return row;
            }
        }
        return -1;
    }

    /// The window made taller, its grid on the items of a Modbus device, if the project has one.
    void ShootDeviceItems(const QString& name)
    {
        const int row = DeviceItemRow();
        if (row < 0) {
            return;
        }
        ItemGrid& grid = m_window.Grid();
        m_window.resize(kTourWindowSize.width(), kTallWindowHeight);
        grid.SetCurrentItemRow(row);
        QCoreApplication::processEvents();
        grid.scrollToItem(grid.item(row, ItemGrid::kColPlc), QAbstractItemView::PositionAtTop);
        QCoreApplication::processEvents();
        Save(m_window.grab(), name);
        m_window.resize(kTourWindowSize);
        grid.scrollToTop();
    }

    void ShootDialog(std::optional<model::PathWay> pathWay, const QString& name)
    {
        frmConfigItems dialog(&m_window);
        const int row = pathWay ? ItemRowOf(*pathWay) : -1;
        if (row >= 0) {
            const ItemGrid::RowInfo& info = m_window.Grid().Row(row);
            dialog.PrepareEditItem(m_program.Project(), info.plcKey, info.itemKey);
        } else {
            dialog.PrepareAddNewItems(m_program.Project());
            if (pathWay == model::PathWay::TcpIp) {
                auto* connection = dialog.findChild<QComboBox*>(QStringLiteral("cbConnectionType"));
                connection->setCurrentIndex(connection->findData(static_cast<int>(model::PathWay::TcpIp)));
            }
        }
        dialog.show();
        QCoreApplication::processEvents();
        Save(dialog.grab(), name);
    }

    /// Tries the connection of the first TCP/IP PLC named `plcName` in its Edit dialog, then saves the dialog
    /// with what the test found: two steps.
    void AddConnectionTestSteps(const std::string& plcName, const QString& name)
    {
        m_steps.push_back([this, plcName] {
            for (int row = 0; row < m_window.Grid().rowCount(); ++row) {
                const model::clsPlc* plc = m_window.Grid().CarriesItem(row)
                    ? m_program.Project().FindPlc(m_window.Grid().Row(row).plcKey)
                    : nullptr;
                if (plc != nullptr && plc->Name == plcName) {
                    m_dialog = std::make_unique<frmConfigItems>(
                        &m_window, app::MakeConnectionTester(m_program.Environment().CreateDriver));
                    m_dialog->PrepareEditItem(m_program.Project(), plc->Key, m_window.Grid().Row(row).itemKey);
                    m_dialog->show();
                    m_dialog->findChild<QPushButton*>(QStringLiteral("cmdTestConnection"))->click();
                    break;
                }
            }
            return 0;
        });
        m_steps.push_back([this, name] {
            if (!m_dialog) {
                return 0;
            }
            if (!m_dialog->findChild<QPushButton*>(QStringLiteral("cmdTestConnection"))->isEnabled()) {
                return -1;
            }
            Save(m_dialog->grab(), name);
            m_dialog.reset();
            return 0;
        });
    }

    /// A new TCP/IP PLC with an IP address and an operand address that do not fit.
    void ShootRefusedFields()
    {
        frmConfigItems dialog(&m_window);
        dialog.PrepareAddNewItems(m_program.Project());
        const auto choose = [&dialog](const char* list, int code) {
            auto* box = dialog.findChild<QComboBox*>(QString::fromLatin1(list));
            box->setCurrentIndex(box->findData(code));
        };
        dialog.findChild<QComboBox*>(QStringLiteral("cbPLC"))->setEditText(QStringLiteral("Oven_4"));
        choose("cbConnectionType", static_cast<int>(model::PathWay::TcpIp));
        choose("cbOpType", common::operand::MI);
        choose("cbDirection", 0);
        dialog.findChild<QLineEdit*>(QStringLiteral("txtLength"))->setText(QStringLiteral("1"));
        dialog.findChild<QLineEdit*>(QStringLiteral("ctIpCOnfig"))->setText(QStringLiteral("300.1.2.3"));
        dialog.findChild<QLineEdit*>(QStringLiteral("txtOpAddress"))->setText(QStringLiteral("70000"));
        dialog.show();
        QCoreApplication::processEvents();
        Save(dialog.grab(), QStringLiteral("define-plc-refused.png"));
    }

    void BuildSteps()
    {
        m_steps.push_back([this] {
            frmSplash splash;
            splash.show();
            QCoreApplication::processEvents();
            Save(splash.grab(), QStringLiteral("splash.png"));
            return 0;
        });
        m_steps.push_back([this] {
            Save(m_window.grab(), QStringLiteral("main-first-size.png"));
            m_window.resize(kTourWindowSize);
            return kSettleMilliseconds;
        });
        m_steps.push_back([this] {
            m_window.Grid().SetCurrentItemRow(ItemRowOf(std::nullopt));
            QCoreApplication::processEvents();
            Save(m_window.grab(), QStringLiteral("main-stopped.png"));
            return 0;
        });
        m_steps.push_back([this] {
            // A Modbus device's items with their data types, byte orders, tag names and units.
            const int row = DeviceItemRow();
            if (row < 0) {
                return 0;
            }
            ShootDeviceItems(QStringLiteral("main-device-items.png"));
            const ItemGrid::RowInfo& info = m_window.Grid().Row(row);
            frmConfigItems dialog(&m_window);
            dialog.PrepareEditItem(m_program.Project(), info.plcKey, info.itemKey);
            dialog.show();
            QCoreApplication::processEvents();
            Save(dialog.grab(), QStringLiteral("define-plc-device.png"));
            return 0;
        });
        m_steps.push_back([this] {
            ItemGrid& grid = m_window.Grid();
            const int row
                = ItemRowOf(model::PathWay::TcpIp) >= 0 ? ItemRowOf(model::PathWay::TcpIp) : ItemRowOf(std::nullopt);
            if (row < 0) {
                return 0;
            }
            const QRect cell = grid.visualItemRect(grid.item(row, ItemGrid::kColDdeName));
            m_window.ShowRowMenu(row, grid.viewport()->mapToGlobal(cell.center()));
            return kSettleMilliseconds;
        });
        m_steps.push_back([this] {
            QMenu* menu = m_window.Band(QStringLiteral("popItem"));
            if (!menu->isVisible()) {
                return 0;
            }
            QPixmap picture = m_window.grab();
            QPainter painter(&picture);
            painter.drawPixmap(menu->pos() - m_window.mapToGlobal(QPoint(0, 0)), menu->grab());
            painter.end();
            menu->hide();
            Save(picture, QStringLiteral("main-context-menu.png"));
            return 0;
        });
        m_steps.push_back([this] {
            ShootDialog(std::nullopt, QStringLiteral("define-plc-new.png"));
            ShootDialog(model::PathWay::Serial, QStringLiteral("define-plc-serial.png"));
            ShootDialog(model::PathWay::TcpIp, QStringLiteral("define-plc-tcpip.png"));
            ShootRefusedFields();
            return 0;
        });
        AddConnectionTestSteps("Line_1", QStringLiteral("define-plc-test-answered.png"));
        AddConnectionTestSteps("Press_3", QStringLiteral("define-plc-test-failed.png"));
        m_steps.push_back([this] {
            frmAbout about(m_program.Settings().FilePath(), &m_window);
            about.show();
            QCoreApplication::processEvents();
            Save(about.grab(), QStringLiteral("about.png"));
            return 0;
        });
        m_steps.push_back([this] {
            // A new name typed key by key that begins like an existing one stays as typed.
            if (m_program.Project().colPlcs().empty()) {
                return 0;
            }
            const std::string& existing = m_program.Project().colPlcs().front()->Name;
            const QString typed
                = QString::fromStdString(existing.substr(0, std::max<std::size_t>(1, existing.size() - 1)));
            frmConfigItems dialog(&m_window);
            dialog.PrepareAddNewItems(m_program.Project());
            dialog.show();
            dialog.activateWindow();
            QElapsedTimer activation;
            activation.start();
            while (!dialog.isActiveWindow() && activation.elapsed() < kSettleMilliseconds) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            auto* name = dialog.findChild<QComboBox*>(QStringLiteral("cbPLC"));
            name->setFocus();
            for (const QChar letter : typed) {
                QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(letter));
                QCoreApplication::sendEvent(name->lineEdit(), &press);
                QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(letter));
                QCoreApplication::sendEvent(name->lineEdit(), &release);
            }
            QCoreApplication::processEvents();
            Save(dialog.grab(), QStringLiteral("define-plc-typed-prefix.png"));
            return 0;
        });
        m_steps.push_back([this] {
            frmOptions options(m_program.Settings(), {}, &m_window);
            options.show();
            auto* tabs = options.findChild<QTabWidget*>(QStringLiteral("tabOptions"));
            tabs->setCurrentIndex(0);
            QCoreApplication::processEvents();
            Save(options.grab(), QStringLiteral("options-start-up.png"));
            tabs->setCurrentIndex(1);
            QCoreApplication::processEvents();
            Save(options.grab(), QStringLiteral("options-communication.png"));
            tabs->setCurrentIndex(2);
            QCoreApplication::processEvents();
            Save(options.grab(), QStringLiteral("options-mqtt.png"));
            tabs->setCurrentIndex(3);
            QCoreApplication::processEvents();
            Save(options.grab(), QStringLiteral("options-opcua.png"));
            return 0;
        });
        m_steps.push_back([this] {
            if (m_program.Project().colPlcs().empty()) {
                return 0;
            }
            m_passes = 0;
            m_runClock.start();
            m_window.RunTool(QStringLiteral("ID_Run"));
            return kSettleMilliseconds;
        });
        m_steps.push_back([this] {
            // Wait for a few passes, and for the PLC that does not answer to be shown as such.
            const bool enough = m_passes >= kMinimumPassesShown && m_notConnectedSeen;
            if (m_program.IsRunning() && !enough && m_runClock.elapsed() < kRunWaitMilliseconds) {
                return -1;
            }
            m_window.Grid().SetCurrentItemRow(ItemRowOf(std::nullopt));
            QCoreApplication::processEvents();
            Save(m_window.grab(), QStringLiteral("main-running.png"));
            ShootDeviceItems(QStringLiteral("main-device-running.png"));
            m_window.Grid().SetCurrentItemRow(ItemRowOf(std::nullopt));
            QMenu* connection = m_window.Band(QStringLiteral("popConnaction"));
            connection->popup(m_window.mapToGlobal(QPoint(0, 0)) + QPoint(80, 40));
            return kSettleMilliseconds;
        });
        m_steps.push_back([this] {
            QMenu* connection = m_window.Band(QStringLiteral("popConnaction"));
            if (connection->isVisible()) {
                QPixmap picture = m_window.grab();
                QPainter painter(&picture);
                painter.drawPixmap(connection->pos() - m_window.mapToGlobal(QPoint(0, 0)), connection->grab());
                painter.end();
                connection->hide();
                Save(picture, QStringLiteral("main-running-menu.png"));
            }
            // Line_1's program stopped: the grid marks it, the Events pane lists the command.
            (void)m_program.Service().Execute(app::Caller {}, "Line_1_STOP");
            m_runClock.start();
            return kSettleMilliseconds;
        });
        m_steps.push_back([this] {
            const model::clsPlc* line1 = m_program.Project().colPlcs().front().get();
            if (line1->PlcRunning != false && m_runClock.elapsed() < kRunWaitMilliseconds) {
                return -1;
            }
            QCoreApplication::processEvents();
            Save(m_window.grab(), QStringLiteral("main-plc-in-stop.png"));
            (void)m_program.Service().Execute(app::Caller {}, "Line_1_RUN");
            return kSettleMilliseconds;
        });
        m_steps.push_back([this] {
            // The Trend window on the first device item (the meter's voltages), with its history and a few live
            // values.
            const int row = DeviceItemRow();
            if (row < 0) {
                return 0;
            }
            m_window.Grid().SetCurrentItemRow(row);
            m_window.RunTool(QStringLiteral("ID_Trend"));
            if (auto* trend = m_window.findChild<TrendWindow*>()) {
                trend->ShowRange(TrendRange::Minutes10);
            }
            return kTrendLiveMilliseconds;
        });
        m_steps.push_back([this] {
            if (auto* trend = m_window.findChild<TrendWindow*>()) {
                QCoreApplication::processEvents();
                Save(trend->grab(), QStringLiteral("trend-window.png"));
                trend->close();
            }
            return kSettleMilliseconds;
        });
        m_steps.push_back([this] {
            if (m_program.IsRunning() && !m_program.IsRunToolEnabled()) {
                return -1;
            }
            if (m_program.IsRunning()) {
                m_window.RunTool(QStringLiteral("ID_Run"));
            }
            return kSettleMilliseconds;
        });
        m_steps.push_back([this] {
            if (m_program.IsRunning()) {
                return -1;
            }
            Save(m_window.grab(), QStringLiteral("main-after-stop.png"));
            return 0;
        });
    }

    frmMain& m_window;
    app::Program& m_program;
    QString m_folder;
    std::vector<Step> m_steps;
    std::size_t m_step = 0;
    int m_failures = 0;
    int m_passes = 0;
    bool m_notConnectedSeen = false;
    QElapsedTimer m_runClock;
    std::unique_ptr<frmConfigItems> m_dialog;
};

} // namespace

void StartScreenshotTour(frmMain& window, app::Program& program, const QString& folder)
{
    auto* tour = new Tour(window, program, folder);
    tour->Start();
}

} // namespace tavrel::ui
