package ostrel.tool;

import java.util.List;

/** `ostrel-sign tokens`: the report and its advice, as text for a person or as JSON. */
final class TokensView {
    private TokensView() {}

    private static final int WIDTH = 100;

    static String text(Report r, List<Advice.Item> advice) {
        StringBuilder b = new StringBuilder();
        Report.Database db = r.database();
        b.append("Database: ").append(db.path() == null || db.path().isEmpty() ? "none" : shown(db.path()))
                .append('\n');
        field(b, 2, "chosen because", shown(db.reason()));
        field(b, 2, "state", switch (db.state()) {
            case "open" -> "open";
            case "missing" -> "missing: there is no database there, and the store is empty";
            default -> db.state() + (db.error() == null ? "" : ": " + shown(db.error()));
        });
        Report.Slot slot = r.databaseSlot();
        // Not the token's label: it depends on who started NSS in the process first.
        if (slot != null && slot.described()) {
            field(b, 2, "password", Boolean.TRUE.equals(slot.login())
                    ? (Boolean.TRUE.equals(slot.loggedIn()) ? "set; given" : "set; not given (signing asks)")
                    : "none");
            field(b, 2, "certificates", slot.certificates() + " listed");
        }
        if (r.modules().isEmpty()) {
            b.append("Modules: none registered (no smart card is set up in this database)\n");
        }
        for (Report.Module m : r.modules()) {
            b.append("Module ").append(quoted(m.name())).append(": ").append(shown(m.library())).append('\n');
            field(b, 2, "state", m.state().equals("failed") ? "failed: " + shown(m.error())
                    : m.state().equals("loading") ? "still starting (not yet loaded)" : m.state());
            if (m.state().equals("loaded") && m.slots().isEmpty()) {
                field(b, 2, "slots", "none");
            }
            for (Report.Slot s : m.slots()) {
                b.append("  Slot ").append(quoted(s.reader())).append(": ")
                        .append(!s.present() ? "no token" : s.described() ? "token present"
                                : "token present, but it does not describe itself")
                        .append('\n');
                if (!s.described()) {
                    continue;
                }
                field(b, 4, "label", shown(s.label()));
                field(b, 4, "manufacturer", shown(s.manufacturer()));
                field(b, 4, "model", shown(s.model()));
                field(b, 4, "serial", shown(s.serial()));
                field(b, 4, "login", Boolean.TRUE.equals(s.login())
                        ? "needs a PIN; " + (Boolean.TRUE.equals(s.loggedIn()) ? "logged in" : "not logged in")
                        : "needs no PIN");
                field(b, 4, "PIN counters", "count low: " + yesNo(s.countLow()) + ", final try: "
                        + yesNo(s.finalTry()) + ", locked: " + yesNo(s.locked()));
                field(b, 4, "PIN pad", yesNo(s.pinPad()));
                field(b, 4, "certificates", s.certificates() + " listed");
            }
        }
        if (advice.isEmpty()) {
            b.append("Advice: none; nothing looks wrong.\n");
        } else {
            b.append("Advice:\n");
            for (Advice.Item item : advice) {
                wrap(b, "  - ", "    ", shown(item.text()));
                for (String command : item.commands()) {
                    b.append("      ").append(shown(command)).append('\n');
                }
            }
        }
        return b.toString();
    }

