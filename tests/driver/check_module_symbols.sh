#!/bin/sh
# What the driver module links against: one export, the logging library's err and nothing
# else of it, only the system DLLs on Windows, and no allocation or thread creation in the
# driver's own code.
# usage: check_module_symbols.sh native|win32 MODULE NM OBJDUMP DRIVER-ARCHIVES-AND-OBJECTS...
set -eu
target=$1 module=$2 nm=$3 objdump=$4
shift 4
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# Allocation and threads, referenced from the driver's own objects.
forbidden='^(malloc|calloc|realloc|free|strdup|_Znw|_Zna|_Zdl|_Zda|operator new|pthread_create|_beginthread|_beginthreadex|CreateThread|__cxa_allocate_exception|__cxa_throw|__dynamic_cast|_ZTI)'
for f in "$@"; do
  refs=$("$nm" -u "$f" 2>/dev/null | awk '{print $NF}' | sed 's/^_//; s/@.*//' | grep -E "$forbidden" || true)
  [ -z "$refs" ] || bad "$(basename "$f") references: $refs"
done

if [ "$target" = native ]; then
  exports=$("$nm" -D --defined-only "$module" | awk '$2 ~ /[TDBRW]/ {print $3}' | sort -u)
  [ "$exports" = "VpiMain" ] || bad "exports are not exactly VpiMain: $exports"
  undef=$("$nm" -D --undefined-only "$module" | awk '{print $NF}')
  echo "$undef" | grep -qx 'err@TAMRIK_1.0' || bad "err is not bound to TAMRIK_1.0: $(echo "$undef" | grep err || true)"
  echo "$undef" | grep -Eqx 'err(@GLIBC.*)?' && bad "an unversioned or glibc err is referenced"
  needed=$("$objdump" -p "$module" | awk '/NEEDED/ {print $2}')
  echo "$needed" | grep -qx 'libTAMRIK.so' || bad "libTAMRIK.so is not NEEDED: $needed"
  echo "$undef" | sed 's/@.*//' | grep -Eq "$forbidden" && bad "the module imports allocation or threads"
else
  dump=$("$objdump" -p "$module")
  exports=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^[ \t]*\[/ {print $NF; next} t {t=0}')
  [ "$exports" = "VpiMain" ] || bad "exports are not exactly VpiMain: $exports"
  dlls=$(echo "$dump" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')
  for dll in $dlls; do
    case $dll in KERNEL32.dll|TAMRIK.dll|msvcrt.dll) ;; *) bad "imports from $dll" ;; esac
  done
  case " $dlls" in *" TAMRIK.dll "*) ;; *) bad "TAMRIK.dll is not imported: $dlls" ;; esac
  tamrik=$(echo "$dump" | awk '/DLL Name:/ {dll=$3; next} dll=="TAMRIK.dll" && NF==3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
  [ "$tamrik" = "err" ] || bad "imports from TAMRIK.dll: $tamrik"
  imports=$(echo "$dump" | awk '/DLL Name:/ {dll=$3; next} NF==3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
  echo "$imports" | grep -Eqx 'CreateThread|_beginthread|_beginthreadex' && bad "the module imports thread creation"
  echo "$imports" | grep -Eqx 'malloc|calloc|realloc|free|_aligned_malloc' && bad "the module imports allocation"
fi

if [ $fail -ne 0 ]; then exit 1; fi
echo "module symbols: OK ($target)"
