#!/bin/sh
# Includes run down the layers only: each folder names the folders it may include (besides its
# own). Siblings of one floor (cpelink and records, modem, web and pcside) know nothing of each other,
# and nothing below the form knows a control id.
#   include_directions.sh SOURCE_DIR
cd "$1" || exit 2
rules='
platform:
resources:
cpelink: platform
records: platform
modem: cpelink platform
web: cpelink platform
pcside: cpelink platform
sim: modem cpelink platform
model: modem records cpelink platform resources
session: model pcside web modem records cpelink platform resources
form: session model pcside web modem records cpelink platform resources
app: form session model pcside web modem records cpelink platform resources
ui: app form session model pcside web modem records cpelink platform resources sim
'
bad=$(printf '%s\n' "$rules" | while IFS=: read -r dir allowed; do
  [ -n "$dir" ] || continue
  grep -rnE '^#include "[a-z_0-9]+/' "$dir" --include=*.cpp --include=*.h --include=*.in |
    while IFS= read -r hit; do
      target=$(printf '%s\n' "$hit" | sed -E 's/^[^#]*#include "([a-z_0-9]+)\/.*/\1/')
      case " $dir $allowed " in
        *" $target "*) ;;
        *) echo "$hit: $dir/ may not include $target/" ;;
      esac
    done
done)
[ -z "$bad" ] && exit 0
printf '%s\n' "$bad"
exit 1
