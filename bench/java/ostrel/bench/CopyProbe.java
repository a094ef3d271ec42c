package ostrel.bench;

/** GetByteArrayElements and ReleaseByteArrayElements(JNI_ABORT), nothing else. */
final class CopyProbe {
    static {
        System.loadLibrary("ostrel_bench_probe");
    }

    /** The array's first byte, plus 1000 when the elements were handed over as a copy. */
    static native int getAndRelease(byte[] array);

    private CopyProbe() {}
}
