#include "TerminalHost.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Interrupt.h"
#include "Program.h"
#include "units/TerminalText.h"

namespace tralux::cli {
namespace {

std::string Lower(std::string text) {
    for (auto& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::string TerminalLines(const std::string& message) {
    std::string lines = message;
    for (auto& c : lines) {
        if (c == '\r') {
            c = '\n';
        }
    }
    return lines;
}

TerminalHost::TerminalHost(const TerminalSetup& setup)
    : setup_(setup), showProgress_(setup.outputIsTerminal && !setup.quiet) {}

void TerminalHost::Write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(setup_.outputFd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;  // nowhere left to tell the user anything
        }
        done += static_cast<size_t>(written);
    }
}

void TerminalHost::EndProgressLine() {
    if (lineDrawn_) {
        Write("\n");
        lineDrawn_ = false;
        lastDrawn_.clear();
    }
}

void TerminalHost::Message(const std::string& caption, const std::string& text) {
    EndProgressLine();
    // Messages quote file names: their control characters are shown, never sent as they are.
    Write(caption + ": " + TerminalSafeLines(TerminalLines(text)) + "\n");
}

void TerminalHost::ShowError(const std::string& message) {
    errorShown_ = true;
    Message("Error", message);
}

void TerminalHost::ShowOpenError(const std::string& message, const std::string& reason) {
    ShowError(reason.empty() ? message : message + "\r" + reason);
}

void TerminalHost::ReportError(const std::string& message) {
    ShowError(message);
}

void TerminalHost::ShowWarning(const std::string& message) {
    Message("Warning", message);
}

Answer TerminalHost::AskConfirm(const std::string& message) {
    return Ask("Confirm", message);
}

Answer TerminalHost::AskWarning(const std::string& message) {
    return Ask("Warning", message);
}

void TerminalHost::ShowAnsweredYes(const std::string& message, bool warning) {
    Message(warning ? "Warning" : "Confirm", message);
    Write("(answered Yes: --yes)\n");
}

Answer TerminalHost::Ask(const std::string& caption, const std::string& message) {
    Message(caption, message);
    if (!setup_.inputIsTerminal) {
        declined_ = true;
        Write("(answered No: standard input is not a terminal; --yes answers Yes)\n");
        return Answer::No;
    }
    while (true) {
        Write("Answer y or n: ");
        const auto reply = ReadLine();
        if (!reply) {
            // Ctrl-C or Ctrl-D: nothing is to be done on the user's behalf.
            Write("\n");
            declined_ = true;
            return Answer::No;
        }
        const std::string word = Lower(Trimmed(*reply));
        if (word == "y" || word == "yes") {
            return Answer::Yes;
        }
        if (word == "n" || word == "no") {
            declined_ = true;
            return Answer::No;
        }
    }
}

std::optional<std::string> TerminalHost::OutputFolderPrompt() {
    EndProgressLine();
    if (!setup_.inputIsTerminal) {
        declined_ = true;
        Message("Error",
                "The settings ask for the output folder at every run, and standard input is not "
                "a terminal: give the folder with --output-dir");
        errorShown_ = true;
        return std::nullopt;
    }
    Write("Select Output Folder (empty to cancel): ");
    const auto reply = ReadLine();
    if (!reply || Trimmed(*reply).empty()) {
        if (!reply) {
            Write("\n");
        }
        declined_ = true;
        return std::nullopt;
    }
    // Result paths are full paths, as the window's folder browser gives them.
    return AbsolutePath(Trimmed(*reply));
}

std::optional<std::string> TerminalHost::ReadLine() {
    std::string line;
    while (true) {
        if (InterruptRequested()) {
            return std::nullopt;
        }
        pollfd wanted{setup_.inputFd, POLLIN, 0};
        // poll() is never restarted after a signal, so Ctrl-C ends the wait at once.
        const int ready = ::poll(&wanted, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        char c = 0;
        const ssize_t got = ::read(setup_.inputFd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

void TerminalHost::ShowProgressLine(const std::vector<std::string>&) {
    if (!showProgress_) {
        return;
    }
    winsize size{};
    if (::ioctl(setup_.outputFd, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) {
        width_ = size.ws_col;
    }
}

void TerminalHost::HideProgressLine() {
    EndProgressLine();
    estimate_.clear();
}

void TerminalHost::PassStarted(const std::string& label, const std::string& fileName) {
    EndProgressLine();
    label_ = TerminalSafeText(label);
    fileName_ = TerminalSafeText(fileName);
    percent_ = 0;
    passOpen_ = true;
    Draw();
}

void TerminalHost::PassProgress(int percent) {
    if (percent != percent_) {
        percent_ = percent;
        Draw();
    }
}

void TerminalHost::PassEnded() {
    Draw();
    EndProgressLine();
    passOpen_ = false;
}

void TerminalHost::ShowEstimate(const std::string&, const std::string& longText) {
    estimate_ = longText;
    if (passOpen_) {
        Draw();
    }
}

void TerminalHost::HideEstimate() {
    estimate_.clear();
}

void TerminalHost::Draw() {
    if (!showProgress_ || !passOpen_) {
        return;
    }
    const std::string before = label_ + " ";
    std::string after = "  " + std::to_string(percent_) + "%";
    if (!estimate_.empty()) {
        after += "  " + estimate_;
    }
    // A line wider than the terminal would wrap, and "\r" could no longer redraw it.
    std::string name = fileName_;
    const size_t room = static_cast<size_t>(width_ - 1);
    if (before.size() + name.size() + after.size() > room) {
        const size_t keep =
            room > before.size() + after.size() + 3 ? room - before.size() - after.size() - 3 : 0;
        // Cut anywhere, a character's tail bytes are shown escaped, never sent alone.
        name = "..." + TerminalSafeText(name.substr(name.size() - std::min(keep, name.size())));
    }
    const std::string line = before + name + after;
    if (lineDrawn_ && line == lastDrawn_) {
        return;
    }
    Write("\r" + line + "\x1b[K");
    lineDrawn_ = true;
    lastDrawn_ = line;
}

void TerminalHost::PumpEvents() {
    if (InterruptRequested() && !cancelSent_) {
        cancelSent_ = true;
        if (cancel_) {
            cancel_();
        }
    }
}

}  // namespace tralux::cli
