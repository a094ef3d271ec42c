package ostrel.e2e.isolated;

import static ostrel.e2e.Fixture.NATIVE;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.security.Provider;
import java.security.Security;
import java.util.ArrayList;
import java.util.List;
import ostrel.e2e.Fixture;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Runs on a private copy of the store, changed by other processes while the JVM runs. With
 * OSTREL_TEST_NSS_FIRST set, SunPKCS11 initialises NSS before the library does.
 */
class FreshnessTest {
    private static final Path DIR = Path.of(System.getProperty("ostrel.home"), ".pki", "nssdb");
    private static final String DB = "sql:" + DIR;

    @BeforeAll
    static void nssFirst() {
        if (System.getenv("OSTREL_TEST_NSS_FIRST") != null) {
            Provider nss = Security.getProvider("SunPKCS11")
                    .configure("--name=nss\nnssDbMode=noDb\nnssModule=crypto\n");
            Security.addProvider(nss);
        }
    }

    @Test
    void changesByOtherProcessesShowOnTheNextCall() throws Exception {
        String late = Fixture.hex(Files.readAllBytes(Fixture.files().resolve("late.der")));
        byte[] lateDer = java.util.HexFormat.of().parseHex(late);
        int before = Fixture.listed().size();
        assertEquals(-1, NATIVE.getCertificateVersion(lateDer));
        assertEquals(8, NATIVE.getLastErrorCode());

        Fixture.run("pk12util", "-i", Fixture.files().resolve("late.pfx").toString(), "-d", DB,
                "-W", "fixture");
        assertTrue(Fixture.listed().contains(late));
        assertEquals(before + 1, Fixture.listed().size());
        assertEquals(3, NATIVE.getCertificateVersion(lateDer));
        assertSigns(lateDer);

        Fixture.run("certutil", "-D", "-d", DB, "-n", "late");
        assertFalse(Fixture.listed().contains(late));
        assertEquals(-1, NATIVE.getCertificateVersion(lateDer));
        assertEquals(8, NATIVE.getLastErrorCode());
        assertGone(lateDer);
    }

    /** A store change made by a shell command; $DB is the database directory, $OTHER another. */
    record Change(String what, String command) {}

    static final List<Change> REPLACEMENTS = List.of(
            new Change("files replaced by rename",
                    "cp $OTHER/cert9.db $DB/c.new && cp $OTHER/key4.db $DB/k.new"
                            + " && mv $DB/c.new $DB/cert9.db && mv $DB/k.new $DB/key4.db"),
            new Change("files overwritten in place", "cp $OTHER/cert9.db $OTHER/key4.db $DB/"),
            new Change("directory replaced by a copy", "rm -rf $DB && cp -r $OTHER $DB"),
            new Change("directory renamed away, another renamed in",
                    "mv $DB $DB.old && cp -r $OTHER $DB.new && mv $DB.new $DB && rm -rf $DB.old"));

    /**
     * The other database, made apart, lacks "signer" and holds "late". After each change the next
     * call sees it whole, keys included; the original comes back by a copy, and then by a restore
     * after the directory was removed.
     */
    @Test
    void replacedDatabasesShowOnTheNextCall() throws Exception {
        Path scratch = Files.createTempDirectory("fresh");
        Path original = scratch.resolve("original"), other = scratch.resolve("other");
        // A database of its own (its own salt), with the same keys but signer's, and late's.
        StringBuilder keys = new StringBuilder();
        for (Fixture.Entry e : Fixture.entries()) {
            if (e.hasKey() && !e.name().equals("signer")) {
                keys.append(" ").append(e.name());
            }
        }
        shell("cp -r $DB " + original + " && mkdir $OTHER"
                        + " && certutil -N -d sql:$OTHER --empty-password"
                        + " && cp $DB/pkcs11.txt $OTHER/ && for n in" + keys + "; do"
                        + " pk12util -o $OTHER/$n.p12 -n $n -d sql:$DB -W fixture"
                        + " && pk12util -i $OTHER/$n.p12 -d sql:$OTHER -W fixture && rm $OTHER/$n.p12;"
                        + " done && pk12util -i " + Fixture.files().resolve("late.pfx")
                        + " -d sql:$OTHER -W fixture", other);
        byte[] signer = Fixture.get("signer").der();
        byte[] late = Files.readAllBytes(Fixture.files().resolve("late.der"));
        List<String> originalListing = Fixture.listed();
        List<String> otherListing = new ArrayList<>(originalListing);
        otherListing.remove(Fixture.hex(signer));
        otherListing.add(Fixture.hex(late));
        otherListing.sort(null);
        assertSigns(signer);
        for (Change c : REPLACEMENTS) {
            shell(c.command(), other);
            assertEquals(names(otherListing), names(Fixture.listed()), c.what());
            assertGone(signer);
            assertSigns(late);

            shell("rm -rf $DB && cp -r " + original + " $DB", other);
            assertEquals(names(originalListing), names(Fixture.listed()), c.what() + ", then restored");
            assertSigns(signer);
            assertGone(late);
        }
        shell("rm -rf $DB", other);
        assertEquals(List.of(), Fixture.listed(), "directory removed");
        assertGone(signer);
        shell("cp -r " + original + " $DB", other);
        assertEquals(names(originalListing), names(Fixture.listed()), "directory restored");
        assertSigns(signer);
    }

