package ostrel.bench;

import java.io.ByteArrayInputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.Security;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Enumeration;
import ostrel.client.applet.msprovider.OstrelSignatureMS;

/**
 * The JDK's own way to the same things: SunPKCS11 over the same NSS database (a KeyStore for the
 * listing, SHA1withRSA for signing) and the default provider's SHA-1. Runs in a JVM without our
 * library, since whoever initialises NSS first in a process owns it.
 *
 * <p>Options: --out FILE --size N --db DIR --signer FILE, --full for signing, digests and
 * copies, and --duel to also load our library (after SunPKCS11 has initialised NSS, so both work)
 * and time its firmar against SunPKCS11's signature in alternating samples of one process.
 */
public final class JdkBench {
    public static void main(String[] args) throws Exception {
        Harness h = new Harness(Path.of(Harness.option(args, "out", "jdk.jsonl")));
        int size = Integer.parseInt(Harness.option(args, "size", "0"));
        String db = Harness.option(args, "db", "");
        byte[] signer = Files.readAllBytes(Path.of(Harness.option(args, "signer", "")));
        boolean full = Boolean.parseBoolean(Harness.option(args, "full", "false"));
        boolean duel = Boolean.parseBoolean(Harness.option(args, "duel", "false"));

        Path config = Files.createTempFile("ostrel-bench-nss", ".cfg");
        Files.writeString(config, "name=NSS\n"
                + "nssLibraryDirectory=/usr/lib/x86_64-linux-gnu\n"
                + "nssSecmodDirectory=sql:" + db + "\n"
                + "nssModule=keystore\n"
                + "nssDbMode=readOnly\n");
        Provider nss = Security.getProvider("SunPKCS11").configure(config.toString());
        Files.delete(config);
        KeyStore store = KeyStore.getInstance("PKCS11", nss);
        Harness.check(list(store) > 0 && keyEntries(store) == size,
                "the KeyStore holds " + keyEntries(store) + " keys, not " + size);

        String n = "/" + size;
        h.measure("jdk/keystore_list" + n, 0, size >= 1000 ? 8.0 : 2.0, () -> list(store));
        if (full) {
            byte[] data = Harness.bytes(1024);
            PrivateKey key = (PrivateKey) store.getKey("signer", null);
            Signature signature = Signature.getInstance("SHA1withRSA", nss);
            X509Certificate cert = (X509Certificate) CertificateFactory.getInstance("X.509")
                    .generateCertificate(new ByteArrayInputStream(signer));
            Signature verifier = Signature.getInstance("SHA1withRSA");
            verifier.initVerify(cert.getPublicKey());
            verifier.update(data);
            signature.initSign(key);
            signature.update(data);
            Harness.check(verifier.verify(signature.sign()), "SunPKCS11's signature does not verify");
            Harness.Op jdkSign = () -> {
                signature.initSign(key);
                signature.update(data);
                return signature.sign().length;
            };
            h.measure("jdk/sign/1024", 1024, 2.0, jdkSign);
            if (duel) {
                OstrelSignatureMS lib = new OstrelSignatureMS();
                byte[] mine = lib.firmar(data, signer);
                Harness.check(mine != null, "firmar failed beside SunPKCS11: " + lib.getLastErrorCode());
                verifier.initVerify(cert.getPublicKey());
                verifier.update(data);
                Harness.check(verifier.verify(mine), "firmar's signature does not verify");
                h.measureInterleaved("duel/firmar", () -> lib.firmar(data, signer).length,
                        "duel/jdk_sign", jdkSign, 1024, 6.0);
            }
            CertificateFactory factory = CertificateFactory.getInstance("X.509");
            h.measure("jdk/x509_notAfter", 0, 1.0, () -> ((X509Certificate) factory
                    .generateCertificate(new ByteArrayInputStream(signer))).getNotAfter().getTime());
            for (int bytes : new int[] {1 << 10, 1 << 20, 1 << 26}) {
                byte[] input = Harness.bytes(bytes);
                double budget = bytes > 1 << 20 ? 3.0 : 1.5;
                h.measure("jdk/sha1/" + bytes, bytes, budget,
                        () -> MessageDigest.getInstance("SHA-1").digest(input).length);
            }
            for (int bytes : new int[] {1 << 20, 1 << 26}) {
                byte[] input = Harness.bytes(bytes);
                h.measure("jdk/clone/" + bytes, bytes, 1.5, () -> input.clone().length);
            }
        }
        h.write();
    }

    /** Loads the token's objects afresh and reads every key entry's certificate. */
    private static long list(KeyStore store) throws Exception {
        store.load(null, new char[0]);
        long total = 0;
        for (Enumeration<String> aliases = store.aliases(); aliases.hasMoreElements();) {
            String alias = aliases.nextElement();
            if (store.isKeyEntry(alias)) {
                total += store.getCertificate(alias).getEncoded().length;
            }
        }
        return total;
    }

    private static int keyEntries(KeyStore store) throws Exception {
        int count = 0;
        for (Enumeration<String> aliases = store.aliases(); aliases.hasMoreElements();) {
            count += store.isKeyEntry(aliases.nextElement()) ? 1 : 0;
        }
        return count;
    }

    private JdkBench() {}
}
