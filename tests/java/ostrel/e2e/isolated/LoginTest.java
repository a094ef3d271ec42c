package ostrel.e2e.isolated;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.params.provider.Arguments.arguments;

import java.nio.file.Files;
import java.nio.file.Path;
import java.security.AuthProvider;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Security;
import java.security.Signature;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.stream.Stream;
import ostrel.client.applet.msprovider.OstrelSignatureMS;
import ostrel.e2e.ChildJvm;
import ostrel.e2e.Fixture;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * Signing with a key behind a PIN (a simulated 3-try card in front of SoftHSM) and behind a
 * database password. A login lasts for the process, so each case runs in a child JVM of its own,
 * with the tests' fake pinentry answering from a script; the fake records what it was asked and
 * the card every C_Login it was given.
 */
class LoginTest {
    static final Path LOGIN = ChildJvm.fakePinentry().getParent();
    static final String CARD = System.getenv("OSTREL_TEST_CARD_MODULE");
    static final String PIN = "1234";
    static final String SUBJECT = "C=ES, O=Ostrel Test, CN=Token Signer";
    static final String CONSENT_SUBJECT = "C=ES, O=Ostrel Test, CN=Consent Signer";

    @TempDir static Path scratch;
    static Path cardHome;
    static Path databaseHome;
    static Path consentHome;
    static Path consentCertificate;

    /**
     * Templates: the sample store with its token behind the card module; a protected copy; the
     * card's template with a key that demands the PIN at every signature.
     */
    @BeforeAll
    static void prepare() throws Exception {
        Path home = Path.of(System.getProperty("ostrel.home"));
        cardHome = copyHome(home, scratch.resolve("card"));
        String db = "sql:" + cardHome.resolve(".pki/nssdb");
        Fixture.run("modutil", "-dbdir", db, "-delete", "SoftHSM", "-force");
        Fixture.run("modutil", "-dbdir", db, "-add", "Card", "-libfile", CARD, "-force");

        databaseHome = copyHome(home, scratch.resolve("database"));
        db = "sql:" + databaseHome.resolve(".pki/nssdb");
        Fixture.run("modutil", "-dbdir", db, "-delete", "SoftHSM", "-force");
        Files.writeString(scratch.resolve("old"), "\n");
        Files.writeString(scratch.resolve("new"), "secret\n");
        Fixture.run("certutil", "-W", "-d", db, "-f", scratch.resolve("old").toString(), "-@",
                scratch.resolve("new").toString());

        // CKA_ALWAYS_AUTHENTICATE, which pk12util cannot set: the key, its public key and its
        // certificate written one by one under the same ID.
        consentHome = copyHome(cardHome, scratch.resolve("consent"));
        Fixture.run("bash", LOGIN.resolveSibling("fixtures").resolve("add-consent-key.sh")
                .toString(), consentHome.toString(), "Ostrel Token", PIN,
                "/C=ES/O=Ostrel Test/CN=Consent Signer", scratch.resolve("consent").toString());
        consentCertificate = scratch.resolve("consent/cert.der");
    }

    /** Copies a HOME, pointing its SoftHSM configuration at the copy's own tokens. */
    static Path copyHome(Path from, Path to) throws Exception {
        Fixture.run("cp", "-a", from.toString(), to.toString());
        Path conf = to.resolve(".config/softhsm2/softhsm2.conf");
        if (Files.exists(conf)) {
            Files.writeString(conf, Files.readString(conf).replace(from.toString(), to.toString()));
        }
        return to;
    }

    /**
     * What a child saw: its result lines, what pinentry was asked, the card's logins, and the
     * processes the fake pinentry started that still run after the child JVM ended.
     */
    record Run(List<String> results, List<String> asked, List<String> logins,
            List<String> survivors, String out) {
        long prompts() {
            return asked.stream().filter(l -> l.equals("GETPIN")).count();
        }

        List<String> errors() {
            return asked.stream().filter(l -> l.equals("SETERROR") || l.startsWith("SETERROR "))
                    .toList();
        }
    }

