package ostrel.bench;

import java.io.ByteArrayInputStream;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.atomic.AtomicLong;
import ostrel.client.applet.msprovider.OstrelSignatureMS;

/**
 * The library's methods through JNI beside a smart card: pcscd, vpcd's virtual reader, libcacard's
 * card and OpenSC, run by tests/card/card-stack.sh (bench/card/run.sh sets it up), on a store of
 * database certificates with OpenSC registered in it or not.
 *
 * <p>Modes (--mode):
 *
 * <ul>
 *   <li>calls --config present|empty|unregistered: an unchanged listing and attribute queries of
 *       the database certificate a store scan reaches last, with the card in the reader, the
 *       reader empty, or OpenSC not registered;
 *   <li>insert --count N: N insertions, each timed from pcscd's report of the card (a PC/SC client
 *       of the harness's own) to the return of the first listing that holds the card, the library
 *       listing in a tight loop;
 *   <li>sign: firmar after one login (a scripted pinentry), in alternating samples with a bare
 *       C_SignInit + C_Sign through OpenSC's function list on the same key; then the calls of mode
 *       "calls" again, the card logged in (config "loggedin").
 * </ul>
 *
 * <p>Options: --out FILE --size N (database certificates) --card DIR (the stack's directory:
 * card1.der ... card3.der) --stack FILE (card-stack.sh).
 */
public final class CardBench {
    static final String OPENSC = "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so";
    static final String READER = "Virtual PCD 00 00";

    private static OstrelSignatureMS lib;
    private static Set<ByteBuffer> card;
    private static String stack;
    private static Path cardDir;
    /** JSON lines of the APDUs the card answered per call, written after the harness's own. */
    private static final List<String> apduLines = new ArrayList<>();

    public static void main(String[] args) throws Exception {
        Path out = Path.of(Harness.option(args, "out", "card.jsonl"));
        String mode = Harness.option(args, "mode", "");
        int size = Integer.parseInt(Harness.option(args, "size", "0"));
        cardDir = Path.of(Harness.option(args, "card", ""));
        stack = Harness.option(args, "stack", "");
        card = new HashSet<>();
        for (int i = 1; i <= 3; i++) {
            card.add(ByteBuffer.wrap(Files.readAllBytes(cardDir.resolve("card" + i + ".der"))));
        }
        lib = new OstrelSignatureMS();
        switch (mode) {
            case "calls" -> calls(out, size, Harness.option(args, "config", ""));
            case "insert" -> insertions(out, size,
                    Integer.parseInt(Harness.option(args, "count", "10")));
            case "sign" -> sign(out, size);
            default -> throw new IllegalArgumentException("--mode calls|insert|sign");
        }
    }

    /** The listing, checked: `size` database certificates, and the card's three or none. */
    static byte[][] listChecked(int size, boolean withCard) {
        byte[][] certs = lib.getCertificatesInSystemStore(null);
        Harness.check(certs != null, "listing failed, code " + lib.getLastErrorCode());
        int onCard = 0;
        for (byte[] c : certs) {
            onCard += card.contains(ByteBuffer.wrap(c)) ? 1 : 0;
        }
        int want = withCard ? 3 : 0;
        Harness.check(certs.length == size + want && onCard == want, "the store lists "
                + certs.length + " certificates, " + onCard + " of the card's, not " + size
                + " and " + want);
        return certs;
    }

    static boolean holdsCard(byte[][] certs) {
        if (certs == null) {
            return false;
        }
        int onCard = 0;
        for (byte[] c : certs) {
            onCard += card.contains(ByteBuffer.wrap(c)) ? 1 : 0;
        }
        return onCard == card.size();
    }

    static void calls(Path out, int size, String config) throws Exception {
        Harness h = new Harness(out);
        measureCalls(h, size, config.equals("present"), config);
        h.write();
        writeApdus(out);
    }

