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
 * Stores that cannot be read. Each test runs in a JVM of its own, with HOME prepared by
 * run-java.sh; each checks the failure, then that the library recovers once the store is sound.
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