    /**
     * Runs Child in a JVM of its own on a fresh copy of `template`, pinentry answering `script`.
     * `environment` adds or (with a null value) removes variables; `wrapper` runs the JVM under
     * another command.
     */
    static Run child(Path template, List<String> script, List<String> cardLog,
            Map<String, String> environment, List<String> wrapper, String... args) throws Exception {
        Path dir = Files.createTempDirectory(scratch, "case");
        Path home = copyHome(template, dir.resolve("home"));
        Path logins = Files.write(dir.resolve("logins"), cardLog);
        Path children = Files.createFile(dir.resolve("children"));
        Map<String, String> env = new HashMap<>();
        env.put("FAKE_PINENTRY_CHILDREN", children.toString());
        env.put("OSTREL_CARD_LOG", logins.toString());
        env.put("OSTREL_CARD_MODULE", CARD);
        env.putAll(environment);
        List<String> arguments = new ArrayList<>(List.of(args));
        // The protected database has no token: it signs with a certificate of its own.
        Path signer = template.equals(consentHome) ? consentCertificate : Fixture.files()
                .resolve(template.equals(databaseHome) ? "signer.der" : "token-signer.der");
        arguments.add(signer.toString());
        ChildJvm.Run run = ChildJvm.run(dir, home, script, env, wrapper, Child.class, arguments);
        List<String> results = run.results();
        String out = run.out();
        List<String> survivors = new ArrayList<>();
        for (String pid : Files.readAllLines(children)) {
            if (outlives(Long.parseLong(pid))) {
                survivors.add(pid);
            }
        }
        return new Run(results, run.asked(),
                Files.readAllLines(logins).subList(cardLog.size(), Files.readAllLines(logins).size()),
                survivors, out);
    }

    static Run child(Path template, List<String> script, List<String> cardLog,
            Map<String, String> environment, String... args) throws Exception {
        return child(template, script, cardLog, environment, List.of(), args);
    }

    /**
     * Whether the process still runs a few seconds from now: the group's SIGKILL takes effect when
     * the process is next scheduled, which on a loaded machine may be a moment after the child JVM
     * ended. A zombie that nobody has reaped yet has ended.
     */
    static boolean outlives(long pid) throws InterruptedException {
        for (int look = 0; look < 50 && running(pid); look++) {
            Thread.sleep(100);
        }
        return running(pid);
    }

    /** Whether the process exists and is not a zombie that nobody has reaped yet. */
    static boolean running(long pid) {
        try {
            String stat = Files.readString(Path.of("/proc/" + pid + "/stat"));
            return stat.charAt(stat.lastIndexOf(')') + 2) != 'Z';
        } catch (java.io.IOException gone) {
            return false;
        }
    }

    /** One row: pinentry's script, the card's state before, the child's mode, what must follow. */
    record Case(String name, List<String> script, List<String> cardBefore,
            Map<String, String> environment, List<String> mode, List<String> results,
            long prompts, List<String> logins) {
        @Override
        public String toString() {
            return name;
        }
    }

    static Map<String, String> env(String... pairs) {
        Map<String, String> m = new HashMap<>();
        for (int i = 0; i < pairs.length; i += 2) {
            m.put(pairs[i], pairs[i + 1]);
        }
        return m;
    }

    static final List<String> NONE = List.of();

