package ostrel.e2e;

import static ostrel.e2e.Fixture.NATIVE;
import static ostrel.e2e.Fixture.UNKNOWN;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/** firmar against the sample store: every RSA key signs, as OpenSSL does with the same key. */
class SigningTest {
    private static final int[] SIZES = {0, 1, 1000, 1 << 20};
    private static final Map<Integer, byte[]> DATA = new HashMap<>();
    /** OpenSSL's signature of DATA.get(size) by the key of each certificate, "name/size". */
    private static final Map<String, byte[]> EXPECTED = new HashMap<>();

    @TempDir static Path scratch;

    /** The names of the certificates that have an RSA key. */
    static List<String> rsaCertificates() throws Exception {
        return Fixture.entries().stream().filter(e -> e.hasKey() && e.keyType().equals("rsa"))
                .map(Fixture.Entry::name).toList();
    }

    /** One shell runs every openssl signature, instead of one process per case. */
    @BeforeAll
    static void signWithOpenSsl() throws Exception {
        Random random = new Random(3);
        StringBuilder script = new StringBuilder("set -e\n");
        for (int size : SIZES) {
            byte[] data = new byte[size];
            random.nextBytes(data);
            DATA.put(size, data);
            Files.write(scratch.resolve("data-" + size), data);
        }
        for (String name : rsaCertificates()) {
            Path key = Fixture.files().resolve(name + ".key.pem");
            for (int size : SIZES) {
                script.append(String.format("openssl dgst -sha1 -sign '%s' -out '%s' '%s'\n", key,
                        scratch.resolve(name + "-" + size + ".sig"),
                        scratch.resolve("data-" + size)));
            }
        }
        Fixture.run("sh", "-c", script.toString());
        for (String name : rsaCertificates()) {
            for (int size : SIZES) {
                EXPECTED.put(name + "/" + size,
                        Files.readAllBytes(scratch.resolve(name + "-" + size + ".sig")));
            }
        }
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("rsaCertificates")
    void signsAsOpenSslAndVerifies(String name) throws Exception {
        Fixture.Entry cert = Fixture.get(name);
        for (int size : SIZES) {
            byte[] data = DATA.get(size);
            byte[] signature = NATIVE.firmar(data, cert.der());
            String what = cert.name() + ", " + size + " bytes";
            assertNotNull(signature, what + ": code " + NATIVE.getLastErrorCode());
            assertEquals(0, NATIVE.getLastErrorCode(), what);
            assertArrayEquals(EXPECTED.get(cert.name() + "/" + size), signature, what);
            assertTrue(Fixture.verifies(cert.der(), data, signature), what);
        }
    }

    @Test
    void aSignatureOnlyKeySignsThroughTheSignatureSpec() throws Exception {
        Fixture.Entry sigonly = Fixture.get("sigonly");
        boolean[] usage = sigonly.x509().getKeyUsage();
        assertTrue(usage[0]);
        assertFalse(usage[2], "keyEncipherment would make it an exchange key");
        byte[] data = DATA.get(1000);
        assertArrayEquals(EXPECTED.get("sigonly/1000"), NATIVE.firmar(data, sigonly.der()));
        assertEquals(0, NATIVE.getLastErrorCode());
    }

    @Test
    void failuresGiveNullAndTheirCode() throws Exception {
        byte[] data = {1, 2, 3};
        byte[] signer = Fixture.get("signer").der();
        record Case(String what, byte[] data, byte[] certificate, int code) {}
        List<Case> cases = List.of(
                new Case("certificate without a key", data, Fixture.get("ca").der(), 14),
                new Case("unknown bytes", data, UNKNOWN, 8),
                new Case("arguments swapped", signer, data, 8),
                new Case("EC key", data, Fixture.get("ec").der(), 13));
        for (Case c : cases) {
            assertNotNull(NATIVE.firmar(data, signer));  // a success first: the code must change
            assertEquals(0, NATIVE.getLastErrorCode());
            assertNull(NATIVE.firmar(c.data(), c.certificate()), c.what());
            assertEquals(c.code(), NATIVE.getLastErrorCode(), c.what());
        }
    }
}
