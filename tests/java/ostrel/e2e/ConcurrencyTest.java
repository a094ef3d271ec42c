package ostrel.e2e;

import static ostrel.e2e.Fixture.NATIVE;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.Test;

/** Eight threads of mixed calls; every answer must equal the one-thread answer. */
class ConcurrencyTest {
    private static final int THREADS = 8;
    private static final int ROUNDS = 40;

    /** Everything a thread can ask of one certificate, as one comparable string. */
    private static String attributes(byte[] c) {
        return String.join("|", NATIVE.getSubjectDn(c), NATIVE.getIssuerDN(c),
                String.valueOf(NATIVE.getCertificateVersion(c)), String.valueOf(NATIVE.getNotBefore(c)),
                String.valueOf(NATIVE.getNotAfter(c)), Arrays.toString(NATIVE.getSerialNumber(c)),
                String.valueOf(NATIVE.getKeyUsage(c)));
    }

    @Test
    void mixedCallsFromEightThreadsAgreeWithOneThread() throws Exception {
        List<Fixture.Entry> entries = Fixture.entries();
        List<String> expected = new ArrayList<>();
        for (Fixture.Entry e : entries) {
            expected.add(attributes(e.der()));
        }
        List<Fixture.Entry> signers = entries.stream()
                .filter(e -> e.hasKey() && e.keyType().equals("rsa")).toList();
        int listed = NATIVE.getCertificatesInSystemStore(null).length;

        ExecutorService pool = Executors.newFixedThreadPool(THREADS);
        List<Future<Integer>> results = new ArrayList<>();
        for (int t = 0; t < THREADS; t++) {
            final int thread = t;
            results.add(pool.submit(() -> {
                byte[] data = new byte[1000 + thread];
                Arrays.fill(data, (byte) thread);
                byte[] hash = MessageDigest.getInstance("SHA-1").digest(data);
                int checks = 0;
                for (int round = 0; round < ROUNDS; round++) {
                    int i = (thread + round) % entries.size();
                    assertEquals(expected.get(i), attributes(entries.get(i).der()));
                    assertEquals(listed, NATIVE.getCertificatesInSystemStore(null).length);
                    assertArrayEquals(hash, NATIVE.digest(data, null));
                    Fixture.Entry signer = signers.get((thread + round) % signers.size());
                    assertTrue(Fixture.verifies(signer.der(), data, NATIVE.firmar(data, signer.der())),
                            signer.name());
                    checks++;
                }
                return checks;
            }));
        }
        pool.shutdown();
        for (Future<Integer> result : results) {
            assertEquals(ROUNDS, result.get());
        }
    }
}
