// virtual-card: serves libcacard's virtual CAC card to vsmartcard's vpcd reader, for the card
// stack in the tests (tests/card/card-stack.sh).
//
//   virtual-card DB PIN PORT STATE NICK1 NICK2 NICK3
//
// DB is the card's NSS database ("sql:DIR", password PIN), the NICKs its three certificates, PORT
// vpcd's port on 127.0.0.1. SIGUSR1 inserts the card (connects to vpcd), SIGUSR2 pulls it
// (disconnects), SIGTERM ends the program. STATE is rewritten (atomically) after every change:
//   state=inserted|pulled powered=N tries=N verified=0|1 apdus=N
// where `powered` counts the power-ons, so a caller knows when the reader has seen an insertion,
// and `apdus` the command APDUs answered, so a benchmark can tell what a call costs the card.
//
// libcacard answers a wrong PIN with 6985 and never blocks; a card answers 63Cx and blocks after
// three wrong PINs (6983), which is what OpenSC turns into CKR_PIN_INCORRECT, the counter flags
// and CKR_PIN_LOCKED. So VERIFY is answered here, and only the right PIN reaches libcacard (to log
// it in). The try counter lives as long as the program, as a card's does: restarting the program
// is a new card.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The dozen entry points of libcacard used here, declared by hand: the runtime package ships no
// headers, and the -dev package drags in glib's.
extern "C" {
struct VReader;
struct VReaderList;
struct VReaderListEntry;
struct VCardEmulOptions;
void* vcard_emul_options(const char* args);
int vcard_emul_init(const void* options);
VReaderList* vreader_get_reader_list();
VReaderListEntry* vreader_list_get_first(VReaderList* list);
VReader* vreader_list_get_reader(VReaderListEntry* entry);
void vreader_list_delete(VReaderList* list);
int vreader_power_on(VReader* reader, unsigned char* atr, int* len);
int vreader_power_off(VReader* reader);
int vreader_xfr_bytes(VReader* reader, unsigned char* send, int send_len, unsigned char* receive,
                      int* receive_len);
}

namespace {

constexpr int kTries = 3;

struct Card {
    VReader* reader = nullptr;
    std::string pin;
    int tries = kTries;
    bool verified = false;
    int powered = 0;
    long apdus = 0;
    unsigned char atr[64] = {};
    int atrLength = 0;
};

void writeState(const char* path, bool inserted, const Card& card) {
    std::string tmp = std::string(path) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        perror(tmp.c_str());
        exit(1);
    }
    fprintf(f, "state=%s powered=%d tries=%d verified=%d apdus=%ld\n",
            inserted ? "inserted" : "pulled", card.powered, card.tries, card.verified ? 1 : 0,
            card.apdus);
    fclose(f);
    rename(tmp.c_str(), path);
}

