#!/bin/sh
# Two stations of COUNT simulated aircraft each, a bridge for each, and one
# local Mosquitto with an MQTT and a WebSocket listener. Ctrl-C stops them all.
# Usage: run-fleet.sh BIN_DIR COUNT
set -eu
bin=${1:-build/bin}
count=${2:-2}
mqtt_port=${MQTT_PORT:-1883}
ws_port=${MQTT_WS_PORT:-9001}
ports="19870 19871"

dir=$(mktemp -d)
pids=""
stop() {
    trap - INT TERM EXIT
    [ -n "$pids" ] && kill $pids 2>/dev/null
    wait 2>/dev/null
    rm -rf "$dir"
}
trap stop INT TERM EXIT

cat >"$dir/mosquitto.conf" <<CONF
listener $mqtt_port 127.0.0.1
protocol mqtt
listener $ws_port 127.0.0.1
protocol websockets
allow_anonymous true
persistence false
CONF
/usr/sbin/mosquitto -c "$dir/mosquitto.conf" &
pids="$pids $!"

n=0
for port in $ports; do
    n=$((n + 1))
    "$bin/oru-host" --simulate "$count" --port "$port" &
    pids="$pids $!"
    "$bin/oru-bridge" --station "station$n" --host "ws://127.0.0.1:$port" \
        --broker "mqtt://127.0.0.1:$mqtt_port" --allow-commands &
    pids="$pids $!"
done

echo "run-fleet: MQTT on 127.0.0.1:$mqtt_port, MQTT over WebSocket on 127.0.0.1:$ws_port," \
     "stations on $ports; Ctrl-C stops all" >&2
echo "run-fleet: open http://127.0.0.1:19870/ and give its Broker setting ws://127.0.0.1:$ws_port" >&2
wait
