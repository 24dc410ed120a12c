#!/usr/bin/env bash
# The jobs benchmark (see bench/README.md): builds the Linux program without
# sanitizers in build-release, installs the server and the peers when
# missing, then runs bench/jobs.py with the arguments given
# (--runs N, --size MiB, --files N, --dir DIR, --only TEXT, --baseline EXE,
# --tls).
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
need_packages cmake ninja-build g++ python3 python3-pytest vsftpd time curl lftp openssl libssl-dev
cd "$ROOT"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQELTA_TESTS=OFF >/dev/null
cmake --build build-release -j 2 --target qelta >/dev/null
exec /usr/bin/python3 bench/jobs.py "$@"
