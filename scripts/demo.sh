#!/usr/bin/env bash
# Builds Kestrin and shows one update in a scratch folder: a sample launcher
# v1 is replaced by v2, and v2 then says that it was started.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-needs.sh" demo

cmake --preset default > /dev/null
cmake --build --preset default --target Kestrin > /dev/null
kestrin="$root/build/default/src/Kestrin"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

printf '#!/bin/sh\necho "Launcher v1"\n' > launcher
chmod 755 launcher
# The update as a launcher downloads it: without the execute bit. Kestrin
# starts it with its output going nowhere, so it writes to a file.
printf '#!/bin/sh\necho "Launcher v2 started (pid $$) in $(pwd)" > launcher.log\n' > launcher.new

echo "Scratch folder $scratch before the update:"
ls -l
echo
echo "\$ Kestrin launcher launcher.new"
status=0
"$kestrin" launcher launcher.new || status=$?
echo "(exit status $status)"
echo

for _ in $(seq 50); do
    [ -s launcher.log ] && break
    sleep 0.1
done
echo "After the update:"
ls -l
echo
echo "What the started launcher wrote:"
cat launcher.log
