package ostrel.tool;

import java.io.IOException;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.channels.SocketChannel;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Set;
import java.util.function.Predicate;
import java.util.function.Supplier;

/**
 * What looks wrong in a store's report, and what to do about it, for `ostrel-sign tokens`. The
 * advice is decided from the report and a few facts about the machine (Host), so that each case
 * can be tried from records alone.
 */
final class Advice {
    private Advice() {}

    /** One piece of advice: a kind for scripts, the text, and commands to type (possibly none). */
    record Item(String kind, String text, List<String> commands) {
        Item(String kind, String text, String... commands) {
            this(kind, text, List.of(commands));
        }
    }

    enum Pcscd {
        /** Something accepts connections on the socket. */
        LISTENING,
        NO_SOCKET,
        /** A socket file nobody listens on: pcscd died or was stopped without removing it. */
        NOT_ANSWERING
    }

    /**
     * The machine as the advice needs it: pcscd's socket and whether it answers (asked only when
     * a PC/SC module is registered), whether a file exists, and every place NSS's rule may put the
     * database.
     */
    record Host(String pcscdSocket, Supplier<Pcscd> pcscd, Predicate<String> exists,
            List<String> databasePlaces) {
        /** This machine, from the process's environment. */
        static Host here() {
            String named = System.getenv("PCSCLITE_CSOCK_NAME");
            String socket = named != null && !named.isEmpty() ? named : SYSTEM_PCSCD;
            String home = System.getenv("HOME");
            if (home == null || home.isEmpty()) {
                home = System.getProperty("user.home");
            }
            List<String> places = new ArrayList<>();
            places.add(home + "/.pki/nssdb");
            String xdg = System.getenv("XDG_DATA_HOME");
            if (xdg != null && xdg.startsWith("/")) {
                places.add(xdg + "/pki/nssdb");
            }
            places.add(home + "/.local/share/pki/nssdb");
            return new Host(socket, () -> probe(socket), p -> Files.exists(Path.of(p)), places);
        }

        private static Pcscd probe(String socket) {
            Path path = Path.of(socket);
            if (!Files.exists(path)) {
                return Pcscd.NO_SOCKET;
            }
            try (SocketChannel channel = SocketChannel.open(StandardProtocolFamily.UNIX)) {
                channel.connect(UnixDomainSocketAddress.of(path));
                return Pcscd.LISTENING;
            } catch (IOException | RuntimeException e) {
                return Pcscd.NOT_ANSWERING;
            }
        }
    }

    static final String SYSTEM_PCSCD = "/run/pcscd/pcscd.comm";

    /** OpenSC's module file names: both reach readers through pcscd. */
    static final String OPENSC = "opensc-pkcs11.so";
    static final String ONEPIN = "onepin-opensc-pkcs11.so";

