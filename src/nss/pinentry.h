// A client of GnuPG's pinentry, the desktop's PIN prompt, over its Assuan protocol.
//
// The program is $OSTREL_PINENTRY, else "pinentry" (the system's alternatives link), found on
// PATH. It runs in a session of its own with default signal handling, so that a prompt from a
// background job can never stop the host process, and talks over a socket pair; the PIN only ever
// travels through that socket. Ending it ends its whole process group, so that nothing it started
// outlives it. Nothing here touches NSS or holds a lock of the layer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace pinentry {

// A PIN or password as typed: fixed storage, wiped when it goes.
struct Secret {
    static constexpr size_t kCapacity = 256;
    char text[kCapacity] = {};  // null-terminated; may hold a null byte before `length`
    size_t length = 0;

    Secret() = default;
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { wipe(); }
    void wipe();
    // Takes what `other` holds, wiping it there.
    void takeFrom(Secret* other);
    // True when it holds a control character (a byte below 0x20, or 0x7F): no PIN or password
    // does, so such an entry is a slip (a pasted line break) to ask again, never to try.
    bool hasControlCharacter() const;
};

enum class Answer {
    kEntered,    // the secret holds what was typed (possibly empty)
    kCancelled,  // the person cancelled, or the prompt timed out
    kFailed,     // the program is missing, died, closed the pipe, hung or misbehaved
};

// One running pinentry: a prompt that may be asked several times (after a refused PIN). Each
// question has one deadline, $OSTREL_PINENTRY_TIMEOUT seconds (60 by default) and a short grace,
// for everything it waits on: the first question's runs from start(), greeting and setup
// included; a later one's from its ask(). The destructor says BYE and gives the program a moment
// to leave, then ends its process group (SIGTERM, then SIGKILL) and always reaps it.
class Session {
  public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();

    // False when nothing can be asked here: no terminal (GPG_TTY or the process's own) and no
    // display (DISPLAY, WAYLAND_DISPLAY). Nothing is started then.
    static bool possible();

    // Starts the program, without waiting for it: the first question's deadline runs from here.
    // False, with nothing left running, when it cannot be started. Nothing is shown until ask().
    bool launch();

    // Starts the program unless launch() did, waits for its greeting and sets the texts that stay
    // for the session. False, with nothing left running, when it cannot be started, or does not
    // greet and accept the texts by the deadline.
    bool start(const std::string& title, const std::string& description, const std::string& prompt);

    // Asks once. `error` (empty for none) is shown above the field, as after a refused PIN. The
    // secret is what was typed, whatever it holds; judging it is the caller's. Waits at most until
    // the question's deadline; the program is ended after that (kFailed).
    Answer ask(const std::string& error, Secret* secret);

  private:
    bool command(const std::string& line, bool tolerateError);
    bool send(const std::string& line);
    // Reads one line into line_ (wiped before each read); false on EOF, error or the deadline.
    bool readLine();
    // Ends the program; `leave` gives it a moment to go by itself after BYE first.
    void end(bool leave);

    pid_t child_ = -1;
    int fd_ = -1;
    unsigned timeoutSeconds_ = 0;
    long deadlineMs_ = 0;  // of the current question, on the monotonic clock
    bool asked_ = false;
    char buffer_[2048] = {};
    size_t buffered_ = 0;
    char line_[1024] = {};
    size_t lineLength_ = 0;
};

}  // namespace pinentry
