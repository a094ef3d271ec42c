package ostrel.e2e;

import static ostrel.e2e.Fixture.NATIVE;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.security.MessageDigest;
import java.util.Map;
import java.util.Objects;
import java.util.Random;
import java.util.function.Function;
import org.junit.jupiter.api.Test;

/** Arrays that are no certificate, given to every method; the next normal call still works. */
class BadInputTest {
    private static final byte[] BIG = new byte[100 << 20];

    static {
        new Random(7).nextBytes(BIG);
    }

    /** Each method that takes a certificate, with its failure value. */
    private static final Map<String, Function<byte[], Object>> METHODS = Map.of(
            "getIssuerDN", c -> NATIVE.getIssuerDN(c),
            "getSubjectDn", c -> NATIVE.getSubjectDn(c),
            "getCertificateVersion", c -> NATIVE.getCertificateVersion(c) == -1 ? null : 0,
            "getNotAfter", c -> NATIVE.getNotAfter(c) == -1L ? null : 0,
            "getNotBefore", c -> NATIVE.getNotBefore(c) == -1L ? null : 0,
            "getSerialNumber", c -> NATIVE.getSerialNumber(c),
            "getKeyUsage", c -> NATIVE.getKeyUsage(c) == -1 ? null : 0,
            "firmar", c -> NATIVE.firmar(new byte[] {1}, c));

    @Test
    void certificatesThatAreNotInTheStore() throws Exception {
        byte[] random = new byte[1500];
        new Random(1).nextBytes(random);
        byte[] signer = Fixture.get("signer").der();
        byte[] truncated = java.util.Arrays.copyOf(signer, signer.length - 1);
        byte[][] inputs = {new byte[0], {0x30}, random, truncated, BIG};
        for (byte[] input : inputs) {
            for (var method : METHODS.entrySet()) {
                String what = method.getKey() + " of " + input.length + " bytes";
                assertEquals(null, method.getValue().apply(input), what);
                assertEquals(8, NATIVE.getLastErrorCode(), what);
                assertTrue(Objects.nonNull(method.getValue().apply(signer)), what + ", then a real one");
                assertEquals(0, NATIVE.getLastErrorCode(), what);
            }
        }
    }

    @Test
    void hugeDataIsHashedAndSigned() throws Exception {
        assertArrayEquals(MessageDigest.getInstance("SHA-1").digest(BIG), NATIVE.digest(BIG, null));
        Fixture.Entry signer = Fixture.get("signer");
        assertTrue(Fixture.verifies(signer.der(), BIG, NATIVE.firmar(BIG, signer.der())));
    }
}
