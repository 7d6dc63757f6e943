# shellcheck shell=bash
# Debian unstable's Wine, built for new WoW64 (32-bit Windows programs thunked in a 64-bit process,
# no 32-bit Unix side), in a chroot of its own: the Wine that players of Wine 11 and of Arch Linux
# run. Sourced by lib.sh (kind newwow64).
#   ensure_new_wow64        makes the chroot once per machine (debootstrap from this machine's
#                           own Debian mirror), under a lock; later calls return at once
#   new_wow64_ready         whether the chroot is there, made to its end
#   in_new_wow64 CMD...     runs CMD in the chroot, in the caller's folder, with the repository,
#                           the prefix's build folder, the X server's sockets and the hosts file
#                           at the same paths
#   trust_in_new_wow64 PEM  adds a test authority to the chroot's store, which that Wine trusts

NEW_WOW64_ROOT=${NEW_WOW64_ROOT:-/opt/livery-new-wow64}
NEW_WOW64_PACKAGES="wine wine64 libwine fonts-wine libgnutls30t64 ca-certificates"
NEW_WOW64_STAMP=.livery-ready-v1
# The mirror's unstable is a snapshot whose Release file may have expired.
NEW_WOW64_APT=(-o Acquire::Check-Valid-Until=false)

# The URI of this machine's Debian mirror: the one apt uses for the release's main component.
debian_mirror() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    apt-cache policy | awk -v suite="$codename/main" '$3 == suite && $2 ~ /^[a-z]+:\/\// {print $2; exit}'
}

new_wow64_ready() {
    [ -f "$NEW_WOW64_ROOT/$NEW_WOW64_STAMP" ]
}

ensure_new_wow64() {
    local root=$NEW_WOW64_ROOT
    new_wow64_ready && return 0
    mkdir -p "$(dirname "$root")"
    (
        flock 9
        [ -f "$root/$NEW_WOW64_STAMP" ] && exit 0
        local mirror log="$root.log" started=$SECONDS
        mirror=$(debian_mirror)
        if [ -z "$mirror" ]; then
            echo "new WoW64: no Debian mirror found in this machine's apt sources (apt-cache policy)" >&2
            exit 1
        fi
        echo "new WoW64: making a Debian unstable chroot with its Wine in $root (a few minutes, once;" \
             "log: $log)" >&2
        rm -rf "$root"
        : >"$log"
        if ! command -v debootstrap >/dev/null; then
            echo "new WoW64: debootstrap is missing (scripts/setup.sh installs it)" >&2
            exit 1
        fi
        if ! debootstrap --variant=minbase --keyring=/usr/share/keyrings/debian-archive-keyring.gpg \
                unstable "$root" "$mirror" >>"$log" 2>&1 9>&-; then
            wine_failed "making the new WoW64 chroot (debootstrap)" "$log"
            exit 1
        fi
        if ! { chroot "$root" apt-get "${NEW_WOW64_APT[@]}" update -q &&
               # shellcheck disable=SC2086
               DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get "${NEW_WOW64_APT[@]}" install -y -q \
                   --no-install-recommends $NEW_WOW64_PACKAGES; } </dev/null >>"$log" 2>&1 9>&-; then
            wine_failed "installing Debian unstable's Wine into the new WoW64 chroot" "$log"
            exit 1
        fi
        chroot "$root" dpkg-query -W -f '${Package} ${Version}\n' wine64 libwine >>"$log" 2>&1
        touch "$root/$NEW_WOW64_STAMP"
        echo "new WoW64: chroot ready in $((SECONDS - started)) s:" \
             "$(chroot "$root" dpkg-query -W -f '${Version}' wine64)" >&2
    ) 9>"$root.lock"
}

in_new_wow64() {
    local binds=("$REPO_ROOT" "$PWD")
    [ -n "${WINEPREFIX:-}" ] && binds+=("$(dirname "$WINEPREFIX")")
    [ -d /tmp/.X11-unix ] && binds+=(/tmp/.X11-unix)
    # A mount namespace of its own: every mount goes away with the last process that uses it.
    unshare --mount --propagation private -- bash -c '
        root=$1 dir=$2 count=$3
        shift 3
        mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" || exit 125
        # The same network: the same names for it (debootstrap writes no hosts file).
        touch "$root/etc/hosts" && mount --bind /etc/hosts "$root/etc/hosts" || exit 125
        for bind in "${@:1:$count}"; do
            mkdir -p "$root$bind" && mount --bind "$bind" "$root$bind" || exit 125
        done
        shift "$count"
        exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$dir" "$@"
    ' bash "$NEW_WOW64_ROOT" "$PWD" "${#binds[@]}" "${binds[@]}" "$@"
}

trust_in_new_wow64() {
    local name
    name=livery-test-$(sha256sum "$1" | cut -c1-16).crt
    [ -f "$NEW_WOW64_ROOT/usr/local/share/ca-certificates/$name" ] && return 0
    cp "$1" "$NEW_WOW64_ROOT/usr/local/share/ca-certificates/$name" &&
        chroot "$NEW_WOW64_ROOT" update-ca-certificates >/dev/null 2>&1
}
