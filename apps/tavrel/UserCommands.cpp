#include "apps/tavrel/UserCommands.h"

#include "common/UsersFile.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace tavrel {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitRefused = 2;

const QString kAddUser = QStringLiteral("add-user");
const QString kRemoveUser = QStringLiteral("remove-user");
const QString kAddToken = QStringLiteral("add-token");
const QString kRemoveToken = QStringLiteral("remove-token");

int Refuse(const std::string& reason)
{
    std::fprintf(stderr, "tavrel: %s\n", reason.c_str());
    return kExitRefused;
}

// One line of standard input without its line end; nothing at the end of the input.
std::optional<std::string> ReadLine()
{
    std::string line;
    if (!std::getline(std::cin, line)) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// A line typed on the terminal with the echo off, after a prompt on standard error.
std::optional<std::string> AskHidden(const char* prompt)
{
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    termios saved {};
    const bool canHide = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (canHide) {
        termios hidden = saved;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    auto line = ReadLine();
    if (canHide) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    std::fprintf(stderr, "\n");
    return line;
}

// The new user's password: asked twice on a terminal, else the first line of standard input.
tl::expected<std::string, std::string> NewPassword(const std::string& name)
{
    if (::isatty(STDIN_FILENO) == 0) {
        auto line = ReadLine();
        if (!line) {
            return tl::make_unexpected(std::string("no password on standard input"));
        }
        return *line;
    }
    const std::string prompt = "Password for " + name + ": ";
    const auto first = AskHidden(prompt.c_str());
    const auto second = AskHidden("The same again: ");
    if (!first || !second) {
        return tl::make_unexpected(std::string("no password given"));
    }
    if (*first != *second) {
        return tl::make_unexpected(std::string("the two passwords differ; nothing changed"));
    }
    return *first;
}

} // namespace

void AddUserCommandOptions(QCommandLineParser& parser)
{
    parser.addOptions({
        { kAddUser,
          QStringLiteral("Add user <name> with the role (reader or operator) given after it to the users file; the "
                         "password is asked twice on a terminal, else read from standard input."),
          QStringLiteral("name") },
        { kRemoveUser, QStringLiteral("Remove user <name> from the users file."), QStringLiteral("name") },
        { kAddToken,
          QStringLiteral("Add an access token <name> with the role (reader or operator) given after it to the users "
                         "file, and print the token; it is shown this once."),
          QStringLiteral("name") },
        { kRemoveToken, QStringLiteral("Remove access token <name> from the users file."), QStringLiteral("name") },
    });
}

bool AsksForUserCommand(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        for (const char* flag : { "--add-user", "--remove-user", "--add-token", "--remove-token" }) {
            const std::size_t length = std::strlen(flag);
            if (std::strncmp(argv[i], flag, length) == 0 && (argv[i][length] == '\0' || argv[i][length] == '=')) {
                return true;
            }
        }
    }
    return false;
}

std::optional<int> RunUserCommand(const QCommandLineParser& parser, const common::Settings& settings)
{
    QStringList asked;
    for (const QString& option : { kAddUser, kRemoveUser, kAddToken, kRemoveToken }) {
        if (parser.isSet(option)) {
            asked.append(option);
        }
    }
    if (asked.isEmpty()) {
        return std::nullopt;
    }
    if (asked.size() > 1 || parser.values(asked.front()).size() > 1) {
        return Refuse("one users file command at a time, please");
    }
    const QString command = asked.front();
    const std::string name = parser.value(command).toStdString();
    const bool adding = command == kAddUser || command == kAddToken;
    const QStringList rest = parser.positionalArguments();
    std::optional<common::Role> role;
    if (adding) {
        if (rest.size() != 1) {
            return Refuse("--" + command.toStdString() + " takes NAME ROLE, the role reader or operator");
        }
        role = common::ParseRole(rest.front().toStdString());
        if (!role) {
            return Refuse("the role '" + rest.front().toStdString() + "' is neither reader nor operator");
        }
    } else if (!rest.isEmpty()) {
        return Refuse("--" + command.toStdString() + " takes NAME alone, not '"
                      + rest.join(QLatin1Char(' ')).toStdString() + "'");
    }

    auto users = common::UsersFile::Load(common::UsersFilePath(settings));
    if (!users) {
        return Refuse(users.error());
    }
    std::string token;
    tl::expected<void, std::string> changed;
    if (command == kAddUser) {
        auto password = NewPassword(name);
        changed = password ? users->AddUser(name, *role, *password) : tl::make_unexpected(password.error());
    } else if (command == kAddToken) {
        auto made = users->AddToken(name, *role);
        if (made) {
            token = std::move(*made);
        } else {
            changed = tl::make_unexpected(made.error());
        }
    } else {
        changed = users->Remove(command == kRemoveUser ? common::UsersFile::Kind::User : common::UsersFile::Kind::Token,
                                name);
    }
    if (!changed) {
        return Refuse(changed.error());
    }
    if (auto saved = users->Save(); !saved) {
        return Refuse(saved.error());
    }
    const std::string where = users->Path().string();
    if (command == kAddToken) {
        std::printf("%s\n", token.c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "token '%s' (%s) added to %s; it is shown this once\n", name.c_str(),
                     std::string(common::RoleName(*role)).c_str(), where.c_str());
    } else if (command == kAddUser) {
        std::fprintf(stderr, "user '%s' (%s) added to %s\n", name.c_str(), std::string(common::RoleName(*role)).c_str(),
                     where.c_str());
    } else {
        std::fprintf(stderr, "%s '%s' removed from %s\n", command == kRemoveUser ? "user" : "token", name.c_str(),
                     where.c_str());
    }
    return kExitDone;
}

} // namespace tavrel
