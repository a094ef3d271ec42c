import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.Arrays;
import java.util.Random;
import ostrel.client.applet.msprovider.OstrelSignatureMS;

/**
 * Times firmar (RSA-2048, 1 KiB) against a bare NSS PK11_Sign with the same key, and digest
 * against MessageDigest SHA-1 on 64 MiB, in one JVM. Started by sign_bench.cpp, which provides
 * bareSign; see sign-bench.sh.
 */
public class SignBench {
    /** Times `count` PK11_Sign calls over `digestInfo` with the key of `certificate`, in ns. */
    static native long[] bareSign(byte[] certificate, byte[] digestInfo, int count);

    static final byte[] SHA1_PREFIX = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02,
            0x1a, 0x05, 0x00, 0x04, 0x14};

    static double median(long[] ns) {
        long[] s = ns.clone();
        Arrays.sort(s);
        return s.length % 2 == 1 ? s[s.length / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2.0;
    }

    public static void main(String[] args) throws Exception {
        OstrelSignatureMS lib = new OstrelSignatureMS();
        byte[] cert = Files.readAllBytes(Path.of(args[0], "signer.der"));
        int rounds = 5, perRound = 400;
        byte[] data = new byte[1024];
        new Random(1).nextBytes(data);
        byte[] hash = MessageDigest.getInstance("SHA-1").digest(data);
        byte[] digestInfo = Arrays.copyOf(SHA1_PREFIX, SHA1_PREFIX.length + 20);
        System.arraycopy(hash, 0, digestInfo, SHA1_PREFIX.length, 20);

        for (int i = 0; i < 300; i++) {  // warm-up, and NSS started by the library
            if (lib.firmar(data, cert) == null) {
                throw new AssertionError("firmar failed: code " + lib.getLastErrorCode());
            }
        }
        bareSign(cert, digestInfo, 300);
        long[] firmar = new long[rounds * perRound], bare = new long[rounds * perRound];
        for (int r = 0; r < rounds; r++) {  // interleaved, so that drift hits both alike
            for (int i = 0; i < perRound; i++) {
                long t0 = System.nanoTime();
                lib.firmar(data, cert);
                firmar[r * perRound + i] = System.nanoTime() - t0;
            }
            System.arraycopy(bareSign(cert, digestInfo, perRound), 0, bare, r * perRound, perRound);
        }
        double f = median(firmar), b = median(bare);
        System.out.printf("firmar RSA-2048 1 KiB: median %.1f us over %d calls%n", f / 1e3,
                firmar.length);
        System.out.printf("bare PK11_Sign:        median %.1f us over %d calls%n", b / 1e3,
                bare.length);
        System.out.printf("ratio firmar / PK11_Sign: %.3f%n", f / b);

        byte[] big = new byte[64 << 20];
        new Random(2).nextBytes(big);
        MessageDigest md = MessageDigest.getInstance("SHA-1");
        int runs = 9;
        long[] nat = new long[runs], java = new long[runs];
        for (int i = -2; i < runs; i++) {  // two warm-up rounds
            long t0 = System.nanoTime();
            byte[] a = lib.digest(big, null);
            long t1 = System.nanoTime();
            byte[] e = md.digest(big);
            long t2 = System.nanoTime();
            if (!Arrays.equals(a, e)) {
                throw new AssertionError("digest differs");
            }
            if (i >= 0) {
                nat[i] = t1 - t0;
                java[i] = t2 - t1;
            }
        }
        double mib = 64.0 * 1024 * 1024 / 1e6;  // MB
        System.out.printf("digest 64 MiB:            median %.1f ms, %.0f MB/s%n",
                median(nat) / 1e6, mib / (median(nat) / 1e9));
        System.out.printf("MessageDigest SHA-1 64 MiB: median %.1f ms, %.0f MB/s%n",
                median(java) / 1e6, mib / (median(java) / 1e9));
    }
}
