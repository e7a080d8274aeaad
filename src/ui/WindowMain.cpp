#include "ui/WindowMain.h"

#include "app/Program.h"
#include "app/SingleInstance.h"
#include "ui/RunStatus.h"
#include "ui/ScreenshotTour.h"
#include "ui/frmMain.h"
#include "ui/frmSplash.h"

#include <QApplication>
#include <QTimer>

namespace tavrel::ui {

int RunWindow(app::Program& program, const WindowStart& start)
{
    frmMain window(program, start.moveLinkServer);
    window.AttachMqtt(start.mqttBridge);
    window.SetOpcUaMover(start.moveOpcUaServer);
    for (const auto& part : start.statusParts) {
        window.Status().AddPart(part);
    }
    if (start.showSplash && start.screenshotFolder.isEmpty()) {
        frmSplash splash;
        splash.ShowGUI();
    }
    program.ReloadOptions();
    window.UpdateCommandStates();
    program.StartUp(start.commandLineFile.toStdString());
    window.UpdateCommandStates();
    window.show();
    if (start.startServing) {
        start.startServing(&window);
    }
    if (start.instance != nullptr) {
        QObject::connect(start.instance, &app::SingleInstance::anotherStartRefused, &window, [&window] {
            window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
            window.show();
            window.raise();
            window.activateWindow();
        });
    }

    if (!start.screenshotFolder.isEmpty()) {
        StartScreenshotTour(window, program, start.screenshotFolder);
    } else {
        // A window manager activates the window; without one (a bare X server) the first turn of the event
        // loop stands in for the first activation.
        QTimer::singleShot(0, &window, [&window] { window.HandleFirstActivation(); });
    }
    return QApplication::exec();
}

int RunWindow(app::Program& program, const QString& commandLineFile, bool showSplash)
{
    WindowStart start;
    start.commandLineFile = commandLineFile;
    start.showSplash = showSplash;
    return RunWindow(program, start);
}

} // namespace tavrel::ui
