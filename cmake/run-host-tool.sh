#!/bin/sh
# Runs a generator's build-machine twin in place of the generator itself:
#   run-host-tool.sh HOST_PROGRAM TARGET_PROGRAM ARGUMENTS...
# (TARGET_PROGRAM is the cross-built generator, named by CMake; it is not run.)
set -e
host="$1"
shift 2
exec "$host" "$@"
