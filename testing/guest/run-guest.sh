#!/usr/bin/env bash
# Boots a small Linux guest under QEMU whose SCSI disks are LUNs of a private tgtd on the loopback,
# runs a check script in it and returns that script's exit status, its output on stdout. See
# README.md beside this file.
#
#   run-guest.sh [OPTIONS] CHECK
#   run-guest.sh [OPTIONS] --self-check
#
# The guest's kernel and modules come from Debian's current linux-image-*-amd64 package, downloaded
# and unpacked into the build tree (never installed), or with --kernel from /boot.
#
# Exit status: the check's (or, when the check passed, the --after command's); 77 when QEMU, a
# kernel, tgt, the guest's tools or root are missing (SKIPPED and why on stdout); 99 when the
# harness itself failed (the guest did not come up, did not end in time, a library was not found);
# 2 for a wrong command line.
set -uo pipefail
now() { echo "${EPOCHREALTIME/[.,]/}"; }
seconds() { printf '%d.%02d' $(($1 / 1000000)) $(($1 % 1000000 / 10000)); }
started=$(now)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
skip=77 broken=99

usage() {
    cat >&2 <<EOF
usage: $0 [OPTIONS] CHECK | --self-check
  CHECK               a shell script that the guest runs (busybox sh) once its disks are ready
  --copy PATH         put PATH into the guest at the same path, with the shared libraries that
                      ldd lists for it and the dynamic loader (repeat for more)
  --initiator IQN     the guest's iSCSI initiator name (default $initiator)
  --after COMMAND     a host command (bash -c) run after the guest powered off and before tgtd
                      stops, with TESSALY_GUEST_PORTAL, _TARGET, _LUN_A, _LUN_B in its environment
  --workdir DIR       the disks' backing files, the initramfs, the logs (default $workdir)
  --port BASE         the first port tried for tgtd (default $base_port)
  --timeout SECONDS   the most the guest may run (default $limit)
  --kernel VERSION    the kernel /boot/vmlinuz-VERSION with its modules in /lib/modules, instead
                      of the package's
  --kernel-cache DIR  where the kernel package is kept, unpacked (default $kernel_cache)
  --self-check        check the harness itself (testing/guest/self-check.sh as CHECK)
EOF
    exit 2
}

initiator=iqn.2026-12.org.tessaly:guest
target=iqn.2026-12.org.tessaly:disks
workdir=$top/build/guest
base_port=3292
limit=90
kernel=
kernel_cache=$top/build/guest-kernel
after=
check=
copies=()
while [ $# -gt 0 ]; do
    case $1 in
        --copy | --initiator | --after | --workdir | --port | --timeout | --kernel | --kernel-cache)
            [ $# -ge 2 ] || usage
            case $1 in
                --copy) copies+=("$2") ;;
                --initiator) initiator=$2 ;;
                --after) after=$2 ;;
                --workdir) workdir=$2 ;;
                --port) base_port=$2 ;;
                --timeout) limit=$2 ;;
                --kernel) kernel=$2 ;;
                --kernel-cache) kernel_cache=$2 ;;
            esac
            shift 2
            ;;
        --self-check) check=$here/self-check.sh && shift ;;
        -*) usage ;;
        *)
            [ -z "$check" ] || usage
            check=$1 && shift
            ;;
    esac
