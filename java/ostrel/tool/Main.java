package ostrel.tool;

import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.security.GeneralSecurityException;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.PublicKey;
import java.security.Signature;
import java.security.SignatureException;
import java.security.cert.X509Certificate;
import java.security.interfaces.ECPublicKey;
import java.security.interfaces.RSAPublicKey;
import java.util.ArrayList;
import java.util.Base64;
import java.util.HashMap;
import java.util.HexFormat;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.function.Function;
import ostrel.client.applet.msprovider.OstrelSignatureMS;

/** ostrel-sign: the personal certificates, signing and verifying, from the command line. */
public final class Main {
    private static final String USAGE = """
            usage: ostrel-sign COMMAND [OPTIONS]
              list [--json]        the personal certificates that have a private key, and the
                                   token each is on
              show CERT            every attribute of one certificate, and its SHA-1 thumbprint
              sign --cert CERT [--in FILE] [--out FILE] [--base64]
                                   sign FILE (default: standard input), check the signature at
                                   once, write it (default: standard output), raw or in base64
              verify (--cert CERT | --cert-file FILE) --signature FILE [--in FILE] [--base64]
                                   check a signature of FILE (default: standard input)
              digest [FILE]        SHA-1 of FILE (default: standard input), in hex
              tokens [--json]      the database, its modules, readers and tokens, and advice
                                   when something is wrong (never logs in)
              help                 this text
            CERT is a number from 'list', or a piece of the subject that only one subject contains
            (case ignored). The store is %s
            Exit status: 0 success, 1 failure or a signature that does not match, 2 bad usage.
            """;

    private static final Map<String, String> SYNTAX = Map.of(
            "list", "list [--json]",
            "show", "show CERT",
            "sign", "sign --cert CERT [--in FILE] [--out FILE] [--base64]",
            "verify", "verify (--cert CERT | --cert-file FILE) --signature FILE [--in FILE] [--base64]",
            "digest", "digest [FILE]",
            "tokens", "tokens [--json]");

    /**
     * How long `tokens` waits for a module to start before it reports the module as loading; the
     * system property ostrel.tool.moduleWait (seconds) shortens it for the tests.
     */
    static final long MODULE_WAIT_SECONDS = 10;

    private final InputStream in;
    private final PrintStream out;
    private final PrintStream err;
    private OstrelSignatureMS lib;
    private List<CertInfo> certs;
    private Report report;

    private Main(InputStream in, PrintStream out, PrintStream err) {
        this.in = in;
        this.out = out;
        this.err = err;
    }

    public static void main(String[] args) {
        System.exit(run(args, System.in, System.out, System.err));
    }

    /** Runs one command line; returns the exit status. */
    public static int run(String[] args, InputStream in, PrintStream out, PrintStream err) {
        Main main = new Main(in, out, err);
        try {
            return main.dispatch(args);
        } catch (Failure f) {
            err.println("ostrel-sign: " + f.getMessage());
            if (f.showUsage) {
                String syntax = args.length == 0 ? null : SYNTAX.get(args[0]);
                err.print(syntax == null ? usage()
                        : "usage: ostrel-sign " + syntax + "\n(all commands: ostrel-sign help)\n");
            }
            return f.status;
        } finally {
            out.flush();
        }
    }

    private int dispatch(String[] argv) throws Failure {
        if (argv.length == 0) {
            throw Failure.usage("no command given");
        }
        List<String> rest = List.of(argv).subList(1, argv.length);
        Set<String> none = Set.of();
        switch (argv[0]) {
            case "list":
                return list(Args.parse(rest, none, Set.of("--json"), 0, 0));
            case "show":
                return show(Args.parse(rest, none, none, 1, 1));
            case "sign":
                return sign(Args.parse(rest, Set.of("--cert", "--in", "--out"), Set.of("--base64"), 0, 0));
            case "verify":
                return verify(Args.parse(rest, Set.of("--cert", "--cert-file", "--in", "--signature"),
                        Set.of("--base64"), 0, 0));
            case "digest":
                return digest(Args.parse(rest, none, none, 0, 1));
            case "tokens":
                return tokens(Args.parse(rest, none, Set.of("--json"), 0, 0));
            case "help", "-h", "--help":
                out.print(usage());
                return 0;
            default:
                throw Failure.usage("unknown command '" + argv[0] + "'");
        }
    }