// Reads exactly n bytes; false at EOF or on an error (the reader went away).
bool readAll(int fd, unsigned char* buffer, size_t n) {
    while (n > 0) {
        // vpcd sends the length and the payload in two writes: without a quick ACK each APDU
        // waits for the peer's delayed ACK (about 40 ms).
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        ssize_t got = read(fd, buffer, n);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        buffer += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool send(int fd, const unsigned char* data, size_t n) {
    std::vector<unsigned char> message{static_cast<unsigned char>(n >> 8),
                                       static_cast<unsigned char>(n)};
    message.insert(message.end(), data, data + n);
    return ::send(fd, message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
}

std::vector<unsigned char> status(unsigned sw1, unsigned sw2) {
    return {static_cast<unsigned char>(sw1), static_cast<unsigned char>(sw2)};
}

std::vector<unsigned char> forward(Card& card, const unsigned char* apdu, size_t n) {
    unsigned char response[4096];
    int length = sizeof response;
    std::vector<unsigned char> copy(apdu, apdu + n);
    if (vreader_xfr_bytes(card.reader, copy.data(), static_cast<int>(n), response, &length) != 0) {
        return status(0x6F, 0x00);
    }
    return {response, response + length};
}

// VERIFY as a card answers it: an empty one asks the state (9000 verified, 63Cx tries left), a
// wrong PIN costs a try (63Cx), a blocked PIN is refused (6983) without looking at it.
std::vector<unsigned char> verify(Card& card, const unsigned char* apdu, size_t n) {
    if (card.tries == 0) {
        return status(0x69, 0x83);
    }
    if (n <= 5) {
        return card.verified ? status(0x90, 0x00) : status(0x63, 0xC0 | card.tries);
    }
    size_t length = apdu[4];
    if (n < 5 + length) {
        return status(0x67, 0x00);
    }
    std::string given(reinterpret_cast<const char*>(apdu + 5), length);
    given.erase(given.find_last_not_of('\xFF') + 1);  // PINs are padded with FF to 8 bytes
    if (given != card.pin) {
        card.tries--;
        card.verified = false;
        return status(0x63, 0xC0 | card.tries);
    }
    std::vector<unsigned char> response = forward(card, apdu, n);
    if (response.size() >= 2 && response[response.size() - 2] == 0x90) {
        card.tries = kTries;
        card.verified = true;
    }
    return response;
}

int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Serves one message from vpcd; false when the reader went away.
bool serve(int fd, Card& card) {
    unsigned char header[2];
    unsigned char message[65536];
    if (!readAll(fd, header, 2)) {
        return false;
    }
    size_t n = (size_t{header[0]} << 8) | header[1];
    if (!readAll(fd, message, n)) {
        return false;
    }
    if (n == 1) {  // control codes: power off, power on, reset, ATR
        switch (message[0]) {
            case 0:
                vreader_power_off(card.reader);
                card.verified = false;
                return true;
            case 1:
            case 2:
                if (message[0] == 2) {
                    vreader_power_off(card.reader);
                }
                card.verified = false;
                {
                    unsigned char atr[sizeof card.atr];
                    int length = sizeof atr;
                    vreader_power_on(card.reader, atr, &length);
                }
                card.powered++;
                return true;
            case 4:
                return send(fd, card.atr, static_cast<size_t>(card.atrLength));
            default:
                return true;
        }
    }
    card.apdus++;
    std::vector<unsigned char> response;
    if (n >= 4 && (message[0] & 0x80) == 0 && message[1] == 0x20) {
        response = verify(card, message, n);
    } else {
        response = forward(card, message, n);
    }
    return send(fd, response.data(), response.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        fprintf(stderr, "usage: %s DB PIN PORT STATE NICK1 NICK2 NICK3\n", argv[0]);
        return 2;
    }
    Card card;
    card.pin = argv[2];
    int port = atoi(argv[3]);
    const char* state = argv[4];
    std::string options = std::string("db=\"") + argv[1] + "\" use_hw=no soft=(,Virtual CAC,CAC,," +
                          argv[5] + "," + argv[6] + "," + argv[7] + ")";
    if (vcard_emul_init(vcard_emul_options(options.c_str())) != 0) {
        fprintf(stderr, "virtual-card: libcacard could not open %s\n", argv[1]);
        return 1;
    }
    VReaderList* list = vreader_get_reader_list();
    VReaderListEntry* first = list == nullptr ? nullptr : vreader_list_get_first(list);
    card.reader = first == nullptr ? nullptr : vreader_list_get_reader(first);
    if (card.reader == nullptr) {
        fprintf(stderr, "virtual-card: libcacard made no card\n");
        return 1;
    }
    // vpcd asks for the ATR to tell whether a card is there, powered or not, and waits forever
    // for an empty one: read it once now.
    card.atrLength = sizeof card.atr;
    if (vreader_power_on(card.reader, card.atr, &card.atrLength) != 0 || card.atrLength <= 0) {
        fprintf(stderr, "virtual-card: the card gave no ATR\n");
        return 1;
    }
    vreader_power_off(card.reader);

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&signals, s);
    }
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    int reader = -1;
    bool wanted = false;  // inserted, or being inserted while vpcd does not listen yet
    writeState(state, false, card);
    for (;;) {
        if (wanted && reader < 0 && (reader = connectTo(port)) >= 0) {
            writeState(state, true, card);
        }
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {reader, POLLIN, 0}};
        // While an insertion waits for vpcd, try again every 50 ms.
        if (poll(fds, reader >= 0 ? 2 : 1, wanted && reader < 0 ? 50 : -1) < 0 && errno != EINTR) {
            perror("poll");
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) != sizeof info) {
                continue;
            }
            if (info.ssi_signo == SIGUSR1) {
                wanted = true;
            } else if (info.ssi_signo == SIGUSR2) {
                wanted = false;
            } else {
                break;
            }
            if (!wanted && reader >= 0) {
                close(reader);
                reader = -1;
                vreader_power_off(card.reader);
                card.verified = false;
                writeState(state, false, card);
            }
            continue;
        }
        if (reader >= 0 && fds[1].revents != 0) {
            if (!serve(reader, card)) {
                // The reader went away (pcscd stopped): the card is out until inserted again.
                close(reader);
                reader = -1;
                wanted = false;
                vreader_power_off(card.reader);
                card.verified = false;
            }
            writeState(state, reader >= 0, card);
        }
    }
    if (reader >= 0) {
        close(reader);
    }
    vreader_list_delete(list);
    return 0;
}
