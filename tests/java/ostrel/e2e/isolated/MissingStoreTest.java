package ostrel.e2e.isolated;

import static ostrel.e2e.Fixture.NATIVE;
import ostrel.e2e.Fixture;
import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.Test;

/** HOME has no database: an empty store, as for a new user. */
class MissingStoreTest {
    @Test
    void listsNothingAndFindsNothing() throws Exception {
        assertEquals(0, NATIVE.getCertificatesInSystemStore("ignored").length);
        assertEquals(0, NATIVE.getLastErrorCode());
        assertEquals(-1, NATIVE.getCertificateVersion(Fixture.get("signer").der()));
        assertEquals(8, NATIVE.getLastErrorCode());
    }
}
