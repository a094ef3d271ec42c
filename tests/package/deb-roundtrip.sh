#!/usr/bin/env bash
# deb-roundtrip.sh BUILD FIXTURE: makes the Debian package from BUILD, installs it with apt, lists
# and signs through /usr/bin/ostrel-sign, loads the class from /usr/share/java with the JVM's own
# library path, and removes the package again whatever happened. Run as root.
set -euo pipefail
build=$(realpath "$1") fixture=$(realpath "$2")
export DEBIAN_FRONTEND=noninteractive HOME=$fixture/home
scratch=$(mktemp -d)
chmod 755 "$scratch" # apt reads the package as the user _apt
cleanup() {
    apt-get purge -y -qq ostrel >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap cleanup EXIT
cd "$scratch"
# Runs a command, and shows what it printed only when it fails.
quiet() { "$@" >log 2>&1 || { cat log && return 1; }; }
quiet cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out"
deb=$(echo "$scratch"/out/ostrel_*.deb)

# What the package declares: the libraries dpkg-shlibdeps found, and a Java runtime.
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libnss3 libnspr4 libssl3 libstdc++6 "default-jre-headless (>= 2:1.17) | java17-runtime-headless"; do
    [[ ", $depends," == *", $dep"[\ ,]* ]] || { echo "Depends lacks $dep: $depends" && exit 1; }
done

quiet apt-get install -y -qq "$deb"
for file in /usr/bin/ostrel-sign /usr/lib/jni/libOstrelSignatureMS_1_0.so /usr/lib/jni/libostrel_tokens.so \
    /usr/share/java/ostrel.jar /usr/share/java/ostrel-tool.jar; do
    dpkg -S "$file" | grep -q "^ostrel: " || { echo "not installed by the package: $file" && exit 1; }
done

/usr/bin/ostrel-sign list >list
grep -q "CN=Signer .* NSS database " list || { cat list && exit 1; }
/usr/bin/ostrel-sign tokens >tokens
grep -qx 'Module "SoftHSM": /usr/lib/softhsm/libsofthsm2.so' tokens || { cat tokens && exit 1; }
head -c 5000 /dev/urandom >data
quiet /usr/bin/ostrel-sign sign --cert CN=Signer --in data --out sig
openssl x509 -inform DER -in "$fixture/files/signer.der" -pubkey -noout >signer.pub
openssl dgst -sha1 -verify signer.pub -signature sig data >/dev/null

# Another Java program: the jar on its class path, no java.library.path; the library must come
# from /usr/lib/jni and list what the tool listed.
cat >Probe.java <<'JAVA'
public class Probe {
    public static void main(String[] args) throws Exception {
        byte[][] certs = new ostrel.client.applet.msprovider.OstrelSignatureMS().getCertificatesInSystemStore(null);
        String loaded = java.nio.file.Files.readAllLines(java.nio.file.Path.of("/proc/self/maps")).stream()
                .filter(l -> l.endsWith("/libOstrelSignatureMS_1_0.so")).findFirst().orElse("none ");
        System.out.println((certs == null ? -1 : certs.length) + " " + loaded.substring(loaded.lastIndexOf(' ') + 1));
    }
}
JAVA
probe=$(java --enable-native-access=ALL-UNNAMED -cp /usr/share/java/ostrel.jar Probe.java)
expected="$(($(wc -l <list) - 1)) /usr/lib/jni/libOstrelSignatureMS_1_0.so"
[[ $probe == "$expected" ]] || { echo "Java probe: got '$probe', expected '$expected'" && exit 1; }
echo "package round trip: OK"
