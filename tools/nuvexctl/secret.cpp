// Reading secrets typed by a person: a line at a prompt with the terminal's echo off.
#include "secret.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

#include <iostream>
#include <iterator>

#include "tool_files.h"

namespace nuvexctl {

namespace {

// Reads one line a character at a time from `next` (true while it gives one).
template <typename NextCharacter>
bool ReadLineOf(NextCharacter next, std::string& password) {
    password.reserve(kPasswordMax + 1);
    char c;
    bool any = false;
    while (next(c)) {
        any = true;
        if (c == '\n') break;
        if (password.size() == kPasswordMax) return false;
        password.push_back(c);
    }
    return any;
}

}  // namespace

bool ReadPasswordLine(std::istream& in, std::string& password) {
    return ReadLineOf([&in](char& c) { return static_cast<bool>(in.get(c)); }, password);
}

bool ReadPasswordLine(InputFile& in, std::string& password) {
    return ReadLineOf([&in](char& c) { return in.Read(&c, 1) == 1; }, password);
}

// While the prompt runs echo is off; these restore it when the run is ended by Ctrl-C (or a
// hang-up, or a termination request) before the prompt has finished.
#if defined(_WIN32)
namespace {
HANDLE g_console = INVALID_HANDLE_VALUE;
DWORD g_savedMode = 0;

BOOL WINAPI RestoreConsoleOnBreak(DWORD) {
    SetConsoleMode(g_console, g_savedMode);
    return FALSE;  // the default handler ends the process
}
}  // namespace

bool PromptWithoutEcho(std::string& password) {
    g_console = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(g_console, &g_savedMode)) return ReadPasswordLine(std::cin, password);
    SetConsoleCtrlHandler(RestoreConsoleOnBreak, TRUE);
    SetConsoleMode(g_console, g_savedMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    bool ok = ReadPasswordLine(std::cin, password);
    SetConsoleMode(g_console, g_savedMode);
    SetConsoleCtrlHandler(RestoreConsoleOnBreak, FALSE);
    return ok;
}
#else
namespace {
termios g_savedTerminal{};
constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

extern "C" void RestoreTerminalOnSignal(int signal) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    const char newline = '\n';
    ssize_t ignored = ::write(STDERR_FILENO, &newline, 1);
    (void)ignored;
    // End (or stop) the process as the signal would have.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
}  // namespace

bool PromptWithoutEcho(std::string& password) {
    if (::tcgetattr(STDIN_FILENO, &g_savedTerminal) != 0) return ReadPasswordLine(std::cin, password);
    struct sigaction restore {}, previous[std::size(kPromptSignals)];
    restore.sa_handler = RestoreTerminalOnSignal;
    sigemptyset(&restore.sa_mask);
    for (std::size_t i = 0; i < std::size(kPromptSignals); ++i) ::sigaction(kPromptSignals[i], &restore, &previous[i]);
    termios quiet = g_savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    bool ok = ReadPasswordLine(std::cin, password);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_savedTerminal);
    for (std::size_t i = 0; i < std::size(kPromptSignals); ++i) ::sigaction(kPromptSignals[i], &previous[i], nullptr);
    return ok;
}
#endif


}  // namespace nuvexctl
