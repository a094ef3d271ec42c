package ostrel.e2e.isolated;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.stream.Stream;
import ostrel.client.applet.msprovider.OstrelSignatureMS;
import ostrel.e2e.ChildJvm;
import ostrel.e2e.Fixture;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * A smart card through the stack people have: pcscd, a reader (vpcd), a card that counts PIN
 * tries (libcacard's virtual CAC behind tests/card/virtual_card.cpp) and OpenSC registered in the
 * store, all run by tests/card/card-stack.sh. A login lasts for the process, so each row runs in
 * a child JVM that follows the row's steps: calls of the library, and the card pulled, inserted
 * or pcscd restarted under it.
 */
class CardTest {
    static final String STACK = System.getenv("OSTREL_TEST_CARD_STACK");
    static final Path DIR = Path.of(System.getenv("OSTREL_TEST_CARD_DIR"));
    static final String PIN = "123456";
    static final String OPENSC = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
    static final int ANY = -1;

    @TempDir static Path scratch;

    /** One row: whether the card is in at the start, pinentry's answers, the steps, outcomes. */
    record Case(String name, boolean inserted, List<String> script, List<String> steps,
            List<String> results, int prompts) {
        @Override
        public String toString() {
            return name;
        }
    }

    static List<String> pins(String... pins) {
        return Arrays.stream(pins).map(p -> "pin " + p).toList();
    }

    static Stream<Case> cases() {
        return Stream.of(
                new Case("listed without a PIN; one prompt, then signatures without", true,
                        pins(PIN), List.of("list", "prompts", "sign", "sign"),
                        List.of("listed the card", "prompts 0", "ok", "ok"), 1),
                new Case("a wrong PIN, then the right one", true, pins("1111", PIN),
                        List.of("list", "sign", "sign"), List.of("listed the card", "ok", "ok"),
                        2),
                new Case("three wrong PINs: code 6, the card locked, then refused without a prompt",
                        true, pins("1111", "2222", "3333", PIN),
                        List.of("list", "sign", "card", "sign"),
                        List.of("listed the card", "code 6", "card locked", "code 6"), 3),
                // NSS and OpenSC each trust a slot's state for a second: the insertion's bound.
                new Case("pulled: unlisted, code 8; put back: listed, signs after one new prompt",
                        true, pins(PIN, PIN),
                        List.of("list", "sign", "pull", "await-unlisted 2000", "sign", "list",
                                "insert", "await-listed 2000", "sign", "sign"),
                        List.of("listed the card", "ok", "unlisted", "code 8", "listed none",
                                "listed", "ok", "ok"), 2),
                new Case("inserted after the first listing: listed within 2 s, and signs", false,
                        pins(PIN), List.of("list", "insert", "await-listed 2000", "sign"),
                        List.of("listed none", "listed", "ok"), 1),
                new Case("pcscd restarted under the JVM: signs within 5 s of the card being back",
                        true, pins(PIN, PIN),
                        List.of("list", "sign", "restart-pcscd", "await-signed 5000", "list"),
                        List.of("listed the card", "ok", "signed", "listed the card"), 2),
                // Each insertion may cost a prompt, as many as the timing makes.
                new Case("inserted and pulled while another thread lists and signs", true,
                        Collections.nCopies(12, "pin " + PIN),
                        List.of("list", "churn 4", "await-listed 2000", "await-signed 5000"),
                        List.of("listed the card", "partial listings 0, bad signatures 0",
                                "listed", "signed"), ANY));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("cases")
    void card(Case c) throws Exception {
        stack("reset", c.inserted() ? "" : "--empty");
        Path dir = Files.createTempDirectory(scratch, "case");
        ChildJvm.Run run = ChildJvm.run(dir, DIR.resolve("home"), c.script(),
                Map.of("PCSCLITE_CSOCK_NAME", DIR.resolve("run/pcscd.comm").toString()),
                List.of(), Child.class, c.steps());
        assertEquals(c.results(), run.results(), run.out() + "\nasked: " + run.asked());
        if (c.prompts() != ANY) {
            assertEquals(c.prompts(), run.prompts(), run.asked().toString());
        }
        if (run.prompts() > 0) {
            String asked = "SETDESC Enter the PIN of the token 'Card Signer 1' to sign with "
                    + "'C=ES, O=Ostrel Test, CN=Card Signer 1'.";
            assertTrue(run.asked().contains(asked), run.asked().toString());
        }
    }

    /** Runs a command of card-stack.sh on the suite's stack. */
    static void stack(String... command) throws Exception {
        List<String> line = new ArrayList<>(List.of("bash", STACK, DIR.toString()));
        Arrays.stream(command).filter(a -> !a.isEmpty()).forEach(line::add);
        Fixture.run(line.toArray(String[]::new));
    }

    /** In the child JVM: each step's outcome as a "result=" line; stack commands print none. */
    public static final class Child {
        static final OstrelSignatureMS LIB = new OstrelSignatureMS();
        static final byte[] DATA = {1, 2, 3};
        static byte[] signer;
        static Set<String> card;

        public static void main(String[] steps) throws Exception {
            card = new HashSet<>();
            for (int i = 1; i <= 3; i++) {
                card.add(Fixture.hex(Files.readAllBytes(DIR.resolve("card" + i + ".der"))));
            }
            signer = Files.readAllBytes(DIR.resolve("card1.der"));
            for (String step : steps) {
                String[] s = step.split(" ");
                String result = switch (s[0]) {
                    case "list" -> describe(listed());
                    case "sign" -> sign();
                    case "prompts" -> "prompts " + Files.readAllLines(
                            Path.of(System.getenv("FAKE_PINENTRY_LOG"))).stream()
                            .filter(l -> l.equals("GETPIN")).count();
                    case "card" -> Fixture.run("pkcs11-tool", "--module", OPENSC, "-L")
                            .contains("user PIN locked") ? "card locked" : "card not locked";
                    case "await-listed" -> await(Integer.parseInt(s[1]), "listed",
                            () -> listed().equals(card) ? null : describe(listed()));
                    case "await-unlisted" -> await(Integer.parseInt(s[1]), "unlisted",
                            () -> listed().isEmpty() ? null : describe(listed()));
                    case "await-signed" -> await(Integer.parseInt(s[1]), "signed", () -> {
                        String r = sign();
                        return r.equals("ok") ? null : r;
                    });
                    case "churn" -> churn(Integer.parseInt(s[1]));
                    default -> {
                        stack(step);
                        yield null;
                    }
                };
                if (result != null) {
                    System.out.println("result=" + result);
                }
            }
        }

        /** The listed certificates in hex; a failed listing (null) is none. */
        static Set<String> listed() {
            byte[][] certs = LIB.getCertificatesInSystemStore(null);
            Set<String> out = new HashSet<>();
            for (byte[] c : certs == null ? new byte[0][] : certs) {
                out.add(Fixture.hex(c));
            }
            return out;
        }

        static String describe(Set<String> listed) {
            return listed.isEmpty() ? "listed none"
                    : listed.equals(card) ? "listed the card"
                    : "listed " + listed.size() + ", not the card's 3";
        }

        static String sign() {
            try {
                byte[] signature = LIB.firmar(DATA, signer);
                if (signature == null) {
                    return "code " + LIB.getLastErrorCode();
                }
                return Fixture.verifies(signer, DATA, signature) ? "ok" : "bad signature";
            } catch (Exception e) {
                return e.toString();
            }
        }

        interface Attempt {
            /** Null once it succeeds, else what it saw. */
            String attempt() throws Exception;
        }

        /** `done` once the attempt succeeds within `ms` (a behaviour bound), else what it saw. */
        static String await(int ms, String done, Attempt a) throws Exception {
            long deadline = System.nanoTime() + ms * 1_000_000L;
            String last;
            do {
                last = a.attempt();
                if (last == null) {
                    return done;
                }
                Thread.sleep(50);
            } while (System.nanoTime() < deadline);
            return "not " + done + " within " + ms + " ms: " + last;
        }

        /**
         * Pulls and inserts the card `cycles` times while another thread lists and signs: every
         * listing is the whole card or nothing, and every signature given verifies.
         */
        static String churn(int cycles) throws Exception {
            AtomicBoolean stop = new AtomicBoolean();
            AtomicInteger partial = new AtomicInteger();
            AtomicInteger bad = new AtomicInteger();
            List<String> seen = new ArrayList<>();  // the worker's outcomes, runs counted
            Thread worker = new Thread(() -> {
                while (!stop.get()) {
                    Set<String> l = listed();
                    if (!l.isEmpty() && !l.equals(card)) {
                        partial.incrementAndGet();
                    }
                    String r = sign();
                    if (!r.equals("ok") && !r.startsWith("code ")) {
                        bad.incrementAndGet();
                    }
                    String what = "listed " + l.size() + ", " + r;
                    int last = seen.size() - 1;
                    if (last >= 0 && seen.get(last).startsWith(what + " x")) {
                        int n = Integer.parseInt(seen.get(last).substring(what.length() + 2));
                        seen.set(last, what + " x" + (n + 1));
                    } else {
                        seen.add(what + " x1");
                    }
                    try {
                        Thread.sleep(10);  // a person's pace, not a spin
                    } catch (InterruptedException e) {
                        return;
                    }
                }
            });
            worker.start();
            for (int i = 0; i < cycles; i++) {
                Thread.sleep(300);
                stack("pull");
                Thread.sleep(300);
                stack("insert");
            }
            stop.set(true);
            worker.join();
            System.out.println("churn: " + seen);  // for a failure's diagnosis
            return "partial listings " + partial + ", bad signatures " + bad;
        }
    }
}
