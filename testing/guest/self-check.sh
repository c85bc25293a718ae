# The harness's own check (run-guest.sh --self-check), run in the guest by busybox sh: every
# device the harness names is there, of its kind, and is what its name says.
failed=0
bad() {
    echo "FAIL: $*"
    failed=1
}
name() { echo "${1#/dev/}"; }

for node in "$TESSALY_GUEST_A_SD1" "$TESSALY_GUEST_A_SD2" "$TESSALY_GUEST_B_SD" \
    "$TESSALY_GUEST_A_MAP" "$TESSALY_GUEST_A_DM"; do
    [ -b "$node" ] || bad "no block device '$node'"
done
for pair in "$TESSALY_GUEST_A_SD1 $TESSALY_GUEST_A_SG1" \
    "$TESSALY_GUEST_A_SD2 $TESSALY_GUEST_A_SG2" "$TESSALY_GUEST_B_SD $TESSALY_GUEST_B_SG"; do
    set -- $pair
    [ -c "$2" ] || bad "no character device '$2'"
    [ "$(readlink -f "/sys/class/scsi_generic/$(name "$2")/device")" = \
        "$(readlink -f "/sys/block/$(name "$1")/device")" ] || bad "$2 is not the SCSI device of $1"
done

# Disk A's two paths are one logical unit, disk B another.
wwid() { cat "/sys/block/$(name "$1")/device/wwid"; }
[ "$(wwid "$TESSALY_GUEST_A_SD1")" = "$(wwid "$TESSALY_GUEST_A_SD2")" ] ||
    bad "$TESSALY_GUEST_A_SD1 and $TESSALY_GUEST_A_SD2 are not one logical unit"
[ "$(wwid "$TESSALY_GUEST_A_SD1")" != "$(wwid "$TESSALY_GUEST_B_SD")" ] ||
    bad "$TESSALY_GUEST_B_SD is disk A too"
[ "$TESSALY_GUEST_A_SD1" != "$TESSALY_GUEST_A_SD2" ] || bad "disk A's two paths are one device"

# The map is the dm device of that name, over disk A's two paths, both in use.
dm=$(name "$TESSALY_GUEST_A_DM")
[ "$(cat "/sys/block/$dm/dm/name")" = "${TESSALY_GUEST_A_MAP##*/}" ] ||
    bad "$TESSALY_GUEST_A_DM is not $TESSALY_GUEST_A_MAP"
[ "$(ls "/sys/block/$dm/slaves" | sort | tr '\n' ' ')" = \
    "$(printf '%s\n' "$(name "$TESSALY_GUEST_A_SD1")" "$(name "$TESSALY_GUEST_A_SD2")" |
        sort | tr '\n' ' ')" ] || bad "the slaves of $dm are not disk A's two paths"
status=$(dmsetup status "${TESSALY_GUEST_A_MAP##*/}")
[ "$(echo "$status" | grep -o ' [0-9]*:[0-9]* A ' | wc -l)" -eq 2 ] ||
    bad "the map's two paths are not both active: $status"

echo "disk A: $TESSALY_GUEST_A_SD1 ($TESSALY_GUEST_A_SG1) and $TESSALY_GUEST_A_SD2" \
    "($TESSALY_GUEST_A_SG2), map $TESSALY_GUEST_A_MAP ($TESSALY_GUEST_A_DM);" \
    "disk B: $TESSALY_GUEST_B_SD ($TESSALY_GUEST_B_SG)"
exit $failed
