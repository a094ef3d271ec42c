package ostrel.bench;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * The timing loop of the Java benchmarks: a warm-up, then samples of batched calls, each sample
 * recorded as the time of one call, in elapsed and in this thread's CPU time (on a shared machine the
 * second tells slow work from waiting for a core). Results go to a file of JSON lines, one per
 * benchmark.
 */
final class Harness {
    /** One call of the operation measured; its result is folded into a sink the JIT cannot drop. */
    interface Op {
        long run() throws Exception;
    }

    /** Untimed work before a sample. */
    interface Step {
        void run() throws Exception;
    }

    /** Keeps every result alive. */
    static volatile long sink;

    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();

    private final Path out;
    private final List<String> lines = new ArrayList<>();

    Harness(Path out) {
        this.out = out;
    }

    /**
     * Calls op for about budgetSeconds: the first 30% warms the JIT up and sizes the batches (about
     * 20 ms each), the rest gives between 5 and 60 samples.
     */
    void measure(String name, long bytes, double budgetSeconds, Op op) throws Exception {
        long start = System.nanoTime();
        long warmEnd = start + (long) (budgetSeconds * 0.3e9);
        long calls = 0;
        long local = 0;
        do {
            local += op.run();
            calls++;
        } while (System.nanoTime() < warmEnd || calls < 2);
        double perCall = (System.nanoTime() - start) / (double) calls;
        int batch = (int) Math.max(1, Math.min(1_000_000, 20e6 / perCall));
        long end = System.nanoTime() + (long) (budgetSeconds * 0.7e9);
        List<Double> samples = new ArrayList<>();
        List<Double> cpu = new ArrayList<>();
        while (samples.size() < 5 || (System.nanoTime() < end && samples.size() < 60)) {
            long c = THREADS.getCurrentThreadCpuTime();
            long t = System.nanoTime();
            for (int i = 0; i < batch; i++) {
                local += op.run();
            }
            samples.add((System.nanoTime() - t) / (double) batch);
            cpu.add((THREADS.getCurrentThreadCpuTime() - c) / (double) batch);
        }
        sink += local;
        record(name, bytes, batch, samples, cpu);
    }

    /**
     * Two operations measured in alternating samples (A, B, A, B...) for about budgetSeconds, so
     * that a change of load on the machine weighs on both alike.
     */
    void measureInterleaved(String nameA, Op a, String nameB, Op b, long bytes, double budgetSeconds)
            throws Exception {
        Op[] ops = {a, b};
        int[] batch = new int[2];
        long local = 0;
        for (int k = 0; k < 2; k++) {
            long start = System.nanoTime();
            long warmEnd = start + (long) (budgetSeconds * 0.15e9);
            long calls = 0;
            do {
                local += ops[k].run();
                calls++;
            } while (System.nanoTime() < warmEnd || calls < 2);
            double perCall = (System.nanoTime() - start) / (double) calls;
            batch[k] = (int) Math.max(1, Math.min(1_000_000, 20e6 / perCall));
        }
        List<List<Double>> samples = List.of(new ArrayList<>(), new ArrayList<>());
        List<List<Double>> cpu = List.of(new ArrayList<>(), new ArrayList<>());
        long end = System.nanoTime() + (long) (budgetSeconds * 0.7e9);
        while (samples.get(1).size() < 5 || (System.nanoTime() < end && samples.get(1).size() < 60)) {
            for (int k = 0; k < 2; k++) {
                long c = THREADS.getCurrentThreadCpuTime();
                long t = System.nanoTime();
                for (int i = 0; i < batch[k]; i++) {
                    local += ops[k].run();
                }
                samples.get(k).add((System.nanoTime() - t) / (double) batch[k]);
                cpu.get(k).add((THREADS.getCurrentThreadCpuTime() - c) / (double) batch[k]);
            }
        }
        sink += local;
        record(nameA, bytes, batch[0], samples.get(0), cpu.get(0));
        record(nameB, bytes, batch[1], samples.get(1), cpu.get(1));
    }

    /** One call per sample, each after an untimed setup step; one warm-up round first. */
    void measureAfter(String name, int count, Step setup, Op op) throws Exception {
        setup.run();
        long local = op.run();
        List<Double> samples = new ArrayList<>();
        List<Double> cpu = new ArrayList<>();
        for (int i = 0; i < count; i++) {
            setup.run();
            long c = THREADS.getCurrentThreadCpuTime();
            long t = System.nanoTime();
            local += op.run();
            samples.add((double) (System.nanoTime() - t));
            cpu.add((double) (THREADS.getCurrentThreadCpuTime() - c));
        }
        sink += local;
        record(name, 0, 1, samples, cpu);
    }

    private void record(String name, long bytes, int batch, List<Double> samples, List<Double> cpu) {
        double[] sorted = samples.stream().mapToDouble(Double::doubleValue).sorted().toArray();
        System.err.printf("  %-34s median %12.1f us  (%d samples of %d)%n", name,
                sorted[sorted.length / 2] / 1e3, sorted.length, batch);
        StringBuilder line = new StringBuilder();
        line.append("{\"name\":\"").append(name).append("\",\"bytes\":").append(bytes)
                .append(",\"batch\":").append(batch);
        array(line.append(",\"samples_ns\":"), samples);
        array(line.append(",\"cpu_ns\":"), cpu);
        lines.add(line.append("}").toString());
    }

    private static void array(StringBuilder line, List<Double> values) {
        line.append('[');
        for (int i = 0; i < values.size(); i++) {
            line.append(i == 0 ? "" : ",").append(String.format("%.1f", values.get(i)));
        }
        line.append(']');
    }

    void write() throws IOException {
        Files.write(out, lines);
    }

    /** Deterministic filler bytes, the same in every program of the benchmark. */
    static byte[] bytes(int size) {
        byte[] data = new byte[size];
        for (int i = 0; i < size; i++) {
            data[i] = (byte) (i * 131 + 7);
        }
        return data;
    }

    /** --key value pairs; a key without a value reads "true". */
    static String option(String[] args, String key, String fallback) {
        int i = Arrays.asList(args).indexOf("--" + key);
        if (i < 0) {
            return fallback;
        }
        return i + 1 < args.length && !args[i + 1].startsWith("--") ? args[i + 1] : "true";
    }

    static void check(boolean condition, String what) {
        if (!condition) {
            throw new IllegalStateException(what);
        }
    }
}
