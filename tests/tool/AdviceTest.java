package ostrel.tool;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/** The advice of `ostrel-sign tokens`, from the report's records and a few facts of the machine. */
class AdviceTest {
    static final String HOME = "/home/u";
    static final String LEGACY = HOME + "/.pki/nssdb";
    static final String XDG = HOME + "/.local/share/pki/nssdb";
    static final String OPENSC_LIB = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
    static final String ONEPIN_LIB = "/usr/lib/x86_64-linux-gnu/onepin-opensc-pkcs11.so";
    static final String SYSTEM_SOCKET = "/run/pcscd/pcscd.comm";

    static String rec(String kind, String... fields) {
        return kind + "\t" + String.join("\t", fields);
    }

    static final String DB_OPEN = rec("database", "path=" + LEGACY, "reason=~/.pki/nssdb exists", "state=open");
    static final String DB_SLOT = token("", "NSS Certificate DB", "database=yes", "certificates=2");
    static final String OPENSC = rec("module", "name=OpenSC", "library=" + OPENSC_LIB, "state=loaded");
    static final String ONEPIN = rec("module", "name=OpenSC smartcard framework (0.23)",
            "library=" + ONEPIN_LIB, "state=loaded");
    static final String SOFTHSM = rec("module", "name=SoftHSM", "library=/usr/lib/softhsm/libsofthsm2.so",
            "state=loaded");
    static final String CARD = token("OpenSC", "DNIe (PIN1)", "certificates=2");
    static final String EMPTY_READER = rec("slot", "module=OpenSC", "database=no", "reader=Reader 00 01",
            "present=no");

    /** A slot with a token; `changes` replace the defaults (no PIN trouble, one certificate). */
    static String token(String module, String label, String... changes) {
        List<String> fields = new ArrayList<>(List.of("module=" + module, "database=no",
                "reader=Reader 00 00", "present=yes", "label=" + label, "manufacturer=M", "model=X",
                "serial=1", "login=yes", "loggedIn=no", "countLow=no", "finalTry=no", "locked=no",
                "pinPad=no", "certificates=1"));
        for (String change : changes) {
            String key = change.substring(0, change.indexOf('=') + 1);
            fields.replaceAll(f -> f.startsWith(key) ? change : f);
        }
        return rec("slot", fields.toArray(String[]::new));
    }

    /**
     * One row: the records, pcscd's state (null: it must not be asked) on `socket`, the files
     * that exist, and the advice expected: its kinds in order, every command, pieces of its text.
     */
    record Row(String name, List<String> records, Advice.Pcscd pcscd, String socket, Set<String> files,
            List<String> kinds, List<String> commands, List<String> texts) {
        @Override
        public String toString() {
            return name;
        }
    }

    static Row row(String name, List<String> records, Advice.Pcscd pcscd, Set<String> files,
            List<String> kinds, List<String> commands, String... texts) {
        return new Row(name, records, pcscd, SYSTEM_SOCKET, files, kinds, commands, List.of(texts));
    }

