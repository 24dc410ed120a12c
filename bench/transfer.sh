#!/usr/bin/env bash
# The transfer benchmark (see bench/README.md): builds the Linux program
# without sanitizers in build-release and the bare loop beside it, installs
# the server and the yardsticks when missing, then runs bench/transfer.py
# with the arguments given (--runs N, --size MiB, --only TEXT, --serve).
set -euo pipefail
. "$(dirname "$0")/../scripts/lib.sh"
need_packages cmake ninja-build g++ python3 python3-pytest vsftpd time curl lftp
cd "$ROOT"
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQELTA_TESTS=OFF >/dev/null
cmake --build build-release -j 2 --target qelta >/dev/null
cc -O2 -Wall -Wextra -o build-release/bare_transfer bench/bare_transfer.c
exec /usr/bin/python3 bench/transfer.py "$@"