    static Stream<Case> cardCases() {
        String missing = LOGIN.resolve("no-such-pinentry").toString();
        return Stream.of(
                new Case("right PIN, then no second prompt", List.of("pin " + PIN), NONE, env(),
                        List.of("sign", "2"), List.of("ok", "ok"), 1, List.of("ok")),
                new Case("wrong PIN, then cancel: exactly one failed login",
                        List.of("pin 9999", "cancel"), NONE, env(), List.of("sign", "1"),
                        List.of("code 6"), 2, List.of("bad")),
                new Case("cancel: no login at all", List.of("cancel"), NONE, env(),
                        List.of("sign", "1"), List.of("code 6"), 1, NONE),
                new Case("empty entry asks again without a login", List.of("pin ", "pin " + PIN),
                        NONE, env(), List.of("sign", "1"), List.of("ok"), 2, List.of("ok")),
                new Case("PIN with a line feed asks again without a login",
                        List.of("pin 12%0A34", "pin " + PIN), NONE, env(), List.of("sign", "1"),
                        List.of("ok"), 2, List.of("ok")),
                new Case("PIN with a trailing carriage return asks again without a login",
                        List.of("pin " + PIN + "%0D", "pin " + PIN), NONE, env(),
                        List.of("sign", "1"), List.of("ok"), 2, List.of("ok")),
                new Case("three entries with control characters: three prompts, no login",
                        List.of("pin 1%0A", "pin 1%7F", "pin 1%00"), NONE, env(),
                        List.of("sign", "1"), List.of("code 6"), 3, NONE),
                new Case("two wrong PINs, the warning, then the right one",
                        List.of("pin 1", "pin 2", "pin " + PIN), NONE, env(), List.of("sign", "1"),
                        List.of("ok"), 3, List.of("bad", "bad", "ok")),
                new Case("locked card: no prompt, no login", List.of("pin " + PIN),
                        List.of("bad", "bad", "bad"), env(), List.of("sign", "1"),
                        List.of("code 6"), 0, NONE),
                new Case("pinentry missing", NONE, NONE, env("OSTREL_PINENTRY", missing),
                        List.of("sign", "1"), List.of("code 6"), 0, NONE),
                new Case("pinentry dies", List.of("die"), NONE, env(), List.of("sign", "1"),
                        List.of("code 6"), 1, NONE),
                new Case("pinentry hangs: ended by the deadline", List.of("hang"), NONE,
                        env("OSTREL_PINENTRY_TIMEOUT", "1"), List.of("sign", "1"),
                        List.of("code 6"), 1, NONE),
                new Case("pinentry greets after 9 s: ended by the deadline before it",
                        List.of("pin " + PIN), NONE, env("FAKE_PINENTRY_DELAY", "9",
                                "OSTREL_PINENTRY_TIMEOUT", "5"), List.of("sign", "1"),
                        List.of("code 6"), 0, NONE),
                new Case("pinentry answers every command after 3 s: one deadline for them all",
                        List.of("pin " + PIN), NONE, env("FAKE_PINENTRY_DELAY", "3",
                                "OSTREL_PINENTRY_TIMEOUT", "5"), List.of("sign", "1"),
                        List.of("code 6"), 0, NONE),
                new Case("no terminal and no display: nothing started", List.of("pin " + PIN),
                        NONE, env("DISPLAY", null), List.of("sign", "1"), List.of("code 6"), 0,
                        NONE),
                new Case("4 threads, one prompt", List.of("slow " + PIN), NONE, env(),
                        List.of("threads", "4"), List.of("ok", "ok", "ok", "ok"), 1, List.of("ok")),
                new Case("logged out by another user of the token: asked again",
                        List.of("pin " + PIN, "pin " + PIN), NONE, env(), List.of("logout"),
                        List.of("ok", "logged out", "ok", "ok"), 2, List.of("ok", "ok")),
                new Case("SunPKCS11 logged in first: no prompt, and it stays logged in", NONE,
                        NONE, env(), List.of("sunpkcs11"), List.of("sun ok", "ok", "sun ok"), 0,
                        List.of("ok")));
    }

