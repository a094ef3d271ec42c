package ostrel.bench;

/**
 * Native helpers of the card benchmark (bench/card/card_probe.cpp), in the library's own process: a
 * bare signature through the card module's PKCS#11 functions, and pcscd's report of a card.
 */
final class CardProbe {
    static {
        System.loadLibrary("ostrel_bench_card");
    }

    /**
     * Takes `module` as the library loaded it, finds the token holding `certificate` and its
     * private key (visible once logged in), and keeps a session open there. Null on success, else
     * why not.
     */
    static native String open(String module, byte[] certificate);

    /** SHA-1, DigestInfo, C_SignInit + C_Sign on that session; null when a call failed. */
    static native byte[] sign(byte[] data);

    static native void close();

    /**
     * Waits for pcscd to report a card in `reader` and returns that moment (CLOCK_MONOTONIC, as
     * System.nanoTime); -1 on a timeout, -2 when a card was there when it started, -3 on a PC/SC
     * error. It sets {@link #armed} once it knows the reader's state, before waiting.
     */
    static native long awaitCard(String reader, int timeoutMs);

    static native boolean armed();

    /** CLOCK_MONOTONIC in nanoseconds. */
    static native long monotonicNanos();

    private CardProbe() {}
}
