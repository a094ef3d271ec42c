package ostrel.e2e;

import java.io.ByteArrayInputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import ostrel.client.applet.msprovider.OstrelSignatureMS;

/** The sample store built by tests/fixtures/make-store.sh, and the library under test. */
public final class Fixture {
    public static final OstrelSignatureMS NATIVE = new OstrelSignatureMS();
    public static final byte[] UNKNOWN = {0x30, 0x03, 0x02, 0x01, 0x01};

    public record Entry(String name, boolean hasKey, String keyType, byte[] der, X509Certificate x509) {}

    private Fixture() {}

    public static Path files() {
        return Path.of(System.getProperty("ostrel.fixture"));
    }

    /** The database's own certificates. */
    public static List<Entry> entries() throws Exception {
        return read("manifest");
    }

    /** The certificates on the SoftHSM token, which is not logged in. */
    public static List<Entry> tokenEntries() throws Exception {
        return read("token-manifest");
    }

    /** What the listing gives: every certificate with a key, the token's included. */
    public static List<Entry> keyed() throws Exception {
        List<Entry> keyed = new ArrayList<>(entries());
        keyed.addAll(tokenEntries());
        keyed.removeIf(e -> !e.hasKey());
        return keyed;
    }

    private static List<Entry> read(String manifest) throws Exception {
        List<Entry> entries = new ArrayList<>();
        for (String line : Files.readAllLines(files().resolve(manifest))) {
            String[] f = line.split(" ");
            byte[] der = Files.readAllBytes(files().resolve(f[0] + ".der"));
            entries.add(new Entry(f[0], f[1].equals("1"), f[2], der, x509(der)));
        }
        return entries;
    }

    public static Entry get(String name) throws Exception {
        return entries().stream().filter(e -> e.name().equals(name)).findFirst().orElseThrow();
    }

    public static X509Certificate x509(byte[] der) throws Exception {
        return (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(der));
    }

    /** Whether `signature` is SHA1withRSA over `data` by the key of the certificate `der`. */
    public static boolean verifies(byte[] der, byte[] data, byte[] signature) throws Exception {
        Signature verifier = Signature.getInstance("SHA1withRSA");
        verifier.initVerify(x509(der).getPublicKey());
        verifier.update(data);
        return verifier.verify(signature);
    }

    public static String hex(byte[] bytes) {
        return HexFormat.of().formatHex(bytes);
    }

    /** The hex DER of every certificate the library lists, sorted. */
    public static List<String> listed() {
        byte[][] certs = NATIVE.getCertificatesInSystemStore(null);
        if (certs == null) {
            return null;
        }
        List<String> out = new ArrayList<>();
        for (byte[] c : certs) {
            out.add(hex(c));
        }
        out.sort(null);
        return out;
    }

    /** Runs a command to completion; fails the test on a non-zero exit. */
    public static String run(String... command) throws Exception {
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        if (!command[0].endsWith("java")) {
            builder.environment().remove("LD_PRELOAD");  // NSS's tools are not ours to sanitise
        }
        Process p = builder.start();
        String out = new String(p.getInputStream().readAllBytes());
        if (p.waitFor() != 0) {
            throw new AssertionError(String.join(" ", command) + " failed:\n" + out);
        }
        return out;
    }
}
