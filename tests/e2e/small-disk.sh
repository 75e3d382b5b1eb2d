#!/usr/bin/env bash
# A small disk of its own for the disk-full test: a 4 MB tmpfs mounted at <folder> and mapped as
# drive R: in the Wine prefix. Mounting needs root; without it (or where the kernel refuses) the
# drive is simply not mapped and the test that needs it is skipped, saying why.
#   small-disk.sh mount <folder> <wineprefix>
#   small-disk.sh unmount <folder> <wineprefix>
set -u
action=$1 folder=$2 prefix=$3
drive="$prefix/dosdevices/r:"

case "$action" in
mount)
    rm -f "$drive"
    mkdir -p "$folder"
    mountpoint -q "$folder" && umount "$folder"
    if [ "$(id -u)" != 0 ]; then
        echo "small-disk: not root, drive R: is not mapped; the disk-full test will be skipped"
        exit 0
    fi
    if ! mount -t tmpfs -o size=4m,mode=0777 karupdt-small-disk "$folder"; then
        echo "small-disk: mount -t tmpfs failed, drive R: is not mapped; the disk-full test will be skipped"
        exit 0
    fi
    ln -s "$folder" "$drive"
    echo "small-disk: $folder (4 MB tmpfs) is drive R:"
    ;;
unmount)
    rm -f "$drive"
    if mountpoint -q "$folder"; then umount "$folder"; fi
    ;;
*)
    echo "usage: small-disk.sh mount|unmount <folder> <wineprefix>" >&2
    exit 2
    ;;
esac
