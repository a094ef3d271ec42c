package ostrel.client.applet.msprovider;

/**
 * The current user's personal certificates that have a private key, signing with them, SHA-1
 * digests and certificate attributes, through the native library OstrelSignatureMS_1_0.
 * Certificates are named by their DER encoding. A method that fails returns its failure value
 * (null or -1) and {@link #getLastErrorCode()} tells why.
 */
public class OstrelSignatureMS {
    static {
        System.loadLibrary("OstrelSignatureMS_1_0");
    }

    /** Prints a one-line banner on the process's standard output. */
    public native void hello();

    /** The DER encodings of the personal certificates that have a private key; null on failure. */
    public native byte[][] getCertificatesInSystemStore(String ignored);

    /** RSA PKCS#1 v1.5 signature of SHA-1(data), most significant byte first; null on failure. */
    public native byte[] firmar(byte[] data, byte[] certificate);

    /** SHA-1 of data (20 bytes), whatever the algorithm name says; null on failure. */
    public native byte[] digest(byte[] data, String algorithm);

    /** Code of the last failure, 0 after a success. */
    public native int getLastErrorCode();

    /** Issuer name in X.500 string form, ending with one U+0000; null on failure. */
    public native String getIssuerDN(byte[] certificate);

    /** Subject name in X.500 string form, ending with one U+0000; null on failure. */
    public native String getSubjectDn(byte[] certificate);

    /** 1, 2 or 3; -1 on failure. */
    public native int getCertificateVersion(byte[] certificate);

    /** End of validity in Java milliseconds; -1 on failure. */
    public native long getNotAfter(byte[] certificate);

    /** Start of validity in Java milliseconds; -1 on failure. */
    public native long getNotBefore(byte[] certificate);

    /** Serial number, least significant byte first; null on failure. */
    public native byte[] getSerialNumber(byte[] certificate);

    public native int getMajorVersion();

    public native int getMinorVersion();

    /** Key usage, bit i = X.509 KeyUsage bit i (0 to 511); -1 on failure or without the extension. */
    public native int getKeyUsage(byte[] certificate);
}
