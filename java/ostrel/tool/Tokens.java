package ostrel.tool;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/**
 * What the store is made of (the database, its modules, their slots and tokens, and which token
 * each certificate is on), from the tool's own native library over the same NSS layer as the
 * product's. It never logs in and never prompts.
 */
final class Tokens {
    static {
        System.loadLibrary("ostrel_tokens");
    }

    private Tokens() {}

    /** One record a line: KIND, then tab-separated key=value fields (see src/nss/report.h). */
    private static native byte[][] describe();

    /** The database's directory (empty without a home) and why it is the one, NSS not started. */
    private static native byte[][] place();

    static List<String> records() {
        return strings(describe());
    }

    /** {directory, reason}. */
    static List<String> database() {
        return strings(place());
    }

    private static List<String> strings(byte[][] lines) {
        List<String> out = new ArrayList<>();
        for (byte[] line : lines) {
            out.add(new String(line, StandardCharsets.UTF_8));
        }
        return out;
    }
}
