package ostrel.e2e.isolated;

import static ostrel.e2e.Fixture.NATIVE;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import ostrel.e2e.Fixture;
import org.junit.jupiter.api.Test;

/**
 * A module registered in pkcs11.txt that takes long to start and then fails: it holds up only the
 * call that loads it, and is tried once per change of pkcs11.txt. The module waits for a gate file
 * the test creates; its log counts its C_Initialize calls.
 */
class ModuleTest {
    static final Path HOME = Path.of(System.getProperty("ostrel.home"));

    @Test
    void aSlowFailingModuleHoldsUpOnlyTheCallThatLoadsIt() throws Exception {
        Path log = Path.of(System.getenv("OSTREL_SLOW_LOG"));
        Path gate = Path.of(System.getenv("OSTREL_SLOW_GATE"));
        Files.deleteIfExists(log);
        Files.deleteIfExists(gate);
        Path modules = HOME.resolve(".pki/nssdb/pkcs11.txt");
        Files.writeString(modules, "\nlibrary=" + System.getenv("OSTREL_TEST_SLOW_MODULE")
                + "\nname=Slow\n", StandardOpenOption.APPEND);
        CompletableFuture<List<String>> loading = CompletableFuture.supplyAsync(Fixture::listed);
        // Wait for the module to be inside C_Initialize (the suite's own timeout bounds this).
        while (!Files.exists(log) || Files.readAllLines(log).isEmpty()) {
            Thread.sleep(10);
        }
        // Meanwhile the database and the other module's token serve every call.
        List<String> expected =
                Fixture.keyed().stream().map(e -> Fixture.hex(e.der())).sorted().toList();
        assertEquals(expected, Fixture.listed());
        assertTrue(NATIVE.getSubjectDn(Fixture.get("signer").der()).contains("CN="));
        assertEquals(20, NATIVE.digest(new byte[0], null).length);
        assertFalse(loading.isDone(), "the call that loads the module waits for it");

        Files.createFile(gate);
        assertEquals(expected, loading.get(60, TimeUnit.SECONDS));
        for (int i = 0; i < 3; i++) {
            assertEquals(expected, Fixture.listed());
        }
        assertEquals(List.of("init"), Files.readAllLines(log), "one try while pkcs11.txt stays");

        Files.writeString(modules, Files.readString(modules) + "\n");
        assertEquals(expected, Fixture.listed());
        assertEquals(List.of("init", "init"), Files.readAllLines(log), "tried again on a change");
    }
}
