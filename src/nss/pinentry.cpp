#include "nss/pinentry.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cryptoapi/text.h"

extern char** environ;

namespace pinentry {
namespace {

// How long a person has to answer; $OSTREL_PINENTRY_TIMEOUT seconds when set.
constexpr unsigned kDefaultTimeoutSeconds = 60;
// Past the prompt's own timeout before the program is ended. Its timeout is set to what is left
// of ours, and it reports one within milliseconds (as a cancel): this only covers a slow start.
constexpr long kGraceMs = 2000;
// How long the program has to leave after BYE, and again after SIGTERM.
constexpr long kLeaveMs = 1000;

// Assuan's error numbers carry their source in the top byte; the code is in the low 16 bits.
constexpr unsigned long kErrorCancelled = 99;
constexpr unsigned long kErrorTimeout = 62;

long nowMs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// The terminal a text-mode pinentry should use: GPG_TTY, else the one this process talks to.
std::string terminal() {
    const char* named = getenv("GPG_TTY");
    if (named != nullptr && named[0] != 0) {
        return named;
    }
    char name[256];
    for (int fd = 0; fd <= 2; ++fd) {
        if (isatty(fd) && ttyname_r(fd, name, sizeof name) == 0) {
            return name;
        }
    }
    return std::string();
}

bool hasDisplay() {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = getenv(variable);
        if (value != nullptr && value[0] != 0) {
            return true;
        }
    }
    return false;
}

unsigned timeoutSeconds() {
    const char* text = getenv("OSTREL_PINENTRY_TIMEOUT");
    if (text != nullptr) {
        char* end = nullptr;
        const unsigned long value = strtoul(text, &end, 10);
        if (end != text && *end == 0 && value >= 1 && value <= 3600) {
            return static_cast<unsigned>(value);
        }
    }
    return kDefaultTimeoutSeconds;
}

// Assuan forbids CR, LF and a bare % in a line: percent-escape them, and other control bytes.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<uint8_t>(c);
        if (c == '%' || byte < 0x20) {
            out.push_back('%');
            appendHex(&byte, 1, HexDigits::upper, &out);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Appends the percent-decoded data of a "D " line to the secret, control characters and null
// bytes included (the caller refuses them); false when it does not fit or is malformed.
bool appendData(const char* data, size_t length, Secret* secret) {
    for (size_t i = 0; i < length; ++i) {
        int c = static_cast<unsigned char>(data[i]);
        if (c == '%') {
            if (i + 2 >= length) {
                return false;
            }
            const int high = hexDigitValue(data[i + 1]), low = hexDigitValue(data[i + 2]);
            if (high < 0 || low < 0) {
                return false;
            }
            c = high << 4 | low;
            i += 2;
        }
        if (secret->length + 1 >= Secret::kCapacity) {
            return false;
        }
        secret->text[secret->length++] = static_cast<char>(c);
    }
    secret->text[secret->length] = 0;
    return true;
}

unsigned long errorCode(const char* line) {
    return strtoul(line + 4, nullptr, 10) & 0xFFFF;
}

// Whether the child has exited (or was reaped by someone else, as when SIGCHLD is ignored) within
// `ms`. It is left unreaped, so that its process ID stays its own.
bool exitedWithin(pid_t child, long ms) {
    const long deadline = nowMs() + ms;
    long pauseNs = 100 * 1000;
    for (;;) {
        siginfo_t info = {};
        const int status =
            waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT);
        if ((status == 0 && info.si_pid == child) || (status < 0 && errno == ECHILD)) {
            return true;
        }
        if (nowMs() >= deadline) {
            return false;
        }
        // A program leaving after BYE is gone within a millisecond or so: look again soon at
        // first, then every 5 ms.
        struct timespec pause = {0, pauseNs};
        nanosleep(&pause, nullptr);
        pauseNs = std::min(pauseNs * 2, 5L * 1000 * 1000);
    }
}

bool startsWith(const char* line, size_t length, const char* prefix) {
    const size_t n = strlen(prefix);
    return length >= n && memcmp(line, prefix, n) == 0 && (length == n || line[n] == ' ');
}

}  // namespace

void Secret::wipe() {
    explicit_bzero(text, sizeof text);
    length = 0;
}

void Secret::takeFrom(Secret* other) {
    wipe();
    memcpy(text, other->text, sizeof text);
    length = other->length;
    other->wipe();
}