    /** An unchanged listing and the attributes of a database certificate, under `config`. */
    static void measureCalls(Harness h, int size, boolean present, String config) throws Exception {
        byte[][] certs = listChecked(size, present);
        // The list comes newest enumeration first: its first database certificate is the one a
        // store scan reaches last among the database's.
        byte[] db = Arrays.stream(certs).filter(c -> !card.contains(ByteBuffer.wrap(c)))
                .findFirst().orElseThrow();
        Harness.check(lib.getNotAfter(db) != 0 && lib.getSubjectDn(db) != null,
                "attributes of the database certificate failed, code " + lib.getLastErrorCode());
        h.measure("card/lib/list/" + config, 0, 2.0,
                () -> lib.getCertificatesInSystemStore(null).length);
        h.measure("card/lib/notAfter/" + config, 0, 1.0, () -> lib.getNotAfter(db));
        h.measure("card/lib/subjectDn/" + config, 0, 1.0, () -> lib.getSubjectDn(db).length());
        if (present) {
            countApdus("card/apdus/list/" + config, 20,
                    () -> lib.getCertificatesInSystemStore(null).length);
            countApdus("card/apdus/notAfter/" + config, 20, () -> lib.getNotAfter(db));
            countApdus("card/apdus/subjectDn/" + config, 20, () -> lib.getSubjectDn(db).length());
        }
        listChecked(size, present);  // the card stayed where it was throughout
    }

    /** The card's count of command APDUs answered (tests/card/virtual_card.cpp's state file). */
    static long apdus() throws Exception {
        String state = Files.readString(cardDir.resolve("card.state"));
        int at = state.indexOf("apdus=");
        Harness.check(at >= 0, "the virtual card does not count APDUs: " + state.strip());
        return Long.parseLong(state.substring(at + 6).strip().split("\\s")[0]);
    }

    /**
     * The APDUs the card answers per call of `op`, over `calls` calls. The card writes its count
     * after each answer, so the count is read once it has settled.
     */
    static void countApdus(String name, int calls, Harness.Op op) throws Exception {
        Thread.sleep(200);
        long before = apdus();
        for (int i = 0; i < calls; i++) {
            op.run();
        }
        Thread.sleep(200);
        long after = apdus();
        apduLines.add(String.format(Locale.ROOT, "{\"name\":\"%s\",\"calls\":%d,\"apdus\":%d}",
                name, calls, after - before));
        System.err.printf(Locale.ROOT, "  %-34s %.2f APDUs a call%n", name,
                (after - before) / (double) calls);
    }

    static void writeApdus(Path out) throws Exception {
        if (!apduLines.isEmpty()) {
            Files.write(out, apduLines, StandardOpenOption.APPEND);
        }
    }

    /** Runs a command of card-stack.sh on the stack. */
    static Process stackCommand(String command) throws Exception {
        return new ProcessBuilder("bash", stack, cardDir.toString(), command)
                .redirectErrorStream(true)
                .redirectOutput(ProcessBuilder.Redirect.INHERIT)
                .start();
    }

