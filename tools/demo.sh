#!/usr/bin/env bash
# The main job: builds the driver module, the host tool and the meter simulator natively,
# then runs `vpihost demo` (a simulated meter line on a pseudo-terminal, read and written
# through the module exactly as a host does).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target vpihost metersim satec_vpi TAMRIK
exec build/native/vpihost demo "$@"