bool Secret::hasControlCharacter() const {
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

bool Session::possible() {
    return !terminal().empty() || hasDisplay();
}

Session::~Session() {
    end(true);
}

bool Session::launch() {
    if (child_ > 0) {
        return true;
    }
    const char* program = getenv("OSTREL_PINENTRY");
    if (program == nullptr || program[0] == 0) {
        program = "pinentry";
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A session of its own: no terminal job control can stop us through it. Default handlers and
    // an empty mask: the host's ignored or blocked signals are not the program's.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pair[1]);
    if (spawned != 0) {
        close(pair[0]);
        return false;
    }
    child_ = pid;
    fd_ = pair[0];
    timeoutSeconds_ = timeoutSeconds();
    deadlineMs_ = nowMs() + timeoutSeconds_ * 1000L + kGraceMs;
    asked_ = false;
    return true;
}

bool Session::start(const std::string& title, const std::string& description,
                    const std::string& prompt) {
    if (!launch()) {
        return false;
    }
    if (!readLine() || !startsWith(line_, lineLength_, "OK")) {
        end(false);
        return false;
    }
    const std::string tty = terminal();
    const char* type = getenv("TERM");
    const bool ok = (tty.empty() || command("OPTION ttyname=" + escaped(tty), true)) &&
                    (type == nullptr || type[0] == 0 ||
                     command(std::string("OPTION ttytype=") + escaped(type), true)) &&
                    command("SETTITLE " + escaped(title), true) &&
                    command("SETDESC " + escaped(description), false) &&
                    command("SETPROMPT " + escaped(prompt), true);
    if (!ok) {
        end(false);
    }
    return ok;
}

Answer Session::ask(const std::string& error, Secret* secret) {
    secret->wipe();
    const long now = nowMs();
    if (asked_) {
        deadlineMs_ = now + timeoutSeconds_ * 1000L + kGraceMs;
    }
    asked_ = true;
    // The program's own timeout is what is left of ours, so that it ends the question itself and
    // says so (a cancel) before it would be ended.
    const long left = deadlineMs_ - kGraceMs - now;
    const long seconds = left <= 1000 ? 1 : (left + 999) / 1000;
    if (fd_ < 0 || !command("SETTIMEOUT " + std::to_string(seconds), true) ||
        !command(error.empty() ? "SETERROR" : "SETERROR " + escaped(error), true) ||
        !send("GETPIN")) {
        end(false);
        return Answer::kFailed;
    }
    while (readLine()) {
        if (startsWith(line_, lineLength_, "D")) {
            if (lineLength_ < 2 || !appendData(line_ + 2, lineLength_ - 2, secret)) {
                break;
            }
        } else if (startsWith(line_, lineLength_, "OK")) {
            explicit_bzero(line_, sizeof line_);
            return Answer::kEntered;
        } else if (startsWith(line_, lineLength_, "ERR")) {
            const unsigned long code = lineLength_ > 4 ? errorCode(line_) : 0;
            secret->wipe();
            if (code == kErrorCancelled || code == kErrorTimeout) {
                return Answer::kCancelled;
            }
            break;  // e.g. no usable terminal or display after all
        } else if (startsWith(line_, lineLength_, "INQUIRE")) {
            break;  // nothing to answer with
        }
        // Status ("S ...") and comment ("# ...") lines carry nothing for us.
    }
    secret->wipe();
    explicit_bzero(line_, sizeof line_);
    end(false);
    return Answer::kFailed;
}

bool Session::command(const std::string& line, bool tolerateError) {
    if (!send(line)) {
        return false;
    }
    while (readLine()) {
        if (startsWith(line_, lineLength_, "OK")) {
            return true;
        }
        if (startsWith(line_, lineLength_, "ERR")) {
            return tolerateError;
        }
        if (startsWith(line_, lineLength_, "INQUIRE") || startsWith(line_, lineLength_, "D")) {
            return false;
        }
    }
    return false;
}

bool Session::send(const std::string& text) {
    if (fd_ < 0) {
        return false;
    }
    const std::string line = text + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
        struct pollfd p = {fd_, POLLOUT, 0};
        const long left = deadlineMs_ - nowMs();
        if (left <= 0 || (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR)) {
            return false;
        }
    }
    return true;
}

bool Session::readLine() {
    explicit_bzero(line_, sizeof line_);
    lineLength_ = 0;
    if (fd_ < 0) {
        return false;
    }
    for (;;) {
        char* newline = static_cast<char*>(memchr(buffer_, '\n', buffered_));
        if (newline != nullptr) {
            const size_t length = static_cast<size_t>(newline - buffer_);
            if (length >= sizeof line_) {
                return false;
            }
            memcpy(line_, buffer_, length);
            lineLength_ = length;
            memmove(buffer_, newline + 1, buffered_ - length - 1);
            buffered_ -= length + 1;
            explicit_bzero(buffer_ + buffered_, sizeof buffer_ - buffered_);
            return true;
        }
        if (buffered_ == sizeof buffer_) {
            return false;  // longer than Assuan allows
        }
        struct pollfd p = {fd_, POLLIN, 0};
        const long left = deadlineMs_ - nowMs();
        if (left <= 0) {
            return false;
        }
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = read(fd_, buffer_ + buffered_, sizeof buffer_ - buffered_);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;  // closed, or died
        }
        buffered_ += static_cast<size_t>(n);
    }
}

void Session::end(bool leave) {
    if (fd_ >= 0) {
        if (leave && child_ > 0) {
            ::send(fd_, "BYE\n", 4, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        close(fd_);
        fd_ = -1;
    }
    explicit_bzero(buffer_, sizeof buffer_);
    explicit_bzero(line_, sizeof line_);
    buffered_ = lineLength_ = 0;
    if (child_ <= 0) {
        return;
    }
    // The program leads a process group of its own (it has its own session). The group is
    // signalled before the program is reaped: until then its number cannot name another group,
    // and whatever the program started and left behind ends with it.
    const bool left = leave && exitedWithin(child_, kLeaveMs);
    kill(-child_, SIGTERM);
    if (!left) {
        exitedWithin(child_, kLeaveMs);
    }
    kill(-child_, SIGKILL);
    // SIGKILL cannot be caught or ignored: this waits only for the kernel to tear the program
    // down (longer only while it sleeps uninterruptibly in a driver), and reaping it here leaves
    // no zombie behind for the life of the host process.
    while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
}

}  // namespace pinentry
