package ostrel.tool;

import java.io.ByteArrayInputStream;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.HexFormat;
import java.util.List;
import ostrel.client.applet.msprovider.OstrelSignatureMS;

/**
 * One certificate as the library describes it. An attribute the library failed to give is null
 * and its failure is in {@code errors}; a key usage of -1 means the certificate states none.
 */
record CertInfo(byte[] der, String subject, String issuer, Long notBefore, Long notAfter,
        Integer version, byte[] serial, int keyUsage, List<AttributeError> errors) {

    record AttributeError(String attribute, int code) {
        String describe() {
            return attribute + ": " + Failure.describe(code);
        }
    }

    static final String[] KEY_USAGES = {"digitalSignature", "nonRepudiation", "keyEncipherment",
        "dataEncipherment", "keyAgreement", "keyCertSign", "cRLSign", "encipherOnly",
        "decipherOnly"};

    /** By subject, then start of validity, then encoding: numbers do not depend on NSS's order. */
    static final Comparator<CertInfo> ORDER = Comparator
            .comparing(CertInfo::subject, Comparator.nullsLast(String.CASE_INSENSITIVE_ORDER))
            .thenComparing(CertInfo::notBefore, Comparator.nullsLast(Comparator.naturalOrder()))
            .thenComparing(CertInfo::der, Arrays::compare);

    static CertInfo read(OstrelSignatureMS lib, byte[] der) {
        List<AttributeError> errors = new ArrayList<>();
        String subject = name(lib.getSubjectDn(der));
        check(lib, errors, "subject", subject != null);
        String issuer = name(lib.getIssuerDN(der));
        check(lib, errors, "issuer", issuer != null);
        long notBefore = lib.getNotBefore(der);
        check(lib, errors, "notBefore", notBefore != -1);
        long notAfter = lib.getNotAfter(der);
        check(lib, errors, "notAfter", notAfter != -1);
        int version = lib.getCertificateVersion(der);
        check(lib, errors, "version", version != -1);
        byte[] serial = lib.getSerialNumber(der);
        check(lib, errors, "serial", serial != null);
        // -1 with code 19 is a certificate without the extension; any other code is a failure.
        int keyUsage = lib.getKeyUsage(der);
        check(lib, errors, "keyUsage", keyUsage != -1 || lib.getLastErrorCode() == 19);
        return new CertInfo(der, subject, issuer, notBefore == -1 ? null : notBefore,
                notAfter == -1 ? null : notAfter, version == -1 ? null : version,
                serial == null ? null : reversed(serial), keyUsage, List.copyOf(errors));
    }

    private static void check(OstrelSignatureMS lib, List<AttributeError> errors, String attribute,
            boolean ok) {
        if (!ok) {
            errors.add(new AttributeError(attribute, lib.getLastErrorCode()));
        }
    }

    /** The library's rendering ends with U+0000, as a C string would. */
    private static String name(String rendered) {
        return rendered != null && rendered.endsWith("\0")
                ? rendered.substring(0, rendered.length() - 1) : rendered;
    }

    private static byte[] reversed(byte[] bytes) {
        byte[] r = new byte[bytes.length];
        for (int i = 0; i < bytes.length; i++) {
            r[i] = bytes[bytes.length - 1 - i];
        }
        return r;
    }

    static String iso(Long millis) {
        return millis == null ? null : Instant.ofEpochMilli(millis).toString();
    }

    String serialHex() {
        return serial == null ? null : HexFormat.of().withUpperCase().formatHex(serial);
    }

    /** "valid", "expired", "notYetValid", or "unknown" when the library gave no dates. */
    String status(long now) {
        if (notBefore == null || notAfter == null) {
            return "unknown";
        }
        return now > notAfter ? "expired" : now < notBefore ? "notYetValid" : "valid";
    }

    static String statusText(String status) {
        return switch (status) {
            case "expired" -> "EXPIRED";
            case "notYetValid" -> "NOT YET VALID";
            default -> status;
        };
    }

    /** Names of the key usages stated; null when the certificate states none. */
    List<String> keyUsageNames() {
        if (keyUsage == -1) {
            return null;
        }
        List<String> names = new ArrayList<>();
        for (int bit = 0; bit < KEY_USAGES.length; bit++) {
            if ((keyUsage & (1 << bit)) != 0) {
                names.add(KEY_USAGES[bit]);
            }
        }
        return names;
    }

    /** Java's own reading of the certificate, for the public key and for verifying. */
    X509Certificate x509() throws Failure {
        return parse(der, "the certificate");
    }

    static X509Certificate parse(byte[] encoded, String what) throws Failure {
        try {
            return (X509Certificate) CertificateFactory.getInstance("X.509")
                    .generateCertificate(new ByteArrayInputStream(encoded));
        } catch (CertificateException | ClassCastException e) {
            throw Failure.failed(what + " is not an X.509 certificate (DER or PEM)");
        }
    }
}
