#pragma once

#include "ui/frmOptions.h"

#include <QString>

#include <functional>
#include <vector>

class QWidget;

namespace tavrel::app {
class Program;
class SingleInstance;
} // namespace tavrel::app
namespace tavrel::mqtt {
class MqttBridge;
} // namespace tavrel::mqtt

namespace tavrel::ui {

/// How the window starts.
struct WindowStart
{
    /// The whole argument text of the command line, taken as a project file path.
    QString commandLineFile;
    /// Shows the splash window for two seconds before the project is loaded.
    bool showSplash = true;
    /// Lets the Options dialog move the link server; none when the program serves no links.
    LinkServerMover moveLinkServer;
    OpcUaServerMover moveOpcUaServer;
    /// Starts the link server once the start-up project is in place, before the first activation; the window
    /// is the parent of any message it shows.
    std::function<void(QWidget* window)> startServing;
    /// When given, a refused later start brings the window to the front.
    app::SingleInstance* instance = nullptr;
    /// The MQTT bridge whose state the status bar shows and whose broker the Options dialog sets; may be null.
    mqtt::MqttBridge* mqttBridge = nullptr;
    /// Parts of the run status that other surfaces supply (link clients, ...), in the order shown.
    std::vector<std::function<QString()>> statusParts;
    /// When set, the window saves pictures of itself and its dialogs into this folder and ends.
    QString screenshotFolder;
};

/// Runs the program with its main window: splash, settings, the start-up project, the window, the run on
/// first activation when AutoRun is on; returns the exit code of the event loop. Needs a QApplication.
int RunWindow(app::Program& program, const WindowStart& start);

/// The same with only a command-line file and the splash switch.
int RunWindow(app::Program& program, const QString& commandLineFile, bool showSplash);

} // namespace tavrel::ui