done
[ -n "$check" ] || usage
[[ $base_port =~ ^[0-9]+$ && $limit =~ ^[0-9]+$ && $initiator =~ ^[A-Za-z0-9.:-]+$ ]] || usage
[ -f "$check" ] || { echo "no check script $check" >&2 && exit 2; }
for path in "${copies[@]}"; do
    [[ $path == /* && $path != *[[:space:]]* && -f $path ]] ||
        { echo "--copy needs the absolute path of a file, without blanks: $path" >&2 && exit 2; }
    # The guest's init mounts its own file systems there, over what the initramfs holds, and the
    # harness keeps its own files (init, busybox and its links, the modules, the check) in the rest.
    [[ $path =~ ^/(dev|proc|sys|bin|etc|modules)/ || $path == /init ]] &&
        echo "--copy: $path would be hidden in the guest by its own /${BASH_REMATCH[1]:-init}" >&2 &&
        exit 2
done
workdir=$(realpath -m "$workdir")
kernel_cache=$(realpath -m "$kernel_cache")

source "$top/scripts/tgtd.sh"
tessaly_tgtd_usable || exit $skip
missing() { echo "SKIPPED: $*" && exit $skip; }
qemu=$(command -v qemu-system-x86_64) || missing "QEMU is not installed (qemu-system-x86)"
compgen -G "/usr/lib/*/qemu/block-iscsi.so" >/dev/null ||
    missing "QEMU has no iSCSI block driver (qemu-block-extra)"
if [ -n "$kernel" ]; then
    [ -r "/boot/vmlinuz-$kernel" ] && [ -d "/lib/modules/$kernel/kernel" ] ||
        missing "no kernel $kernel with its modules in /boot and /lib/modules"
fi
command -v modprobe >/dev/null && command -v depmod >/dev/null || missing "kmod is not installed"
busybox=/bin/busybox
[ -x "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 ||
    missing "no static busybox at $busybox (busybox-static)"
dmsetup=$(command -v dmsetup) || missing "dmsetup is not installed"
command -v cpio >/dev/null || missing "cpio is not installed"

tessaly_tgtd_lock "$workdir" "guest run" || exit $broken
kernel_start=$(now)

# The compressed kernel $1 unpacked to $2: QEMU starts an ELF kernel with a PVH entry point
# directly, where a compressed one would unpack itself under TCG first (about 10 s here). A kernel
# that cannot be unpacked so becomes a link to $1, booted as it is.
unpack_kernel() {
    local format offset
    rm -f "$2"
    for format in '\xfd7zXZ\x00 xz' '\x28\xb5\x2f\xfd zstd' '\x1f\x8b\x08 gzip'; do
        offset=$(LC_ALL=C grep -obUaP "${format% *}" "$1" | head -n 1 | cut -d: -f1)
        [ -n "$offset" ] && command -v "${format#* }" >/dev/null || continue
        tail -c +$((offset + 1)) "$1" | "${format#* }" -dc >"$2.new" 2>/dev/null
        # An ELF file with a PVH entry note (Xen note type 0x12).
        if [ "$(head -c 4 "$2.new")" = $'\x7fELF' ] &&
            readelf -n "$2.new" 2>/dev/null | grep -q 'Xen.*0x00000012'; then
            mv "$2.new" "$2"
            break
        fi
    done
    rm -f "$2.new"
    [ -f "$2" ] || ln -s "$1" "$2"
}

# --- the kernel: Debian's current linux-image-*-amd64 package, unpacked, not installed --------
# The package linux-image-amd64 depends on, downloaded (apt-get download) and unpacked (dpkg-deb
# -x) into KERNEL_CACHE/PACKAGE_VERSION with its modules.dep (depmod -b) and the unpacked kernel,
# once for every version: installing it would run initramfs-tools for minutes. Runs share the
# cache under a lock on KERNEL_CACHE/lock (fd 8): exclusive while a version is made, shared while
# it is used; a new version replaces the older ones. With --kernel, /boot and /lib/modules.
# The kernel package linux-image-amd64 depends on, and its version: one apt-cache call, each of
# which reads all package lists where apt keeps no cache of them (about 1 s).
apt_candidate() {
    read -r package version < <(apt-cache show --no-all-versions linux-image-amd64 2>/dev/null |
        sed -nE 's/^Depends:.*(linux-image-[^ ,]+) \(= ([^)]+)\).*/\1 \2/p' | head -n 1)
    [ -n "$package" ] && [ -n "$version" ]
}
make_cached_kernel() {
    local dir=$kernel_cache/${package}_$version download=$kernel_cache/download deb release old
    local steps="" step
    step=$(now)
    lap() { steps+="${steps:+, }$1 $(seconds $(($(now) - step))) s" && step=$(now); }
    rm -rf "$download" "$dir.new"
    mkdir -p "$download" "$dir.new"
    (cd "$download" && apt-get -qq -o APT::Sandbox::User=root download "$package=$version") ||
        return 1
    lap downloaded
    deb=$(echo "$download"/*.deb)
    dpkg-deb -x "$deb" "$dir.new/root" || return 1
    rm -rf "$download"
    lap "unpacked ($(du -sm "$dir.new/root" | cut -f1) MiB)"
    release=$(find "$dir.new/root/lib/modules" -mindepth 1 -maxdepth 1 -printf '%f\n' | head -n 1)
    [ -n "$release" ] && [ -r "$dir.new/root/boot/vmlinuz-$release" ] || return 1
    depmod -b "$dir.new/root" "$release" || return 1
    lap depmod
    unpack_kernel "$dir.new/root/boot/vmlinuz-$release" "$dir.new/vmlinux"
    lap "kernel unpacked"
    echo "$release" >"$dir.new/release"
    rm -rf "$dir"
    mv "$dir.new" "$dir" || return 1
    for old in "$kernel_cache"/linux-image-*_*; do
        [ "$old" = "$dir" ] || rm -rf "$old"
    done
    echo "guest: $package $version: $steps" >&2
}
if [ -n "$kernel" ]; then
    kernel_from="/boot"
    modules_root=
    boot_kernel=$workdir/vmlinux-$kernel
    if ! [ -f "$boot_kernel" ] || [ "/boot/vmlinuz-$kernel" -nt "$boot_kernel" ]; then
        unpack_kernel "/boot/vmlinuz-$kernel" "$boot_kernel"
        kernel_from="/boot, unpacked"
    fi
else
    mkdir -p "$kernel_cache"
    exec 8>"$kernel_cache/lock"
    flock -w 300 8 || { echo "guest: another run holds $kernel_cache/lock" >&2 && exit $broken; }
    package="" version="" kernel_from=cached
    # Package lists that name no candidate, or a version the mirror no longer has: fresh lists.
    if ! apt_candidate; then
        apt-get update -qq >/dev/null 2>&1
        apt_candidate
    fi
    if [ -n "$version" ] && ! [ -f "$kernel_cache/${package}_$version/release" ]; then
        kernel_from="downloaded and unpacked"
        if ! make_cached_kernel; then
            apt-get update -qq >/dev/null 2>&1 && apt_candidate && make_cached_kernel ||
                echo "guest: apt-get download $package=$version failed" >&2
        fi
        rm -rf "$kernel_cache/download" "$kernel_cache"/linux-image-*.new
    fi
    # The candidate's, else the newest cached one (no package lists, no mirror).
    cached=$kernel_cache/${package}_$version
    [ -n "$version" ] && [ -f "$cached/release" ] ||
        cached=$(printf '%s\n' "$kernel_cache"/linux-image-*_*/release | sort -V | tail -n 1)
    cached=${cached%/release}
    [ -n "$cached" ] && [ -f "$cached/release" ] ||
        missing "no kernel: the package of linux-image-amd64's kernel" \
            "(${package:-no package lists}) could not be downloaded"
    flock -s 8
    kernel=$(cat "$cached/release")
    modules_root=$cached/root
    boot_kernel=$cached/vmlinux
    kernel_from="package ${cached##*/}, $kernel_from"
fi
initramfs_start=$(now)
echo "guest: kernel $kernel ($kernel_from) in $(seconds $((initramfs_start - kernel_start))) s" >&2
qemu_pid=
stop_qemu() {
    [ -n "$qemu_pid" ] || return 0
    kill -TERM "$qemu_pid" 2>/dev/null
    for _ in $(seq 20); do
        kill -0 "$qemu_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$qemu_pid" 2>/dev/null
    wait "$qemu_pid" 2>/dev/null
    qemu_pid=
}
cleanup() {
    stop_qemu
    tessaly_tgtd_stop
    rm -f "$workdir/disk-a.img" "$workdir/disk-b.img"
    echo "guest: total $(seconds $(($(now) - started))) s" >&2
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- the initramfs: what goes in, as "DEST SOURCE" lines -------------------------------------
# PATH and, for a dynamically linked ELF file, the libraries ldd lists and the loader.
with_libraries() {
    local listing
    echo "$1 $1"
    listing=$(ldd "$1" 2>/dev/null) || return 0
    if grep -q 'not found' <<<"$listing"; then
        echo "guest: $1 needs libraries that ldd does not find:" >&2
        grep 'not found' <<<"$listing" >&2
        return 1
    fi
    awk '$2 == "=>" && $3 ~ /^\// { print $3, $3 } $1 ~ /^\// { print $1, $1 }' <<<"$listing"
}
# The modules in loading order, as the host has them and as the guest loads them: uncompressed,
# since busybox's insmod reads plain ELF files, and in /modules, out of the way of the files copied
# in at their own paths.
host_modules=$(for module in virtio_pci virtio_scsi sd_mod sg dm-mod dm-multipath dm-round-robin; do
    modprobe ${modules_root:+-d "$modules_root"} -S "$kernel" -D "$module" || exit 1
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }') || {
    echo "guest: modprobe -D found not every module for $kernel" >&2
    exit $broken
}
guest_modules=$(sed -E 's|.*/|/modules/|; s/\.(xz|zst|gz)$//' <<<"$host_modules")
entries=$(
    set -e
    echo "/bin/busybox $busybox"
    echo "/init $here/init"
    echo "/etc/guest-check $check"
    paste -d' ' <(echo "$guest_modules") <(echo "$host_modules")
    for path in "$dmsetup" "${copies[@]}"; do with_libraries "$path"; done
) || exit $broken
entries=$(sort -u -k1,1 <<<"$entries")

cpio_file=$workdir/initramfs.cpio
manifest=$workdir/initramfs.manifest
# Each file's guest path and its content's digest, and the modules in loading order.
fresh_manifest=$(
    echo "kernel $kernel $boot_kernel"
    paste -d' ' <(cut -d' ' -f1 <<<"$entries") \
        <(cut -d' ' -f2- <<<"$entries" | tr '\n' '\0' | xargs -0 sha256sum | cut -d' ' -f1)
    sed 's/^/load /' <<<"$guest_modules"
)
if [ -f "$cpio_file" ] && [ "$fresh_manifest" = "$(cat "$manifest" 2>/dev/null)" ]; then
    built="cached"
else
    root=$workdir/initramfs.root
    rm -rf "$root" "$manifest"
    mkdir -p "$root"/{dev,proc,sys,etc,tmp,run}
    while read -r dest source; do
        mkdir -p "$root$(dirname "$dest")"
        case $source in
            *.ko.xz) xz -dc "$source" >"$root$dest" ;;
            *.ko.zst) zstd -qdc "$source" >"$root$dest" ;;
            *.ko.gz) gzip -dc "$source" >"$root$dest" ;;
            *) cp -L "$source" "$root$dest" ;;
        esac || exit $broken
    done <<<"$entries"
    chmod 755 "$root/init"
    echo "$guest_modules" >"$root/etc/guest-modules"
    (cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) \
        >"$cpio_file.new" && mv "$cpio_file.new" "$cpio_file" || exit $broken
    rm -rf "$root"
    echo "$fresh_manifest" >"$manifest"
    built="built"