    /** The JSON shape is documented in README.md; keep the two in step. */
    static String json(Report r, List<Advice.Item> advice) {
        Report.Database db = r.database();
        StringBuilder b = new StringBuilder("{\n  \"database\": {\n");
        b.append("    \"path\": ").append(Json.string(db.path())).append(",\n");
        b.append("    \"reason\": ").append(Json.string(db.reason())).append(",\n");
        b.append("    \"state\": ").append(Json.string(db.state())).append(",\n");
        b.append("    \"error\": ").append(Json.string(db.error())).append(",\n");
        b.append("    \"slot\": ");
        if (r.databaseSlot() == null) {
            b.append("null");
        } else {
            slot(b, r.databaseSlot(), "    ");
        }
        b.append("\n  },\n  \"modules\": [");
        for (int i = 0; i < r.modules().size(); i++) {
            Report.Module m = r.modules().get(i);
            b.append(i == 0 ? "\n" : ",\n").append("    {\n");
            b.append("      \"name\": ").append(Json.string(m.name())).append(",\n");
            b.append("      \"library\": ").append(Json.string(m.library())).append(",\n");
            b.append("      \"state\": ").append(Json.string(m.state())).append(",\n");
            b.append("      \"error\": ").append(Json.string(m.error())).append(",\n");
            b.append("      \"slots\": [");
            for (int s = 0; s < m.slots().size(); s++) {
                b.append(s == 0 ? "\n        " : ",\n        ");
                slot(b, m.slots().get(s), "        ");
            }
            b.append(m.slots().isEmpty() ? "]" : "\n      ]").append("\n    }");
        }
        b.append(r.modules().isEmpty() ? "]" : "\n  ]").append(",\n  \"advice\": [");
        for (int i = 0; i < advice.size(); i++) {
            Advice.Item item = advice.get(i);
            b.append(i == 0 ? "\n" : ",\n").append("    {\"kind\": ").append(Json.string(item.kind()))
                    .append(", \"text\": ").append(Json.string(item.text())).append(", \"commands\": ")
                    .append(Json.strings(item.commands())).append('}');
        }
        return b.append(advice.isEmpty() ? "]\n}\n" : "\n  ]\n}\n").toString();
    }

    private static void slot(StringBuilder b, Report.Slot s, String indent) {
        String in = indent + "  ";
        b.append("{\n");
        b.append(in).append("\"reader\": ").append(Json.string(s.reader())).append(",\n");
        b.append(in).append("\"tokenPresent\": ").append(s.present()).append(",\n");
        b.append(in).append("\"token\": ");
        if (!s.described()) {
            b.append("null");
        } else {
            String t = in + "  ";
            b.append("{\n");
            b.append(t).append("\"label\": ").append(Json.string(s.label())).append(",\n");
            b.append(t).append("\"manufacturer\": ").append(Json.string(s.manufacturer())).append(",\n");
            b.append(t).append("\"model\": ").append(Json.string(s.model())).append(",\n");
            b.append(t).append("\"serial\": ").append(Json.string(s.serial())).append(",\n");
            b.append(t).append("\"loginRequired\": ").append(s.login()).append(",\n");
            b.append(t).append("\"loggedIn\": ").append(s.loggedIn()).append(",\n");
            b.append(t).append("\"pinCountLow\": ").append(s.countLow()).append(",\n");
            b.append(t).append("\"pinFinalTry\": ").append(s.finalTry()).append(",\n");
            b.append(t).append("\"pinLocked\": ").append(s.locked()).append(",\n");
            b.append(t).append("\"pinPad\": ").append(s.pinPad()).append(",\n");
            b.append(t).append("\"certificates\": ").append(Json.number(s.certificates())).append('\n');
            b.append(in).append('}');
        }
        b.append('\n').append(indent).append('}');
    }

    private static void field(StringBuilder b, int indent, String name, String value) {
        b.append(" ".repeat(indent)).append(String.format("%-16s", name + ":")).append(value).append('\n');
    }

    /** Words onto lines of at most WIDTH columns; a longer word stands alone. */
    private static void wrap(StringBuilder b, String first, String rest, String text) {
        StringBuilder line = new StringBuilder(first);
        int start = first.length();
        for (String word : text.split(" ")) {
            if (line.length() > start && line.length() + 1 + word.length() > WIDTH) {
                b.append(line).append('\n');
                line = new StringBuilder(rest);
                start = rest.length();
            }
            line.append(line.length() > start ? " " : "").append(word);
        }
        b.append(line).append('\n');
    }

    private static String yesNo(Boolean value) {
        return value == null ? "?" : value ? "yes" : "no";
    }

    private static String quoted(String s) {
        return s == null ? "?" : "\"" + shown(s) + "\"";
    }

    private static String shown(String s) {
        return Main.shown(s);
    }
}
