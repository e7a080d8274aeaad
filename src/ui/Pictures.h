#pragma once

#include <QIcon>
#include <QString>

namespace tavrel::ui {

/// The picture of the Orbis families, the image holder `picOrbis` of the tool bar.
QIcon PicOrbis();

/// The picture of the Q40 family, the image holder `picQ40` of the tool bar.
QIcon PicQ40();

/// The picture shown beside a PLC's name: its family's; a null icon for a family without one or no family.
QIcon PlcTypePicture(int plcType);

/// The icon of a tool by its name ("ID_New" ...); a null icon for a tool without one. "ID_Stop" is the Run
/// tool while a run is on.
QIcon ToolIcon(const QString& toolName);

/// The picture of the splash window: the program's name over a drawn PLC rack, `size` pixels large.
QPixmap SplashPicture(const QSize& size);

} // namespace tavrel::ui
