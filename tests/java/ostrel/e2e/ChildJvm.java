package ostrel.e2e;

import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * A class's main in a JVM of its own under -Xcheck:jni, for cases that need a process of their
 * own (a login lasts for the process). The tests' fake pinentry answers from a script and records
 * what it was asked; the child reports its outcomes as "result=" lines.
 */
public final class ChildJvm {
    static final Path LOGIN = Path.of(System.getenv("OSTREL_TEST_LOGIN_DIR"));

    private ChildJvm() {}

    /** What a child saw: its result lines, what pinentry was asked, all it printed. */
    public record Run(List<String> results, List<String> asked, String out) {
        public long prompts() {
            return asked.stream().filter(l -> l.equals("GETPIN")).count();
        }
    }

    /** The fake pinentry, tests/login/fake-pinentry. */
    public static Path fakePinentry() {
        return LOGIN.resolve("fake-pinentry");
    }

    /**
     * Runs `main` with `args` in a child JVM with HOME at `home`, pinentry answering `script`;
     * `dir` receives the script and pinentry's record. `environment` adds or (with a null value)
     * removes variables; `wrapper` runs the JVM under another command.
     */
    public static Run run(Path dir, Path home, List<String> script, Map<String, String> environment,
            List<String> wrapper, Class<?> main, List<String> args) throws Exception {
        Path answers = Files.write(dir.resolve("script"), script);
        Path asked = Files.createFile(dir.resolve("asked"));
        List<String> command = new ArrayList<>(wrapper);
        String preload = System.getenv("LD_PRELOAD");
        if (!wrapper.isEmpty() && preload != null) {
            // Under ASan the JVM needs the runtime preloaded; the wrapper is not ours to sanitise.
            command = new ArrayList<>(List.of("env", "-u", "LD_PRELOAD"));
            command.addAll(wrapper);
            command.addAll(List.of("env", "LD_PRELOAD=" + preload));
        }
        command.addAll(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-Xcheck:jni", "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", System.getProperty("ostrel.classpath"), main.getName()));
        command.addAll(args);
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        Map<String, String> env = builder.environment();
        env.remove("GPG_TTY");
        env.remove("WAYLAND_DISPLAY");
        env.put("DISPLAY", ":99");  // lets the layer ask; the fake needs no display
        env.put("HOME", home.toString());
        env.put("OSTREL_PINENTRY", fakePinentry().toString());
        env.put("FAKE_PINENTRY_SCRIPT", answers.toString());
        env.put("FAKE_PINENTRY_LOG", asked.toString());
        environment.forEach((k, v) -> {
            if (v == null) {
                env.remove(k);
            } else {
                env.put(k, v);
            }
        });
        builder.redirectInput(ProcessBuilder.Redirect.from(new java.io.File("/dev/null")));
        Process p = builder.start();
        byte[] output = p.getInputStream().readAllBytes();
        assertTrue(p.waitFor(180, TimeUnit.SECONDS), "the child JVM hung");
        String out = new String(output, StandardCharsets.UTF_8);
        System.out.print(out);  // the suite fails on any -Xcheck:jni warning in it
        // The VM prints its own warnings (a module's constructor setting a signal handler) on the
        // same stream, possibly in the middle of a line of ours.
        List<String> results = out.lines().filter(l -> l.contains("result="))
                .map(l -> l.substring(l.indexOf("result=") + 7)).toList();
        return new Run(results, Files.readAllLines(asked), out);
    }
}
