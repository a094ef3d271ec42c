package ostrel.e2e.isolated;

import static ostrel.e2e.Fixture.NATIVE;
import ostrel.e2e.Fixture;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/** Runs on a private copy of the store, changed by NSS's own tools while the JVM runs. */
class FreshnessTest {
    private static final String DB = "sql:" + System.getProperty("ostrel.home") + "/.pki/nssdb";

    @Test
    void changesByOtherProcessesShowOnTheNextCall() throws Exception {
        String late = Fixture.hex(java.nio.file.Files.readAllBytes(Fixture.files().resolve("late.der")));
        byte[] lateDer = java.util.HexFormat.of().parseHex(late);
        int before = Fixture.listed().size();
        assertEquals(-1, NATIVE.getCertificateVersion(lateDer));
        assertEquals(8, NATIVE.getLastErrorCode());

        Fixture.run("pk12util", "-i", Fixture.files().resolve("late.pfx").toString(), "-d", DB,
                "-W", "fixture");
        assertTrue(Fixture.listed().contains(late));
        assertEquals(before + 1, Fixture.listed().size());
        assertEquals(3, NATIVE.getCertificateVersion(lateDer));

        Fixture.run("certutil", "-D", "-d", DB, "-n", "late");
        assertFalse(Fixture.listed().contains(late));
        assertEquals(-1, NATIVE.getCertificateVersion(lateDer));
        assertEquals(8, NATIVE.getLastErrorCode());
    }
}
