package ostrel.e2e.isolated;

import static ostrel.e2e.Fixture.NATIVE;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.security.MessageDigest;
import java.util.List;
import ostrel.e2e.Fixture;
import org.junit.jupiter.api.Test;

/**
 * Stores that cannot be read, or that hold what other tools refuse. Each test runs in a JVM of its
 * own, with HOME prepared by run-java.sh; each checks the failure, then that the library recovers
 * once the store is sound, or that what the platform reads is served whole.
 */
class BadStoreTest {
    private static final Path HOME = Path.of(System.getProperty("ostrel.home"));
    private static final Path DB = HOME.resolve(".pki/nssdb");
    private static final Path GOOD = Fixture.files().resolveSibling("home/.pki/nssdb");

    private static void assertStoreFails() throws Exception {
        assertNull(NATIVE.getCertificatesInSystemStore(null));
        assertEquals(7, NATIVE.getLastErrorCode());
        assertNull(NATIVE.getSubjectDn(Fixture.get("signer").der()));
        assertEquals(7, NATIVE.getLastErrorCode());
        // What needs no store still works.
        byte[] data = {1, 2, 3};
        assertArrayEquals(MessageDigest.getInstance("SHA-1").digest(data), NATIVE.digest(data, null));
        assertEquals(2, NATIVE.getMinorVersion());
    }

    private static void assertStoreWorks() throws Exception {
        // A HOME without the fixture's SoftHSM configuration sees no token.
        List<Fixture.Entry> keyed = Files.exists(HOME.resolve(".config/softhsm2"))
                ? Fixture.keyed()
                : Fixture.entries().stream().filter(Fixture.Entry::hasKey).toList();
        assertEquals(keyed.size(), Fixture.listed().size());
        assertEquals(0, NATIVE.getLastErrorCode());
    }

    private static void restore() throws Exception {
        for (String file : new String[] {"cert9.db", "key4.db", "pkcs11.txt"}) {
            Files.copy(GOOD.resolve(file), DB.resolve(file), StandardCopyOption.REPLACE_EXISTING);
        }
    }

    @Test
    void databaseDirectoryIsAFile() throws Exception {
        assertStoreFails();
        Files.delete(DB);
        Files.createDirectories(DB);
        restore();
        assertStoreWorks();
    }

    @Test
    void databaseFileIsAFifo() throws Exception {
        assertStoreFails();  // at once: a reader of the FIFO would wait forever
        Files.delete(DB.resolve("cert9.db"));
        restore();
        assertStoreWorks();
    }

    @Test
    void corruptDatabaseIsRepaired() throws Exception {
        assertStoreFails();
        restore();
        assertStoreWorks();
    }

    @Test
    void databaseLockedByAnotherProcess() throws Exception {
        ProcessBuilder locker = new ProcessBuilder("python3", "-c", String.join("\n",
                "import sqlite3, sys, time",
                "c = sqlite3.connect(sys.argv[1], isolation_level=None)",
                "c.execute('BEGIN EXCLUSIVE')",
                "print('locked', flush=True)",
                "sys.stdin.read()"), DB.resolve("cert9.db").toString());
        locker.environment().remove("LD_PRELOAD");  // not ours to sanitise
        Process holder = locker.start();
        assertEquals('l', holder.getInputStream().read());
        assertStoreFails();
        holder.getOutputStream().close();
        assertEquals(0, holder.waitFor());
        assertStoreWorks();
    }

