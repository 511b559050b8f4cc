#!/bin/sh
# Measures what a lossy link costs the SOME/IP image event: a publisher and a subscriber (shm_peer, from the
# release build) in two network namespaces joined by a veth pair, each side dropping LOSS % of the IPv4
# packets it sends (nftables), over UDP and over TCP. Needs root. Prints one line per run:
#   <protocol> loss=<percent>% received <n> missed <m> ...
# Usage: scripts/lossy-link.sh [samples] [loss percent ...]
set -eu
cd "$(dirname "$0")/.."
PEER=build/release/platform/com/test/shm_peer
SAMPLES=${1:-300}
shift 2>/dev/null || true
LOSSES=${*:-0 1 5}
[ -x "$PEER" ] || { echo "lossy-link: build first (make build)" >&2; exit 1; }
A=lossya$$; B=lossyb$$; DIR=$(mktemp -d)
cleanup() { ip netns del "$A" 2>/dev/null || true; ip netns del "$B" 2>/dev/null || true; rm -rf "$DIR"; }
trap cleanup EXIT
for loss in $LOSSES; do
  for protocol in udp tcp; do
    cleanup; mkdir -p "$DIR"
    ip netns add "$A"; ip netns add "$B"
    ip link add va$$ netns "$A" type veth peer name vb$$ netns "$B"
    ip -n "$A" addr add 10.77.0.1/24 dev va$$; ip -n "$B" addr add 10.77.0.2/24 dev vb$$
    for ns in "$A" "$B"; do
      ip -n "$ns" link set lo up
      ip netns exec "$ns" nft add table ip lossy
      ip netns exec "$ns" nft add chain ip lossy out '{ type filter hook output priority 0; }'
      [ "$loss" = 0 ] || ip netns exec "$ns" nft add rule ip lossy out numgen random mod 100 '<' "$loss" drop
    done
    ip -n "$A" link set va$$ up; ip -n "$B" link set vb$$ up
    extra=""
    [ "$protocol" = tcp ] && extra=', "tcpPort": 30502, "reliable": true'
    cat > "$DIR/cm_deployment.json" <<JSON
{"events": {"35045": {"shortName": "CameraH265ImageEvent", "serviceName": "Visualization", "serviceId": 4097,
  "instanceId": "1", "transports": {"SOMEIP": {"serialization": {"type": 1, "byteOrder": 0, "stringLength": 4,
  "vectorLength": 4}, "network": {"address": "10.77.0.1", "clientAddress": "10.77.0.2", "offerIntervalMs": 100,
  "offerTtl": 1$extra}}}}}}
JSON
    export CM_CONFIG_FILE_PATH="$DIR" PEER_TRANSPORT=SOMEIP
    ip netns exec "$B" "$PEER" subscribe 35045 "$SAMPLES" 4 150000 256 0 $((SAMPLES * 40 + 5000)) > "$DIR/sub.txt" 2>&1 &
    sub=$!
    sleep 1
    ip netns exec "$A" "$PEER" publish 35045 "$SAMPLES" 4 150000 33000 > "$DIR/pub.txt" 2>&1 || true
    wait "$sub" || true
    echo "$protocol loss=$loss% $(grep -o 'received.*' "$DIR/sub.txt" | head -1)"
  done
done