    // ---- commands

    private int list(Args a) throws Failure {
        List<CertInfo> all = store();
        // After the listing, so that the report's tokens are those of the store just listed.
        int status = 0;
        Map<String, Report.Certificate> onTokens = Map.of();
        try {
            onTokens = report().certificates();
        } catch (Failure f) {
            err.println("ostrel-sign: the token of each certificate is unknown: " + f.getMessage());
            status = Failure.FAILED;
        }
        Map<String, Report.Certificate> found = onTokens;
        Function<CertInfo, String> token = c -> {
            Report.Certificate on = found.get(sha1(c.der()));
            return on == null ? null : on.shownToken();  // null: added since the listing
        };
        long now = System.currentTimeMillis();
        if (a.has("--json")) {
            out.print(json(all, token, now));
        } else if (all.isEmpty()) {
            Report.Database db = report == null ? null : report.database();
            if (db == null || db.path() == null || db.path().isEmpty()) {
                out.println("No certificate with a private key: the store is empty.");
            } else if (db.state().equals("missing")) {
                out.println("No certificate with a private key: there is no NSS database at " + db.path()
                        + " (the place in use because " + db.reason() + ").\n'ostrel-sign tokens' tells"
                        + " how to create one.");
            } else {
                out.println("No certificate with a private key in the NSS database " + db.path()
                        + " (the one in use because " + db.reason() + ").\n'ostrel-sign tokens' shows"
                        + " its modules and tokens.");
            }
        } else {
            List<String[]> rows = new ArrayList<>();
            rows.add(new String[] {"#", "Subject", "Issuer", "Valid from (UTC)", "Valid until (UTC)",
                "Status", "Serial", "Token", "Key usage"});
            for (int i = 0; i < all.size(); i++) {
                CertInfo c = all.get(i);
                rows.add(new String[] {String.valueOf(i + 1), shown(c.subject()), shown(c.issuer()),
                    shown(CertInfo.iso(c.notBefore())), shown(CertInfo.iso(c.notAfter())),
                    CertInfo.statusText(c.status(now)), shown(c.serialHex()), shown(token.apply(c)),
                    usageText(c)});
            }
            table(rows);
        }
        return Math.max(status, reportErrors(all));
    }

    private int tokens(Args a) throws Failure {
        Report r = report();
        List<Advice.Item> advice = Advice.of(r, Advice.Host.here());
        out.print(a.has("--json") ? TokensView.json(r, advice) : TokensView.text(r, advice));
        return 0;
    }

    private int show(Args a) throws Failure {
        int n = select(a.operands.get(0));
        CertInfo c = certs.get(n - 1);
        byte[] thumbprint = lib().digest(c.der(), "SHA-1");
        int thumbprintCode = lib.getLastErrorCode();
        long now = System.currentTimeMillis();
        out.println("Certificate " + n + " of " + certs.size());
        field("Subject", shown(c.subject()));
        field("Issuer", shown(c.issuer()));
        field("Version", shown(c.version() == null ? null : c.version().toString()));
        field("Serial number", shown(c.serialHex()));
        field("Valid from", shown(CertInfo.iso(c.notBefore())));
        field("Valid until", shown(CertInfo.iso(c.notAfter())));
        field("Status", CertInfo.statusText(c.status(now)));
        field("Key usage", c.keyUsage() == -1 ? usageText(c)
                : usageText(c) + String.format(" (0x%03x)", c.keyUsage()));
        String key;
        try {
            key = describeKey(c.x509().getPublicKey());
        } catch (Failure f) {
            key = "? (Java cannot read this certificate)";
        }
        field("Public key", key);
        field("SHA-1 thumbprint", thumbprint == null ? "?" : HexFormat.of().formatHex(thumbprint));
        field("Encoded size", c.der().length + " bytes (DER)");
        int status = reportErrors(List.of(c));
        if (thumbprint == null) {
            err.println("ostrel-sign: certificate " + n + ", thumbprint: " + Failure.describe(thumbprintCode));
            status = Failure.FAILED;
        }
        return status;
    }

