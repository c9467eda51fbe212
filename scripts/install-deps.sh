#!/bin/sh
# Installs every Debian package that building, testing and benchmarking brindlemoor needs.
# Idempotent; run as root.
set -eu
PACKAGES="g++ cmake ninja-build git python3 libboost1.81-dev libfmt-dev nlohmann-json3-dev \
libgtest-dev libgmock-dev libbenchmark-dev tzdata unicode-data clang libclang-rt-14-dev linux-perf iproute2 iptables"
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends $missing
fi
