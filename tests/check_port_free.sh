#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tests/check_port_free.sh <port> <command that gives the build another port>
# Fails with a message when a program already listens on 127.0.0.1:<port>, the port of the
# build's service address that the tests serve themselves.
set -euo pipefail
port=$1 reconfigure=$2
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    cat <<MESSAGE
127.0.0.1:$port, the port of this build's service address, is in use: another program listens
there (another checkout's test run? a zefa-mock-service?). Wait for it or stop it, or give this
build another port: $reconfigure
MESSAGE
    exit 1
fi
echo "127.0.0.1:$port is free"