    private int sign(Args a) throws Failure {
        int n = select(a.require("--cert"));
        CertInfo c = certs.get(n - 1);
        X509Certificate x509 = c.x509();
        byte[] data = input(a.get("--in"));
        byte[] signature = lib().firmar(data, c.der());
        if (signature == null) {
            throw Failure.library("signing with certificate " + n + " failed", lib.getLastErrorCode());
        }
        if (!verifies(x509, data, signature)) {
            throw Failure.failed("the library's signature does not verify with certificate " + n
                    + "'s public key; nothing written");
        }
        byte[] written = a.has("--base64")
                ? (Base64.getEncoder().encodeToString(signature) + "\n").getBytes(StandardCharsets.US_ASCII)
                : signature;
        String to = a.get("--out");
        if (to == null || to.equals("-")) {
            out.write(written, 0, written.length);
            out.flush();
        } else {
            write(to, written);
        }
        err.println("Signed " + data.length + " bytes with certificate " + n + " (" + shown(c.subject())
                + "): " + signature.length + "-byte SHA1withRSA signature"
                + (to == null || to.equals("-") ? "" : " written to " + to)
                + ", checked with the certificate's public key.");
        return 0;
    }

    private int verify(Args a) throws Failure {
        if (a.has("--cert") == a.has("--cert-file")) {
            throw Failure.usage("verify needs exactly one of --cert and --cert-file");
        }
        String sigPath = a.require("--signature");
        if (sigPath.equals("-") && isStdin(a.get("--in"))) {
            throw Failure.usage("the signature and the data cannot both come from standard input");
        }
        X509Certificate x509;
        String signer;
        if (a.has("--cert")) {
            int n = select(a.get("--cert"));
            x509 = certs.get(n - 1).x509();
            signer = "certificate " + n + " (" + shown(certs.get(n - 1).subject()) + ")";
        } else {
            x509 = CertInfo.parse(read(a.get("--cert-file")), a.get("--cert-file"));
            signer = "the certificate in " + a.get("--cert-file") + " ("
                    + shown(x509.getSubjectX500Principal().getName()) + ")";
        }
        byte[] signature = sigPath.equals("-") ? stdin() : read(sigPath);
        if (a.has("--base64")) {
            try {
                signature = Base64.getDecoder().decode(
                        new String(signature, StandardCharsets.US_ASCII).replaceAll("\\s", ""));
            } catch (IllegalArgumentException e) {
                throw Failure.failed(sigPath + " is not base64: " + e.getMessage());
            }
        }
        byte[] data = input(a.get("--in"));
        if (!verifies(x509, data, signature)) {
            err.println("ostrel-sign: the signature does NOT match: either the data changed or it was "
                    + "not signed with the key of " + signer);
            return Failure.FAILED;
        }
        out.println("Signature OK: the data was signed with the key of " + signer + ".");
        return 0;
    }

    private int digest(Args a) throws Failure {
        byte[] hash = lib().digest(input(a.operands.isEmpty() ? null : a.operands.get(0)), "SHA-1");
        if (hash == null) {
            throw Failure.library("SHA-1 failed", lib.getLastErrorCode());
        }
        out.println(HexFormat.of().formatHex(hash));
        return 0;
    }

    // ---- the store