    static List<Item> of(Report report, Host host) {
        List<Item> items = new ArrayList<>();
        Report.Database db = report.database();
        String path = db.path() == null ? "" : db.path();
        String dbdir = "sql:" + path;
        database(db, path, host, items);

        boolean openscRegistered = report.modules().stream()
                .anyMatch(m -> fileName(m.library()).equals(OPENSC));
        Pcscd pcscd = null;
        for (Report.Module m : report.modules()) {
            String file = fileName(m.library());
            String named = "Module \"" + m.name() + "\" (" + m.library() + ")";
            if (file.equals(ONEPIN)) {
                String text = named + " is OpenSC's one-PIN module: it shows only the first PIN of"
                        + " each card, so certificates and keys behind a second PIN (a separate"
                        + " signature PIN) never appear. Register opensc-pkcs11.so instead, which"
                        + " shows a slot for each PIN (close Chromium and Firefox first). OpenSC's"
                        + " pkcs11-register, run at each desktop login, does not add the one-PIN"
                        + " module again once OpenSC is registered.";
                List<String> commands = new ArrayList<>();
                commands.add("modutil -dbdir " + quoted(dbdir) + " -delete " + quoted(m.name()));
                if (!openscRegistered) {
                    String library = m.library().substring(0, m.library().length() - ONEPIN.length())
                            + OPENSC;
                    commands.add("modutil -dbdir " + quoted(dbdir) + " -add OpenSC -libfile "
                            + quoted(library));
                }
                items.add(new Item("onePinModule", text, commands));
            }
            if (m.state().equals("failed")) {
                String text = named + " failed to load (" + bare(m.error()) + "), so its tokens are"
                        + " missing.";
                boolean gone = m.library().startsWith("/") && !host.exists().test(m.library());
                text += gone ? " The file " + m.library() + " is not there: install the package"
                        + " that provides it, or remove the module from the database:"
                        : " Reinstall the package that provides it, or remove the module from the"
                        + " database if it is no longer used:";
                items.add(new Item("moduleFailed", text,
                        "modutil -dbdir " + quoted(dbdir) + " -delete " + quoted(m.name())));
            } else if (m.state().equals("loading")) {
                items.add(new Item("moduleLoading", named + " had not finished starting when the"
                        + " report was made (its C_Initialize had not returned), so its tokens are"
                        + " missing. A program that loads it waits until it returns; one that never"
                        + " returns is a fault of the module or of what it waits for (for OpenSC,"
                        + " pcscd or a reader)."));
            }
            boolean pcsc = file.equals(OPENSC) || file.equals(ONEPIN);
            if (pcsc && !m.state().equals("failed") && pcscd == null) {
                pcscd = host.pcscd().get();
                boolean system = host.pcscdSocket().equals(SYSTEM_PCSCD);
                String fix = system ? "" : " (PCSCLITE_CSOCK_NAME names it): start the pcscd that"
                        + " serves it, or unset PCSCLITE_CSOCK_NAME to use the system's.";
                if (pcscd == Pcscd.NO_SOCKET) {
                    items.add(new Item("noPcscd", named + " reaches card readers through pcscd, and"
                            + " there is no pcscd socket at " + host.pcscdSocket() + ", so no reader"
                            + " and no card can appear" + (system ? ". Install pcscd and start it:"
                            : fix), system ? new String[] {"sudo apt install pcscd",
                                "sudo systemctl enable --now pcscd.socket"} : new String[0]));
                } else if (pcscd == Pcscd.NOT_ANSWERING) {
                    items.add(new Item("pcscdNotRunning", named + " reaches card readers through"
                            + " pcscd, and nothing answers on its socket " + host.pcscdSocket()
                            + ": pcscd is not running" + (system ? ". Start it:" : fix),
                            system ? new String[] {"sudo systemctl restart pcscd.socket pcscd.service"}
                            : new String[0]));
                }
            }
            if (pcsc && m.state().equals("loaded") && pcscd == Pcscd.LISTENING) {
                readers(m, items);
            }
        }
        if (report.databaseSlot() != null) {
            pin(report.databaseSlot(), "The database's password", items);
        }
        for (Report.Module m : report.modules()) {
            for (Report.Slot s : m.slots()) {
                if (!s.described()) {
                    continue;
                }
                pin(s, "The PIN of token \"" + s.label() + "\"", items);
                if (s.certificates() != null && s.certificates() == 0) {
                    items.add(new Item("noCertificates", "Token \"" + s.label() + "\" lists no"
                            + " certificate with a private key. A card that holds no public-key"
                            + " objects shows its certificates only once it is logged in (after a"
                            + " signature with another of its keys)."
                            + (fileName(m.library()).equals(ONEPIN) ? " Keys behind a second PIN"
                            + " do not appear through the one-PIN module at all." : "")));
                }
            }
        }
        return items;
    }