    static Stream<Row> rows() {
        String gone = "/opt/gone/libcard.so";
        return Stream.of(
                row("a card in OpenSC's reader, pcscd running", List.of(DB_OPEN, DB_SLOT, OPENSC, CARD,
                        EMPTY_READER), Advice.Pcscd.LISTENING, Set.of(), List.of(), List.of()),
                row("no PC/SC module: pcscd is not asked", List.of(DB_OPEN, DB_SLOT, SOFTHSM,
                        token("SoftHSM", "Ostrel Token")), null, Set.of(), List.of(), List.of()),
                row("no database in the XDG place", List.of(rec("database", "path=" + XDG,
                        "reason=there is no ~/.pki/nssdb, and XDG_DATA_HOME is not set", "state=missing")),
                        null, Set.of(), List.of("noDatabase"),
                        List.of("mkdir -p " + XDG, "certutil -N -d sql:" + XDG + " --empty-password",
                                "pk12util -i mine.p12 -d sql:" + XDG),
                        "There is no database at " + XDG + " (the place in use because there is no"),
                row("an empty ~/.pki/nssdb hides the database in the XDG place", List.of(rec("database",
                        "path=" + LEGACY, "reason=~/.pki/nssdb exists", "state=missing")), null,
                        Set.of(XDG + "/cert9.db"), List.of("noDatabase", "otherDatabase"),
                        List.of("mkdir -p " + LEGACY, "certutil -N -d sql:" + LEGACY + " --empty-password",
                                "pk12util -i mine.p12 -d sql:" + LEGACY, "rmdir " + LEGACY),
                        "Another database is at " + XDG + ", and it is not read"),
                row("a database in use, another passed over", List.of(DB_OPEN, DB_SLOT), null,
                        Set.of(LEGACY + "/cert9.db", XDG + "/cert9.db"), List.of("otherDatabase"), List.of(),
                        "use " + LEGACY + " because ~/.pki/nssdb exists."),
                row("a database that cannot be opened", List.of(rec("database", "path=" + LEGACY,
                        "reason=~/.pki/nssdb exists", "state=broken",
                        "error=SEC_ERROR_BAD_DATABASE: security library: bad database.")), null, Set.of(),
                        List.of("brokenDatabase"), List.of(),
                        "(SEC_ERROR_BAD_DATABASE: security library: bad database), so every call fails"
                                + " with code 7"),
                row("no home", List.of(rec("database", "path=", "reason=there is no home directory",
                        "state=missing")), null, Set.of(), List.of("noHome"), List.of()),
                row("the one-PIN module alone", List.of(DB_OPEN, DB_SLOT, ONEPIN, CARD),
                        Advice.Pcscd.LISTENING, Set.of(), List.of("onePinModule"),
                        List.of("modutil -dbdir sql:" + LEGACY + " -delete 'OpenSC smartcard framework (0.23)'",
                                "modutil -dbdir sql:" + LEGACY + " -add OpenSC -libfile " + OPENSC_LIB),
                        "keys behind a second PIN"),
                row("the one-PIN module beside opensc-pkcs11.so, in a home that needs quoting", List.of(
                        rec("database", "path=/home/o'neil/.pki/nssdb", "reason=~/.pki/nssdb exists",
                                "state=open"), ONEPIN, token("OpenSC smartcard framework (0.23)", "DNIe (PIN1)"),
                        OPENSC, token("OpenSC", "DNIe (PIN2)")), Advice.Pcscd.LISTENING, Set.of(),
                        List.of("onePinModule"), List.of("modutil -dbdir 'sql:/home/o'\\''neil/.pki/nssdb'"
                                + " -delete 'OpenSC smartcard framework (0.23)'")),
                row("OpenSC without pcscd", List.of(DB_OPEN, OPENSC), Advice.Pcscd.NO_SOCKET, Set.of(),
                        List.of("noPcscd"),
                        List.of("sudo apt install pcscd", "sudo systemctl enable --now pcscd.socket"),
                        "there is no pcscd socket at " + SYSTEM_SOCKET),
                new Row("a socket of PCSCLITE_CSOCK_NAME that nobody answers", List.of(DB_OPEN, OPENSC),
                        Advice.Pcscd.NOT_ANSWERING, "/tmp/stack/pcscd.comm", Set.of(),
                        List.of("pcscdNotRunning"), List.of(), List.of("nothing answers on its socket"
                                + " /tmp/stack/pcscd.comm: pcscd is not running (PCSCLITE_CSOCK_NAME")),
                row("readers without a card", List.of(DB_OPEN, OPENSC, EMPTY_READER, EMPTY_READER),
                        Advice.Pcscd.LISTENING, Set.of(), List.of("noCard"), List.of("opensc-tool -l"),
                        "No card is in any reader of module \"OpenSC\""),
                row("a card OpenSC cannot read", List.of(DB_OPEN, OPENSC, rec("slot", "module=OpenSC",
                        "database=no", "reader=Reader 00 00", "present=yes"), EMPTY_READER),
                        Advice.Pcscd.LISTENING, Set.of(), List.of("cardNotRead"), List.of("opensc-tool -n"),
                        "A card is in reader \"Reader 00 00\""),
                row("a module whose file is gone", List.of(DB_OPEN, rec("module", "name=Bob's card",
                        "library=" + gone, "state=failed",
                        "error=PR_LOAD_LIBRARY_ERROR: Failure to load dynamic library")), null, Set.of(),
                        List.of("moduleFailed"),
                        List.of("modutil -dbdir sql:" + LEGACY + " -delete 'Bob'\\''s card'"),
                        "failed to load (PR_LOAD_LIBRARY_ERROR: Failure to load dynamic library)",
                        "The file " + gone + " is not there"),
                row("a module that is there and fails, OpenSC's: pcscd is not asked", List.of(DB_OPEN,
                        rec("module", "name=OpenSC", "library=" + OPENSC_LIB, "state=failed",
                                "error=SEC_ERROR_NO_MODULE: security library: failed to load a module.")),
                        null, Set.of(OPENSC_LIB), List.of("moduleFailed"),
                        List.of("modutil -dbdir sql:" + LEGACY + " -delete OpenSC"), "Reinstall the package"),
                row("a module still starting", List.of(DB_OPEN, rec("module", "name=Slow",
                        "library=/opt/slow.so", "state=loading")), null, Set.of(), List.of("moduleLoading"),
                        List.of(), "had not finished starting"),
                row("PINs locked, on their final try, entered wrongly", List.of(DB_OPEN, DB_SLOT, SOFTHSM,
                        token("SoftHSM", "A", "locked=yes", "finalTry=yes"), token("SoftHSM", "B", "finalTry=yes",
                                "countLow=yes"), token("SoftHSM", "C", "countLow=yes")), null, Set.of(),
                        List.of("pinLocked", "pinFinalTry", "pinCountLow"), List.of(),
                        "The PIN of token \"A\" is locked", "The PIN of token \"B\" has one try left"),
                row("a card listing no certificate behind the one-PIN module", List.of(DB_OPEN, ONEPIN,
                        token("OpenSC smartcard framework (0.23)", "DNIe (PIN1)", "certificates=0")),
                        Advice.Pcscd.LISTENING, Set.of(), List.of("onePinModule", "noCertificates"),
                        List.of("modutil -dbdir sql:" + LEGACY + " -delete 'OpenSC smartcard framework (0.23)'",
                                "modutil -dbdir sql:" + LEGACY + " -add OpenSC -libfile " + OPENSC_LIB),
                        "Token \"DNIe (PIN1)\" lists no certificate", "through the one-PIN module"));
    }

