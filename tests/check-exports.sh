#!/usr/bin/env bash
# Fails unless LIBRARY exports exactly the fourteen native methods and JNI_OnLoad.
set -euo pipefail
prefix=Java_ostrel_client_applet_msprovider_OstrelSignatureMS_
expected=$( (echo JNI_OnLoad
    for m in hello getCertificatesInSystemStore firmar digest getLastErrorCode getIssuerDN \
        getSubjectDn getCertificateVersion getNotAfter getNotBefore getSerialNumber \
        getMajorVersion getMinorVersion getKeyUsage; do echo "$prefix$m"; done) | sort)
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort)
diff <(echo "$expected") <(echo "$actual") && echo "exports: $(echo "$actual" | wc -l) symbols as expected"
