package ostrel.e2e;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.util.HexFormat;
import java.util.List;
import ostrel.client.applet.msprovider.OstrelSignatureMS;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * A password-protected database, listed before any login: its keyed certificates show by their
 * public keys, and with no terminal and no display to ask on, signing fails at the provider.
 * Runs the library in a child JVM whose HOME holds such a copy of the store.
 */
class LoginStoreTest {
    @TempDir Path home;

    /** In the child JVM: what the library makes of the store, one "what=value" per line. */
    public static final class Child {
        public static void main(String[] args) throws Exception {
            OstrelSignatureMS lib = new OstrelSignatureMS();
            byte[][] listed = lib.getCertificatesInSystemStore(null);
            System.out.println("listed=" + (listed == null ? "null" : listed.length));
            byte[] signer = Files.readAllBytes(Path.of(args[0]));
            System.out.println("signature=" + (lib.firmar(new byte[] {1}, signer) != null));
            System.out.println("code=" + lib.getLastErrorCode());
            System.out.println("digest=" + HexFormat.of().formatHex(lib.digest(new byte[] {1}, null)));
        }
    }

    @Test
    void keysBehindAPasswordAreListedButCannotBeUnlockedWithoutAPrompt() throws Exception {
        Path db = home.resolve(".pki/nssdb");
        Files.createDirectories(db);
        for (String file : new String[] {"cert9.db", "key4.db", "pkcs11.txt"}) {
            Files.copy(Fixture.files().resolveSibling("home/.pki/nssdb").resolve(file),
                    db.resolve(file));
        }
        Files.writeString(home.resolve("old"), "\n");
        Files.writeString(home.resolve("new"), "secret\n");
        Fixture.run("certutil", "-W", "-d", "sql:" + db, "-f", home.resolve("old").toString(),
                "-@", home.resolve("new").toString());

        String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
        ProcessBuilder child = new ProcessBuilder(java, "-Xcheck:jni",
                "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("ostrel.classpath"), Child.class.getName(),
                Fixture.files().resolve("signer.der").toString()).redirectErrorStream(true);
        child.environment().put("HOME", home.toString());
        for (String variable : new String[] {"DISPLAY", "WAYLAND_DISPLAY", "GPG_TTY"}) {
            child.environment().remove(variable);
        }
        Process p = child.start();
        String out = new String(p.getInputStream().readAllBytes());
        System.out.print(out);  // the suite fails on any -Xcheck:jni warning in it
        assertEquals(0, p.waitFor(), out);
        String sha1 = HexFormat.of().formatHex(
                MessageDigest.getInstance("SHA-1").digest(new byte[] {1}));
        long keyed = Fixture.entries().stream().filter(Fixture.Entry::hasKey).count();
        assertEquals(List.of("listed=" + keyed, "signature=false", "code=6", "digest=" + sha1),
                out.lines().filter(l -> l.matches("\\w+=.*")).toList(), out);
    }
}
