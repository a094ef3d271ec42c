package ostrel.tool;

import java.util.List;

/** Just enough JSON for our output. Everything outside printable ASCII is escaped, so the text
 * survives any console encoding. */
final class Json {
    private Json() {}

    static String string(String s) {
        if (s == null) {
            return "null";
        }
        StringBuilder b = new StringBuilder("\"");
        for (char c : s.toCharArray()) {
            switch (c) {
                case '"' -> b.append("\\\"");
                case '\\' -> b.append("\\\\");
                case '\n' -> b.append("\\n");
                case '\r' -> b.append("\\r");
                case '\t' -> b.append("\\t");
                case '\b' -> b.append("\\b");
                case '\f' -> b.append("\\f");
                default -> {
                    if (c < 0x20 || c > 0x7e) {
                        b.append(String.format("\\u%04x", (int) c));
                    } else {
                        b.append(c);
                    }
                }
            }
        }
        return b.append('"').toString();
    }

    static String strings(List<String> list) {
        if (list == null) {
            return "null";
        }
        StringBuilder b = new StringBuilder("[");
        for (String s : list) {
            b.append(b.length() > 1 ? ", " : "").append(string(s));
        }
        return b.append(']').toString();
    }

    static String number(Number n) {
        return n == null ? "null" : n.toString();
    }
}