    /** The SoftHSM module deleted from pkcs11.txt with modutil, then added again. */
    @Test
    void modulesFollowPkcs11Txt() throws Exception {
        Fixture.Entry tokenSigner = Fixture.tokenEntries().get(0);
        List<String> before = names(Fixture.listed());
        Fixture.run("modutil", "-dbdir", DB, "-delete", "SoftHSM", "-force");
        List<String> without = new ArrayList<>(before);
        without.remove(tokenSigner.name());
        assertEquals(without, names(Fixture.listed()), "module deleted");
        assertGone(tokenSigner.der());

        Fixture.run("modutil", "-dbdir", DB, "-add", "SoftHSM", "-libfile",
                "/usr/lib/softhsm/libsofthsm2.so", "-force");
        List<String> with = new ArrayList<>(without);
        with.add(tokenSigner.name());
        with.sort(null);
        assertEquals(with, names(Fixture.listed()), "module added");
        assertEquals(3, NATIVE.getCertificateVersion(tokenSigner.der()));
    }

    /**
     * Four threads list and sign while another process, in a loop, puts a copy of the database in
     * place of its files and adds and deletes a certificate with its key. A listing holds every
     * stable certificate; a signature handed back verifies. A call may fail (the store unreadable
     * while it is written, the key cut off by a reopening as it signed), but each thread signs.
     */
    @Test
    void listingsAndSignaturesHoldWhileTheDatabaseIsReplacedInALoop() throws Exception {
        Path scratch = Files.createTempDirectory("stress");
        Path copy = scratch.resolve("copy");
        shell("cp -r $DB $OTHER", copy);
        String late = Fixture.hex(Files.readAllBytes(Fixture.files().resolve("late.der")));
        List<String> stable = Fixture.listed();
        List<byte[]> signers = List.of(Fixture.get("signer").der(), Fixture.get("sigonly").der(),
                Fixture.get("twin-a").der());
        Process writer = new ProcessBuilder("bash", "-c", "DB='" + DIR + "' OTHER='" + copy + "'\n"
                + "while :; do cp $OTHER/cert9.db $DB/c.new && cp $OTHER/key4.db $DB/k.new"
                + " && mv $DB/c.new $DB/cert9.db && mv $DB/k.new $DB/key4.db\n"
                + " pk12util -i " + Fixture.files().resolve("late.pfx") + " -d sql:$DB -W fixture\n"
                + " certutil -D -d sql:$DB -n late; done").redirectErrorStream(true)
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
        java.util.Map<String, Integer> failures = new java.util.concurrent.ConcurrentHashMap<>();
        List<String> wrong = java.util.Collections.synchronizedList(new ArrayList<>());
        int[] signed = new int[4];
        long deadline = System.nanoTime() + 8_000_000_000L;
        List<Thread> threads = new ArrayList<>();
        try {
            for (int t = 0; t < 4; t++) {
                final int thread = t;
                Thread worker = new Thread(() -> {
                    byte[] data = {(byte) thread, 1, 2};
                    for (int round = 0; System.nanoTime() < deadline; round++) {
                        List<String> listed = Fixture.listed();
                        // The error register is the process's, shared by the threads: a failure
                        // shows as null, its code may be another thread's.
                        if (listed == null) {
                            failures.merge("listing", 1, Integer::sum);
                        } else {
                            List<String> rest = new ArrayList<>(listed);
                            rest.remove(late);
                            if (!rest.equals(stable)) {
                                wrong.add("listing of " + listed.size());
                            }
                        }
                        byte[] cert = signers.get((thread + round) % signers.size());
                        byte[] signature = NATIVE.firmar(data, cert);
                        if (signature == null) {
                            failures.merge("signature", 1, Integer::sum);
                            continue;
                        }
                        try {
                            if (Fixture.verifies(cert, data, signature)) {
                                signed[thread]++;
                            } else {
                                wrong.add("a signature that does not verify");
                            }
                        } catch (Exception e) {
                            wrong.add(e.toString());
                        }
                    }
                });
                worker.start();
                threads.add(worker);
            }
            for (Thread worker : threads) {
                worker.join();
            }
        } finally {
            // The loop and whatever tool it runs, then the database as it was for the other tests.
            List<ProcessHandle> tools = writer.descendants().toList();
            writer.destroyForcibly();
            tools.forEach(ProcessHandle::destroyForcibly);
            writer.waitFor();
            for (ProcessHandle tool : tools) {
                tool.onExit().get();
            }
            shell("rm -rf $DB && cp -r $OTHER $DB", copy);
        }
        System.out.println("failed while replaced: " + failures + ", signed "
                + java.util.Arrays.toString(signed));
        assertEquals(List.of(), wrong);
        for (int count : signed) {
            assertTrue(count > 0, java.util.Arrays.toString(signed));
        }
    }