fi
initramfs_done=$(now)
echo "guest: initramfs $built in $(seconds $((initramfs_done - initramfs_start))) s" \
    "($(du -k "$cpio_file" | cut -f1) KiB)" >&2
guest_ready=$(now)

# --- the target: disk A (LUN 1) and disk B (LUN 2), fresh sparse files -----------------------
tessaly_tgtd_start "$workdir" "$base_port" || exit $skip
port=$tessaly_tgtd_port
lun_a=1 lun_b=2
tessaly_tgtd_admin --op new --mode target --tid 1 -T "$target" || exit $broken
for disk in a b; do
    lun=lun_$disk
    rm -f "$workdir/disk-$disk.img"
    truncate -s 8M "$workdir/disk-$disk.img"
    tessaly_tgtd_admin --op new --mode logicalunit --tid 1 --lun "${!lun}" \
        -b "$workdir/disk-$disk.img" || exit $broken
done
tessaly_tgtd_admin --op bind --mode target --tid 1 -I ALL || exit $broken
export TESSALY_GUEST_PORTAL=127.0.0.1:$port TESSALY_GUEST_TARGET=$target
export TESSALY_GUEST_LUN_A=$lun_a TESSALY_GUEST_LUN_B=$lun_b TESSALY_GUEST_INITIATOR=$initiator
for name in PORTAL TARGET LUN_A LUN_B INITIATOR; do
    value=TESSALY_GUEST_$name
    echo "export $value=${!value}"