    /** The usage text, naming the database in use; found without starting NSS. */
    static String usage() {
        String store;
        try {
            List<String> place = Tokens.database();
            store = place.get(0).isEmpty() ? "empty: " + place.get(1) + "."
                    : "the NSS database " + place.get(0) + " (" + place.get(1) + ").";
        } catch (LinkageError e) {
            store = "the NSS database that NSS's rule picks: ~/.pki/nssdb, else"
                    + " $XDG_DATA_HOME/pki/nssdb, else ~/.local/share/pki/nssdb.";
        }
        return String.format(USAGE, store);
    }

    /**
     * The store's report. The call that loads a module waits for the module's C_Initialize, for
     * good when it never returns: after MODULE_WAIT_SECONDS a second call, which the layer serves
     * without the module, reports it as still loading.
     */
    private Report report() throws Failure {
        if (report == null) {
            try {
                CompletableFuture<List<String>> first = new CompletableFuture<>();
                Thread loader = new Thread(() -> {
                    try {
                        first.complete(Tokens.records());
                    } catch (Throwable t) {
                        first.completeExceptionally(t);
                    }
                }, "ostrel-sign report");
                loader.setDaemon(true);
                loader.start();
                List<String> lines;
                try {
                    lines = first.get(Long.getLong("ostrel.tool.moduleWait", MODULE_WAIT_SECONDS),
                            TimeUnit.SECONDS);
                } catch (TimeoutException e) {
                    lines = Tokens.records();
                } catch (ExecutionException e) {
                    if (e.getCause() instanceof Error error) {
                        throw error;
                    }
                    throw new IllegalStateException(e.getCause());
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    throw Failure.failed("interrupted");
                }
                report = Report.parse(lines);
            } catch (LinkageError e) {
                throw Failure.failed("cannot load the tool's native library (" + e.getMessage()
                        + "); java.library.path must name the directory of libostrel_tokens.so");
            }
        }
        return report;
    }