    /**
     * Eight threads sign with stable keys while another process writes key4.db in place and, at
     * once, holds its lock for 120 ms, as certutil and pk12util do when one transaction follows
     * another on a slow disk: the store cannot read the key database's identity then, and opens
     * the database again. No signature fails for a key that is still there (code 6 or 11), though
     * a store that keeps changing may fail to open (code 7). The register is shared, so a
     * failure's code may read as another thread's 0 or 7; a 6 or an 11 is always a key refused.
     */
    @Test
    void stableKeysSignWhileTheKeyDatabaseIsWritten() throws Exception {
        List<byte[]> signers = List.of(Fixture.get("signer").der(), Fixture.get("sigonly").der(),
                Fixture.get("twin-a").der());
        // It stops between transactions once its input closes: killed within one, it would leave
        // a hot journal behind, and the store unreadable for the next test.
        ProcessBuilder writing = new ProcessBuilder("python3", "-c", String.join("\n",
                "import select, sqlite3, sys, time",
                "c = sqlite3.connect(sys.argv[1], isolation_level=None)",
                "n = 0",
                "while not select.select([sys.stdin], [], [], 0)[0]:",
                "    n += 1",
                "    c.execute('PRAGMA user_version = %d' % n)",
                "    c.execute('BEGIN EXCLUSIVE')",
                "    time.sleep(0.12)",
                "    c.execute('COMMIT')",
                "    time.sleep(0.03)"), DIR.resolve("key4.db").toString());
        writing.environment().remove("LD_PRELOAD");  // not ours to sanitise
        Process writer = writing.redirectErrorStream(true)
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
        java.util.Map<Integer, Integer> failures = new java.util.concurrent.ConcurrentHashMap<>();
        // Each thread's signatures, checked afterwards: the threads keep to the library meanwhile.
        List<List<byte[]>> made = new ArrayList<>();
        long deadline = System.nanoTime() + 6_000_000_000L;
        List<Thread> threads = new ArrayList<>();
        try {
            for (int t = 0; t < 8; t++) {
                List<byte[]> mine = new ArrayList<>();
                made.add(mine);
                Thread worker = new Thread(() -> {
                    for (int round = 0; System.nanoTime() < deadline; round++) {
                        byte[] signature = NATIVE.firmar(new byte[] {(byte) round},
                                signers.get(round % signers.size()));
                        if (signature == null) {
                            failures.merge(NATIVE.getLastErrorCode(), 1, Integer::sum);
                        }
                        mine.add(signature);
                    }
                });
                worker.start();
                threads.add(worker);
            }
            for (Thread worker : threads) {
                worker.join();
            }
        } finally {
            writer.getOutputStream().close();
            writer.waitFor();
        }
        System.out.println("failed while key4.db was written: " + failures);
        for (List<byte[]> mine : made) {
            int signed = 0;
            for (int round = 0; round < mine.size(); round++) {
                if (mine.get(round) != null) {
                    assertTrue(Fixture.verifies(signers.get(round % signers.size()),
                            new byte[] {(byte) round}, mine.get(round)));
                    signed++;
                }
            }
            assertTrue(signed > 0, "a thread never signed");
        }
        failures.keySet().removeAll(List.of(0, 7));
        assertEquals(java.util.Map.of(), failures, "codes of signatures refused");
    }

    /** The fixture's names of listed certificates, for readable failures. */
    static List<String> names(List<String> listed) throws Exception {
        java.util.Map<String, String> known = new java.util.HashMap<>();
        known.put(Fixture.hex(Files.readAllBytes(Fixture.files().resolve("late.der"))), "late");
        for (Fixture.Entry e : Fixture.entries()) {
            known.put(Fixture.hex(e.der()), e.name());
        }
        for (Fixture.Entry e : Fixture.tokenEntries()) {
            known.put(Fixture.hex(e.der()), e.name());
        }
        List<String> out = new ArrayList<>();
        for (String hex : listed) {
            out.add(known.getOrDefault(hex, "unknown " + hex.length() / 2 + " bytes"));
        }
        out.sort(null);
        return out;
    }

    static void shell(String command, Path other) throws Exception {
        Fixture.run("bash", "-c", "set -e; DB='" + DIR + "' OTHER='" + other + "'; " + command);
    }

    static void assertSigns(byte[] cert) throws Exception {
        byte[] data = {4, 5, 6};
        byte[] signature = NATIVE.firmar(data, cert);
        assertNotNull(signature, "code " + NATIVE.getLastErrorCode());
        assertTrue(Fixture.verifies(cert, data, signature));
    }

    static void assertGone(byte[] cert) {
        assertNull(NATIVE.firmar(new byte[] {4, 5, 6}, cert));
        assertEquals(8, NATIVE.getLastErrorCode());
    }
}
