#pragma once

#include <QString>

namespace tavrel::app {
class Program;
}

namespace tavrel::ui {

class frmMain;

/// Walks through the window's states once the event loop runs, saving a PNG picture of each into `folder`:
/// the splash window, the main window at its first size, stopped and running, the grid's pop-up menu, the
/// Define PLC dialog (new, serial, TCP/IP, refused fields, both outcomes of Test connection), the tabs of the
/// Options dialog and the About box. Ends the event loop with
/// 0 when every picture was saved, 1 otherwise.
void StartScreenshotTour(frmMain& window, app::Program& program, const QString& folder);

} // namespace tavrel::ui
