package ostrel.tool;

/** Ends a command: a message for standard error and the process's exit status. */
final class Failure extends Exception {
    static final int FAILED = 1;
    static final int USAGE = 2;

    private static final String[] MEANINGS = {
        "success",
        "reading the hash value failed",
        "asking the size of the hash value failed",
        "destroying the hash object failed",
        "creating the SHA-1 hash object failed",
        "releasing the provider context failed",
        "acquiring the key failed: the PIN or password prompt was cancelled or timed out, the PIN was"
            + " refused three times, the card is locked, or no prompt could be shown (no terminal, no"
            + " display, no pinentry); or the key demands the PIN at every signature and its card's"
            + " module is one that NSS drives without thread safety, which the library cannot sign"
            + " with safely",
        "opening the personal store failed",
        "the certificate is not in the personal store",
        "closing the personal store failed",
        "reading the certificate's key-provider information failed",
        "computing the signature failed, or it does not verify with the certificate's public key;"
            + " or the key demands the PIN at every signature and the card refused the PIN three"
            + " times",
        "(code 12 is never assigned)",
        "the provider has neither an exchange key nor a signature key (e.g. a non-RSA key)",
        "the certificate has no private key",
        "hashing the data failed",
        "asking the length of the name failed",
        "reading the name failed",
        "no memory for the name",
        "the certificate states no key usage, or reading it failed",
    };

    final int status;
    final boolean showUsage;

    private Failure(int status, String message, boolean showUsage) {
        super(message);
        this.status = status;
        this.showUsage = showUsage;
    }

    /** A command line we cannot parse: the usage text follows the message. */
    static Failure usage(String message) {
        return new Failure(USAGE, message, true);
    }

    /** A well-formed command line naming no certificate, or more than one. */
    static Failure selection(String message) {
        return new Failure(USAGE, message, false);
    }

    static Failure failed(String message) {
        return new Failure(FAILED, message, false);
    }

    /** A library call that failed: what we were doing, the library's code and what it means. */
    static Failure library(String doing, int code) {
        return failed(doing + ": " + describe(code));
    }

    static String describe(int code) {
        return "code " + code + ": " + meaning(code);
    }

    static String meaning(int code) {
        return code >= 0 && code < MEANINGS.length ? MEANINGS[code] : "unknown code";
    }
}