done >"$workdir/target.env"
echo "guest: tgtd $tessaly_tgtd_pid on $TESSALY_GUEST_PORTAL, target $target," \
    "LUN $lun_a (disk A, two paths) and $lun_b (disk B); $workdir/target.env" >&2

# --- the guest ------------------------------------------------------------------------------
# Three pass-through disks on SCSI targets 1, 2 (disk A twice: two iSCSI sessions, two I_T
# nexuses) and 3 (disk B).
drives=()
n=0
for lun in $lun_a $lun_a $lun_b; do
    n=$((n + 1))
    url=iscsi://$TESSALY_GUEST_PORTAL/$target/$lun
    drives+=(-drive "file=$url,if=none,id=d$n,format=raw,cache=none"
        -device "scsi-block,drive=d$n,bus=scsi.0,channel=0,scsi-id=$n,lun=0")
done
# The NAME=VALUE words of the kernel command line reach the guest's init as variables.
words="console=ttyS0 panic=-1 loglevel=4"
words+=" TESSALY_GUEST_INITIATOR=$initiator TESSALY_GUEST_TARGET=$target"
words+=" TESSALY_GUEST_LUN_A=$lun_a TESSALY_GUEST_LUN_B=$lun_b"
rm -f "$workdir/check.log"
"$qemu" -nodefaults -no-user-config -machine q35 -cpu max -smp 1 -m 512 -display none \
    -no-reboot -kernel "$boot_kernel" -initrd "$cpio_file" -append "$words" \
    -chardev "file,id=console,path=$workdir/console.log" -serial chardev:console \
    -chardev "file,id=check,path=$workdir/check.log" -serial chardev:check \
    -iscsi "initiator-name=$initiator" -device virtio-scsi-pci,id=scsi "${drives[@]}" \
    </dev/null >"$workdir/qemu.log" 2>&1 8>&- 9>&- &
