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

    static List<String> records() {
        List<String> lines = new ArrayList<>();
        for (byte[] line : describe()) {
            lines.add(new String(line, StandardCharsets.UTF_8));
        }
        return lines;
    }
}