    @ParameterizedTest(name = "[{index}] {0}")
    @MethodSource("rows")
    void adviceFollowsTheReport(Row row) {
        Advice.Host host = new Advice.Host(row.socket(), () -> {
            if (row.pcscd() == null) {
                fail("pcscd was asked about");
            }
            return row.pcscd();
        }, row.files()::contains, List.of(LEGACY, XDG));
        List<Advice.Item> items = Advice.of(Report.parse(row.records()), host);
        assertEquals(row.kinds(), items.stream().map(Advice.Item::kind).toList(), items.toString());
        assertEquals(row.commands(), items.stream().flatMap(i -> i.commands().stream()).toList());
        for (String piece : row.texts()) {
            assertTrue(items.stream().anyMatch(i -> i.text().contains(piece)), piece + " not in " + items);
        }
    }

    /** Values come back as the layer wrote them; what the tool does not know is passed over. */
    @Test
    void reportReadsEscapesAndPassesOverTheUnknown() {
        Report r = Report.parse(List.of(rec("future", "kind=1"), DB_OPEN, rec("slot", "module=x",
                "database=no", "reader=orphan", "present=no"), rec("module", "name=a\\tb\\\\c\\nd",
                "library=/x.so", "state=loaded", "colour=blue"), token("a", "T", "certificates=4"),
                rec("certificate", "sha1=00ff", "token=T", "database=no"),
                rec("certificate", "sha1=11ee", "token=NSS Certificate DB", "database=yes")));
        assertEquals(LEGACY, r.database().path());
        assertNull(r.databaseSlot());
        assertEquals(1, r.modules().size());
        assertEquals("a\tb\\c\nd", r.modules().get(0).name());
        assertEquals(List.of(4), r.modules().get(0).slots().stream().map(Report.Slot::certificates).toList());
        assertEquals("T", r.certificates().get("00ff").shownToken());
        assertEquals(Report.DATABASE_TOKEN, r.certificates().get("11ee").shownToken());
    }
}
