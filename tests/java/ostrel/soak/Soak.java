package ostrel.soak;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import ostrel.client.applet.msprovider.OstrelSignatureMS;

/**
 * Soak [CALLS [WARMUP]]: mixed calls of all fourteen methods in one JVM on the store of $HOME,
 * then the growth of resident memory from after WARMUP calls (by default as many as CALLS) to the
 * end. Fails at 2 MiB of growth. The JVM settles late (compiled code, collector structures grow
 * in steps over the first hundred thousand calls), hence the long warm-up.
 */
public final class Soak {
    private static long residentKiB() throws Exception {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        throw new IllegalStateException("no VmRSS");
    }

    public static void main(String[] args) throws Exception {
        final int calls = args.length > 0 ? Integer.parseInt(args[0]) : 100_000;
        final OstrelSignatureMS m = new OstrelSignatureMS();
        final Random random = new Random(42);
        final byte[] data = new byte[1024];
        random.nextBytes(data);
        final byte[] unknown = {0x30, 0x03, 0x02, 0x01, 0x01};
        List<byte[]> certs = new ArrayList<>(List.of(m.getCertificatesInSystemStore(null)));
        if (certs.size() < 2) {
            throw new IllegalStateException("the soak needs a store with certificates");
        }
        certs.add(unknown);
        long sink = 0;
        long warm = 0;
        final int warmUp = args.length > 1 ? Integer.parseInt(args[1]) : calls;
        for (int i = 0; i < warmUp + calls; i++) {
            if (i == warmUp) {
                System.gc();
                warm = residentKiB();
            }
            byte[] c = certs.get(random.nextInt(certs.size()));
            switch (i % 14) {
                case 0 -> sink += m.getCertificatesInSystemStore(null).length;
                case 1 -> sink += m.firmar(data, c) == null ? 0 : 1;
                case 2 -> sink += m.digest(data, null).length;
                case 3 -> sink += m.getLastErrorCode();
                case 4 -> sink += m.getIssuerDN(c) == null ? 0 : 1;
                case 5 -> sink += m.getSubjectDn(c) == null ? 0 : 1;
                case 6 -> sink += m.getCertificateVersion(c);
                case 7 -> sink += m.getNotAfter(c);
                case 8 -> sink += m.getNotBefore(c);
                case 9 -> sink += m.getSerialNumber(c) == null ? 0 : 1;
                case 10 -> sink += m.getMajorVersion() + m.getMinorVersion();
                case 11 -> sink += m.getKeyUsage(c);
                case 12 -> sink += m.firmar(null, c) == null ? 0 : 1;
                default -> {
                    if (i % 10_000 == 13) {
                        m.hello();
                    }
                }
            }
        }
        System.gc();
        long end = residentKiB();
        System.out.printf("soak: %d calls, resident %d KiB after warm-up, %d KiB at the end, growth %d KiB (%d)%n",
                calls, warm, end, end - warm, sink & 1);
        // Under AddressSanitizer freed memory waits in quarantine: leaks show as its reports there.
        boolean sanitised = String.valueOf(System.getenv("LD_PRELOAD")).contains("libasan");
        if (end - warm >= 2048 && !sanitised) {
            System.out.println("soak: FAILED, resident memory grew by 2 MiB or more");
            System.exit(1);
        }
    }
}
