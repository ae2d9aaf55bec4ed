#!/bin/sh
# The console's main job on its embedded default: the usage text, then the agent status report,
# with the agent service started in the background when none is running.
BUILD=${1:-build/release}
"$BUILD/AgentService/qzagentd" --background
"$BUILD/QzConsole/qzConsole"
"$BUILD/QzConsole/qzConsole" /QUERYAGENTSTATUS