    @Test
    void certificateWhoseIdNamesAnotherKey() throws Exception {
        // A hostile edit: the keyless CA certificate takes the signer key's CKA_ID (0x102), so it
        // is listed with that key. Its signatures cannot verify under its own public key.
        ProcessBuilder edit = new ProcessBuilder("python3", "-c", String.join("\n",
                "import sqlite3, sys",
                "c = sqlite3.connect(sys.argv[1])",
                "row = 'SELECT a102 FROM nssPublic WHERE a0 = x\\'00000001\\' AND a3 = ?'",
                "signer = c.execute(row, (b'signer',)).fetchone()[0]",
                "c.execute('UPDATE nssPublic SET a102 = ? WHERE a0 = x\\'00000001\\' AND a3 = ?',",
                "          (signer, b'ca'))",
                "c.commit()"), DB.resolve("cert9.db").toString());
        edit.environment().remove("LD_PRELOAD");
        edit.inheritIO();
        assertEquals(0, edit.start().waitFor());
        byte[] data = {1, 2, 3};
        byte[] ca = Fixture.get("ca").der();
        byte[] signer = Fixture.get("signer").der();
        assertTrue(Fixture.listed().contains(Fixture.hex(ca)), "listed with the signer's key");
        // The key's own certificate signs, before and after the other's attempt; the other never.
        for (byte[] der : new byte[][] {signer, ca, signer}) {
            byte[] signature = NATIVE.firmar(data, der);
            if (der == ca) {
                assertNull(signature);
                assertEquals(11, NATIVE.getLastErrorCode());
            } else {
                assertNotNull(signature, "code " + NATIVE.getLastErrorCode());
                assertTrue(Fixture.verifies(der, data, signature));
            }
        }
    }

    /**
     * A certificate whose version is padded with a leading zero, as the platform reads it, with
     * its key in the database: OpenSSL's X.509 parser refuses it, and it must sign all the same.
     */
    @Test
    void certificateWithAPaddedVersionSigns() throws Exception {
        Path dir = Files.createTempDirectory("padded");
        String key = dir.resolve("key.pem").toString(), cert = dir.resolve("cert.pem").toString();
        String db = "sql:" + DB;
        Fixture.run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                "-subj", "/CN=Padded Version", "-days", "3650", "-out", cert);
        Fixture.run("openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-name", "plain",
                "-passout", "pass:p", "-out", dir.resolve("plain.p12").toString());
        // The key comes in with the plain certificate, which then leaves it to the padded one.
        Fixture.run("pk12util", "-i", dir.resolve("plain.p12").toString(), "-d", db, "-W", "p");
        Fixture.run("certutil", "-D", "-d", db, "-n", "plain");
        Fixture.run("openssl", "x509", "-in", cert, "-outform", "DER", "-out",
                dir.resolve("plain.der").toString());
        byte[] plain = Files.readAllBytes(dir.resolve("plain.der"));
        byte[] padded = padVersion(plain);
        Files.write(dir.resolve("padded.der"), padded);
        Fixture.run("certutil", "-A", "-d", db, "-n", "padded", "-t", ",,", "-i",
                dir.resolve("padded.der").toString());

        assertTrue(Fixture.listed().contains(Fixture.hex(padded)));
        assertEquals(3, NATIVE.getCertificateVersion(padded));
        byte[] data = {1, 2, 3};
        byte[] signature = NATIVE.firmar(data, padded);
        assertNotNull(signature, "code " + NATIVE.getLastErrorCode());
        assertTrue(Fixture.verifies(plain, data, signature));
    }

    /** The certificate with its version, INTEGER 2, written as 00 02; lengths in two bytes. */
    static byte[] padVersion(byte[] der) {
        byte[] version = {(byte) 0xA0, 3, 2, 1, 2};
        assertEquals(0x82, der[1] & 0xFF);
        assertEquals(0x82, der[5] & 0xFF);
        assertArrayEquals(version, java.util.Arrays.copyOfRange(der, 8, 13));
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        for (int at : new int[] {0, 4}) {  // the certificate's and the TBSCertificate's headers
            int length = ((der[at + 2] & 0xFF) << 8 | (der[at + 3] & 0xFF)) + 1;
            out.write(der[at]);
            out.write(0x82);
            out.write(length >> 8);
            out.write(length & 0xFF);
        }
        out.writeBytes(new byte[] {(byte) 0xA0, 4, 2, 2, 0, 2});
        out.write(der, 13, der.length - 13);
        return out.toByteArray();
    }

    @Test
    void unreadableDatabase() throws Exception {
        assertStoreFails();
    }

    @Test
    void homeUnsetFallsBackToTheAccountsHome() {
        // The account's home from the password database; this machine's may hold any store.
        assertNotNull(NATIVE.getCertificatesInSystemStore(null));
        assertEquals(0, NATIVE.getLastErrorCode());
    }
}
