package ostrel.tool;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * The store's report (Tokens.records()) read into its parts: the database, its slot, each module
 * with its slots, and the token of each listed certificate by the SHA-1 of its DER.
 */
record Report(Database database, Slot databaseSlot, List<Module> modules,
        Map<String, Certificate> certificates) {

    /** What the tool calls the database's own token, in the list's Token column. */
    static final String DATABASE_TOKEN = "NSS database";

    /** state: open, missing or broken; error only when broken. */
    record Database(String path, String reason, String state, String error) {}

    /** state: loaded, loading or failed; error only when failed. */
    record Module(String name, String library, String state, String error, List<Slot> slots) {}

    /**
     * A slot and, when a token is present and tells about itself, the token: label is null
     * otherwise, and so is every field after it.
     */
    record Slot(String reader, boolean present, String label, String manufacturer, String model,
            String serial, Boolean login, Boolean loggedIn, Boolean countLow, Boolean finalTry,
            Boolean locked, Boolean pinPad, Integer certificates) {
        boolean described() {
            return label != null;
        }
    }

    record Certificate(String sha1, String token, boolean database) {
        /** The token's label, or DATABASE_TOKEN for the database's certificates. */
        String shownToken() {
            return database ? DATABASE_TOKEN : token;
        }
    }

    /** Reads the records; a kind or field it does not know is passed over. */
    static Report parse(List<String> lines) {
        Database database = new Database(null, null, "missing", null);
        Slot databaseSlot = null;
        List<Module> modules = new ArrayList<>();
        Map<String, Certificate> certificates = new HashMap<>();
        for (String line : lines) {
            String[] parts = line.split("\t", -1);
            Map<String, String> f = new HashMap<>();
            for (int i = 1; i < parts.length; i++) {
                int eq = parts[i].indexOf('=');
                if (eq > 0) {
                    f.put(parts[i].substring(0, eq), unescape(parts[i].substring(eq + 1)));
                }
            }
            switch (parts[0]) {
                case "database" -> database = new Database(f.get("path"), f.get("reason"),
                        f.getOrDefault("state", "missing"), f.get("error"));
                case "module" -> modules.add(new Module(f.get("name"), f.get("library"),
                        f.get("state"), f.get("error"), new ArrayList<>()));
                case "slot" -> {
                    Slot slot = slot(f);
                    if (yes(f.get("database"))) {
                        databaseSlot = slot;
                    } else if (!modules.isEmpty()) {
                        modules.get(modules.size() - 1).slots().add(slot);
                    }
                }
                case "certificate" -> certificates.put(f.get("sha1"),
                        new Certificate(f.get("sha1"), f.get("token"), yes(f.get("database"))));
                default -> { }
            }
        }
        return new Report(database, databaseSlot, modules, certificates);
    }

    private static Slot slot(Map<String, String> f) {
        String label = f.get("label");
        Integer count = null;
        if (label != null && f.get("certificates") != null) {
            count = Integer.valueOf(f.get("certificates"));
        }
        return new Slot(f.get("reader"), yes(f.get("present")), label,
                label == null ? null : f.get("manufacturer"), label == null ? null : f.get("model"),
                label == null ? null : f.get("serial"), flag(f, label, "login"),
                flag(f, label, "loggedIn"), flag(f, label, "countLow"), flag(f, label, "finalTry"),
                flag(f, label, "locked"), flag(f, label, "pinPad"), count);
    }

    private static Boolean flag(Map<String, String> f, String label, String key) {
        return label == null || f.get(key) == null ? null : yes(f.get(key));
    }

    private static boolean yes(String value) {
        return "yes".equals(value);
    }

    private static String unescape(String s) {
        if (s.indexOf('\\') < 0) {
            return s;
        }
        StringBuilder b = new StringBuilder(s.length());
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '\\' && i + 1 < s.length()) {
                char n = s.charAt(++i);
                b.append(switch (n) {
                    case 't' -> '\t';
                    case 'n' -> '\n';
                    case 'r' -> '\r';
                    default -> n;
                });
            } else {
                b.append(c);
            }
        }
        return b.toString();
    }
}
