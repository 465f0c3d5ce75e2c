# Sourced by the measurement scripts: a user's directories in $WORK for the real app, with
# forwarding switched on for "卧室" and the stand-in worker (tests/controller) as its sender,
# which writes what it receives to $WORK/pcm.
mkdir -p "$WORK/share/vendor/pyatv" "$WORK/config" "$WORK/state" "$WORK/runtime"
chmod 700 "$WORK/runtime"
cp tests/controller/stand_in_worker.py "$WORK/share/sender.py"
: > "$WORK/share/vendor/pyatv/__init__.py"
printf '[General]\nenabled=true\ntargetName=卧室\n' > "$WORK/config/local.sonvale.conf"
export SONVALE_RESOURCES="$WORK/share" XDG_CONFIG_HOME="$WORK/config" XDG_STATE_HOME="$WORK/state" \
       XDG_RUNTIME_DIR="$WORK/runtime" QT_QPA_PLATFORM=offscreen DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent \
       SONVALE_TEST_LINES='{"state":"ready"}\n' SONVALE_TEST_THEN=read SONVALE_TEST_SINK="$WORK/pcm"
