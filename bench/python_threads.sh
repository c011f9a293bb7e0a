#!/usr/bin/env bash
# Three boards from three Python threads against one board alone, through
# the Python package and liborvel, under orvel-sim with a reply latency.
# Builds nothing.
#
#   bench/python_threads.sh ORVEL_SIM LIBORVEL [LATENCY_US] [BYTES]
#
# The goal: three boards take at most 1.2 times as long as one.
set -euo pipefail
sim=${1:?usage: python_threads.sh ORVEL_SIM LIBORVEL [LATENCY_US] [BYTES]}
here=$(cd "$(dirname "$0")" && pwd)
python=$(command -v /usr/bin/python3 || command -v python3)
export ORVEL_LIBRARY=$2 PYTHONPATH="$here/../python${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1
"$sim" --devices 4 --latency "${3:-1000}" -- "$python" "$here/python_threads.py" "${4:-65536}"
