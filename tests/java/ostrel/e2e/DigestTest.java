package ostrel.e2e;

import static ostrel.e2e.Fixture.NATIVE;
import static ostrel.e2e.Fixture.UNKNOWN;
import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;

import java.security.MessageDigest;
import java.util.Random;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** digest is SHA-1 whatever the algorithm name, at every padding boundary and at size. */
class DigestTest {
    @ParameterizedTest(name = "{0} bytes")
    @ValueSource(ints = {0, 1, 55, 56, 63, 64, 65, 1 << 20, 64 << 20})
    void equalsJavasSha1WhateverTheAlgorithmName(int size) throws Exception {
        byte[] data = new byte[size];
        new Random(size).nextBytes(data);
        byte[] expected = MessageDigest.getInstance("SHA-1").digest(data);
        for (String algorithm : new String[] {"SHA-1", null, "SHA-256", ""}) {
            assertArrayEquals(expected, NATIVE.digest(data, algorithm), String.valueOf(algorithm));
            assertEquals(0, NATIVE.getLastErrorCode());
        }
    }

    @Test
    void aNullArrayGivesNullAndLeavesTheRegister() {
        assertNull(NATIVE.firmar(new byte[] {1}, UNKNOWN));
        assertEquals(8, NATIVE.getLastErrorCode());
        assertNull(NATIVE.digest(null, "SHA-1"));
        assertNull(NATIVE.digest(null, null));
        assertEquals(8, NATIVE.getLastErrorCode());
        NATIVE.digest(new byte[0], null);
        assertEquals(0, NATIVE.getLastErrorCode());
        assertNull(NATIVE.digest(null, ""));
        assertEquals(0, NATIVE.getLastErrorCode());
    }
}
