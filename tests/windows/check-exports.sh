#!/usr/bin/env bash
# Fails unless the Windows DLL exports exactly JNI_OnLoad and the fourteen native methods (on i686
# each also decorated, name@N with N = 8 + 4 per Java argument), names its module
# OstrelSignatureMS_1_0.dll and imports system DLLs only.
# Usage: check-exports.sh x86_64|i686 DLL
set -euo pipefail
arch=$1 dll=$2
p=Java_ostrel_client_applet_msprovider_OstrelSignatureMS_
expected=$(for e in JNI_OnLoad@8 ${p}hello@8 ${p}getCertificatesInSystemStore@12 ${p}firmar@16 \
    ${p}digest@16 ${p}getLastErrorCode@8 ${p}getIssuerDN@12 ${p}getSubjectDn@12 \
    ${p}getCertificateVersion@12 ${p}getNotAfter@12 ${p}getNotBefore@12 ${p}getSerialNumber@12 \
    ${p}getMajorVersion@8 ${p}getMinorVersion@8 ${p}getKeyUsage@12; do
    echo "${e%@*}"
    if [[ $arch == i686 ]]; then echo "$e"; fi
done | sort)
dump=$("$arch-w64-mingw32-objdump" -p "$dll")
exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && !NF {t = 0} t {print $NF}' <<<"$dump" | sort)
module=$(awk '/^Name / {print $NF; exit}' <<<"$dump")
imports=$(awk '/DLL Name:/ {print tolower($NF)}' <<<"$dump" | sort | tr '\n' ' ')
status=0
diff <(echo "$expected") <(echo "$exports") || status=1
[[ $module == OstrelSignatureMS_1_0.dll ]] || { echo "module name: $module"; status=1; }
[[ $imports == "advapi32.dll crypt32.dll kernel32.dll msvcrt.dll " ]] || { echo "imports: $imports"; status=1; }
if ((status == 0)); then
    echo "exports $arch: $(wc -l <<<"$exports") names, module $module, imports $imports"
fi
exit $status
