#!/bin/sh
# The console's main job on its embedded default: the usage text, the agent status report, and
# the sample build of examples/stats run twice through the console (its job file, then
# `make -j2` as a /COMMAND job). The demo keeps its settings store, agent folder and build tree
# in "$BUILD/demo"; the agent service is started in the background when none is running.
set -e
BUILD=$(cd "${1:-build/release}" && pwd)
DEMO="$BUILD/demo"
mkdir -p "$DEMO/agent" "$DEMO/registry"
cp "$BUILD/Tasksmith/Tasksmith" "$BUILD/Tasksmith/libqzcachehttp.so" "$DEMO/agent/"
export TamrelRegistryRoot="$DEMO/registry"
if [ ! -f "$DEMO/registry/HKLM.reg" ]; then
    "$BUILD/tools/qzreg" set HKLM 'SOFTWARE\Tamrel\Orvane\Builder' Folder "$DEMO/agent"
fi
"$BUILD/AgentService/qzagentd" --background
"$BUILD/QzConsole/qzConsole"
"$BUILD/QzConsole/qzConsole" /QUERYAGENTSTATUS
rm -rf "$DEMO/stats"
cp -R "$(dirname "$0")/../examples/stats" "$DEMO/stats"
cd "$DEMO/stats"
"$BUILD/QzConsole/qzConsole" /NOLOGO job.xml
rm -rf build
"$BUILD/QzConsole/qzConsole" /NOLOGO /TITLE="stats with make" "/COMMAND=make -j2"
./build/stats 3 1 4 1 5 9 2 6
