package ostrel.e2e;

import static ostrel.e2e.Fixture.NATIVE;
import static ostrel.e2e.Fixture.UNKNOWN;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.nio.file.Path;
import java.util.List;
import org.junit.jupiter.api.Test;

class StoreTest {
    @Test
    void listsExactlyTheCertificatesWithKeys() throws Exception {
        List<String> expected =
                Fixture.keyed().stream().map(e -> Fixture.hex(e.der())).sorted().toList();
        List<String> listed = Fixture.listed();
        assertEquals(expected, listed);
        assertEquals(0, NATIVE.getLastErrorCode());
        // Nothing here logs in to the token: its keyed certificate shows by its public key.
        for (Fixture.Entry e : Fixture.tokenEntries()) {
            assertEquals(e.hasKey(), listed.contains(Fixture.hex(e.der())), e.name());
        }
    }

    @Test
    void versionIsZeroPointTwo() {
        for (int i = 0; i < 3; i++) {
            assertEquals(0, NATIVE.getMajorVersion());
            assertEquals(2, NATIVE.getMinorVersion());
        }
    }

    @Test
    void listingClearsAnEarlierFailure() {
        assertNull(NATIVE.firmar(new byte[] {1}, UNKNOWN));
        assertEquals(8, NATIVE.getLastErrorCode());
        assertEquals(8, NATIVE.getLastErrorCode());
        Fixture.listed();
        assertEquals(0, NATIVE.getLastErrorCode());
    }

    @Test
    void nullArraysFailAndLeaveTheRegister() throws Exception {
        byte[] cert = Fixture.get("signer").der();
        assertNull(NATIVE.getSerialNumber(UNKNOWN));
        assertEquals(8, NATIVE.getLastErrorCode());
        assertNull(NATIVE.firmar(null, cert));
        assertNull(NATIVE.firmar(new byte[1], null));
        assertNull(NATIVE.digest(null, "SHA-1"));
        assertNull(NATIVE.getIssuerDN(null));
        assertNull(NATIVE.getSubjectDn(null));
        assertNull(NATIVE.getSerialNumber(null));
        assertEquals(-1, NATIVE.getCertificateVersion(null));
        assertEquals(-1L, NATIVE.getNotAfter(null));
        assertEquals(-1L, NATIVE.getNotBefore(null));
        assertEquals(-1, NATIVE.getKeyUsage(null));
        assertEquals(8, NATIVE.getLastErrorCode());
        assertEquals(3, NATIVE.getCertificateVersion(cert));
    }

    @Test
    void helloPrintsOneLineEndingInExclamationAfterAZeroRegister() throws Exception {
        String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
        Process p = new ProcessBuilder(java, "-Xcheck:jni",
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("ostrel.classpath"), "ostrel.e2e.HelloMain")
                .redirectError(ProcessBuilder.Redirect.DISCARD).start();
        String out = new String(p.getInputStream().readAllBytes());
        assertEquals(0, p.waitFor());
        String[] lines = out.strip().split("\n");
        assertEquals("register=0,0", lines[0]);
        assertEquals(2, lines.length, out);
        assertEquals('!', lines[1].charAt(lines[1].length() - 1), out);
    }
}