qemu_pid=$!
deadline=$((SECONDS + limit))
while kill -0 "$qemu_pid" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
late=
kill -0 "$qemu_pid" 2>/dev/null && late=1
stop_qemu
guest_done=$(now)

harness_failed() {
    echo "guest: $1; the console's last lines ($workdir/console.log):" >&2
    tail -n 30 "$workdir/console.log" >&2
    if [ -s "$workdir/check.log" ]; then
        echo "guest: what the check wrote ($workdir/check.log):" >&2
        cat "$workdir/check.log" >&2
    fi
    cat "$workdir/qemu.log" >&2
    exit $broken
}
[ -z "$late" ] || harness_failed "still running after $limit s, stopped"
echo "guest: boot to power-off $(seconds $((guest_done - guest_ready))) s" >&2
# The check's output as it wrote it, even without a last newline: between the begin marker's
# line and the end marker.
written=$(cat "$workdir/check.log" 2>/dev/null)
[[ $written =~ @@\ check\ end:\ exit\ ([0-9]+)\ @@$ && $written == *$'@@ check begin @@\n'* ]] ||
    harness_failed "the check did not run to its end"
status=${BASH_REMATCH[1]}
written=${written#*$'@@ check begin @@\n'}
printf '%s' "${written%@@ check end: exit * @@}"

if [ -n "$after" ]; then
    bash -c "$after"
    after_status=$?
    [ "$status" -ne 0 ] || status=$after_status
fi
exit "$status"
