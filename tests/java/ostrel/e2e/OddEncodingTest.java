package ostrel.e2e;

import static ostrel.e2e.Fixture.NATIVE;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.Test;

/**
 * Certificates of odd encodings that NSS stores (files/odd, made by odd-certs.py): found in the
 * store and read as the platform reads them, or unknown where the platform refuses them. Java's
 * X.509 cannot be the oracle here; the manifest holds what Wine's CryptoAPI reads.
 */
class OddEncodingTest {
    @Test
    void attributesAreThePlatformsOrUnknown() throws Exception {
        Path dir = Fixture.files().resolve("odd");
        List<String> lines = Files.readAllLines(dir.resolve("odd-manifest"));
        assertTrue(lines.size() >= 10, "the odd certificates");
        for (String line : lines) {
            String[] f = line.split("\\|");
            String name = f[0];
            byte[] der = Files.readAllBytes(dir.resolve(name + ".der"));
            if (f[1].equals("refused")) {
                assertEquals(-1, NATIVE.getCertificateVersion(der), name);
                assertEquals(-1L, NATIVE.getNotAfter(der), name);
                assertNull(NATIVE.getSubjectDn(der), name);
                assertEquals(8, NATIVE.getLastErrorCode(), name);
                continue;
            }
            assertEquals(Integer.parseInt(f[2]), NATIVE.getCertificateVersion(der), name);
            assertEquals(Long.parseLong(f[5]), NATIVE.getNotBefore(der), name);
            assertEquals(Long.parseLong(f[6]), NATIVE.getNotAfter(der), name);
            assertEquals(f[4], Fixture.hex(NATIVE.getSerialNumber(der)), name);
            assertEquals(f[7] + "\0", NATIVE.getSubjectDn(der), name);
            assertEquals(0, NATIVE.getLastErrorCode(), name);
            assertEquals(Integer.parseInt(f[3]), NATIVE.getKeyUsage(der), name);
            assertEquals(f[3].equals("-1") ? 19 : 0, NATIVE.getLastErrorCode(), name);
        }
    }
}
