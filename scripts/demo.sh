#!/usr/bin/env bash
# Builds the library and lists the certificates of a sample store created in the build tree.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
store=build/demo-store
bash tests/fixtures/make-store.sh "$store" >/dev/null
HOME=$PWD/$store/home jshell --class-path build/ostrel.jar -R-Djava.library.path=build -q <<'JAVA'
var m = new ostrel.client.applet.msprovider.OstrelSignatureMS();
var cf = java.security.cert.CertificateFactory.getInstance("X.509");
for (byte[] c : m.getCertificatesInSystemStore(null)) System.out.println(((java.security.cert.X509Certificate) cf.generateCertificate(new java.io.ByteArrayInputStream(c))).getSubjectX500Principal());
/exit
JAVA
