// A pinentry for the consent benchmark: answers every Assuan command at once and every GETPIN with
// $BENCH_PINENTRY_PIN, as a person who knows the PIN would at once.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void reply(const std::string& text) {
    const std::string line = text + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = write(1, line.data() + sent, line.size() - sent);
        if (n <= 0) {
            _exit(1);
        }
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

int main() {
    const char* pin = getenv("BENCH_PINENTRY_PIN");
    reply("OK instant pinentry");
    char line[2048];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        if (strncmp(line, "GETPIN", 6) == 0) {
            reply(std::string("D ") + (pin != nullptr ? pin : ""));
        }
        reply("OK");
        if (strncmp(line, "BYE", 3) == 0) {
            break;
        }
    }
    return 0;
}
