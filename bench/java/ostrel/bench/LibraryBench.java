package ostrel.bench;

import java.io.ByteArrayInputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Arrays;
import ostrel.client.applet.msprovider.OstrelSignatureMS;

/**
 * The library's methods through JNI, on the store of the current HOME.
 *
 * <p>Options: --out FILE --size N (certificates in the store) --db DIR (the same database, which
 * certutil changes between samples of the listing after a change) --signer FILE (DER of the RSA
 * signer) and --full to measure digest and the array conversion too.
 */
public final class LibraryBench {
    private static int trustRound;

    public static void main(String[] args) throws Exception {
        Harness h = new Harness(Path.of(Harness.option(args, "out", "library.jsonl")));
        int size = Integer.parseInt(Harness.option(args, "size", "0"));
        String db = Harness.option(args, "db", "");
        byte[] signer = Files.readAllBytes(Path.of(Harness.option(args, "signer", "")));
        boolean full = Boolean.parseBoolean(Harness.option(args, "full", "false"));
        OstrelSignatureMS lib = new OstrelSignatureMS();

        byte[][] certs = lib.getCertificatesInSystemStore(null);
        Harness.check(certs != null && certs.length == size,
                "the store lists " + (certs == null ? "nothing" : certs.length + " certificates")
                        + ", not " + size + " (code " + lib.getLastErrorCode() + ")");
        // The head of the list is the certificate a store scan reaches last.
        byte[] last = certs[0];
        byte[] data = Harness.bytes(1024);
        verify(lib, signer, data);

        String n = "/" + size;
        h.measure("lib/list" + n, 0, 2.0, () -> lib.getCertificatesInSystemStore(null).length);
        // Small stores list in well under a millisecond, where nine samples are too few to settle.
        h.measureAfter("lib/list_after_change" + n, size <= 100 ? 30 : 9, () -> touch(db),
                () -> lib.getCertificatesInSystemStore(null).length);
        restoreTrust(db);
        h.measure("lib/notAfter" + n, 0, 1.0, () -> lib.getNotAfter(last));
        h.measure("lib/subjectDn" + n, 0, 1.0, () -> lib.getSubjectDn(last).length());
        h.measure("lib/firmar" + n, 1024, 2.0, () -> lib.firmar(data, signer).length);
        if (full) {
            for (int bytes : new int[] {1 << 10, 1 << 20, 1 << 26}) {
                byte[] input = Harness.bytes(bytes);
                double budget = bytes > 1 << 20 ? 3.0 : 1.5;
                h.measure("lib/digest/" + bytes, bytes, budget, () -> lib.digest(input, "SHA-1").length);
            }
            for (int bytes : new int[] {1 << 20, 1 << 26}) {
                byte[] input = Harness.bytes(bytes);
                Harness.check(CopyProbe.getAndRelease(input) >= 1000, "HotSpot did not copy");
                h.measure("probe/get_release/" + bytes, bytes, 1.5,
                        () -> CopyProbe.getAndRelease(input));
            }
        }
        h.write();
    }

    /** A benchmark of wrong answers is worthless: the signature must verify, the digest match. */
    private static void verify(OstrelSignatureMS lib, byte[] signer, byte[] data) throws Exception {
        X509Certificate cert = (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(signer));
        byte[] signature = lib.firmar(data, signer);
        Harness.check(signature != null, "firmar failed, code " + lib.getLastErrorCode());
        Signature verifier = Signature.getInstance("SHA1withRSA");
        verifier.initVerify(cert.getPublicKey());
        verifier.update(data);
        Harness.check(verifier.verify(signature), "firmar's signature does not verify");
        Harness.check(Arrays.equals(lib.digest(data, "SHA-1"),
                MessageDigest.getInstance("SHA-1").digest(data)), "digest differs from the JDK's");
    }

    /** Changes the signer's trust flags with certutil, which rewrites the database. */
    private static void touch(String db) throws Exception {
        certutil(db, trustRound++ % 2 == 0 ? "Pu,u,u" : "u,u,u");
    }

    private static void restoreTrust(String db) throws Exception {
        certutil(db, "u,u,u");
    }

    private static void certutil(String db, String trust) throws Exception {
        Process p = new ProcessBuilder("certutil", "-M", "-d", "sql:" + db, "-n", "signer", "-t", trust)
                .redirectErrorStream(true)
                .redirectOutput(ProcessBuilder.Redirect.DISCARD)
                .start();
        Harness.check(p.waitFor() == 0, "certutil -M failed");
    }

    private LibraryBench() {}
}
