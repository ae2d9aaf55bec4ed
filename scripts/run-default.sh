#!/bin/sh
# The console's main job on its embedded default: the usage text, then the agent status report.
BUILD=${1:-build/release}
"$BUILD/QzConsole/qzConsole"
"$BUILD/QzConsole/qzConsole" /QUERYAGENTSTATUS