    private static String sha1(byte[] der) {
        try {
            return HexFormat.of().formatHex(MessageDigest.getInstance("SHA-1").digest(der));
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);  // every Java runtime has SHA-1
        }
    }

    private OstrelSignatureMS lib() throws Failure {
        if (lib == null) {
            try {
                lib = new OstrelSignatureMS();
            } catch (LinkageError e) {
                throw Failure.failed("cannot load the native library (" + e.getMessage()
                        + "); java.library.path must name the directory of libOstrelSignatureMS_1_0.so");
            }
        }
        return lib;
    }

    /** The store's certificates with keys, in the order their numbers follow. */
    private List<CertInfo> store() throws Failure {
        if (certs == null) {
            byte[][] ders = lib().getCertificatesInSystemStore(null);
            if (ders == null) {
                throw Failure.library("listing the personal store failed", lib.getLastErrorCode());
            }
            List<CertInfo> read = new ArrayList<>();
            for (byte[] der : ders) {
                read.add(CertInfo.read(lib, der));
            }
            read.sort(CertInfo.ORDER);
            certs = read;
        }
        return certs;
    }

    /** The number (1-based) of the certificate CERT names: a number, or a unique subject piece. */
    private int select(String spec) throws Failure {
        List<CertInfo> all = store();
        if (spec.matches("[0-9]+")) {
            int n = spec.length() > 9 ? -1 : Integer.parseInt(spec);
            if (n < 1 || n > all.size()) {
                throw Failure.selection("no certificate " + spec + ": "
                        + (all.isEmpty() ? "the store lists none" : "the store lists 1 to " + all.size()));
            }
            return n;
        }
        String needle = spec.toLowerCase(Locale.ROOT);
        List<Integer> hits = new ArrayList<>();
        for (int i = 0; i < all.size(); i++) {
            String subject = all.get(i).subject();
            if (subject != null && subject.toLowerCase(Locale.ROOT).contains(needle)) {
                hits.add(i + 1);
            }
        }
        if (hits.isEmpty()) {
            throw Failure.selection("no certificate's subject contains '" + spec + "' (see 'ostrel-sign list')");
        }
        if (hits.size() > 1) {
            StringBuilder b = new StringBuilder(hits.size() + " subjects contain '" + spec
                    + "'; choose one by number:");
            for (int n : hits) {
                b.append("\n  ").append(n).append("  ").append(shown(all.get(n - 1).subject()));
            }
            throw Failure.selection(b.toString());
        }
        return hits.get(0);
    }

    private int reportErrors(List<CertInfo> shownCerts) {
        int status = 0;
        for (CertInfo c : shownCerts) {
            for (CertInfo.AttributeError e : c.errors()) {
                err.println("ostrel-sign: certificate " + (certs.indexOf(c) + 1) + ", " + e.describe());
                status = Failure.FAILED;
            }
        }
        return status;
    }

    // ---- output

    /** The JSON shape is documented in README.md; keep the two in step. */
    static String json(List<CertInfo> all, Function<CertInfo, String> token, long now) {
        StringBuilder b = new StringBuilder("{\n  \"certificates\": [");
        for (int i = 0; i < all.size(); i++) {
            CertInfo c = all.get(i);
            b.append(i == 0 ? "\n" : ",\n").append("    {\n");
            b.append("      \"index\": ").append(i + 1).append(",\n");
            b.append("      \"subject\": ").append(Json.string(c.subject())).append(",\n");
            b.append("      \"issuer\": ").append(Json.string(c.issuer())).append(",\n");
            b.append("      \"notBefore\": ").append(Json.string(CertInfo.iso(c.notBefore()))).append(",\n");
            b.append("      \"notAfter\": ").append(Json.string(CertInfo.iso(c.notAfter()))).append(",\n");
            b.append("      \"status\": ").append(Json.string(c.status(now))).append(",\n");
            b.append("      \"serial\": ").append(Json.string(c.serialHex())).append(",\n");
            b.append("      \"token\": ").append(Json.string(token.apply(c))).append(",\n");
            b.append("      \"keyUsage\": ").append(Json.strings(c.keyUsageNames()));
            if (!c.errors().isEmpty()) {
                b.append(",\n      \"errors\": [");
                for (int e = 0; e < c.errors().size(); e++) {
                    CertInfo.AttributeError error = c.errors().get(e);
                    b.append(e == 0 ? "" : ", ").append("{\"attribute\": ").append(Json.string(error.attribute()))
                            .append(", \"code\": ").append(error.code()).append(", \"meaning\": ")
                            .append(Json.string(Failure.meaning(error.code()))).append('}');
                }
                b.append(']');
            }
            b.append("\n    }");
        }
        return b.append(all.isEmpty() ? "]\n}\n" : "\n  ]\n}\n").toString();
    }

    private void table(List<String[]> rows) {
        int[] widths = new int[rows.get(0).length];
        for (String[] row : rows) {
            for (int i = 0; i < row.length; i++) {
                widths[i] = Math.max(widths[i], row[i].length());
            }
        }
        for (String[] row : rows) {
            StringBuilder line = new StringBuilder();
            for (int i = 0; i < row.length; i++) {
                line.append(i == 0 ? "" : "  ").append(i == row.length - 1 ? row[i]
                        : String.format("%-" + widths[i] + "s", row[i]));
            }
            out.println(line.toString().stripTrailing());
        }
    }

    private void field(String name, String value) {
        out.printf("  %-18s %s%n", name + ":", value);
    }

    private static String usageText(CertInfo c) {
        List<String> names = c.keyUsageNames();
        if (names == null) {
            return c.errors().stream().anyMatch(e -> e.attribute().equals("keyUsage")) ? "?" : "(none stated)";
        }
        return names.isEmpty() ? "(empty)" : String.join(", ", names);
    }

    /** Names may hold anything; control characters would break the layout. */
    static String shown(String s) {
        return s == null ? "?" : s.replaceAll("\\p{Cntrl}", "?");
    }

    private static String describeKey(PublicKey key) {
        if (key instanceof RSAPublicKey rsa) {
            return "RSA, " + rsa.getModulus().bitLength() + " bits";
        }
        if (key instanceof ECPublicKey ec) {
            return "EC, " + ec.getParams().getCurve().getField().getFieldSize() + " bits (cannot sign: RSA only)";
        }
        return key.getAlgorithm() + " (cannot sign: RSA only)";
    }

    // ---- verifying and files

    static boolean verifies(X509Certificate cert, byte[] data, byte[] signature) throws Failure {
        PublicKey key = cert.getPublicKey();
        if (!key.getAlgorithm().equals("RSA")) {
            throw Failure.failed("the certificate's key is " + key.getAlgorithm()
                    + ", not RSA; only SHA1withRSA signatures are made and checked");
        }
        try {
            Signature verifier = Signature.getInstance("SHA1withRSA");
            verifier.initVerify(key);
            verifier.update(data);
            return verifier.verify(signature);
        } catch (SignatureException e) {
            return false;  // malformed, e.g. the wrong length for the key
        } catch (GeneralSecurityException e) {
            throw Failure.failed("cannot check the signature: " + e.getMessage());
        }
    }

    private static boolean isStdin(String path) {
        return path == null || path.equals("-");
    }

    private byte[] input(String path) throws Failure {
        return isStdin(path) ? stdin() : read(path);
    }

    private byte[] stdin() throws Failure {
        try {
            return in.readAllBytes();
        } catch (IOException e) {
            throw Failure.failed("cannot read standard input: " + e.getMessage());
        }
    }

    private static byte[] read(String path) throws Failure {
        try {
            return Files.readAllBytes(Path.of(path));
        } catch (NoSuchFileException e) {
            throw Failure.failed("cannot read " + path + ": no such file");
        } catch (AccessDeniedException e) {
            throw Failure.failed("cannot read " + path + ": permission denied");
        } catch (IOException | RuntimeException e) {
            throw Failure.failed("cannot read " + path + ": " + e.getMessage());
        }
    }

    private static void write(String path, byte[] bytes) throws Failure {
        try {
            Files.write(Path.of(path), bytes);
        } catch (IOException | RuntimeException e) {
            throw Failure.failed("cannot write " + path + ": " + e.getMessage());
        }
    }

    /** The arguments after the command: --name VALUE options, --flag flags and operands. */
    private static final class Args {
        final Map<String, String> options = new HashMap<>();
        final List<String> operands = new ArrayList<>();

        static Args parse(List<String> args, Set<String> valued, Set<String> flags, int min, int max)
                throws Failure {
            Args a = new Args();
            boolean optionsEnd = false;
            for (int i = 0; i < args.size(); i++) {
                String arg = args.get(i);
                if (optionsEnd || !arg.startsWith("--")) {
                    a.operands.add(arg);
                    continue;
                }
                if (arg.equals("--")) {
                    optionsEnd = true;
                    continue;
                }
                int eq = arg.indexOf('=');
                String name = eq < 0 ? arg : arg.substring(0, eq);
                String value;
                if (flags.contains(name)) {
                    if (eq >= 0) {
                        throw Failure.usage(name + " takes no value");
                    }
                    value = "";
                } else if (!valued.contains(name)) {
                    throw Failure.usage("unknown option " + name);
                } else if (eq >= 0) {
                    value = arg.substring(eq + 1);
                } else if (i + 1 < args.size()) {
                    value = args.get(++i);
                } else {
                    throw Failure.usage(name + " needs a value");
                }
                if (a.options.put(name, value) != null) {
                    throw Failure.usage(name + " given twice");
                }
            }
            if (a.operands.size() < min) {
                throw Failure.usage("an argument is missing");
            }
            if (a.operands.size() > max) {
                throw Failure.usage("unexpected argument '" + a.operands.get(max) + "'");
            }
            return a;
        }

        boolean has(String name) {
            return options.containsKey(name);
        }

        String get(String name) {
            return options.get(name);
        }

        String require(String name) throws Failure {
            if (!has(name)) {
                throw Failure.usage(name + " is required");
            }
            return get(name);
        }
    }
}
