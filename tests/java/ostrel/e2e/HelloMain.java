package ostrel.e2e;

import ostrel.client.applet.msprovider.OstrelSignatureMS;

/** Run in a child JVM: the register right after loading, then the banner on stdout. */
public final class HelloMain {
    public static void main(String[] args) {
        OstrelSignatureMS m = new OstrelSignatureMS();
        System.out.println("register=" + m.getLastErrorCode() + "," + m.getLastErrorCode());
        System.out.flush();
        m.hello();
    }
}
