#pragma once

#include <QDialog>

#include <filesystem>

namespace tavrel::ui {

/// The About box: the program's picture, name and version, what it does, the versions of the libraries it runs
/// on and the settings file it uses, with a Close button.
class frmAbout : public QDialog
{
    Q_OBJECT

public:
    explicit frmAbout(const std::filesystem::path& settingsFile, QWidget* parent = nullptr);

    /// The About text as shown, rich text.
    static QString AboutText(const std::filesystem::path& settingsFile);
};

} // namespace tavrel::ui