    static void insertions(Path out, int size, int count) throws Exception {
        listChecked(size, true);
        // The watcher's clock and System.nanoTime must be the same clock.
        long skew = Long.MAX_VALUE;
        for (int i = 0; i < 5; i++) {
            long a = System.nanoTime();
            long m = CardProbe.monotonicNanos();
            long b = System.nanoTime();
            skew = Math.min(skew, Math.max(Math.abs(m - a), Math.abs(b - m)));
        }
        Harness.check(skew < 1_000_000, "System.nanoTime is not CLOCK_MONOTONIC (" + skew + " ns)");
        Random random = new Random(18);
        List<Double> latency = new ArrayList<>();
        List<Double> reportAfterStart = new ArrayList<>();
        List<Double> commandAfterReport = new ArrayList<>();
        List<Double> lastListing = new ArrayList<>();
        List<Double> listings = new ArrayList<>();
        for (int i = 0; i < count; i++) {
            Harness.check(stackCommand("pull").waitFor() == 0, "card-stack.sh pull failed");
            long gone = System.nanoTime() + 5_000_000_000L;
            while (holdsCard(lib.getCertificatesInSystemStore(null))) {
                Harness.check(System.nanoTime() < gone,
                        "the pulled card is still listed after 5 s");
                Thread.sleep(20);
            }
            // Insertions at any phase of pcscd's polling and of NSS's one look a second.
            Thread.sleep(random.nextInt(1000));
            AtomicLong reported = new AtomicLong();
            Thread watcher = new Thread(() -> reported.set(CardProbe.awaitCard(READER, 15_000)));
            watcher.start();
            while (!CardProbe.armed() && watcher.isAlive()) {
                Thread.sleep(1);
            }
            long start = System.nanoTime();
            Process insert = stackCommand("insert");
            AtomicLong returned = new AtomicLong();
            var exited = insert.onExit().thenAccept(p -> returned.set(System.nanoTime()));
            long deadline = start + 15_000_000_000L;
            long callStart;
            long listedAt;
            long calls = 0;
            while (true) {
                callStart = System.nanoTime();
                byte[][] certs = lib.getCertificatesInSystemStore(null);
                listedAt = System.nanoTime();
                calls++;
                if (holdsCard(certs)) {
                    break;
                }
                Harness.check(listedAt < deadline, "the inserted card is not listed after 15 s");
            }
            watcher.join();
            Harness.check(insert.waitFor() == 0, "card-stack.sh insert failed");
            exited.get();
            long report = reported.get();
            Harness.check(report > 0, "pcscd's report was not seen (" + report + ")");
            latency.add((double) (listedAt - report));
            reportAfterStart.add((double) (report - start));
            commandAfterReport.add((double) (returned.get() - report));
            lastListing.add((double) (listedAt - callStart));
            listings.add((double) calls);
            System.err.printf(Locale.ROOT,
                    "  insertion %2d: listed %7.1f ms after pcscd's report (its listing %6.1f ms, "
                            + "%d listings); report %6.1f ms after the insertion began%n",
                    i + 1, (listedAt - report) / 1e6, (listedAt - callStart) / 1e6, calls,
                    (report - start) / 1e6);
        }
        StringBuilder line = new StringBuilder("{\"name\":\"card/lib/insert_to_listed\"");
        array(line, "samples_ns", latency);
        array(line, "report_after_start_ns", reportAfterStart);
        array(line, "command_return_after_report_ns", commandAfterReport);
        array(line, "last_listing_ns", lastListing);
        array(line, "listings", listings);
        Files.writeString(out, line.append("}\n").toString());
    }

    private static void array(StringBuilder line, String key, List<Double> values) {
        line.append(",\"").append(key).append("\":[");
        for (int i = 0; i < values.size(); i++) {
            line.append(i == 0 ? "" : ",")
                    .append(String.format(Locale.ROOT, "%.1f", values.get(i)));
        }
        line.append(']');
    }

    static long prompts() throws Exception {
        return Files.readAllLines(Path.of(System.getenv("FAKE_PINENTRY_LOG"))).stream()
                .filter(l -> l.equals("GETPIN")).count();
    }

    static void sign(Path out, int size) throws Exception {
        Harness h = new Harness(out);
        listChecked(size, true);
        byte[] signer = Files.readAllBytes(cardDir.resolve("card1.der"));
        byte[] data = Harness.bytes(1024);
        byte[] first = lib.firmar(data, signer);
        Harness.check(first != null, "firmar on the card failed, code " + lib.getLastErrorCode());
        X509Certificate cert = (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(signer));
        Signature verifier = Signature.getInstance("SHA1withRSA");
        verifier.initVerify(cert.getPublicKey());
        verifier.update(data);
        Harness.check(verifier.verify(first), "firmar's signature does not verify");
        Harness.check(prompts() == 1, "the login took " + prompts() + " prompts, not 1");
        String error = CardProbe.open(OPENSC, signer);
        Harness.check(error == null, "bare signer: " + error);
        // PKCS#1 v1.5 is deterministic: both sides must sign exactly the same bytes.
        Harness.check(Arrays.equals(CardProbe.sign(data), first), "the bare signature differs");
        h.measureInterleaved("card/lib/firmar", () -> {
            byte[] s = lib.firmar(data, signer);
            Harness.check(s != null, "firmar failed, code " + lib.getLastErrorCode());
            return s.length;
        }, "card/bare_sign", () -> {
            byte[] s = CardProbe.sign(data);
            Harness.check(s != null, "C_SignInit + C_Sign failed");
            return s.length;
        }, 1024, 12.0);
        Harness.check(prompts() == 1, "signing asked for the PIN again");
        countApdus("card/apdus/firmar", 5, () -> lib.firmar(data, signer).length);
        countApdus("card/apdus/bare_sign", 5, () -> CardProbe.sign(data).length);
        CardProbe.close();
        // The same calls as in mode "calls", now that the card is logged in.
        measureCalls(h, size, true, "loggedin");
        h.write();
        writeApdus(out);
    }

    private CardBench() {}
}
