#!/usr/bin/env bash
# Makes sure the Debian packages a build or test step needs are present.
# Usage: tools/prerequisites.sh COMMAND:PACKAGE ...   (a path works as COMMAND)
# As root it installs what is missing with apt-get, starting no service;
# otherwise it says what to run.
set -euo pipefail

missing=()
for pair in "$@"; do
    probe=${pair%%:*}
    package=${pair#*:}
    if [[ $probe == /* ]]; then
        [ -e "$probe" ] && continue
    elif command -v "$probe" >/dev/null 2>&1; then
        continue
    fi
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # A package may start a system service (prometheus would listen on every
    # interface): while installing, policy-rc.d denies every start, as in
    # containers; one that is already there is left as it is.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        trap 'rm -f "$policy"' EXIT
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    exit 0
fi
echo "missing packages: ${missing[*]}" >&2
echo "install them with:  sudo apt-get install ${missing[*]}" >&2
exit 1
