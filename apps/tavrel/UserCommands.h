#pragma once

#include "common/Settings.h"

#include <QCommandLineParser>

#include <optional>

namespace tavrel {

/// Adds the options that keep the users file: --add-user NAME ROLE, --remove-user NAME, --add-token NAME ROLE,
/// --remove-token NAME (the role is the one argument after the name).
void AddUserCommandOptions(QCommandLineParser& parser);

/// Whether the command line asks for one of the users file's commands, which need no display.
bool AsksForUserCommand(int argc, char** argv);

/// Carries out the users file command of the command line, if it holds one, on the users file of `settings`: the
/// exit code, with what was done or why not on the standard streams. A new user's password is asked twice on a
/// terminal, or read as one line from standard input; a new token is printed once, alone on its line.
std::optional<int> RunUserCommand(const QCommandLineParser& parser, const common::Settings& settings);

} // namespace tavrel
