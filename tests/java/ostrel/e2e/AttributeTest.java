package ostrel.e2e;

import static ostrel.e2e.Fixture.NATIVE;
import static ostrel.e2e.Fixture.UNKNOWN;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.time.Instant;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.function.Supplier;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The seven attribute methods on every certificate of the sample store, Java's X.509 the oracle. */
class AttributeTest {
    private static List<Fixture.Entry> entries;

    @BeforeAll
    static void load() throws Exception {
        entries = Fixture.entries();
    }

    private static void assertCode(int expected, String what) {
        assertEquals(expected, NATIVE.getLastErrorCode(), what);
    }

    @Test
    void validityIsJavasInMilliseconds() {
        long earliest = Long.MAX_VALUE;
        long latest = Long.MIN_VALUE;
        for (Fixture.Entry e : entries) {
            long notBefore = e.x509().getNotBefore().getTime();
            long notAfter = e.x509().getNotAfter().getTime();
            assertEquals(notBefore, NATIVE.getNotBefore(e.der()), e.name());
            assertCode(0, e.name());
            assertEquals(notAfter, NATIVE.getNotAfter(e.der()), e.name());
            assertCode(0, e.name());
            earliest = Math.min(earliest, notBefore);
            latest = Math.max(latest, notAfter);
        }
        assertTrue(earliest < 0, "a date before 1970");
        assertTrue(latest > Instant.parse("2050-01-01T00:00:00Z").toEpochMilli(), "past 2049");
    }

    @Test
    void versionIsJavas() {
        Set<Integer> seen = new HashSet<>();
        for (Fixture.Entry e : entries) {
            int version = NATIVE.getCertificateVersion(e.der());
            assertEquals(e.x509().getVersion(), version, e.name());
            assertCode(0, e.name());
            seen.add(version);
        }
        assertEquals(Set.of(1, 3), seen);
    }

    @Test
    void serialIsJavasLeastSignificantByteFirst() {
        Set<String> shapes = new HashSet<>();
        for (Fixture.Entry e : entries) {
            byte[] serial = NATIVE.getSerialNumber(e.der());
            assertCode(0, e.name());
            for (int i = 0, j = serial.length - 1; i < j; i++, j--) {
                byte b = serial[i];
                serial[i] = serial[j];
                serial[j] = b;
            }
            byte[] expected = e.x509().getSerialNumber().toByteArray();
            assertEquals(Fixture.hex(expected), Fixture.hex(serial), e.name());
            shapes.add("length " + expected.length);
            shapes.add(expected[0] == 0 ? "padding zero" : "");
            shapes.add(expected[expected.length - 1] == (byte) 0xFF ? "0xFF last" : "");
        }
        assertTrue(shapes.containsAll(Set.of("padding zero", "0xFF last", "length 1", "length 20")),
                shapes.toString());
    }

    @Test
    void keyUsageIsJavasNineBits() {
        Set<String> seen = new HashSet<>();
        for (Fixture.Entry e : entries) {
            boolean[] bits = e.x509().getKeyUsage();
            int word = NATIVE.getKeyUsage(e.der());
            if (bits == null) {
                assertEquals(-1, word, e.name());
                assertCode(19, e.name());
                seen.add("absent");
                continue;
            }
            int expected = 0;
            for (int i = 0; i < Math.min(bits.length, 9); i++) {
                expected |= bits[i] ? 1 << i : 0;
            }
            assertEquals(expected, word, e.name());
            assertCode(0, e.name());
            seen.add((word & 0x100) != 0 ? "decipherOnly" : "");
        }
        assertTrue(seen.containsAll(Set.of("absent", "decipherOnly")), seen.toString());
    }

    @Test
    void namesAreEqualExactlyWhenJavasAre() {
        for (Fixture.Entry e : entries) {
            String subject = NATIVE.getSubjectDn(e.der());
            assertCode(0, e.name());
            String issuer = NATIVE.getIssuerDN(e.der());
            assertCode(0, e.name());
            assertEquals(subject.length() - 1, subject.indexOf('\0'), e.name());
            assertEquals(issuer.length() - 1, issuer.indexOf('\0'), e.name());
            boolean same = e.x509().getSubjectX500Principal().equals(e.x509().getIssuerX500Principal());
            assertEquals(same, subject.equals(issuer), e.name());
        }
    }

    @Test
    void namesRenderAsWindowsRendersThem() throws Exception {
        String[][] golden = {
            {"signer", "C=ES, O=Ostrel Test, CN=Signer", null},
            {"expired", "C=ES, O=Ostrel Test, CN=Expired", null},
            {"v1", "C=ES, O=Ostrel Test, CN=Version One", "C=ES, O=Ostrel Test, CN=Fixture CA"},
            {"names-quoting", String.join(", ", "CN=\"\"", "CN=\" lead\"", "CN=\"trail \"",
                    "CN=\"\ttab\"", "CN=\"a,b\"", "CN=\"a+b\"", "CN=\"a=b\"", "CN=\"\"\"q\"\"\"",
                    "CN=\"line\nbreak\"", "CN=\"<a>\"", "CN=\"#1\"", "CN=\"a;b\"", "CN=cr\rinside",
                    "CN=\u2002wide\u2002", "CN=a b"), null},
            {"names-types", String.join(", ", "CN=Ana + O=Example + SERIALNUMBER=42",
                    "CN=Jos\u00e9 \u65e5\u672c \ud83d\ude00", "O=\u65e5\u672c \u00d6l\u00e7\u00fc",
                    "OU=Teletex \u00e9", "OU=Latin \u00e9", "E=admin@example.org",
                    "OID.2.5.4.15=Private Organization", "OID.0.0=zero", "OID.2.5.4.45=#03020780",
                    "OID.1.2.3=#04023000"), null},
            {"names-alt", "CN=Alt Subject", "CN=Alt Issuer"},
        };
        for (String[] g : golden) {
            byte[] der = Fixture.get(g[0]).der();
            assertEquals(g[1] + "\0", NATIVE.getSubjectDn(der), g[0]);
            assertEquals((g[2] == null ? g[1] : g[2]) + "\0", NATIVE.getIssuerDN(der), g[0]);
        }
    }

    @Test
    void unknownBytesFailWithEight() {
        List<Supplier<Object>> calls = List.of(() -> NATIVE.getIssuerDN(UNKNOWN),
                () -> NATIVE.getSubjectDn(UNKNOWN), () -> NATIVE.getCertificateVersion(UNKNOWN),
                () -> NATIVE.getNotAfter(UNKNOWN), () -> NATIVE.getNotBefore(UNKNOWN),
                () -> NATIVE.getSerialNumber(UNKNOWN), () -> NATIVE.getKeyUsage(UNKNOWN));
        List<Object> failures = Arrays.asList(null, null, -1, -1L, -1L, null, -1);
        for (int i = 0; i < calls.size(); i++) {
            Fixture.listed();  // clears the register
            assertEquals(failures.get(i), calls.get(i).get(), "method " + i);
            assertCode(8, "method " + i);
        }
    }
}