    /** Runs a row on `template`: its results, prompts and logins; listed without a prompt. */
    static Run check(Path template, Case c) throws Exception {
        Run run = child(template, c.script(), c.cardBefore(), c.environment(),
                c.mode().toArray(String[]::new));
        assertEquals(c.results(), run.results(), run.out());
        assertEquals(c.prompts(), run.prompts(), run.asked().toString());
        assertEquals(c.logins(), run.logins(), "C_Login calls");
        assertTrue(run.out().contains("asked-while-listing=0"), run.out());
        assertTrue(run.out().contains("signer-listed=true"), run.out());
        assertEquals(NONE, run.survivors(), "processes the pinentry started outlived it");
        return run;
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("cardCases")
    void card(Case c) throws Exception {
        Run run = check(cardHome, c);
        if (c.prompts() > 0) {
            assertTrue(run.asked().contains("SETDESC Enter the PIN of the token 'Ostrel Token' to "
                    + "sign with '" + SUBJECT + "'."), run.asked().toString());
        }
    }

    /** What the prompt says above the field at each question, for pinentry's script. */
    static Stream<Arguments> explanations() {
        return Stream.of(
                arguments(List.of("pin 1", "pin 2", "pin " + PIN), List.of("SETERROR",
                        "SETERROR Wrong PIN. Few tries left before the card locks.",
                        "SETERROR Wrong PIN. One try left before the card locks.")),
                arguments(List.of("pin 1%0D", "pin ", "pin " + PIN), List.of("SETERROR",
                        "SETERROR The PIN contains a line break or another control character; "
                                + "it was not tried.", "SETERROR The PIN is empty.")));
    }

    @ParameterizedTest
    @MethodSource("explanations")
    void refusalsAreExplained(List<String> script, List<String> errors) throws Exception {
        assertEquals(errors, child(cardHome, script, NONE, env(), "sign", "1").errors());
    }

    static Stream<Case> consentCases() {
        String pin = "pin " + PIN;
        List<String> sign1 = List.of("sign", "1"), sign2 = List.of("sign", "2");
        return Stream.of(
                new Case("first signature: one prompt for the login and the consent", List.of(pin),
                        NONE, env(), sign1, List.of("ok"), 1, List.of("ok", "ctx ok")),
                new Case("second signature: exactly one more prompt", List.of(pin, pin), NONE,
                        env(), sign2, List.of("ok", "ok"), 2, List.of("ok", "ctx ok", "ctx ok")),
                new Case("cancel at the consent prompt: no context-specific login",
                        List.of(pin, "cancel"), NONE, env(), sign2, List.of("ok", "code 6"), 2,
                        List.of("ok", "ctx ok")),
                new Case("wrong consent PIN, then the right one", List.of(pin, "pin 9999", pin),
                        NONE, env(), sign2, List.of("ok", "ok"), 3,
                        List.of("ok", "ctx ok", "ctx bad", "ctx ok")),
                // Asked when the key is taken, refused while signing: the signature fails.
                new Case("wrong consent PIN forever: three prompts, each PIN tried once",
                        List.of(pin, "pin 1", "pin 2", "pin 3", pin), NONE, env(), sign2,
                        List.of("ok", "code 11"), 4,
                        List.of("ok", "ctx ok", "ctx bad", "ctx bad", "ctx bad")),
                new Case("consent PIN with a line feed asks again without a login",
                        List.of(pin, "pin 12%0A34", pin), NONE, env(), sign2, List.of("ok", "ok"),
                        3, List.of("ok", "ctx ok", "ctx ok")),
                new Case("locked card: no prompt, no login", List.of(pin),
                        List.of("bad", "bad", "bad"), env(), sign1, List.of("code 6"), 0, NONE),
                new Case("4 threads at once: four prompts, four signatures",
                        List.of("slow " + PIN, "slow " + PIN, "slow " + PIN, "slow " + PIN), NONE,
                        env(), List.of("threads", "4"), List.of("ok", "ok", "ok", "ok"), 4,
                        List.of("ok", "ctx ok", "ctx ok", "ctx ok", "ctx ok")),
                new Case("separate signature PIN: asked for once the login PIN is refused",
                        List.of(pin, "pin 5678", "pin 5678"), NONE,
                        env("OSTREL_CARD_SIGNATURE_PIN", "5678"), sign2, List.of("ok", "ok"), 3,
                        List.of("ok", "ctx bad", "ctx ok", "ctx ok")),
                new Case("separate signature PIN: never offered the login PIN again",
                        List.of(pin, "pin 5678", pin, "pin 5678", "pin 5678"), NONE,
                        env("OSTREL_CARD_SIGNATURE_PIN", "5678"), List.of("logout"),
                        List.of("ok", "logged out", "ok", "ok"), 5,
                        List.of("ok", "ctx bad", "ctx ok", "ok", "ctx ok", "ctx ok")),
                new Case("PIN-pad reader: no prompt, the reader asks for each signature", NONE,
                        NONE, env("OSTREL_CARD_PIN_PAD", PIN), sign2, List.of("ok", "ok"), 0,
                        List.of("ok", "ctx ok", "ctx ok")),
                new Case("module NSS drives without thread safety: refused after the login",
                        List.of(pin), NONE, env("OSTREL_CARD_NO_LOCKING", "1"), sign1,
                        List.of("code 6"), 1, List.of("ok")));
    }

    /**
     * A key that demands the PIN at every signature (CKA_ALWAYS_AUTHENTICATE) on the card: one
     * prompt per signature, whose PIN also logs in when the token is not logged in; a PIN the card
     * refused is never sent again.
     */
    @Nested
    class ConsentKey {
        @ParameterizedTest(name = "{0}")
        @MethodSource("ostrel.e2e.isolated.LoginTest#consentCases")
        void consent(Case c) throws Exception {
            Run run = check(consentHome, c);
            assertTrue(run.asked().stream().filter(l -> l.startsWith("SETDESC "))
                    .allMatch(l -> l.contains("'Ostrel Token'") && l.contains(CONSENT_SUBJECT)),
                    run.asked().toString());
        }
    }

    @Test
    void protectedDatabaseAsksForItsPasswordOnce() throws Exception {
        Run run = child(databaseHome, List.of("pin wrong", "pin secret"), NONE, env(), "sign", "2");
        assertEquals(List.of("ok", "ok"), run.results(), run.out());
        assertEquals(2, run.prompts());
        assertTrue(run.asked().stream().anyMatch(l -> l.startsWith(
                "SETDESC Enter the password of the certificate database ")), run.asked().toString());
        assertTrue(run.errors().contains("SETERROR Wrong password."), run.asked().toString());
    }

    /** certutil writes key4.db while the child runs: the same database, still logged in. */
    @Test
    void protectedDatabaseStaysLoggedInWhileCertutilWritesIt() throws Exception {
        Run run = child(databaseHome, List.of("pin secret"), NONE, env(), "write");
        assertEquals(List.of("ok", "written", "ok"), run.results(), run.out());
        assertEquals(1, run.prompts());
    }

    @Test
    void realPinentryTtyOnAPseudoTerminal() throws Exception {
        Run run = child(cardHome, NONE, NONE,
                env("OSTREL_PINENTRY", "pinentry-tty", "DISPLAY", null, "TERM", "dumb"),
                List.of("python3", LOGIN.resolve("drive-tty.py").toString(), PIN), "sign", "2");
        assertEquals(List.of("ok", "ok"), run.results(), run.out());
        assertTrue(run.out().contains("Enter the PIN of the token 'Ostrel Token'"), run.out());
        assertEquals(List.of("ok"), run.logins());
    }

    /** In the child JVM: lists, then signs as `mode` says; one "result=" line per outcome. */
    public static final class Child {
        static OstrelSignatureMS lib;
        static byte[] cert;

        public static void main(String[] args) throws Exception {
            cert = Files.readAllBytes(Path.of(args[args.length - 1]));
            Provider sun = null;
            if (args[0].equals("sunpkcs11")) {
                sun = sunPkcs11();  // logs in before the library has even started NSS
                System.out.println("result=" + sunSign(sun));
            }
            lib = new OstrelSignatureMS();
            byte[][] listed = lib.getCertificatesInSystemStore(null);
            System.out.println("listed=" + (listed == null ? "null" : listed.length));
            System.out.println("signer-listed=" + (listed != null
                    && Arrays.stream(listed).anyMatch(c -> Arrays.equals(c, cert))));
            System.out.println("asked-while-listing=" + Files.readAllLines(
                    Path.of(System.getenv("FAKE_PINENTRY_LOG"))).stream()
                    .filter(l -> l.equals("GETPIN")).count());
            switch (args[0]) {
                case "sign" -> {
                    for (int i = 0; i < Integer.parseInt(args[1]); i++) {
                        System.out.println("result=" + sign());
                    }
                }
                case "threads" -> {
                    List<String> results = Collections.synchronizedList(new ArrayList<>());
                    List<Thread> threads = new ArrayList<>();
                    for (int i = 0; i < Integer.parseInt(args[1]); i++) {
                        Thread t = new Thread(() -> results.add(sign()));
                        t.start();
                        threads.add(t);
                    }
                    for (Thread t : threads) {
                        t.join();
                    }
                    results.forEach(r -> System.out.println("result=" + r));
                }
                case "logout" -> {
                    System.out.println("result=" + sign());
                    Provider other = sunPkcs11();
                    ((AuthProvider) other).logout();
                    System.out.println("result=logged out");
                    Thread.sleep(1500);  // NSS trusts its view of the login for a second
                    System.out.println("result=" + sign());
                    System.out.println("result=" + sign());
                }
                case "write" -> {
                    System.out.println("result=" + sign());
                    Path password = Files.createTempFile("password", "");
                    Files.writeString(password, "secret\n");
                    Fixture.run("certutil", "-M", "-d", "sql:" + System.getenv("HOME") + "/.pki/nssdb",
                            "-n", "signer", "-t", "Pu,u,u", "-f", password.toString());
                    Files.delete(password);
                    System.out.println("result=written");
                    System.out.println("result=" + sign());
                }
                case "sunpkcs11" -> {
                    System.out.println("result=" + sign());
                    System.out.println("result=" + sunSign(sun));
                }
                default -> throw new IllegalArgumentException(args[0]);
            }
        }

        static String sign() {
            try {
                byte[] data = {1, 2, 3};
                byte[] signature = lib.firmar(data, cert);
                if (signature == null) {
                    return "code " + lib.getLastErrorCode();
                }
                return Fixture.verifies(cert, data, signature) ? "ok" : "bad signature";
            } catch (Exception e) {
                return e.toString();
            }
        }

        /** SunPKCS11 on the card module, logged in with the PIN. */
        static Provider sunPkcs11() throws Exception {
            Provider p = Security.getProvider("SunPKCS11")
                    .configure("--name=card\nlibrary=" + System.getenv("OSTREL_CARD_MODULE") + "\n");
            Security.addProvider(p);
            KeyStore store = KeyStore.getInstance("PKCS11", p);
            store.load(null, PIN.toCharArray());
            return p;
        }

        static String sunSign(Provider p) throws Exception {
            KeyStore store = KeyStore.getInstance("PKCS11", p);
            store.load(null, PIN.toCharArray());
            for (String alias : Collections.list(store.aliases())) {
                if (store.isKeyEntry(alias)) {
                    Signature s = Signature.getInstance("SHA256withRSA", p);
                    s.initSign((PrivateKey) store.getKey(alias, null));
                    s.update(new byte[] {1});
                    return s.sign().length > 0 ? "sun ok" : "sun empty";
                }
            }
            return "sun has no key";
        }
    }
}
