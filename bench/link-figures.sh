#!/usr/bin/env bash
# The host over an emulated phone link: a private 1920x1080 desktop (openbox, a terminal), the
# host in a network namespace, the benchmark as the companion in another, two link profiles
# side by side. Root only (namespaces, tun devices).
#
#   bench/link-figures.sh              the table
#   bench/link-figures.sh --only 6     the table of the 6 Mbit/s profile alone
#   bench/link-figures.sh --only 6 --connects 8
#                                      eight connections to one idle host, each one's start
#                                      (TCP, upgrade, first frame in, decoded, 38 dB)
#   bench/link-figures.sh --try 2 80 60
#                                      the host behind a 2 Mbit/s, 80 ms link for 60 s, with
#                                      the command that reaches it from the companion's side
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${BUILD:-$here/../build}
[ "$(id -u)" = 0 ] || { echo "run as root (network namespaces, tun devices)" >&2; exit 1; }
for tool in "$build/QuelmHost/quelmix-host" "$build/bench/LinkBench"; do
  [ -x "$tool" ] || { echo "missing $tool: build first" >&2; exit 1; }
done

# shellcheck source=../scripts/lib.sh
source "$here/../scripts/lib.sh"
start_private_display --desktop
sleep 1
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/LinkBench" "$build/QuelmHost/quelmix-host" "$@"