    private static void database(Report.Database db, String path, Host host, List<Item> items) {
        String dbdir = "sql:" + path;
        if (path.isEmpty()) {
            items.add(new Item("noHome", "There is no home directory, so there is no database:"
                    + " set HOME."));
            return;
        }
        switch (db.state()) {
            case "missing" -> items.add(new Item("noDatabase", "There is no database at " + path
                    + " (the place in use because " + db.reason() + "): the store is empty. To"
                    + " create it and add a certificate with its private key from a PKCS#12 file:",
                    "mkdir -p " + quoted(path),
                    "certutil -N -d " + quoted(dbdir) + " --empty-password",
                    "pk12util -i mine.p12 -d " + quoted(dbdir)));
            case "broken" -> items.add(new Item("brokenDatabase", "The database at " + path
                    + " cannot be opened (" + bare(db.error()) + "), so every call fails with code 7. Check"
                    + " that it is a directory holding cert9.db and key4.db that you may read."));
            default -> { }
        }
        Set<String> others = new LinkedHashSet<>();
        for (String place : host.databasePlaces()) {
            if (!Path.of(place).normalize().equals(Path.of(path).normalize())
                    && host.exists().test(place + "/cert9.db")) {
                others.add(place);
            }
        }
        for (String other : others) {
            String text = "Another database is at " + other + ", and it is not read: NSS,"
                    + " Chromium and this tool use " + path + " because " + db.reason() + ".";
            if (db.state().equals("missing") && path.endsWith("/.pki/nssdb")) {
                items.add(new Item("otherDatabase", text + " When " + path + " is an empty folder"
                        + " left behind, removing it makes the other one the database in use:",
                        "rmdir " + quoted(path)));
            } else {
                items.add(new Item("otherDatabase", text));
            }
        }
    }

    /** Readers and cards of a PC/SC module that pcscd serves. */
    private static void readers(Report.Module m, List<Item> items) {
        String named = "module \"" + m.name() + "\"";
        if (m.slots().isEmpty()) {
            items.add(new Item("noReader", "M" + named.substring(1) + " sees no card reader, though pcscd runs: plug"
                    + " the reader in, and check that pcscd sees it (opensc-tool -l lists the"
                    + " readers; pcsc_scan, from pcsc-tools, shows them live).",
                    "opensc-tool -l"));
            return;
        }
        List<String> empty = new ArrayList<>();
        for (Report.Slot s : m.slots()) {
            if (s.present() && !s.described()) {
                items.add(new Item("cardNotRead", "A card is in reader \"" + s.reader() + "\", but "
                        + named + " cannot read it: OpenSC does not recognise the card, or it is"
                        + " still starting. opensc-tool -n names the card when OpenSC knows it.",
                        "opensc-tool -n"));
            } else if (!s.present()) {
                empty.add("\"" + s.reader() + "\"");
            }
        }
        if (empty.size() == m.slots().size()) {
            items.add(new Item("noCard", "No card is in any reader of " + named + " ("
                    + String.join(", ", empty) + "): insert the card. When it is in, take it out"
                    + " and put it back, and check that the reader shows it (opensc-tool -l says"
                    + " Yes in its Card column).", "opensc-tool -l"));
        }
    }

    private static void pin(Report.Slot s, String whose, List<Item> items) {
        if (Boolean.TRUE.equals(s.locked())) {
            items.add(new Item("pinLocked", whose + " is locked: signing with its keys is refused"
                    + " without a prompt. Unblock it with the PUK, using the tool of the card's"
                    + " issuer (for cards OpenSC serves, pkcs11-tool --unlock-pin)."));
        } else if (Boolean.TRUE.equals(s.finalTry())) {
            items.add(new Item("pinFinalTry", whose + " has one try left: one more wrong entry"
                    + " locks it."));
        } else if (Boolean.TRUE.equals(s.countLow())) {
            items.add(new Item("pinCountLow", whose + " was entered wrongly since its last right"
                    + " entry: few tries are left before it locks."));
        }
    }

    /** An error's text inside a sentence: without its own final full stop. */
    private static String bare(String error) {
        return error == null ? "unknown error" : error.replaceAll("[.\\s]+$", "");
    }

    static String fileName(String library) {
        return library == null ? "" : library.substring(library.lastIndexOf('/') + 1);
    }

    /** A word as a POSIX shell reads it back: quoted only when it needs to be. */
    static String quoted(String word) {
        if (!word.isEmpty() && word.matches("[A-Za-z0-9_@%+=:,./-]+")) {
            return word;
        }
        return "'" + word.replace("'", "'\\''") + "'";
    }
}
