#pragma once

// Standard input for the command line: the password, without echo when it comes from a
// terminal, and request bodies.

#include <QByteArray>
#include <QString>

#include <optional>

namespace terminal {

bool stdinIsTerminal();

// Writes prompt to stderr and reads one line from the terminal on stdin with echo turned off.
// Nothing when the input ends before a line.
std::optional<QString> readHiddenLine(const QString& prompt);

// One line from stdin without its line end ("\n" or "\r\n"); nothing at the end of the input.
std::optional<QString> readLine();

// The rest of stdin.
QByteArray readAll();

} // namespace terminal
