#pragma once

#include <QString>

class QComboBox;
class QWidget;

namespace tavrel::ui {

/// The title of every message box and of the main window without a project file.
inline const char* const kProgramTitle = "Tavrel";

/// Gives the window and every control in it the program's user-interface font (the system's general
/// font); menus, tool bars and tab bars included.
void ApplyFormFont(QWidget& window);

/// Selects the first entry of `list` whose item data equals `value`; leaves the selection alone when no
/// entry has it. A changed selection emits the list's signals as a user's choice would.
void SelectComboByItemData(QComboBox& list, int value);

/// Marks a field whose text does not fit: a red frame and `problem` as its tooltip; an empty problem clears both.
void MarkField(QWidget& field, const QString& problem);

/// A user error: a message box with the exclamation icon, an OK button and the program's title.
void ShowExclamation(QWidget* parent, const QString& message);

/// A Yes/No question with the question icon and the program's title; true for Yes.
bool AskYesNo(QWidget* parent, const QString& question);

} // namespace tavrel::ui
