package ostrel.e2e.isolated;

import static ostrel.e2e.Fixture.NATIVE;
import ostrel.e2e.Fixture;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import org.junit.jupiter.api.Test;

/** HOME has a database that cannot be opened. */
class CorruptStoreTest {
    @Test
    void everyStoreUserFailsWithSeven() throws Exception {
        assertNull(NATIVE.getCertificatesInSystemStore(null));
        assertEquals(7, NATIVE.getLastErrorCode());
        byte[] cert = Fixture.get("signer").der();
        assertNull(NATIVE.getSubjectDn(cert));
        assertEquals(7, NATIVE.getLastErrorCode());
        assertNull(NATIVE.firmar(new byte[1], cert));
        assertEquals(7, NATIVE.getLastErrorCode());
    }
}
