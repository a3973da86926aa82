#include "Terminal.h"

#include "SecureMemory.h"

#include <cstdio>
#include <iostream>
#include <string>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <termios.h>
#include <unistd.h>
#endif

namespace terminal {

namespace {

    // The line may be a password: its buffer is wiped before it is released.
    std::optional<QString> takeLine()
    {
        std::string line;
        if (!std::getline(std::cin, line)) {
            const bool empty = line.empty();
            zel::platform::wipe(line);
            if (empty)
                return std::nullopt;
            // A last line without line end still counts.
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        QString text = QString::fromUtf8(line.data(), int(line.size()));
        zel::platform::wipe(line);
        return text;
    }

#ifndef Q_OS_WIN
    // The terminal's settings while echo is off, for the interrupt handler to put back: a user
    // who presses Ctrl-C at the prompt must not be left with a terminal that no longer echoes.
    struct termios savedTerminal;

    extern "C" void restoreTerminalAndDie(int signal)
    {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
#endif

} // namespace

bool stdinIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stdin)) != 0;
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

std::optional<QString> readHiddenLine(const QString& prompt)
{
    std::cerr << prompt.toStdString() << std::flush;
    std::optional<QString> line;
#ifdef Q_OS_WIN
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool canHide = GetConsoleMode(input, &mode) != 0;
    if (canHide)
        SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
    line = takeLine();
    if (canHide)
        SetConsoleMode(input, mode);
#else
    const bool canHide = tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
    using Handler = void (*)(int);
    Handler previousInt = SIG_DFL, previousTerm = SIG_DFL;
    if (canHide) {
        previousInt = std::signal(SIGINT, restoreTerminalAndDie);
        previousTerm = std::signal(SIGTERM, restoreTerminalAndDie);
        struct termios hidden = savedTerminal;
        hidden.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    }
    line = takeLine();
    if (canHide) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        std::signal(SIGINT, previousInt);
        std::signal(SIGTERM, previousTerm);
    }
#endif
    std::cerr << std::endl; // the user's Enter was not echoed
    return line;
}

std::optional<QString> readLine() { return takeLine(); }

QByteArray readAll()
{
    QByteArray data;
    char buffer[4096];
    while (std::cin.read(buffer, sizeof buffer) || std::cin.gcount() > 0)
        data.append(buffer, int(std::cin.gcount()));
    return data;
}

} // namespace terminal
