package ostrel.tool;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.Signature;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Base64;
import java.util.HexFormat;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import ostrel.e2e.Fixture;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** ostrel-sign's main logic in this JVM, over the fixture store; stdin, stdout and stderr captured. */
class ToolTest {
    @TempDir
    static Path dir;

    record Result(int status, byte[] raw, String err) {
        String out() {
            return new String(raw);
        }
    }

    static Result run(byte[] stdin, String... args) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ByteArrayOutputStream err = new ByteArrayOutputStream();
        int status = Main.run(args, new ByteArrayInputStream(stdin), new PrintStream(out, true),
                new PrintStream(err, true));
        return new Result(status, out.toByteArray(), err.toString());
    }

    static Result run(String... args) {
        return run(new byte[0], args);
    }

    static Path file(String name, byte[] content) throws Exception {
        return Files.write(dir.resolve(name), content);
    }

    @ParameterizedTest(name = "[{index}] {0}")
    @CsvSource(delimiter = '|', value = {
        "''                               | 2 | true  | no command given",
        "bogus                            | 2 | true  | unknown command 'bogus'",
        "list --xml                       | 2 | true  | unknown option --xml",
        "list --json=yes                  | 2 | true  | --json takes no value",
        "list extra                       | 2 | true  | unexpected argument 'extra'",
        "tokens --pin=1                   | 2 | true  | unknown option --pin",
        "show                             | 2 | true  | an argument is missing",
        "sign --in x                      | 2 | true  | --cert is required",
        "sign --cert                      | 2 | true  | --cert needs a value",
        "sign --cert 1 --cert=2           | 2 | true  | --cert given twice",
        "verify --signature s             | 2 | true  | exactly one of --cert and --cert-file",
        "verify --cert 1 --cert-file f --signature s | 2 | true | exactly one of --cert and --cert-file",
        "verify --cert 1 --signature -    | 2 | true  | cannot both come from standard input",
        "show 0                           | 2 | false | no certificate 0: the store lists 1 to ",
        "show 12345678901234              | 2 | false | no certificate 12345678901234:",
        "sign --cert Nobody               | 2 | false | no certificate's subject contains 'Nobody'",
        "show twin                        | 2 | false | 2 subjects contain 'twin'",
        "digest /no/such/file             | 1 | false | cannot read /no/such/file: no such file",
        "sign --cert CN=Signer --in /no/such | 1 | false | cannot read /no/such: no such file",
        "verify --cert-file /no/cert --signature s | 1 | false | cannot read /no/cert: no such file",
        "verify --cert-file /etc/passwd --signature s | 1 | false | is not an X.509 certificate",
    })
    void badCommandLinesAndMissingFiles(String line, int status, boolean usage, String message) {
        Result r = run(line.isEmpty() ? new String[0] : line.split(" "));
        assertEquals(status, r.status(), r.err());
        assertTrue(r.err().startsWith("ostrel-sign: ") && r.err().contains(message), r.err());
        assertEquals(usage, r.err().contains("usage: ostrel-sign"), r.err());
        assertEquals("", r.out());
    }

    /** The library's code and its meaning, for a key the library cannot sign with. */
    @Test
    void libraryFailurePrintsCodeAndMeaning() {
        Result r = run("data".getBytes(), "sign", "--cert", "Elliptic");
        assertEquals(1, r.status());
        assertEquals("ostrel-sign: signing with certificate " + indexOf("Elliptic") + " failed: code 13: "
                + "the provider has neither an exchange key nor a signature key (e.g. a non-RSA key)\n",
                r.err());
        assertEquals(0, r.raw().length);
    }

    /** Every certificate with a key, in the table and in the JSON, as Java itself reads it. */
    @Test
    void listShowsEveryCertificateWithAKey() throws Exception {
        Result table = run("list");
        Result json = run("list", "--json");
        assertEquals(0, table.status(), table.err());
        assertEquals(0, json.status(), json.err());
        List<Fixture.Entry> keyed = Fixture.keyed();
        List<String> onToken = Fixture.tokenEntries().stream().map(Fixture.Entry::name).toList();
        assertEquals(keyed.size() + 1, table.out().lines().count(), table.out());
        assertEquals(keyed.size(), count(json.out(), "\"index\": "));
        assertTrue(json.out().startsWith("{\n  \"certificates\": [\n    {\n      \"index\": 1,\n"));
        assertTrue(json.out().endsWith("\n    }\n  ]\n}\n"));
        long now = System.currentTimeMillis();
        for (Fixture.Entry e : keyed) {
            X509Certificate x = e.x509();
            String subject = name(Fixture.NATIVE.getSubjectDn(e.der()));
            String issuer = name(Fixture.NATIVE.getIssuerDN(e.der()));
            String notBefore = x.getNotBefore().toInstant().toString();
            String notAfter = x.getNotAfter().toInstant().toString();
            String serial = HexFormat.of().withUpperCase().formatHex(x.getSerialNumber().toByteArray());
            List<String> usages = usages(x);
            String status = now > x.getNotAfter().getTime() ? "expired" : "valid";
            String token = onToken.contains(e.name()) ? "Ostrel Token" : "NSS database";
            String row = "[0-9]+\\s+" + String.join("\\s+", List.of(Pattern.quote(Main.shown(subject)),
                    Pattern.quote(Main.shown(issuer)),
                    notBefore, notAfter, status.equals("expired") ? "EXPIRED" : "valid", serial, token,
                    usages == null ? Pattern.quote("(none stated)") : String.join(", ", usages)));
            assertTrue(Pattern.compile("^" + row + "$", Pattern.MULTILINE).matcher(table.out()).find(),
                    e.name() + " row " + row + " missing from\n" + table.out());
            String object = String.format("""
                          "subject": %s,
                          "issuer": %s,
                          "notBefore": "%s",
                          "notAfter": "%s",
                          "status": "%s",
                          "serial": "%s",
                          "token": "%s",
                          "keyUsage": %s
                        }
                    """, Json.string(subject), Json.string(issuer), notBefore, notAfter, status,
                    serial, token, Json.strings(usages)).stripTrailing();
            assertTrue(json.out().contains(object), e.name() + " missing from JSON:\n" + object);
        }
    }

    /** The fixture's store: its database, SoftHSM and its token, in both forms; nothing to advise. */
    @Test
    void tokensShowsTheDatabaseTheModuleAndTheToken() throws Exception {
        String db = System.getProperty("ostrel.home") + "/.pki/nssdb";
        long inDatabase = Fixture.entries().stream().filter(Fixture.Entry::hasKey).count();
        long onToken = Fixture.tokenEntries().stream().filter(Fixture.Entry::hasKey).count();
        Result text = run("tokens");
        assertEquals(0, text.status(), text.err());
        for (String line : List.of("Database: " + Pattern.quote(db), "  chosen because: ~/.pki/nssdb exists",
                "  state: +open", "  password: +none",
                "  certificates: +" + inDatabase + " listed",
                "Module \"SoftHSM\": /usr/lib/softhsm/libsofthsm2\\.so", "  state: +loaded",
                "  Slot \"SoftHSM slot ID 0x[0-9a-f]+\": token present", "    label: +Ostrel Token",
                "    manufacturer: +SoftHSM project", "    model: +SoftHSM v2", "    serial: +[0-9a-f]{16}",
                "    login: +needs a PIN; (not )?logged in",
                "    PIN counters: +count low: no, final try: no, locked: no", "    PIN pad: +no",
                "    certificates: +" + onToken + " listed", "Advice: none; nothing looks wrong\\.")) {
            assertTrue(Pattern.compile("^" + line + "$", Pattern.MULTILINE).matcher(text.out()).find(),
                    line + " missing from\n" + text.out());
        }

        Result json = run("tokens", "--json");
        assertEquals(0, json.status(), json.err());
        assertTrue(json.out().startsWith(String.format("""
                {
                  "database": {
                    "path": %s,
                    "reason": "~/.pki/nssdb exists",
                    "state": "open",
                    "error": null,
                    "slot": {
                """, Json.string(db))), json.out());
        for (String piece : List.of("\"certificates\": " + inDatabase + "\n",
                """
                      "name": "SoftHSM",
                      "library": "/usr/lib/softhsm/libsofthsm2.so",
                      "state": "loaded",
                      "error": null,
                      "slots": [
                """,
                "\"label\": \"Ostrel Token\",\n", "\"loginRequired\": true,\n",
                "\"pinLocked\": false,\n", "\"certificates\": " + onToken + "\n",
                "\"tokenPresent\": false,\n          \"token\": null\n")) {
            assertTrue(json.out().contains(piece), piece + " missing from\n" + json.out());
        }
        assertTrue(json.out().endsWith("\n  ],\n  \"advice\": []\n}\n"), json.out());
    }

    /** The help names the database in use and why, as the layer chooses it. */
    @Test
    void helpNamesTheDatabaseInUse() {
        Result r = run("help");
        assertEquals(0, r.status(), r.err());
        assertTrue(r.out().contains("The store is the NSS database " + System.getProperty("ostrel.home")
                + "/.pki/nssdb (~/.pki/nssdb exists).\n"), r.out());
    }

    @Test
    void showGivesEveryAttributeAndTheThumbprint() throws Exception {
        Fixture.Entry signer = Fixture.get("signer");
        Result r = run("show", "CN=signer");
        assertEquals(0, r.status(), r.err());
        String thumbprint = HexFormat.of().formatHex(MessageDigest.getInstance("SHA-1").digest(signer.der()));
        for (String line : List.of("Certificate " + indexOf("CN=Signer") + " of ",
                "Subject:           C=ES, O=Ostrel Test, CN=Signer\n", "Version:           3\n",
                "Serial number:     1001\n", "Status:            valid\n",
                "Key usage:         digitalSignature, keyEncipherment (0x005)\n",
                "Public key:        RSA, 2048 bits\n", "SHA-1 thumbprint:  " + thumbprint + "\n")) {
            assertTrue(r.out().contains(line), line + " missing from\n" + r.out());
        }
        assertEquals(run("show", String.valueOf(indexOf("CN=Signer"))).out(), r.out());
    }

    @Test
    void digestIsSha1InHex() throws Exception {
        byte[] data = "digest me\n".getBytes();
        String expected = HexFormat.of().formatHex(MessageDigest.getInstance("SHA-1").digest(data)) + "\n";
        assertEquals(expected, run("digest", file("d", data).toString()).out());
        assertEquals(expected, run(data, "digest").out());
        assertEquals(expected, run(data, "digest", "-").out());
    }

    /** Signs raw and in base64, to stdout and to a file; checks each independently, then with verify. */
    @ParameterizedTest
    @CsvSource({"v1, Version One, false, false", "sigonly, Signature Only, true, false",
        "expired, CN=Expired, false, true", "signer, CN=Signer, true, true"})
    void signThenVerify(String name, String subject, boolean base64, boolean toFile) throws Exception {
        byte[] data = ("sign me with " + subject).getBytes();
        Path in = file("data", data);
        Path out = dir.resolve("sig");
        Files.deleteIfExists(out);
        List<String> args = new ArrayList<>(List.of("sign", "--cert", subject, "--in", in.toString()));
        if (base64) {
            args.add("--base64");
        }
        if (toFile) {
            args.addAll(List.of("--out", out.toString()));
        }
        Result r = run(args.toArray(String[]::new));
        assertEquals(0, r.status(), r.err());
        assertTrue(r.err().contains("checked with the certificate's public key"), r.err());
        byte[] written = toFile ? Files.readAllBytes(out) : r.raw();
        byte[] signature = base64 ? Base64.getMimeDecoder().decode(written) : written;

        X509Certificate cert = Fixture.get(name).x509();
        Signature java = Signature.getInstance("SHA1withRSA");
        java.initVerify(cert.getPublicKey());
        java.update(data);
        assertTrue(java.verify(signature));

        Path sig = file("sig", written);
        String[] certArgs = {"--cert", subject};
        String[] fileArgs = {"--cert-file", file("cert.der", cert.getEncoded()).toString()};
        for (String[] by : List.of(certArgs, fileArgs)) {
            List<String> verify = new ArrayList<>(List.of("verify", "--signature", sig.toString()));
            verify.addAll(List.of(by));
            if (base64) {
                verify.add("--base64");
            }
            Result ok = run(data, verify.toArray(String[]::new));
            assertEquals(0, ok.status(), ok.err());
            assertTrue(ok.out().startsWith("Signature OK"), ok.out());
            byte[] tampered = data.clone();
            tampered[0] ^= 1;
            Result bad = run(tampered, verify.toArray(String[]::new));
            assertEquals(1, bad.status());
            assertTrue(bad.err().contains("the signature does NOT match"), bad.err());
        }
    }

    @ParameterizedTest
    @CsvSource(delimiter = '|', quoteCharacter = '`', value = {
        "plain       | \"plain\"",
        "a\"b\\c     | \"a\\\"b\\\\c\"",
        "`tab\tnl\n` | \"tab\\tnl\\n\"",
        "`\u0001\u007f` | \"\\u0001\\u007f\"",
        "Peña €      | \"Pe\\u00f1a \\u20ac\"",
        "\ud83d\ude00 | \"\\ud83d\\ude00\"",
    })
    void jsonStringsAreEscapedToAscii(String value, String expected) {
        assertEquals(expected, Json.string(value));
    }

    private static int indexOf(String subjectPiece) {
        Matcher m = Pattern.compile("(?m)^([0-9]+) .*" + Pattern.quote(subjectPiece)).matcher(run("list").out());
        assertTrue(m.find());
        return Integer.parseInt(m.group(1));
    }

    private static String name(String rendered) {
        return rendered.substring(0, rendered.length() - 1);
    }

    private static List<String> usages(X509Certificate x) {
        boolean[] bits = x.getKeyUsage();
        if (bits == null) {
            return null;
        }
        List<String> names = new ArrayList<>();
        for (int i = 0; i < bits.length; i++) {
            if (bits[i]) {
                names.add(CertInfo.KEY_USAGES[i]);
            }
        }
        return names;
    }

    private static int count(String s, String piece) {
        return s.split(Pattern.quote(piece), -1).length - 1;
    }
}
